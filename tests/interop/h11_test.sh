#!/usr/bin/env bash
# A strict HTTP/1.1 client (python3-h11) reads every kind of answer quorvin-serve gives on one
# kept connection: files, 304, 206, 416, errors, HEAD, redirects, web actions, 100-continue.
# Usage: h11_test.sh BIN-DIR BINDING
bin=$1
binding=$2
# shellcheck source=tests/interop/lib.sh
source "$(dirname "$0")/lib.sh"
# Debian's h11 is for Debian's Python, whatever python3 comes first on the PATH.
/usr/bin/python3 -c 'import h11' 2> /dev/null || fail "python3-h11 is missing (scripts/install-deps interop)"
start_serve
QUORVIN_PORT=$port /usr/bin/python3 "$here/h11_check.py"
stop_serve
echo "quorvin-serve ($binding) stopped cleanly"
