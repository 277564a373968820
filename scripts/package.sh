#!/bin/sh
# Builds the Debian package from the plain build folder (build/), building
# only the host and the module when they are stale, and prints its path.
#   scripts/package.sh     ->  build/wagent_<version>_<arch>.deb
set -eu
cd "$(dirname "$0")/.."

scripts/install-deps.sh >&2
# cpack builds nothing more: the tests need not be built for a package.
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
cmake --build build -j "$(nproc)" --target wagent wcommon >&2
rm -f build/wagent_*.deb
(cd build && cpack -G DEB >&2)
ls build/wagent_*.deb
