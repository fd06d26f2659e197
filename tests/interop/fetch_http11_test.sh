#!/usr/bin/env bash
# quorvin-fetch against HTTP/1.1 servers: a python3 server written for this test
# (http11_server.py: chunked bodies with extensions and trailers, malformed framing, an endless
# body, redirects of every kind, a redirect loop, a redirect to https) over IPv4 and IPv6
# loopback, and Debian's nginx (a chunked HTTP/1.1 answer, request bodies from a pipe, and 1 GiB
# to disk with the client's peak resident memory measured).
# Usage: fetch_http11_test.sh BIN-DIR BINDING
bin=$1
binding=$2
# shellcheck source=tests/interop/lib.sh
source "$(dirname "$0")/lib.sh"
# shellcheck source=tests/interop/pki.sh
source "$here/pki.sh"
probe_fetch

qfetch() { "$fetch" --binding "$binding" --max-time 20 "$@"; }
# expect_fail WHAT CODE PATTERN ARGS...: quorvin-fetch exits CODE saying PATTERN.
expect_fail() {
  local what=$1 code=$2 pattern=$3 rc=0
  shift 3
  qfetch "$@" > "$work/out" 2> "$work/err" || rc=$?
  expect "$what: exit status ($(cat "$work/err"))" "$code" "$rc"
  expect_grep "$what: message" "$pattern" "$work/err"
}

# The https end of a redirect: quorvin-serve with a certificate of the test CA.
make_pki "$work/pki"
start_serve --tls-cert "$pki/server.pem" --tls-key "$pki/server.key" --no-dispatcher
https_base=https://127.0.0.1:$port

exec {py_fd}< <(exec python3 -u "$here/http11_server.py" "$https_base" 2>&1)
pids+=("$!")
IFS= read -r -t 20 -u "$py_fd" line || fail "http11_server.py did not start"
[[ "$line" =~ ^port\ ([0-9]+)$ ]] || fail "http11_server.py said: $line"
py_port=${BASH_REMATCH[1]}
chunked_text="hello chunked $(printf 'world, %.0s' $(seq 50))end"

hosts=("127.0.0.1")
if grep -q '^0\{31\}1 ' /proc/net/if_inet6 2>/dev/null && python3 -c 'import socket; socket.create_connection(("::1", '"$py_port"'), 2)' 2>/dev/null; then
  hosts+=("[::1]")
else
  echo "note: no IPv6 loopback here; IPv4 only"
fi

for host in "${hosts[@]}"; do
  base=http://$host:$py_port
  for version in HTTP/1.0 HTTP/1.1; do
    expect "$host $version chunked body" "$chunked_text" "$(qfetch --protocol-version "$version" "$base/chunked")"
  done
  qfetch -i "$base/chunked-ext" > "$work/ext" || fail "$host: /chunked-ext exited $?"
  split_answer "$work/ext"
  expect "$host chunked with extensions and trailers" "$chunked_text" "$(cat "$work/ext.body")"
  expect "$host chunked heading" "chunked" "$(header "$work/ext" transfer-encoding)"
  qfetch -o "$work/chunked.out" "$base/chunked" || fail "$host: -o /chunked exited $?"
  expect "$host chunked to a file" "$chunked_text" "$(cat "$work/chunked.out")"

  expect_fail "$host chunk size not hex" 1 "malformed chunked body" "$base/bad-size"
  expect_fail "$host chunk longer than its size" 1 "malformed chunked body" "$base/overlong-chunk"
  expect_fail "$host chunk size line too long" 1 "malformed chunked body" "$base/huge-size-line"
  expect_fail "$host endless body" 3 "no complete answer within 2 s" --max-time 2 -o "$work/endless.out" "$base/endless"

  # Redirects: 303, and 301/302 after a POST, become GET; 307 and 308 repeat the POST.
  for code in 301 302 303 307 308; do
    expect "$host -L GET via $code" "GET  host=$host:$py_port" "$(qfetch -L "$base/r$code")"
    case $code in
      307 | 308) want="POST a=1" ;;
      *) want="GET " ;;
    esac
    expect "$host -L POST via $code" "$want host=$host:$py_port" "$(qfetch -L -d a=1 "$base/r$code")"
  done
  expect "$host without -L: the redirect itself" "redirect!" "$(qfetch "$base/r302")"
  expect "$host relative Location" "relative ok" "$(qfetch -L "$base/relative/start")"
  expect "$host absolute Location" "GET  host=$host:$py_port" "$(qfetch -L "$base/absolute")"
  expect_fail "$host redirect loop" 1 "more than 10 redirects" -L "$base/loop"
  expect_fail "$host --max-redirs 3" 1 "more than 3 redirects" -L --max-redirs 3 "$base/loop"
  qfetch -L --cacert "$pki/ca.pem" -o "$work/https.out" "$base/to-https" || fail "$host: http to https exited $?"
  expect_file "$host -L from http to https" "$site/index.htm" "$work/https.out"
