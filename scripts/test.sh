#!/bin/sh
# Installs what is missing, builds, and runs every test.
#   scripts/test.sh              plain build in build/
#   scripts/test.sh --sanitize   AddressSanitizer + UBSan build in build-asan/
set -eu
cd "$(dirname "$0")/.."

BUILD_DIR=build
SANITIZE=OFF
if [ "${1:-}" = "--sanitize" ]; then
    BUILD_DIR=build-asan
    SANITIZE=ON
fi

scripts/install-deps.sh
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWAGENT_SANITIZE="$SANITIZE" >/dev/null
cmake --build "$BUILD_DIR" -j "$(nproc)"

if [ "$SANITIZE" = "ON" ]; then
    # Any report must fail the run, never scroll past.
    export ASAN_OPTIONS="halt_on_error=1:abort_on_error=1:detect_leaks=1:strict_string_checks=1"
    export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
fi
cd "$BUILD_DIR"
ctest --output-on-failure -j "$(nproc)" --timeout 300
