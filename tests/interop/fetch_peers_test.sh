#!/usr/bin/env bash
# quorvin-fetch against servers it was not written with: python3's http.server (HTTP/1.0) and
# Debian's nginx (HTTP/1.1 answers), both on loopback ports with configurations made here: files
# byte-exact, the peers' own 404 pages, -i headings, redirects and POST bodies.
# Usage: fetch_peers_test.sh BIN-DIR BINDING
bin=$1
binding=$2
# shellcheck source=tests/interop/lib.sh
source "$(dirname "$0")/lib.sh"
probe_fetch

qfetch() { "$fetch" --binding "$binding" --timeout 20 "$@"; }

# The documents both peers serve: the bundled site, a binary file of 1 MiB, and bodies to post.
mkdir -p "$work/root"
cp -R "$site/." "$work/root/"
head -c $((1024 * 1024)) /dev/urandom > "$work/root/big.bin"
head -c $((100 * 1024)) /dev/urandom > "$work/post.bin"
mapfile -t files < <(cd "$work/root" && find . -type f ! -path '*/.*' -printf '%P\n' | sort)

# Checks that hold for any HTTP server serving $work/root at $1; $2 names the peer.
common_checks() {
  local url=$1 peer=$2 f
  for f in "${files[@]}"; do
    qfetch -o "$work/got" "$url/$f" || fail "$peer: quorvin-fetch /$f exited $?"
    expect_file "$peer GET /$f" "$work/root/$f" "$work/got"
  done
  # -i: the status line and the headers, then the body, byte-exact.
  qfetch -i "$url/style.css" > "$work/css" || fail "$peer: quorvin-fetch -i /style.css exited $?"
  split_answer "$work/css"
  expect "$peer -i status line" "200 OK" "$(head -n 1 "$work/css.head" | cut -d' ' -f2-)"
  expect_grep "$peer -i version" '^HTTP/1\.[01] ' "$work/css.head"
  expect "$peer -i content-type" "text/css" "$(header "$work/css" content-type)"
  expect "$peer -i content-length" "$(stat -c %s "$work/root/style.css")" "$(header "$work/css" content-length)"
  expect_grep "$peer -i last-modified" '^last-modified: [A-Z][a-z]{2}, [0-9]{2} [A-Z][a-z]{2} [0-9]{4} ' "$work/css.head"
  expect_file "$peer -i body" "$work/root/style.css" "$work/css.body"
  # A folder named without its "/" is redirected; the client shows the redirect, it does not follow.
  qfetch -i "$url/docs" > "$work/r301" || fail "$peer: /docs exited $?"
  split_answer "$work/r301"
  expect "$peer /docs status" "301 Moved Permanently" "$(head -n 1 "$work/r301.head" | cut -d' ' -f2-)"
  expect_grep "$peer /docs location" '^location: (http://127\.0\.0\.1:[0-9]+)?/docs/$' "$work/r301.head"
}

# --- python3 -m http.server --------------------------------------------------------------------
start_python "$work/root"

common_checks "$py_base" python
expect_grep "python -i server" '^server: SimpleHTTP/' "$work/css.head"
qfetch -i "$py_base/missing.htm" > "$work/p404" || fail "python: a 404 is still an answer (exit $?)"
split_answer "$work/p404"
expect "python 404 status line" "HTTP/1.0 404 File not found" "$(head -n 1 "$work/p404.head")"
expect_grep "python 404 page" 'Error code: 404' "$work/p404.body"
expect "python 404 body length" "$(header "$work/p404" content-length)" "$(stat -c %s "$work/p404.body")"
# http.server has no POST: its 501 answer arrives whole, after the client sent its body.
qfetch -i -X POST -d 'name=Ada+Lovelace' "$py_base/index.htm" > "$work/p501" || fail "python: POST exited $?"
split_answer "$work/p501"
expect "python POST status line" "HTTP/1.0 501 Unsupported method ('POST')" "$(head -n 1 "$work/p501.head")"
expect_grep "python POST page" 'Unsupported method' "$work/p501.body"

# --- nginx -------------------------------------------------------------------------------------
start_nginx "$work/root"

common_checks "$nginx_base" nginx
expect_grep "nginx -i server" '^server: nginx' "$work/css.head"
expect_grep "nginx -i connection" '^connection: close$' "$work/css.head"
qfetch -i "$nginx_base/missing.htm" > "$work/n404" || fail "nginx: a 404 is still an answer (exit $?)"
split_answer "$work/n404"
expect "nginx 404 status line" "HTTP/1.1 404 Not Found" "$(head -n 1 "$work/n404.head")"
expect_grep "nginx 404 page" '<h1>404 Not Found</h1>' "$work/n404.body"
expect "nginx 404 body length" "$(header "$work/n404" content-length)" "$(stat -c %s "$work/n404.body")"
# POST bodies come back byte-exact; nginx answers them without a Content-Length, until it closes.
form='name=Ada+Lovelace&message=Hello+from+quorvin-fetch%2C+%26+more.'
qfetch -i -X POST -H 'Content-Type: application/x-www-form-urlencoded' -d "$form" "$nginx_base/echo" > "$work/necho" ||
  fail "nginx: POST /echo exited $?"
split_answer "$work/necho"
expect "nginx POST /echo status line" "HTTP/1.1 200 OK" "$(head -n 1 "$work/necho.head")"
expect "nginx POST /echo body" "$form" "$(cat "$work/necho.body")"
qfetch -o "$work/necho.bin" -X POST --data-file "$work/post.bin" "$nginx_base/echo" || fail "nginx: POST of 100 KiB exited $?"
expect_file "nginx POST 100 KiB binary body" "$work/post.bin" "$work/necho.bin"
grep -q '"POST /echo HTTP/1.0" 200 ' "$nginx_dir/access.log" || fail "nginx did not log the POSTs as HTTP/1.0: $(cat "$nginx_dir/access.log")"
# A body posted to a static file: nginx refuses it with 405.
qfetch -i -X POST -d 'name=x' "$nginx_base/index.htm" > "$work/n405" || fail "nginx: POST to a file exited $?"
expect "nginx POST to a file" "HTTP/1.1 405 Not Allowed" "$(head -n 1 "$work/n405" | tr -d '\r')"

summary "interop fetch against peers"