done
# A listener that takes connections and never speaks: the TLS handshake never ends, and the
# connect limit (which covers it) ends the fetch.
exec {silent_fd}< <(exec python3 -u -c 'import socket, time
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen(8)
print(s.getsockname()[1], flush=True); time.sleep(60)')
pids+=("$!")
IFS= read -r -t 20 -u "$silent_fd" silent_port || fail "the silent listener did not start"
expect_fail "connect timeout" 3 "within 1 s" --connect-timeout 1 "https://127.0.0.1:$silent_port/"

# --- nginx: a chunked HTTP/1.1 answer, and 1 GiB to disk in little memory ------------------
mkdir -p "$work/root"
truncate -s 1G "$work/root/big.bin"
head -c $((300 * 1024)) /dev/urandom > "$work/post.bin"
start_nginx "$work/root"
qfetch --protocol-version HTTP/1.1 --progress -i -o "$work/echo" -X POST --data-file "$work/post.bin" \
  "$nginx_base/echo" 2> "$work/echo.err" || fail "nginx: POST exited $?"
expect_grep "upload progress shown to the end" "sent  *307200 / 307200 bytes 100%" "$work/echo.err"
split_answer "$work/echo"
expect "nginx answers HTTP/1.1 chunked" "chunked" "$(header "$work/echo" transfer-encoding)"
expect_file "nginx chunked echo body" "$work/post.bin" "$work/echo.body"
# A body from a pipe on standard input, its length unknown until it ends: in chunks over
# HTTP/1.1, over HTTP/1.0 with the length a temporary file told; nginx echoes it whole.
head -c $((3 * 1024 * 1024)) /dev/urandom > "$work/piped.bin"
for version in HTTP/1.1 HTTP/1.0; do
  # shellcheck disable=SC2002  # the pipe is the point: a file on standard input has a length
  cat "$work/piped.bin" | qfetch --protocol-version "$version" -X POST --data-file - -o "$work/piped.out" \
    "$nginx_base/echo" || fail "nginx: $version POST from a pipe exited $?"
  expect_file "nginx echo of a pipe over $version" "$work/piped.bin" "$work/piped.out"
  : | qfetch --protocol-version "$version" -X POST --data-file - -o "$work/piped.out" "$nginx_base/echo" ||
    fail "nginx: $version POST from an empty pipe exited $?"
  expect "nginx echo of an empty pipe over $version" 0 "$(stat -c %s "$work/piped.out")"
done
/usr/bin/time -f '%M' -o "$work/rss" "$fetch" --binding "$binding" --max-time 120 -o "$work/big.out" \
  "$nginx_base/big.bin" || fail "nginx: 1 GiB exited $?"
expect "nginx 1 GiB size" 1073741824 "$(stat -c %s "$work/big.out")"
cmp -s "$work/root/big.bin" "$work/big.out" || fail "nginx: 1 GiB differs"
rss_kib=$(tail -n 1 "$work/rss")
echo "quorvin-fetch ($binding): 1 GiB to disk, peak resident memory ${rss_kib} KiB"
# Under the sanitizers the figure says nothing of the program (shadow memory, quarantine). The
# bound catches a body kept in memory, or a buffer that grows with it, and leaves room for what
# the machine adds to the peak (a debug build's libraries, the kernel's accounting): a run here
# peaks near 6 MiB, and once, on a busy machine, at 37 MiB. The benchmark measures the fine figure.
if ! ldd "$fetch" 2>/dev/null | grep -q libasan; then
  [[ "$rss_kib" -lt $((64 * 1024)) ]] || fail "1 GiB used ${rss_kib} KiB of memory"
  passed=$((passed + 1))
fi
rm -f "$work/big.out"
stop_serve
summary "fetch over HTTP/1.1"
