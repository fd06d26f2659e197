#!/usr/bin/env bash
# Python's urllib against quorvin-serve: urllib_test.py, with the server started here.
# Usage: urllib_test.sh BIN-DIR BINDING
bin=$1
binding=$2
# shellcheck source=tests/interop/lib.sh
source "$(dirname "$0")/lib.sh"
start_serve
QUORVIN_BASE=$base QUORVIN_SITE=$site python3 "$here/urllib_test.py"
stop_serve
echo "quorvin-serve ($binding) stopped cleanly"
