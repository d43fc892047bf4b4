#!/bin/sh
# Builds the Debian package from a Release build (default build/, as
# tools/test.sh leaves it) and checks it with lintian: an error or a warning
# fails. Takes about 10 s once the build is done.
#
#   tools/check-package.sh [BUILD-DIR]
set -eu
cd "$(dirname "$0")/.."
build=${1:-build}

cmake --build "$build" -j "$(nproc)"
rm -f "$build"/tresk_*.deb
(cd "$build" && cpack -G DEB)
package=$(ls "$build"/tresk_*.deb)
dpkg-deb --field "$package" Package Version Depends
lintian --fail-on error,warning "$package"
echo "lintian: $package passes"
