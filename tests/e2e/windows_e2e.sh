#!/bin/bash
# wagent.exe under wine, driven from Linux over loopback with curl through
# the README's calls (host.info, fs.list of c:\, of a \\?\ path and of the drives,
# fs.statfs, the clock, a job created and run, system.execute with its output
# in the execution log), then a clean stop on Ctrl-C; then the same program
# as a service of wine's service control manager, started, called and
# stopped through it.
#   tests/e2e/windows_e2e.sh BUILD_DIR
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=$(cd "${1:?usage: windows_e2e.sh BUILD_DIR}" && pwd)
WORK=$(mktemp -d)
AGENT=""
WINE="$ROOT/scripts/win64-wine.sh"
SERVICE=""
KEEPER=""
cleanup() {
    [ -z "$AGENT" ] || kill -KILL "$AGENT" 2>/dev/null || true
    if [ -n "$SERVICE" ]; then
        "$WINE" sc stop "$SERVICE" >/dev/null 2>&1 || true
        "$WINE" sc delete "$SERVICE" >/dev/null 2>&1 || true
    fi
    if [ -n "$KEEPER" ]; then
        exec 3>&-  # the console's input ends, and so does the console
        kill "$KEEPER" 2>/dev/null || true
    fi
    rm -rf "$WORK"
}
trap cleanup EXIT
fail() { echo "windows_e2e: FAILED: $*" >&2; echo "--- stderr:" >&2; cat "$WORK/err" >&2; exit 1; }

# Polls `check` (a command) for up to $1 seconds.
eventually() {
    local seconds=$1; shift
    for _ in $(seq $((seconds * 5))); do
        "$@" && return 0
        sleep 0.2
    done
    return 1
}

cd "$WORK"
"$WINE" "$BUILD/bin/wagent.exe" -f "$ROOT/etc/wagent.conf" \
    -s listen=127.0.0.1:0 2> "$WORK/err" > "$WORK/out" &
AGENT=$!
listening() { grep -q "listening on http://" "$WORK/err"; }
eventually 120 listening || fail "wagent.exe did not start"
URL=$(sed -n 's/^wagent: listening on \(http:[^ ]*\)$/\1/p' "$WORK/err" | tr -d '\r')
K="X-Session-Key: $(cat var/chost/session_key)"

# call METHOD PARAMS -> the whole answer
call() {
    curl -s -m 30 -H "$K" -d "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"$1\",\"params\":$2}" \
        "$URL/jsonrpc"
}
expect() {  # expect WHAT TEXT FRAGMENT
    case "$2" in *"$3"*) echo "ok: $1" ;; *) fail "$1: '$3' not in: $2" ;; esac
}

expect "host.info names Windows" "$(call host.info null)" '"sysname":"Windows"'
expect "fs.list of c:\\" "$(call fs.list '"c:\\"')" '"name":"windows","type":"directory"'
expect "fs.list of a \\\\?\\ path" "$(call fs.list '"\\\\?\\c:\\windows"')" '"name":"system32"'
expect "the drive list" "$(call fs.list '""')" '"drive":"c:\\","drive_type":"fixed"'
expect "fs.statfs of c:\\" "$(call fs.statfs '"c:\\"')" '"total":'
expect "the clock" "$(curl -s -m 30 -H "$K" "$URL/api/host/date")" '"date":"'

expect "job.create" \
    "$(call job.create '{"id":"nightly","command":"cmd /c exit 3","schedule":{"interval":2}}')" \
    '"result":"nightly"'
ran() { case "$(call job.list null)" in *'"code":3'*'"state":"ended"'*) return 0 ;; esac; return 1; }
eventually 60 ran || fail "the job did not run: $(call job.list null)"
echo "ok: the job ran and ended with its exit code"

expect "system.execute" "$(call system.execute '{"cmd":"cmd /c echo from-{who}","binders":{"who":"wine"}}')" \
    '"result":true'
LOG=var/quillon/veltrano/agent/log/execute.log
grep -q "from-wine" "$LOG" || fail "the command's output is not in the execution log: $(cat "$LOG")"
grep -q "cmd /c echo from-wine|0" "$LOG" || fail "no end record with exit code 0: $(cat "$LOG")"
echo "ok: the command's output and end record are in the execution log"

# Ctrl-C: wine turns SIGINT into the console event the agent stops on.
kill -INT "$AGENT"
stopped() { ! kill -0 "$AGENT" 2>/dev/null; }
eventually 60 stopped || fail "wagent.exe did not stop on Ctrl-C"
code=0
wait "$AGENT" || code=$?
AGENT=""
[ "$code" = 0 ] || fail "wagent.exe exited with $code after Ctrl-C"
echo "ok: a clean stop on Ctrl-C"

# As a service. Wine ends its services once no program of the prefix runs:
# a console waiting for input keeps one running meanwhile.
windows_path() { echo "Z:$1" | tr / '\\'; }
mkfifo "$WORK/keep"
"$WINE" cmd < "$WORK/keep" >/dev/null 2>&1 &
KEEPER=$!
exec 3> "$WORK/keep"
PORT=$((20000 + RANDOM % 20000))
SERVICE="wagent-e2e-$$"
mkdir -p "$WORK/service"
"$WINE" sc create "$SERVICE" binPath= "$(windows_path "$BUILD/bin/wagent.exe") -f $(windows_path "$ROOT/etc/wagent.conf") -s listen=127.0.0.1:$PORT -s appdata=$(windows_path "$WORK/service/var") -s log=$(windows_path "$WORK/service/agent.log")" \
    >/dev/null 2>&1 || fail "sc create"
"$WINE" sc start "$SERVICE" >/dev/null 2>&1 || fail "sc start"
URL="http://127.0.0.1:$PORT"
K="X-Session-Key: none"
answers() { case "$(call host.info null)" in *'"sysname":"Windows"'*) return 0 ;; esac; return 1; }
eventually 60 answers || fail "the service does not answer: $(cat "$WORK/service/agent.log" 2>/dev/null)"
echo "ok: the service answers"
"$WINE" sc stop "$SERVICE" >/dev/null 2>&1 || fail "sc stop"
service_stopped() { "$WINE" sc query "$SERVICE" 2>/dev/null | grep -q "STATE.*STOPPED"; }
eventually 60 service_stopped || fail "the service did not stop: $("$WINE" sc query "$SERVICE")"
grep -q "host.cpp:[0-9]*: stopped" "$WORK/service/agent.log" || fail "no clean stop in the service's log"
echo "ok: the service stops cleanly through the service control manager"
echo "windows_e2e: passed"
