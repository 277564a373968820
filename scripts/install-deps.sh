#!/bin/sh
# Installs every Debian package the build, the tests, the benchmarks, the
# package check (scripts/check-package.sh) and the Windows cross build
# (scripts/cross-win32.sh) need, and the JSON-RPC client library the
# end-to-end tests run with node (npm ci into tests/jsonrpc_client).
# Idempotent and non-interactive; run as root (CI and fresh machines are root).
set -eu

PACKAGES="cmake make g++ binutils pkg-config curl
libace-dev libyajl-dev libboost-dev libboost-regex-dev
libsqlite3-dev libcurl4-openssl-dev libssl-dev zlib1g-dev
googletest libgtest-dev libgmock-dev libbenchmark-dev
dpkg-dev file lintian systemd openssl
sqlite3 python3 python3-prometheus-client
clang libclang-rt-dev
g++-mingw-w64-x86-64-posix wine64"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done

# node and npm by command: a node from elsewhere (NodeSource's nodejs
# bundles npm) conflicts with Debian's npm package.
command -v node >/dev/null 2>&1 || missing="$missing nodejs"
command -v npm >/dev/null 2>&1 || missing="$missing npm"

if [ -n "$missing" ]; then
    SUDO=""
    if [ "$(id -u)" != "0" ]; then
        SUDO="sudo"
    fi
    echo "install-deps: installing$missing" >&2
    export DEBIAN_FRONTEND=noninteractive
    $SUDO apt-get update -qq
    # shellcheck disable=SC2086
    $SUDO apt-get install -y -qq --no-install-recommends $missing
fi

# The npm packages, exactly as locked; skipped while the lock file has not
# changed since the last install.
CLIENTS="$(cd "$(dirname "$0")/.." && pwd)/tests/jsonrpc_client"
STAMP="$CLIENTS/node_modules/.installed"
if [ ! -f "$STAMP" ] || [ "$CLIENTS/package-lock.json" -nt "$STAMP" ]; then
    echo "install-deps: npm ci in $CLIENTS" >&2
    (cd "$CLIENTS" && npm ci --no-audit --no-fund --loglevel=error)
    touch "$STAMP"
fi
