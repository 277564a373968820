#!/bin/sh
# Installs what is missing, builds, and starts wagent in the foreground.
#   scripts/run.sh                       with etc/wagent.conf
#   scripts/run.sh -f my.conf -s listen=127.0.0.1:9000
# Stop it with Ctrl-C (SIGINT) or SIGTERM. No key is written in the
# configuration: at first start the agent makes the local session's key in
# var/chost/session_key (0600) and names that file on stderr; callers read
# it from there, e.g. K="X-Session-Key: $(cat var/chost/session_key)".
set -eu
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target wagent wcommon

if [ "$#" -eq 0 ]; then
    set -- -f etc/wagent.conf
fi
exec build/bin/wagent "$@"
