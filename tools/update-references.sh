#!/bin/sh
# Writes the reference pictures of the bundled examples anew
# (tests/data/reference/NAME.tga), from a Release build in build/, after a
# change that is meant to alter the pictures. Look at the new pictures
# before committing them.
#
#   tools/update-references.sh
set -eu
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j2 --target tresk_tests
TRESK_UPDATE_REFERENCES=1 build/tests/tresk_tests --gtest_filter='*ExampleImages.*' >/dev/null
git status --short tests/data/reference
