#!/usr/bin/env bash
# Persistent connections against quorvin-serve (keep-alive is its default): curl fetching several
# URLs over one connection, ab -k and wrk reusing their connections without an error, chunked and
# 100-continue request bodies, and --no-keep-alive closing after every answer again.
# Usage: keep_alive_test.sh BIN-DIR BINDING
bin=$1
binding=$2
# shellcheck source=tests/interop/lib.sh
source "$(dirname "$0")/lib.sh"
start_serve --no-dispatcher

# curl: three URLs, one connection, each file byte for byte.
curl -sS -v -o "$work/a" -o "$work/b" -o "$work/c" \
  "$base/index.htm" "$base/style.css" "$base/docs/" 2> "$work/curl.log"
expect_file "curl kept GET /index.htm" "$site/index.htm" "$work/a"
expect_file "curl kept GET /style.css" "$site/style.css" "$work/b"
expect_file "curl kept GET /docs/" "$site/docs/index.htm" "$work/c"
expect "curl connections opened for three URLs" 1 "$(grep -c '^\* Connected to' "$work/curl.log")"
expect "curl connections reused" 2 "$(grep -c '^\* Re-using existing connection' "$work/curl.log")"

# An error page and a redirect keep the connection too.
curl -sS -v -o /dev/null -o /dev/null -o "$work/d" "$base/missing.htm" "$base/docs" "$base/index.htm" \
  2> "$work/curl2.log"
expect_file "curl GET /index.htm after a 404 and a 301" "$site/index.htm" "$work/d"
expect "curl connections for 404, 301 and a file" 1 "$(grep -c '^\* Connected to' "$work/curl2.log")"

# ab -k: HTTP/1.0 with keep-alive asked for; every request answered, all on kept connections.
ab -k -n 2000 -c 10 -s 20 "$base/index.htm" > "$work/ab.txt" 2>&1 || fail "ab -k exited $?: $(tail -n 5 "$work/ab.txt")"
expect "ab -k complete" 2000 "$(sed -n 's/^Complete requests: *//p' "$work/ab.txt")"
expect "ab -k failed" 0 "$(sed -n 's/^Failed requests: *//p' "$work/ab.txt")"
expect "ab -k non-2xx" "" "$(sed -n 's/^Non-2xx responses: *//p' "$work/ab.txt")"
kept=$(sed -n 's/^Keep-Alive requests: *//p' "$work/ab.txt")
[[ "$kept" -ge 1900 ]] || fail "ab -k: only $kept of 2000 requests on kept connections"
passed=$((passed + 1))

# wrk in its own (persistent) mode for two seconds: no socket error, every answer a 200.
if command -v wrk > /dev/null; then
  wrk -t1 -c10 -d2s "$base/index.htm" > "$work/wrk.txt" 2>&1 || fail "wrk exited $?: $(cat "$work/wrk.txt")"
  expect "wrk socket errors" "" "$(grep 'Socket errors' "$work/wrk.txt" || true)"
  expect "wrk non-2xx" "" "$(grep 'Non-2xx' "$work/wrk.txt" || true)"
  grep -Eq '^ +[0-9]+ requests in' "$work/wrk.txt" || fail "wrk: no requests: $(cat "$work/wrk.txt")"
  passed=$((passed + 1))
fi
stop_serve

# Request bodies as curl sends them on a kept connection: chunked, and after Expect:
# 100-continue; the web action sees every byte.
start_serve
head -c 300000 /dev/urandom | base64 -w 0 > "$work/big.txt"
curl -sS -H 'Transfer-Encoding: chunked' -H 'Content-Type: text/plain' --data-binary @"$work/big.txt" \
  -o "$work/echo-chunked.out" "$base/echo"
expect "chunked POST /echo body" "25=$(cat "$work/big.txt")" "$(grep '^25=' "$work/echo-chunked.out")"
curl -sS -v -H 'Expect: 100-continue' -H 'Content-Type: text/plain' --data-binary @"$work/big.txt" \
  -o "$work/echo-expect.out" "$base/echo" 2> "$work/expect.log"
expect_grep "curl heard 100 Continue" '^< HTTP/1.1 100 Continue' "$work/expect.log"
expect "Expect POST /echo body" "25=$(cat "$work/big.txt")" "$(grep '^25=' "$work/echo-expect.out")"
stop_serve

# Turned off, every answer ends its connection again.
start_serve --no-dispatcher --no-keep-alive
curl -sS -v -o /dev/null -o /dev/null "$base/index.htm" "$base/style.css" 2> "$work/curl3.log"
expect "curl connections with keep-alive off" 2 "$(grep -c '^\* Connected to' "$work/curl3.log")"
stop_serve
summary "interop keep-alive"
