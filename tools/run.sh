#!/bin/sh
# Sets up a fresh machine, builds Tresk and shows the showcase scene: in the
# viewer when a display is available, otherwise rendered headlessly to a file.
set -eu
cd "$(dirname "$0")/.."
./tools/install-deps.sh
cmake --preset release
cmake --build --preset release -j "$(nproc)"

scene=examples/showcase/scene.txt
if [ -n "${DISPLAY:-}" ] && [ -x build/app/tresk ]; then
    exec build/app/tresk "$scene"
fi
mkdir -p renders
build/app/tresk-render "$scene" -o renders/showcase.png
if [ -z "${DISPLAY:-}" ]; then
    echo "No display found: the showcase was rendered to $(pwd)/renders/showcase.png"
else
    echo "The viewer is not built: the showcase was rendered to $(pwd)/renders/showcase.png"
fi
