#!/usr/bin/env bash
# quorvin-serve --workers 2 on a form file, against curl: the supervisor alone says where it
# listens and two workers serve; a worker killed outright is replaced (logged with its signal)
# while a client that retries once sees no failure; SIGHUP with a changed form replaces the
# workers while a client loop opening a connection per request sees no refusal or failure; and
# SIGTERM in the middle of a slow download lets it finish byte for byte before the supervisor
# exits 0.
# Usage: workers_test.sh BIN-DIR BINDING
bin=$1
binding=$2
# shellcheck source=tests/interop/lib.sh
source "$(dirname "$0")/lib.sh"

module=TSvrModule
[[ $binding == dwinsock ]] && module=TDwSvrModule

mkdir -p "$work/a" "$work/b"
echo "root a" > "$work/a/index.htm"
echo "root b" > "$work/b/index.htm"
head -c $((48 * 1024 * 1024)) /dev/urandom > "$work/a/big.bin"
ln "$work/a/big.bin" "$work/b/big.bin"

write_form() {
  cat > "$work/form.json" <<EOF
{"form": "MainForm", "class": "TForm", "components": [
  {"class": "$module", "name": "Server",
   "properties": {"ServerRoot": "$1", "DefaultFile": "index.htm", "ServerPort": 0, "BindAddress": "127.0.0.1"}}]}
EOF
}

# Worker counts that make no sense are refused with the usage, before anything listens.
for bad in 0 x -1 257 ""; do
  rc=0
  said=$("$serve" --workers "$bad" --port 0 2>&1) || rc=$?
  expect "exit status for --workers '$bad'" 2 "$rc"
  [[ "$said" == *"--workers takes a whole number from 1 to 256, or auto"*"usage: quorvin-serve"* ]] ||
    fail "--workers '$bad' said: $said"
done

# The supervisor's stdout on a descriptor of its own, its stderr in a file.
write_form "$work/a"
exec {out_fd}< <(exec "$serve" --workers 2 --form "$work/form.json" 2> "$work/stderr")
sup=$!
pids+=("$sup")
IFS= read -r -t 20 -u "$out_fd" line || fail "no first line from the supervisor: $(cat "$work/stderr")"
[[ "$line" =~ ^Listening\ on\ port\ ([0-9]+)$ ]] || fail "the supervisor said: $line"
port=${BASH_REMATCH[1]}
expect "a port of the system's choosing" 1 "$((port > 0))"
base=http://127.0.0.1:$port

workers() { pgrep -P "$sup" | sort | tr '\n' ' '; }
worker_count() { pgrep -c -P "$sup" || true; }
expect "workers serving" 2 "$(worker_count)"

# wait_for WHAT CONDITION...: polls for up to 10 s.
wait_for() {
  local what=$1 i
  shift
  for ((i = 0; i < 100; i++)); do
    if "$@"; then return 0; fi
    sleep 0.1
  done
  fail "$what"
}

get() { curl -sS --max-time 10 "$@"; }
ok=0
for ((i = 0; i < 20; i++)); do [[ "$(get "$base/")" == "root a" ]] && ok=$((ok + 1)); done
expect "answers from the workers" 20 "$ok"

# client_loop NAME CURL-OPTIONS...: a client opening a connection per request until
# $work/NAME.stop exists; each status (or 000 for curl's own failure) goes to $work/NAME.codes,
# curl's messages to $work/NAME.errors.
client_loop() {
  local name=$1 code
  shift
  while [[ ! -e "$work/$name.stop" ]]; do
    code=$(curl -sS --max-time 10 -o /dev/null -w '%{http_code}' "$@" "$base/" 2>> "$work/$name.errors") || true
    echo "$code" >> "$work/$name.codes"
  done
}
start_loop() {
  client_loop "$@" &
  loop_pid=$!
  pids+=("$loop_pid")
  wait_for "the client loop $1 did not get going" test -s "$work/$1.codes"
}
# stop_loop NAME: ends the loop and checks that every request of it was answered 200.
stop_loop() {
  touch "$work/$1.stop"
  wait "$loop_pid"
  local requests
  requests=$(wc -l < "$work/$1.codes")
  expect "requests made while $1" 1 "$((requests >= 5))"
  expect "failures while $1 (of $requests; $(head -c 500 "$work/$1.errors" 2>/dev/null))" "" \
    "$(grep -v '^200$' "$work/$1.codes" | sort | uniq -c | tr '\n' ' ')"
}

