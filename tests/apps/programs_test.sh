#!/usr/bin/env bash
# End-to-end checks of the programs: quorvin-fetch against quorvin-serve and against a real
# peer (python3's http.server), a 100 MiB file byte-exact, and a 1 GiB file streamed by the
# server without its memory growing. Everything stays on 127.0.0.1 and ends by itself.
set -euo pipefail
bin=$1
serve=$bin/quorvin-serve
fetch=$bin/quorvin-fetch
binding=${2:-scktcomp}
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

mkdir -p "$work/root"
head -c $((100 * 1024 * 1024)) /dev/urandom > "$work/root/big.bin"
echo '<html>small</html>' > "$work/root/index.htm"
truncate -s 1G "$work/root/huge.bin"
want=$(sha256sum < "$work/root/big.bin")

# quorvin-serve on a port the system picks.
"$serve" --root "$work/root" --port 0 --binding "$binding" > "$work/serve.out" 2>&1 &
pids+=($!)
serve_pid=$!
for _ in $(seq 100); do grep -q 'Listening on port' "$work/serve.out" && break; sleep 0.05; done
port=$(sed -n 's/^Listening on port \([0-9]*\)$/\1/p' "$work/serve.out")
[ -n "$port" ] || fail "quorvin-serve did not start: $(cat "$work/serve.out")"

"$fetch" --binding "$binding" -o "$work/got.bin" "http://127.0.0.1:$port/big.bin"
[ "$(sha256sum < "$work/got.bin")" = "$want" ] || fail "100 MiB from quorvin-serve differs"
"$fetch" --binding "$binding" -i "http://127.0.0.1:$port/index.htm" > "$work/head.txt"
grep -q '^HTTP/1.0 200 OK$' "$work/head.txt" || fail "-i shows no status line"
grep -q '^content-length: 19$' "$work/head.txt" || fail "-i shows no content-length"
if "$fetch" --binding "$binding" -i "http://127.0.0.1:$port/missing" > "$work/404.txt"; then
  grep -q '^HTTP/1.0 404 Not Found$' "$work/404.txt" || fail "404 status not shown"
else
  fail "a 404 answer is still an answer"
fi
if "$fetch" --binding "$binding" "http://127.0.0.1:1/" 2> "$work/refused.txt"; then fail "connect to a closed port succeeded"; fi
grep -q 'cannot reach' "$work/refused.txt" || fail "no clear message for a refused connect: $(cat "$work/refused.txt")"

# Words for a failed lookup; URLs with IPv6 addresses are understood (the server listens on IPv4
# only, so the connect is refused), malformed ones refused.
if "$fetch" --binding "$binding" --timeout 10 "http://no-such-host.invalid/" 2> "$work/nohost.txt"; then
  fail "a lookup of a name that cannot exist succeeded"
fi
grep -q 'no such host\|no name server' "$work/nohost.txt" || fail "lookup failure not in words: $(cat "$work/nohost.txt")"
if "$fetch" --binding "$binding" "http://[::1]:1/" 2> "$work/v6.txt"; then fail "connect to [::1]:1 succeeded"; fi
grep -q 'cannot reach \[::1\]:1: ' "$work/v6.txt" || fail "IPv6 URL not understood: $(cat "$work/v6.txt")"
for bad in "http://[::1/" "http://host:/" "http://a:b:c/"; do
  if "$fetch" --binding "$binding" "$bad" 2> /dev/null; then fail "malformed URL $bad accepted"; fi
done
# Data from -d goes as a form's, unless -H names a type.
"$fetch" --binding "$binding" -d 'a=1' "http://127.0.0.1:$port/echo" | grep -q '^15=application/x-www-form-urlencoded$' ||
  fail "-d did not send the form content type"
"$fetch" --binding "$binding" -d '{}' -H 'Content-Type: application/json' "http://127.0.0.1:$port/echo" |
  grep -q '^15=application/json$' || fail "-H Content-Type did not win over -d's"

