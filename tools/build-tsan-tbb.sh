#!/bin/sh
# Builds oneTBB from Debian's source package with ThreadSanitizer into the
# folder given as $1. Debian's libtbb is not instrumented, so the tool could
# not see the scheduler's synchronisation and would report the scheduler's
# own hand-over of tiles between threads as races.
set -eu
prefix=$(realpath -m "$1")
[ -f "$prefix/lib/cmake/TBB/TBBConfig.cmake" ] && exit 0

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The source package comes through apt with a source list, package lists
# and cache of its own in the work folder, so nothing under /etc or
# /var/lib/apt changes.
. /etc/os-release
apt="$work/apt"
mkdir -p "$apt/sources.list.d" "$apt/lists/partial" "$apt/cache/archives/partial"
echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian ${VERSION_CODENAME:-bookworm} main" \
    >"$apt/sources.list"
set -- -o Dir::Etc::SourceList="$apt/sources.list" -o Dir::Etc::SourceParts="$apt/sources.list.d" \
    -o Dir::State::Lists="$apt/lists" -o Dir::Cache="$apt/cache" -o APT::Sandbox::User="$(id -un)"
apt-get "$@" update -q >/dev/null
(cd "$work" && apt-get "$@" source -q --download-only onetbb >/dev/null)
tar -xf "$work"/onetbb_*.orig.tar.* -C "$work"
src=$(find "$work" -maxdepth 1 -type d -name 'oneTBB*' | head -1)
cmake -S "$src" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTBB_TEST=OFF -DTBB_EXAMPLES=OFF -DTBB_STRICT=OFF -DTBBMALLOC_BUILD=OFF \
    -DTBB_SANITIZE=thread -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null
cmake --build "$work/build" --target install -j "$(nproc)" >/dev/null
echo "ThreadSanitizer build of oneTBB installed in $prefix"
