#!/usr/bin/env bash
# quorvin-serve over HTTPS, with a certificate made here, against curl, openssl and python's ssl:
# files byte-exact (one of 100 MiB), ranges, conditional GETs, web actions, TLS 1.2 and 1.3,
# several requests over one connection, parallel downloads beside stalled handshakes, a slow
# reader, a reader that leaves, a request sent with the client's Finished; then what it must
# refuse: TLS 1.0 and 1.1, plain HTTP on the port, and certificate/key files that do not make a
# pair.
# Usage: tls_serve_test.sh BIN-DIR BINDING
bin=$1
binding=$2
# shellcheck source=tests/interop/lib.sh
source "$(dirname "$0")/lib.sh"
# shellcheck source=tests/interop/pki.sh
source "$here/pki.sh"
for tool in openssl curl python3; do
  command -v "$tool" > /dev/null || skip "$tool is not installed"
done

make_pki "$work/pki"
mkdir -p "$work/root"
cp -R "$site/." "$work/root/"
head -c $((100 * 1024 * 1024)) /dev/urandom > "$work/root/big.bin"
# A request lost on the way shows as a 408 within 5 s rather than the default 20.
start_serve --root "$work/root" --tls-cert "$pki/server.pem" --tls-key "$pki/server.key" --header-timeout 5
# The certificate names localhost; curl checks that name but connects to 127.0.0.1 only.
tbase=https://localhost:$port
c=(curl -sS --max-time 60 --cacert "$pki/ca.pem" --resolve "localhost:$port:127.0.0.1")
# slice FILE FIRST LAST: the bytes FIRST..LAST of FILE.
slice() { dd if="$1" bs=1M iflag=skip_bytes,count_bytes skip="$2" count=$(($3 - $2 + 1)) status=none; }

# Every file of the site, byte for byte.
mapfile -t files < <(site_files)
for f in "${files[@]}"; do
  code=$("${c[@]}" -o "$work/got" -w '%{http_code}' "$tbase/$f")
  expect "GET /$f status" 200 "$code"
  expect_file "GET /$f" "$site/$f" "$work/got"
done

# Both protocol versions; a client offering h2 by ALPN still gets HTTP/1.1.
for row in "TLSv1.2|--tlsv1.2 --tls-max 1.2" "TLSv1.3|--tlsv1.3" "TLSv1.3|--http2"; do
  IFS='|' read -r version opts <<< "$row"
  # shellcheck disable=SC2086
  got=$("${c[@]}" -v $opts -o "$work/got" -w '%{http_version}' "$tbase/style.css" 2> "$work/v.log")
  expect_grep "curl $opts: protocol" "SSL connection using $version " "$work/v.log"
  expect "curl $opts: HTTP version" 1.1 "$got"
  expect_file "curl $opts: GET /style.css" "$site/style.css" "$work/got"
done

# Several URLs over one connection: a file, a web action, an error page and a file again.
got=$("${c[@]}" -w '%{http_code}:%{num_connects} ' -o "$work/k1" -o "$work/k2" -o /dev/null -o "$work/k4" \
  "$tbase/index.htm" "$tbase/hello" "$tbase/missing.htm" "$tbase/docs/serving.htm")
expect "four URLs: status and connections opened for each" "200:1 200:0 404:0 200:0 " "$got"
expect_file "kept GET /index.htm" "$site/index.htm" "$work/k1"
expect_grep "kept GET /hello" 'Hello from a web action' "$work/k2"
expect_file "kept GET /docs/serving.htm" "$site/docs/serving.htm" "$work/k4"

# Ranges: FILE RANGE FIRST LAST; the first crosses many 16 KiB records of a large file.
css_size=$(stat -c %s "$site/style.css")
index_size=$(stat -c %s "$site/index.htm")
ranges=(
  "big.bin 50000000-50099999 50000000 50099999"
  "style.css -500 $((css_size - 500)) $((css_size - 1))"
  "index.htm 4000- 4000 $((index_size - 1))"
)
for row in "${ranges[@]}"; do
  read -r f range first last <<< "$row"
  size=$(stat -c %s "$work/root/$f")
  code=$("${c[@]}" -r "$range" -D "$work/range.head" -o "$work/got" -w '%{http_code}' "$tbase/$f")
  expect "GET /$f bytes=$range status" 206 "$code"
  expect_grep "GET /$f bytes=$range Content-Range" "^Content-Range: bytes $first-$last/$size"$'\r?$' "$work/range.head"
  slice "$work/root/$f" "$first" "$last" > "$work/want"
  expect_file "GET /$f bytes=$range" "$work/want" "$work/got"