# A 10 MiB request body reaches the /echo action whole.
head -c $((10 * 1024 * 1024)) /dev/zero | tr '\0' 'q' > "$work/post.txt"
"$fetch" --binding "$binding" --data-file "$work/post.txt" "http://127.0.0.1:$port/echo" > "$work/echo.txt"
grep -q '^16=10485760$' "$work/echo.txt" || fail "/echo did not see the 10 MiB length"
[ "$(grep '^25=' "$work/echo.txt" | wc -c)" = $((10 * 1024 * 1024 + 4)) ] || fail "the 10 MiB body did not arrive whole"

# The event stream: curl -N sees the greeting, then a tick a second later; a reconnecting
# client is greeted with the id it saw last.
curl -sN --max-time 3 "http://127.0.0.1:$port/events" > "$work/events.txt" || true
grep -q '^data: listening$' "$work/events.txt" || fail "/events did not greet: $(head -c 300 "$work/events.txt")"
grep -q '^data: tick [0-9]* at ' "$work/events.txt" || fail "/events sent no tick: $(head -c 300 "$work/events.txt")"
curl -sN --max-time 1 -H 'Last-Event-ID: 7' "http://127.0.0.1:$port/events" > "$work/events-again.txt" || true
grep -q '^data: back after event 7$' "$work/events-again.txt" || fail "/events did not read Last-Event-ID"

# A 1 GiB file leaves the server without its resident memory growing.
rss() { awk '/VmRSS/ {print $2}' "/proc/$serve_pid/status"; }
before=$(rss)
curl -s -o /dev/null -w '%{size_download}' "http://127.0.0.1:$port/huge.bin" > "$work/size.txt"
after=$(rss)
[ "$(cat "$work/size.txt")" = "1073741824" ] || fail "1 GiB download gave $(cat "$work/size.txt") bytes"
[ $((after - before)) -lt 8192 ] || fail "server memory grew from $before to $after KiB"

# The client against a real peer.
python3 -m http.server 0 --bind 127.0.0.1 --directory "$work/root" > "$work/py.out" 2>&1 &
pids+=($!)
for _ in $(seq 100); do grep -q 'Serving HTTP' "$work/py.out" && break; sleep 0.05; done
pyport=$(sed -n 's/.*port \([0-9]*\).*/\1/p' "$work/py.out" | head -n 1)
[ -n "$pyport" ] || fail "python3 http.server did not start"
"$fetch" --binding "$binding" -o "$work/py.bin" "http://127.0.0.1:$pyport/big.bin"
[ "$(sha256sum < "$work/py.bin")" = "$want" ] || fail "100 MiB from python3 http.server differs"
"$fetch" --binding "$binding" -i "http://127.0.0.1:$pyport/nothing" > "$work/py404.txt" || true
grep -q ' 404 ' "$work/py404.txt" || fail "python3's 404 not shown"
# A root that is not a folder is refused by the program (the component alone would serve the
# current folder); --port and --root override a form's values.
if "$serve" --root "$work/none" --port 0 --binding "$binding" > "$work/noroot.out" 2>&1; then
  fail "--root naming a missing folder was accepted"
fi
grep -q -- "--root .*none is not a folder" "$work/noroot.out" || fail "no clear message: $(cat "$work/noroot.out")"
module=$([ "$binding" = dwinsock ] && echo TDwSvrModule || echo TSvrModule)
printf '{"form":"F","components":[{"class":"%s","name":"S","properties":{"ServerPort":1,"ServerRoot":"/"}}]}' \
  "$module" > "$work/form.json"
"$serve" --form "$work/form.json" --port 0 --root "$work/root" > "$work/form.out" 2>&1 &
pids+=($!)
for _ in $(seq 100); do grep -q 'Listening on port' "$work/form.out" && break; sleep 0.05; done
fport=$(sed -n 's/^Listening on port \([0-9]*\)$/\1/p' "$work/form.out")
[ -n "$fport" ] || fail "--port did not override the form's port: $(cat "$work/form.out")"
[ "$(curl -s "http://127.0.0.1:$fport/index.htm")" = '<html>small</html>' ] || fail "--root did not override the form's root"

echo "programs ($binding): 1 passed, 0 failed"
