#!/bin/sh
# Sets up a fresh machine and runs every test: the suite in a Release build,
# again under qemu-x86_64 and under AddressSanitizer + UndefinedBehaviorSanitizer,
# and the render passes under ThreadSanitizer, then fuzzes each reader for a
# minute.
set -eu
cd "$(dirname "$0")/.."
./tools/install-deps.sh

jobs=$(nproc)

# The unit tests in parallel, then the end-to-end viewer test on its own: it
# drives a real window under Xvfb and waits on it, so it runs on a quiet
# machine, and once more if the X server drops it.
run_suite() {
    ctest --test-dir "$1" --output-on-failure -j "$jobs" -LE e2e
    ctest --test-dir "$1" --output-on-failure -L e2e --repeat until-pass:2
}

echo "== Release build and test suite"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build build -j "$jobs"
run_suite build

# The same suite under qemu-x86_64, whose software floating point gives
# other bits for the approximate reciprocal square roots, as other vendors'
# processors do: a test that holds only for this processor's bits fails
# here. (The viewer test needs no second run: it drives the same code.)
echo "== Unit suite under qemu-x86_64"
(cd build/tests && qemu-x86_64 ./tresk_tests --gtest_brief=1)

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRESK_SANITIZE=address,undefined
cmake --build build-asan -j "$jobs"
export ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1
run_suite build-asan
unset ASAN_OPTIONS UBSAN_OPTIONS

echo "== ThreadSanitizer: render passes and draws, more threads than cores"
./tools/build-tsan-tbb.sh build-tsan-tbb
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRESK_SANITIZE=thread \
    -DTBB_DIR="$(pwd)/build-tsan-tbb/lib/cmake/TBB"
cmake --build build-tsan -j "$jobs" --target tresk_tests
LD_LIBRARY_PATH="$(pwd)/build-tsan-tbb/lib" TSAN_OPTIONS="halt_on_error=1" \
    ctest --test-dir build-tsan --output-on-failure -R 'RenderPass|Concurrency'

echo "== Fuzzing: each harness for 60 s under AddressSanitizer + UndefinedBehaviorSanitizer"
./tools/fuzz.sh 60

echo "== All tests passed"
