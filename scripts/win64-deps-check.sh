#!/bin/sh
# Cross-builds scripts/win64-deps-check/ against the Windows dependency
# prefix (made by scripts/win64-deps.sh, which this runs unless given the
# prefix) with the project's toolchain file, and runs it under wine.
#
#   scripts/win64-deps-check.sh [PREFIX]
set -eu
cd "$(dirname "$0")/.."

PREFIX=${1:-$(scripts/win64-deps.sh | tail -n 1)}
OUT="$(dirname "$PREFIX")/check"

cmake -S scripts/win64-deps-check -B "$OUT" \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" \
    -DWIN64_DEPS_PREFIX="$PREFIX" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$OUT" -j2

# A wine prefix of its own, beside the build; no Mono or Gecko installers.
export WINEPREFIX="$OUT/wine"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
# libACE.dll and the compiler's runtime DLLs are in PREFIX/bin.
export WINEPATH="Z:$(echo "$PREFIX/bin" | tr / '\\')"
WINE=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
"$WINE" "$OUT/win64_deps_check.exe"
