#!/usr/bin/env bash
# Where quorvin-serve listens, against curl: every address by default (IPv4 and IPv6 clients on
# one socket, answered alike), loopback only with --bind 127.0.0.1 or localhost
# (another address of the machine is refused), IPv6 loopback only with --bind ::1.
# Usage: bind_test.sh BIN-DIR BINDING
bin=$1
binding=$2
# shellcheck source=tests/interop/lib.sh
source "$(dirname "$0")/lib.sh"

have_v6=0
grep -q '^0\{31\}1 ' /proc/net/if_inet6 2>/dev/null && have_v6=1
# An address of this machine that is not loopback, when it has one.
other=$(hostname -I 2>/dev/null | tr ' ' '\n' | grep -E '^[0-9.]+$' | grep -v '^127\.' | head -n 1 || true)

get() { curl -sS -g --max-time 5 -o "$work/out" -w '%{http_code}' "$@" 2> "$work/err" || true; }
refused() {
  local said
  said=$(curl -sS -g --max-time 5 -o /dev/null "$1" 2>&1 || true)
  [[ "$said" =~ Failed\ to\ connect|Connection\ refused|Couldn.t\ connect ]]
}
server_header() { curl -sS -g -I --max-time 5 "$1/" | sed -n 's/^Server: //Ip' | tr -d '\r'; }

start_serve
expect "every address: IPv4" 200 "$(get "http://127.0.0.1:$port/index.htm")"
v4_server=$(server_header "http://127.0.0.1:$port")
[[ -n "$v4_server" ]] || fail "no Server header over IPv4"
if [[ $have_v6 = 1 ]]; then
  expect "every address: IPv6" 200 "$(get "http://[::1]:$port/index.htm")"
  expect_file "every address: IPv6 body" "$site/index.htm" "$work/out"
  expect "every address: the Server header over IPv6" "$v4_server" "$(server_header "http://[::1]:$port")"
fi
stop_serve

for loopback in 127.0.0.1 localhost; do
  start_serve --bind "$loopback"
  expect "--bind $loopback: IPv4 loopback" 200 "$(get "http://127.0.0.1:$port/index.htm")"
  if [[ -n "$other" ]]; then
    refused "http://$other:$port/" || fail "--bind $loopback: $other:$port was not refused"
    passed=$((passed + 1))
  fi
  if [[ $have_v6 = 1 ]]; then
    refused "http://[::1]:$port/" || fail "--bind $loopback: [::1]:$port was not refused"
    passed=$((passed + 1))
  fi
  stop_serve
done

if [[ $have_v6 = 1 ]]; then
  start_serve --bind ::1
  expect "--bind ::1: IPv6 loopback" 200 "$(get "http://[::1]:$port/index.htm")"
  refused "http://127.0.0.1:$port/" || fail "--bind ::1: 127.0.0.1:$port was not refused"
  passed=$((passed + 1))
  stop_serve
else
  echo "note: no IPv6 loopback here; the IPv6 cases are not tried"
fi

rc=0
"$serve" --port 0 --bind example.org > "$work/bad" 2>&1 || rc=$?
expect "--bind with a name exits" 2 "$rc"
expect_grep "--bind with a name says why" 'IP address or localhost' "$work/bad"
summary "bind"
