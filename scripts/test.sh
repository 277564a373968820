#!/bin/sh
# Installs what is missing, builds, and runs every test.
#   scripts/test.sh              plain build in build/
#   scripts/test.sh --sanitize   AddressSanitizer + UBSan build in build-asan/
#   scripts/test.sh --tsan       ThreadSanitizer build in build-tsan/, the
#                                tests labelled 'concurrent' only
set -eu
cd "$(dirname "$0")/.."

BUILD_DIR=build
SANITIZE=OFF
if [ "${1:-}" = "--sanitize" ]; then
    BUILD_DIR=build-asan
    SANITIZE=ON
fi
if [ "${1:-}" = "--tsan" ]; then
    scripts/install-deps.sh
    cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWAGENT_TSAN=ON >/dev/null
    cmake --build build-tsan -j "$(nproc)" --target concurrent_tests
    # Reports of every process (wagent children too) land in files here;
    # any one fails the run.
    rm -rf build-tsan/tsan-reports && mkdir -p build-tsan/tsan-reports
    export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/scripts/tsan.supp:log_path=$PWD/build-tsan/tsan-reports/report"
    status=0
    (cd build-tsan && ctest --output-on-failure -j "$(nproc)" --timeout 600 -L concurrent) || status=$?
    if [ -n "$(ls build-tsan/tsan-reports)" ]; then
        cat build-tsan/tsan-reports/* >&2
        status=1
    fi
    exit $status
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
