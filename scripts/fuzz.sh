#!/bin/sh
# Builds the libFuzzer harnesses with clang into build-fuzz/ and runs each
# for a bounded time, starting from its seeds in fuzz/corpus/<harness>/.
#   scripts/fuzz.sh [SECONDS] [HARNESS...]   (default 60 s, every harness)
# New inputs collect in build-fuzz/corpus/<harness>/, crashes in
# build-fuzz/artifacts/; any crash fails the run. docs/fuzzing.md says more.
set -eu
cd "$(dirname "$0")/.."

SECONDS_EACH=${1:-60}
[ $# -gt 0 ] && shift
HARNESSES=${*:-"jsonrpc_fuzz http_fuzz config_fuzz"}

scripts/install-deps.sh
launcher=""
command -v ccache >/dev/null && launcher="-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DWAGENT_FUZZ=ON $launcher >/dev/null
# shellcheck disable=SC2086
cmake --build build-fuzz -j "$(nproc)" --target $HARNESSES

export ASAN_OPTIONS="halt_on_error=1:abort_on_error=1:detect_leaks=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
mkdir -p build-fuzz/artifacts
for h in $HARNESSES; do
    mkdir -p "build-fuzz/corpus/$h"
    echo "fuzz: $h for $SECONDS_EACH s" >&2
    "build-fuzz/bin/$h" -max_total_time="$SECONDS_EACH" -timeout=30 \
        -rss_limit_mb=4096 -print_final_stats=1 \
        -artifact_prefix="build-fuzz/artifacts/$h-" \
        "build-fuzz/corpus/$h" "fuzz/corpus/$h" 2>"build-fuzz/$h.log" ||
        { tail -n 60 "build-fuzz/$h.log" >&2; exit 1; }
    grep -E "^stat::(number_of_executed_units|average_exec_per_sec)" "build-fuzz/$h.log" >&2 || true
done
