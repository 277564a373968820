#!/bin/sh
# CI's check of the Debian package: builds it from build/, lists it, runs
# lintian and systemd-analyze verify, then unpacks it into a temporary root
# and starts the packaged wagent the way its unit does (the folders in the
# environment, no -f), with its state in a temporary folder and a free
# loopback port; calls host.info, stops it with SIGTERM, wants exit 0.
set -eu
cd "$(dirname "$0")/.."

say() { echo "check-package: $*" >&2; }
fail() { say "FAILED: $*"; exit 1; }

deb=$(scripts/package.sh)
say "$deb"
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"
lintian --fail-on error --tag-display-limit 0 "$deb" || fail "lintian"

tmp=$(mktemp -d)
pid=""
cleanup() {
    if [ -n "$pid" ]; then kill -KILL "$pid" 2>/dev/null || true; fi
    rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
root=$tmp/root
dpkg-deb -x "$deb" "$root"

unit=$(find "$root" -path '*/systemd/system/wagent.service')
if command -v systemd-analyze >/dev/null; then
    # The unit as it would be installed, its binary and manual page taken
    # from the unpacked root. verify only warns about a bad value, so any
    # word from it fails the check.
    mkdir "$tmp/unit"
    sed "s|^ExecStart=/|ExecStart=$root/|" "$unit" >"$tmp/unit/wagent.service"
    said=$(MANPATH="$root/usr/share/man" systemd-analyze verify "$tmp/unit/wagent.service" 2>&1) &&
        [ -z "$said" ] || fail "systemd-analyze verify: $said"
    say "systemd-analyze verify: unit accepted"
else
    say "systemd-analyze not found: unit not verified"
fi

wagent=$root/usr/sbin/wagent
"$wagent" -h >/dev/null || fail "wagent -h"
mkdir "$tmp/state" "$tmp/logs"
env -u LD_LIBRARY_PATH CONFIGURATION_DIRECTORY="$root/etc/wagent" \
    STATE_DIRECTORY="$tmp/state" LOGS_DIRECTORY="$tmp/logs" \
    "$wagent" -s listen=127.0.0.1:0 >"$tmp/out" 2>&1 &
pid=$!
port=""
for _ in $(seq 100); do
    port=$(sed -n 's|^wagent: listening on http://127\.0\.0\.1:\([0-9]*\)$|\1|p' "$tmp/out")
    if [ -n "$port" ] || ! kill -0 "$pid" 2>/dev/null; then break; fi
    sleep 0.1
done
[ -n "$port" ] || { cat "$tmp/out" >&2; fail "no listening line"; }
grep -q "$root/.*/libwcommon.so" "/proc/$pid/maps" ||
    fail "the module was not loaded from the package"
[ -d "$tmp/state/chost" ] || fail "appdata is not \$STATE_DIRECTORY"

reply=$(curl -sS --max-time 10 -d '{"jsonrpc":"2.0","id":1,"method":"host.info"}' \
        "http://127.0.0.1:$port/jsonrpc") || fail "host.info call"
say "host.info: $reply"
case "$reply" in *'"result"'*) ;; *) fail "host.info answered no result" ;; esac

kill -TERM "$pid"
(sleep 30; kill -KILL "$pid" 2>/dev/null) &
watchdog=$!
status=0
wait "$pid" || status=$?
pid=""
kill "$watchdog" 2>/dev/null || true
[ "$status" -eq 0 ] || { cat "$tmp/out" >&2; fail "exit status $status after SIGTERM"; }
say "packaged wagent served host.info and stopped with exit status 0"
