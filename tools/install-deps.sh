#!/bin/sh
# Installs every Debian package that building, running and testing Tresk needs
# on a fresh Debian 12 machine. Safe to run again: apt-get skips what is there.
set -eu

# xfonts-base: SDL draws its message boxes with a core X font, which a bare
# X server (Xvfb) lacks; libx11-dev: the viewer test's screenshot probe;
# x11-xkb-utils and xkb-data: the viewer test's French keyboard layout.
PACKAGES="
  build-essential cmake ninja-build pkg-config
  libtbb-dev libfreeimage-dev libsdl2-dev libfreetype-dev libfontconfig-dev libassimp-dev
  fonts-liberation libgl-dev libgl1-mesa-dri
  libgtest-dev
  clang libclang-rt-14-dev
  xvfb xdotool x11-utils xfonts-base libx11-dev x11-xkb-utils xkb-data
  qemu-user lintian
  libembree-dev valgrind
  assimp-testmodels blender-data glmark2-data assimp-utils
  slurm-wlm munge
"
# qemu-user: the suite runs once more under qemu-x86_64, which computes the
# approximate reciprocal square roots as another processor might; lintian
# checks the Debian package (tools/check-package.sh).
# libembree-dev and valgrind serve the benchmark only (bench/): Embree as the
# outside reference, callgrind for instruction counts.
# The last line brings real files that nobody here wrote, for the readers'
# tests: OBJ models, and CC0 HDR photographs (OpenEXR) for the environment map;
# glmark2-data the Stanford bunny scan (GPL-3+) for the kd-tree's tests and
# the benchmark. libassimp-dev reads the model formats beyond OBJ;
# assimp-utils converts test models to OBJ independently of Tresk.
# slurm-wlm and munge: the one-node cluster on which tools/test-cluster.sh
# runs the render-farm recipe (tools/farm/).

if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi

missing=""
for p in $PACKAGES; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done

if [ -n "$missing" ]; then
    echo "Installing:$missing"
    export DEBIAN_FRONTEND=noninteractive
    $SUDO apt-get update -q
    # shellcheck disable=SC2086
    $SUDO apt-get install -y -q --no-install-recommends $missing
fi
