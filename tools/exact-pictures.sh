#!/bin/sh
# For speed work, never run in CI: whether a change leaves the pictures of
# the bundled examples the same bit for bit. Renders every example on one
# thread (as tests/example_images_test.cpp does) from the build in build/
# and records a digest of its radiance and display buffers, or compares the
# digests with a recording. Only meaningful on one machine: other
# processors give other bits.
#
#   tools/exact-pictures.sh record DIR    # before the change
#   tools/exact-pictures.sh compare DIR   # after it: exit 1 if any differs
set -eu
[ $# -eq 2 ] && { [ "$1" = record ] || [ "$1" = compare ]; } ||
    { echo "usage: $0 record|compare DIR" >&2; exit 2; }
cd "$(dirname "$0")/.."
cmake --build build -j2 --target tresk_tests >/dev/null
now=$(mktemp -d)
trap 'rm -rf "$now"' EXIT
TRESK_DIGEST_DIR=$now build/tests/tresk_tests --gtest_filter='*ExampleImages.*' >/dev/null
if [ "$1" = record ]; then
    mkdir -p "$2"
    cp "$now"/*.digest "$2"/
    echo "recorded $(ls "$now" | wc -l) digests in $2"
elif diff -r "$2" "$now" >/dev/null; then
    echo "the same bit for bit: $(ls "$now" | tr '\n' ' ')"
else
    echo "pictures differ:" >&2
    diff -r "$2" "$now" >&2 || true
    exit 1
fi
