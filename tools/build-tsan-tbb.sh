#!/bin/sh
# Builds oneTBB from Debian's source package with ThreadSanitizer into the
# folder given as $1. Debian's libtbb is not instrumented, so the tool could
# not see the scheduler's synchronisation and would report the scheduler's
# own hand-over of tiles between threads as races.
set -eu
prefix=$(realpath -m "$1")
[ -f "$prefix/lib/cmake/TBB/TBBConfig.cmake" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
if ! grep -rqs '^Types: deb-src' /etc/apt/sources.list.d/ && ! grep -qs '^deb-src' /etc/apt/sources.list; then
    $SUDO tee /etc/apt/sources.list.d/tresk-deb-src.sources >/dev/null <<'SOURCES'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
    $SUDO apt-get update -q
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && apt-get source -q --download-only onetbb >/dev/null 2>&1)
tar -xf "$work"/onetbb_*.orig.tar.* -C "$work"
src=$(find "$work" -maxdepth 1 -type d -name 'oneTBB*' | head -1)
cmake -S "$src" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTBB_TEST=OFF -DTBB_EXAMPLES=OFF -DTBB_STRICT=OFF -DTBBMALLOC_BUILD=OFF \
    -DTBB_SANITIZE=thread -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null
cmake --build "$work/build" --target install -j "$(nproc)" >/dev/null
echo "ThreadSanitizer build of oneTBB installed in $prefix"