# A worker killed outright, with a client that retries once running throughout: the other goes
# on serving, and a new one takes its place.
before=$(workers)
victim=${before%% *}
start_loop "a worker was killed" --retry 1 --retry-all-errors
kill -9 "$victim"
replaced() { [[ "$(worker_count)" == 2 ]] && ! pgrep -P "$sup" | grep -qx "$victim"; }
wait_for "no new worker in place of $victim; workers: $(workers)" replaced
sleep 0.3
stop_loop "a worker was killed"
expect_grep "the restart logged with its cause" "worker $victim ended with signal 9 \(SIGKILL\)" "$work/stderr"

# SIGHUP with another root, with a client that does not retry running throughout.
old=$(workers)
start_loop "the workers were replaced"
write_form "$work/b"
kill -HUP "$sup"
all_new() {
  local p now
  now=$(workers)
  [[ "$(worker_count)" == 2 ]] || return 1
  for p in $old; do [[ " $now " != *" $p "* ]] || return 1; done
}
wait_for "the workers were not replaced after SIGHUP: before $old, now $(workers)" all_new
sleep 0.3
stop_loop "the workers were replaced"
expect "the new root serves" "root b" "$(get "$base/")"
expect_grep "the reload logged" "reload: replacing the workers" "$work/stderr"

# A form that does not load: logged, and the workers stay.
current=$(workers)
echo '{"form": ' > "$work/form.json"
kill -HUP "$sup"
wait_for "a broken form was not reported" grep -q "reload: the form does not load" "$work/stderr"
expect "workers kept after a failed reload" "$current" "$(workers)"
expect "still serving after a failed reload" "root b" "$(get "$base/")"

# A worker killed while the form does not load: its replacements fail at their start, each
# waiting twice as long as the one before (250 ms, 500 ms, 1 s, ...), while the other worker
# serves; the form mended, the next start takes.
victim=${current%% *}
kill -9 "$victim"
wait_for "no failed start was reported" grep -q "before it was ready; starting another in 1000 ms" "$work/stderr"
sleep 1
failed=$(grep -c "before it was ready" "$work/stderr")
expect "failed starts within about 2.5 s (no spinning)" 1 "$((failed >= 2 && failed <= 4))"
expect "served beside the failing starts" "root b" "$(get "$base/")"
write_form "$work/b"
replaced() { [[ "$(worker_count)" == 2 ]] && ! pgrep -P "$sup" | grep -qx "$victim"; }
# Two workers, and the same two a moment later: a failing start lasts milliseconds.
settled() {
  local seen
  seen=$(workers)
  sleep 0.6
  replaced && [[ "$(workers)" == "$seen" ]]
}
wait_for "no worker started once the form was mended; workers: $(workers)" settled

# SIGTERM during a slow download (48 MiB at 16 MiB/s, about 3 s): it finishes, byte for byte.
curl -sS --max-time 60 --limit-rate 16M -o "$work/big.out" "$base/big.bin" 2> "$work/big.err" &
download=$!
pids+=("$download")
wait_for "the download did not start" test -s "$work/big.out"
kill -TERM "$sup"
rc=0
wait "$download" || rc=$?
expect "download during SIGTERM, curl status ($(cat "$work/big.err"))" 0 "$rc"
expect_file "download during SIGTERM" "$work/a/big.bin" "$work/big.out"
rc=0
wait "$sup" || rc=$?
expect "supervisor exit status after SIGTERM ($(cat "$work/stderr"))" 0 "$rc"
expect "what the supervisor said on stdout after its first line" "" "$(cat <&"$out_fd")"
said=$(cat "$work/stderr")
[[ "$said" != *Sanitizer* && "$said" != *"runtime error"* ]] || fail "quorvin-serve reported: $said"
summary "workers_test"
