#!/usr/bin/env bash
# Debian's chromium against quorvin-serve: browser_test.mjs, with the server started here.
# Usage: browser_test.sh BIN-DIR BINDING ARTIFACT-DIR
bin=$1
binding=$2
artifacts=$3
# shellcheck source=tests/interop/lib.sh
source "$(dirname "$0")/lib.sh"
[[ -d "$here/node_modules/playwright-core" ]] || fail "playwright-core is not installed in $here/node_modules (run $here/setup.sh)"
[[ -x /usr/bin/chromium ]] || fail "/usr/bin/chromium is missing (run $here/setup.sh)"
start_serve
node "$here/browser_test.mjs" "$base" "$artifacts" "$binding"
stop_serve
echo "quorvin-serve ($binding) stopped cleanly"
