#!/bin/sh
# Runs a program of the Windows build under wine, in the wine prefix kept in
# build-win64/wine:  scripts/win64-wine.sh build-win64/bin/wagent.exe -f ...
# Stop wagent.exe with Ctrl-C (SIGINT): wine turns it into the console
# event the agent stops on, while SIGTERM ends the process at once.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX="${WINEPREFIX:-$ROOT/build-win64/wine}"
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko: nothing here needs them, and their installers would ask.
export WINEDLLOVERRIDES="mscoree,mshtml="
exec "$(command -v wine64 || echo /usr/lib/wine/wine64)" "$@"
