#!/bin/sh
# Installs every Debian package the build, the tests, the benchmarks, the
# package check (scripts/check-package.sh) and the Windows cross build
# (scripts/cross-win32.sh) need.
# Idempotent and non-interactive; run as root (CI and fresh machines are root).
set -eu

PACKAGES="cmake make g++ binutils pkg-config curl
libace-dev libyajl-dev libboost-dev libboost-regex-dev
libsqlite3-dev libcurl4-openssl-dev libssl-dev zlib1g-dev
googletest libgtest-dev libgmock-dev libbenchmark-dev
dpkg-dev file lintian systemd openssl
sqlite3 python3
clang libclang-rt-dev
g++-mingw-w64-x86-64-posix wine64"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done

if [ -z "$missing" ]; then
    exit 0
fi

SUDO=""
if [ "$(id -u)" != "0" ]; then
    SUDO="sudo"
fi
echo "install-deps: installing$missing" >&2
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
# shellcheck disable=SC2086
$SUDO apt-get install -y -qq --no-install-recommends $missing
