#!/bin/sh
# Builds the whole agent for 64-bit Windows in build-win64/: libagent.dll,
# libwcommon.dll, wagent.exe and the unit and handler tests, against the
# dependencies scripts/win64-deps.sh cross-builds (cached; the first run on
# a machine takes about 20 minutes). Run as root the first time (apt).
set -eu
cd "$(dirname "$0")/.."

PREFIX=$(scripts/win64-deps.sh | tail -n 1)
cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" \
    -DWIN64_DEPS_PREFIX="$PREFIX" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-win64 -j "$(nproc)"
echo "built: build-win64/bin/wagent.exe"
