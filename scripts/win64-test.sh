#!/bin/sh
# Builds the Windows side (scripts/win64-build.sh), runs its unit and
# handler tests under wine, then the end-to-end run of wagent.exe under
# wine driven from Linux over loopback (tests/e2e/windows_e2e.sh).
set -eu
cd "$(dirname "$0")/.."

scripts/win64-build.sh
export WINEPREFIX="$PWD/build-win64/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# The wine prefix is made once, before tests start in parallel.
scripts/win64-wine.sh cmd /c exit 0 >/dev/null 2>&1 || true
(cd build-win64 && ctest --output-on-failure -j "$(nproc)" --timeout 600)
tests/e2e/windows_e2e.sh build-win64
