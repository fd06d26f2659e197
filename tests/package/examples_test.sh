#!/usr/bin/env bash
# The programs a user is shown, against an installed Quorvin: README's C++ programs compiled with
# pkg-config's flags (hello_server and fetch_once among them, word for word as in examples/embed),
# then examples/embed's programs, built with find_package, run against each other.
# examples_test.sh SOURCE_DIR EMBED_BUILD_DIR WORK_DIR CXX "CXX_FLAGS" "LINK_FLAGS"
# (PKG_CONFIG_PATH names the installed quorvin.pc.)
set -euo pipefail
src=$1 embed=$2 work=$3 cxx=$4 cxx_flags=${5:-} link_flags=${6:-}
fail() { echo "FAIL: $*" >&2; exit 1; }
mkdir -p "$work"

# README's programs: every ```cpp block is a whole program.
awk -v dir="$work" '/^```cpp$/ { n++; on = 1; next } /^```$/ { on = 0 } on { print > (dir "/readme_" n ".cpp") }' \
  "$src/README.md"
programs=("$work"/readme_*.cpp)
[ "${#programs[@]}" -ge 4 ] || fail "README shows ${#programs[@]} C++ programs, expected at least 4"
for example in hello_server.cpp fetch_once.cpp; do
  found=0
  for p in "${programs[@]}"; do cmp -s "$p" "$src/examples/embed/$example" && found=1; done
  [ $found = 1 ] || fail "README does not show examples/embed/$example as it is"
done
read -r -a pc_cflags <<< "$(pkg-config --cflags quorvin)"
read -r -a pc_libs <<< "$(pkg-config --libs quorvin)"
extra_cxx=(); [ -n "$cxx_flags" ] && read -r -a extra_cxx <<< "$cxx_flags"
extra_link=(); [ -n "$link_flags" ] && read -r -a extra_link <<< "$link_flags"
for p in "${programs[@]}"; do
  "$cxx" -std=c++20 "${extra_cxx[@]}" "${pc_cflags[@]}" "$p" -o "${p%.cpp}" "${extra_link[@]}" "${pc_libs[@]}" \
    || fail "README's program $(basename "$p") does not build with pkg-config:"$'\n'"$(cat "$p")"
done

# The examples, run.
site="$work/site"
mkdir -p "$site"
printf '<h1>embedded</h1>' > "$site/index.htm"
server_pid=
cleanup() { [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true; }
trap cleanup EXIT
"$embed/hello_server" "$site" 0 > "$work/server.out" 2> "$work/server.err" &
server_pid=$!
port=
for _ in $(seq 100); do
  port=$(sed -n 's/^Listening on port \([0-9]*\)$/\1/p' "$work/server.out")
  [ -n "$port" ] && break
  kill -0 "$server_pid" 2>/dev/null || fail "hello_server ended: $(cat "$work/server.err")"
  sleep 0.1
done
[ -n "$port" ] || fail "hello_server printed no port"

time_json=$("$embed/fetch_once" "http://127.0.0.1:$port/api/time")
[[ $time_json =~ ^\{\"time\":\ [0-9]+\}$ ]] || fail "/api/time answered: $time_json"
[ "$("$embed/fetch_once" "http://127.0.0.1:$port/")" = '<h1>embedded</h1>' ] || fail "the index was not served"
# README's pkg-config build of fetch_once is the same program.
for p in "${programs[@]}"; do
  if cmp -s "$p" "$src/examples/embed/fetch_once.cpp"; then
    [ "$("${p%.cpp}" "http://127.0.0.1:$port/")" = '<h1>embedded</h1>' ] || fail "the pkg-config fetch_once failed"
  fi
done

# Failures: non-zero, with the reason.
expect_failure() {  # expect_failure CODE PATTERN COMMAND...
  local code=$1 pattern=$2
  shift 2
  local rc=0
  "$@" > "$work/out" 2> "$work/err" || rc=$?
  [ "$rc" = "$code" ] || fail "$* exited $rc, expected $code: $(cat "$work/err")"
  grep -q -- "$pattern" "$work/err" || fail "$* said: $(cat "$work/err"), expected $pattern"
}
expect_failure 1 "Address already in use" "$embed/hello_server" "$site" "$port"
expect_failure 1 "is not a folder" "$embed/hello_server" "$work/absent" 0
expect_failure 1 "from 0 to 65535" "$embed/hello_server" "$site" 70000
expect_failure 2 "usage" "$embed/hello_server"
expect_failure 2 "usage" "$embed/fetch_once"
expect_failure 1 "not a URL" "$embed/fetch_once" "ftp://127.0.0.1/"
kill -TERM "$server_pid"
rc=0
wait "$server_pid" || rc=$?
server_pid=
[ "$rc" = 0 ] || fail "hello_server exited $rc on SIGTERM"
expect_failure 1 "Connection refused" "$embed/fetch_once" "http://127.0.0.1:$port/"
echo "examples: ok"