done

# Conditional GETs against the file's own Last-Modified, and against a date long before it.
modified=$("${c[@]}" -I "$tbase/style.css" | tr -d '\r' | sed -n 's/^Last-Modified: //Ip')
[[ -n "$modified" ]] || fail "HEAD /style.css has no Last-Modified"
for row in "$modified|304|0" "Sat, 01 Jan 2000 00:00:00 GMT|200|$css_size"; do
  IFS='|' read -r since code size <<< "$row"
  got=$("${c[@]}" -H "If-Modified-Since: $since" -o "$work/got" -w '%{http_code} %{size_download}' "$tbase/style.css")
  expect "If-Modified-Since: $since" "$code $size" "$got"
done

# Web actions: a form posted to /echo, a body of 400 KB in one POST, and /stream's generated
# answer of 5 MB, which leaves as a stream rather than as a file.
"${c[@]}" -d 'name=Ada+Lovelace&message=over+TLS' -o "$work/echo" "$tbase/echo"
expect "POST /echo method" "0=POST" "$(grep '^0=' "$work/echo")"
expect "POST /echo body" "25=name=Ada+Lovelace&message=over+TLS" "$(grep '^25=' "$work/echo")"
head -c 300000 /dev/urandom | base64 -w 0 > "$work/big.txt"
"${c[@]}" -H 'Content-Type: text/plain' --data-binary @"$work/big.txt" -o "$work/echo" "$tbase/echo"
expect "POST /echo of 400 KB" "25=$(cat "$work/big.txt")" "$(grep '^25=' "$work/echo")"
line=0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ!
yes "$line" | head -c 5000000 > "$work/stream.want" || true
"${c[@]}" -o "$work/got" "$tbase/stream?n=5000000"
expect_file "GET /stream?n=5000000" "$work/stream.want" "$work/got"

# 100 MiB, byte for byte.
got=$("${c[@]}" -o "$work/got" -w '%{time_total}' "$tbase/big.bin")
expect_file "GET /big.bin (100 MiB)" "$work/root/big.bin" "$work/got"
echo "100 MiB over HTTPS in $got s"
rm -f "$work/got"

# Our own client on the other end: quorvin-fetch trusting the CA, by address.
if "$fetch" --binding "$binding" --timeout 30 --cacert "$pki/ca.pem" -o "$work/got" \
  "https://127.0.0.1:$port/stream?n=5000000" 2> "$work/fetch.err"; then
  expect_file "quorvin-fetch GET /stream?n=5000000" "$work/stream.want" "$work/got"
else
  grep -q "binding is not built yet" "$work/fetch.err" || fail "quorvin-fetch over https: $(cat "$work/fetch.err")"
fi

# One connection that says nothing and one stuck within its ClientHello stay open while six
# downloads of distinct 8 MiB slices run at once and one more reads at 4 MiB/s: the handshakes
# wait without holding up the others, and no session's bytes reach another.
exec {idle}<> "/dev/tcp/127.0.0.1/$port"
exec {half}<> "/dev/tcp/127.0.0.1/$port"
printf '\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03' >&"$half"  # a record of 512 bytes, 6 sent
started=("${pids[@]}")
slices=()
for i in 1 2 3 4 5 6; do
  first=$((i * 13 * 1024 * 1024 + i))
  last=$((first + 8 * 1024 * 1024 - 1))
  "${c[@]}" -r "$first-$last" -o "$work/par$i" "$tbase/big.bin" &
  slices+=("$! $first $last")
  pids+=("$!")
done
"${c[@]}" --limit-rate 4M -r 0-8388607 -o "$work/slow" "$tbase/big.bin"
slices+=("slow 0 8388607")
for i in 1 2 3 4 5 6 7; do
  read -r pid first last <<< "${slices[$((i - 1))]}"
  f=$work/par$i
  if [[ "$pid" == slow ]]; then
    f=$work/slow
  else
    wait "$pid" || fail "parallel download $i: curl exited $?"
  fi
  slice "$work/root/big.bin" "$first" "$last" > "$work/want"
  expect_file "parallel GET /big.bin bytes $first-$last" "$work/want" "$f"
