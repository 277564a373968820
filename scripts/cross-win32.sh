#!/bin/sh
# Builds the platform layer for 64-bit Windows with mingw-w64 and runs its
# check program under wine, in a wine prefix of its own inside build-win32/.
set -eu
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DWAGENT_PLATFORM_ONLY=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-win32 -j "$(nproc)"

export WINEPREFIX="$PWD/build-win32/wine"
export WINEDEBUG=-all
# No Mono or Gecko: nothing here needs them, and their installers would ask.
export WINEDLLOVERRIDES="mscoree,mshtml="
WINE=$(command -v wine64 || echo /usr/lib/wine/wine64)
"$WINE" build-win32/bin/platform_check.exe
