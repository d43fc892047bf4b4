#!/bin/sh
# Sets up a fresh machine and runs every test: the suite in a Release build,
# the render-farm recipe on a one-node Slurm cluster and lintian on its
# Debian package, the suite again under qemu-x86_64 and
# under AddressSanitizer + UndefinedBehaviorSanitizer, the render passes
# under ThreadSanitizer, then fuzzes each reader for a minute.
set -eu
cd "$(dirname "$0")/.."
./tools/install-deps.sh

jobs=$(nproc)

# The configurations are the presets of CMakePresets.json. The unit tests
# run in parallel, then the end-to-end viewer test on its own: it drives a
# real window under Xvfb and waits on it, so it runs on a quiet machine, and
# once more if the X server drops it.
run_suite() {
    ctest --preset "$1" -j "$jobs"
    ctest --test-dir "$2" --output-on-failure -L e2e --repeat until-pass:2
}

echo "== Release build and test suite"
cmake --preset release
cmake --build --preset release -j "$jobs"
run_suite release build

# The render-farm recipe on a Slurm cluster of one node started here, its
# merged picture against one run of all the passes (about 15 s).
echo "== Slurm cluster: a still's passes split over a job array and merged"
./tools/test-cluster.sh build

# The Debian package of that build, checked by lintian (about 10 s).
echo "== Debian package checked by lintian"
./tools/check-package.sh build

# The same suite under qemu-x86_64, whose software floating point gives
# other bits for the approximate reciprocal square roots, as other vendors'
# processors do: a test that holds only for this processor's bits fails
# here. (The viewer test needs no second run: it drives the same code.)
echo "== Unit suite under qemu-x86_64"
(cd build/tests && qemu-x86_64 ./tresk_tests --gtest_brief=1)

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
cmake --preset asan-ubsan
cmake --build --preset asan-ubsan -j "$jobs"
run_suite asan-ubsan build-asan

echo "== ThreadSanitizer: render passes and draws, more threads than cores"
./tools/build-tsan-tbb.sh build-tsan-tbb
cmake --preset tsan
cmake --build --preset tsan -j "$jobs"
ctest --preset tsan

echo "== Fuzzing: each harness for 60 s under AddressSanitizer + UndefinedBehaviorSanitizer"
./tools/fuzz.sh 60

echo "== All tests passed"
