#!/usr/bin/env bash
# Debian's chromium and curl against quorvin-serve's file options: a page whose script and style
# exist only as gzip siblings (beside the originals) renders from the compressed copies, and a
# folder listing with awkward names, every link of which chromium follows, and a file picked in
# the listing's upload form (--upload) that lands in the folder (static_browser_test.mjs).
# Usage: static_browser_test.sh BIN-DIR BINDING
bin=$1
binding=$2
# shellcheck source=tests/interop/lib.sh
source "$(dirname "$0")/lib.sh"
[[ -d "$here/node_modules/playwright-core" ]] || fail "playwright-core is not installed in $here/node_modules (run $here/setup.sh)"
[[ -x /usr/bin/chromium ]] || fail "/usr/bin/chromium is missing (run $here/setup.sh)"

root="$work/root"
mkdir -p "$root/app" "$root/files/sub folder"
cat > "$root/app/index.htm" <<'HTML'
<!DOCTYPE html>
<html><head><title>compressed</title><link rel="stylesheet" href="style.css"></head>
<body><p id="out">not run</p><script src="app.js"></script></body></html>
HTML
# The originals say something else: only the compressed copies make the page right.
echo 'document.getElementById("out").textContent = "original script";' > "$root/app/app.js"
echo 'body { color: rgb(1, 2, 3); }' > "$root/app/style.css"
echo 'document.getElementById("out").textContent = "ran from gzip";' | gzip -9 > "$root/app/app.js.gz"
echo 'body { color: rgb(4, 5, 6); }' | gzip -9 > "$root/app/style.css.gz"
for name in "a b.txt" "hash#1.txt" "what?.txt" "$(printf 'gr\xc3\xbc\xc3\x9fe.txt')" "100%.txt" "<tag>&.txt" "sub folder/inner.txt"; do
  printf '%s' "content of $name" > "$root/files/$name"
done
printf 'secret' > "$root/files/.hidden"

start_serve --root "$root" --no-dispatcher --precompressed --listing --upload

# curl --compressed: the gzip copy, decoded by curl to what was compressed.
curl -s --compressed -D "$work/h" -o "$work/js" "$base/app/app.js"
expect_grep "curl --compressed: Content-Encoding" '^Content-Encoding: gzip' "$work/h"
expect_grep "curl --compressed: Vary" '^Vary: Accept-Encoding' "$work/h"
expect "curl --compressed: decoded body" 'document.getElementById("out").textContent = "ran from gzip";' "$(cat "$work/js")"
curl -s -o "$work/plain" "$base/app/app.js"
expect_file "curl without --compressed: the original" "$root/app/app.js" "$work/plain"

node "$here/static_browser_test.mjs" "$base" "$binding"
printf 'picked\0in chromium\n' > "$work/picked.txt"
expect_file "the file picked in chromium's form" "$work/picked.txt" "$root/files/sub folder/picked.txt"
stop_serve
summary "static files in chromium and curl"