done
pids=("${started[@]}")  # the downloads have ended: their pids are not ours to signal any more
exec {idle}>&- {half}>&-

# A reader that leaves in the middle of 100 MiB; the server goes on serving.
"${c[@]}" "$tbase/big.bin" 2> /dev/null | head -c 100000 > /dev/null || true
code=$("${c[@]}" -o "$work/got" -w '%{http_code}' "$tbase/style.css")
expect "GET /style.css after a reader left" 200 "$code"
expect_file "GET /style.css after a reader left" "$site/style.css" "$work/got"

# TLS 1.0 and 1.1 are refused with a protocol_version alert. This openssl offers them only at
# security level 0; the alert shows the server, not the client, said no.
for v in tls1 tls1_1; do
  rc=0
  openssl s_client -connect "127.0.0.1:$port" "-$v" -cipher DEFAULT:@SECLEVEL=0 < /dev/null > "$work/s_client" 2>&1 || rc=$?
  [[ "$rc" -ne 0 ]] || fail "openssl s_client -$v: handshake accepted: $(cat "$work/s_client")"
  expect_grep "openssl s_client -$v refused" 'alert protocol version' "$work/s_client"
done

# Plain HTTP on the HTTPS port, twenty times: a plain-text 400 each time, then the connection
# closed in order. A reset in its place may destroy the answer before the client reads it.
for i in $(seq 20); do
  exec {raw}<> "/dev/tcp/127.0.0.1/$port"
  printf 'GET /index.htm HTTP/1.1\r\nHost: localhost\r\n\r\n' >&"$raw"
  rc=0
  timeout 5 cat <&"$raw" > "$work/plain" 2> "$work/plain.err" || rc=$?
  exec {raw}>&-
  expect "plain HTTP $i: status line" "HTTP/1.1 400 Bad Request" "$(head -n 1 "$work/plain" | tr -d '\r')"
  expect_grep "plain HTTP $i: connection" $'^Connection: close\r?$' "$work/plain"
  expect "plain HTTP $i: closed by the server (status of timeout 5 cat; stderr: $(cat "$work/plain.err"))" 0 "$rc"
done
code=$("${c[@]}" -o /dev/null -w '%{http_code}' "$tbase/")
expect "GET / over HTTPS after the refusals" 200 "$code"

stop_serve

# Fifty requests, each in the same segment as the client's last handshake flight (with TLS 1.3,
# its Finished; with TLS 1.2 the server speaks last, so the request goes alone). A request the
# server never reads is answered 408 at the header deadline, set short here.
start_serve --root "$work/root" --tls-cert "$pki/server.pem" --tls-key "$pki/server.key" --header-timeout 1
for v in 1.2 1.3; do
  python3 "$here/tls_coalesced.py" "$port" "$pki/ca.pem" "$v" /style.css 50 10 > "$work/coalesced"
  expect "TLS $v, requests sent with the handshake's last flight" "50 HTTP/1.1 200 OK $css_size" "$(cat "$work/coalesced")"
done
stop_serve

# Files that do not make a certificate and its key: CERT KEY, and the file the message names.
cp "$site/index.htm" "$work/not-pem.pem"
pairs=(
  "$pki/server.pem $pki/other.key $pki/other.key"
  "$work/missing.pem $pki/server.key $work/missing.pem"
  "$pki/server.pem $work/missing.key $work/missing.key"
  "$work/not-pem.pem $pki/server.key $work/not-pem.pem"
  "$pki/server.pem $work/not-pem.pem $work/not-pem.pem"
)
for row in "${pairs[@]}"; do
  read -r cert key named <<< "$row"
  rc=0
  timeout 20 "$serve" --port 0 --binding "$binding" --root "$site" --tls-cert "$cert" --tls-key "$key" \
    > "$work/bad.out" 2>&1 || rc=$?
  what="--tls-cert ${cert##*/} --tls-key ${key##*/}"
  expect "$what: exit status (output: $(cat "$work/bad.out"))" 1 "$rc"
  expect_grep "$what: message names ${named##*/}" "$named" "$work/bad.out"
  if grep -q 'Listening on port' "$work/bad.out"; then fail "$what: a listener was opened: $(cat "$work/bad.out")"; fi
done
summary "interop https serve"
