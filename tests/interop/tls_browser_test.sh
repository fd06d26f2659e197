#!/usr/bin/env bash
# Debian's chromium against quorvin-serve over HTTPS: tls_browser_test.mjs, with the certificate
# made and the server started here.
# Usage: tls_browser_test.sh BIN-DIR BINDING
bin=$1
binding=$2
# shellcheck source=tests/interop/lib.sh
source "$(dirname "$0")/lib.sh"
# shellcheck source=tests/interop/pki.sh
source "$here/pki.sh"
command -v openssl > /dev/null || skip "openssl is not installed"
[[ -d "$here/node_modules/playwright-core" ]] || skip "playwright-core is not installed in $here/node_modules (run $here/setup.sh)"
[[ -x /usr/bin/chromium ]] || skip "/usr/bin/chromium is missing (run $here/setup.sh)"
make_pki "$work/pki"
start_serve --tls-cert "$pki/server.pem" --tls-key "$pki/server.key"
node "$here/tls_browser_test.mjs" "https://127.0.0.1:$port" "$(spki_sha256 "$pki/server.key")" "$binding"
stop_serve
echo "quorvin-serve ($binding) stopped cleanly"
