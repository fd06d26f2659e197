#!/usr/bin/env bash
# Installs what the interop tests use, each part only when it is missing: the Debian packages of
# the "interop" group (curl, wget, ab, nginx, chromium, node) and playwright-core from npm into
# tests/interop/node_modules. Without a network or root it fails loudly: the interop tests would
# have nothing to run with, and passing them by skipping would hide that.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
"$here/../../scripts/install-deps" interop

cd "$here"
# Two build folders setting up at once must not write node_modules together.
exec {lock}< package.json
flock "$lock"
want=$(node -p 'require("./package-lock.json").packages["node_modules/playwright-core"].version')
have=$(node -p 'try { require("./node_modules/playwright-core/package.json").version } catch { "" }')
if [[ "$want" != "$have" ]]; then
  echo "interop setup: installing playwright-core $want"
  npm ci --no-audit --no-fund --loglevel=error
fi
node -e 'import("playwright-core").then(() => process.exit(0), (e) => { console.error(e.message); process.exit(1); })'
[[ -x /usr/bin/chromium ]] || { echo "interop setup: /usr/bin/chromium is missing after installing" >&2; exit 1; }
echo "interop setup: ready (playwright-core $want, $(/usr/bin/chromium --version 2>/dev/null || echo chromium))"
