#!/bin/sh
# Regenerates the example scenes' sky image and mesh with the project's own
# generators, so that every asset under examples/ can be rebuilt from source.
#   tools/make-assets.sh [build-dir] [examples-dir]   (defaults: build, examples)
set -eu
cd "$(dirname "$0")/.."
build=${1:-build}
out=${2:-examples}
mkdir -p "$out/showcase"
"$build/tools/make-sky" "$out/showcase/sky.hdr" --size 1024 512 --sun 150 35
"$build/tools/make-mesh" "$out/showcase/knot.obj" --knot 2 3 --segments 160 --sides 12 \
    --radius 1.0 --tube 0.22 --centre -0.2 0.25 -1.4
