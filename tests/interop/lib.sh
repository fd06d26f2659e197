# shellcheck shell=bash disable=SC2034,SC2154
# Shared by the interop scripts (sourced): where things are, failing and skipping, a temporary
# folder and the processes a script started, all removed by a trap, and starting quorvin-serve on
# a port the system picks. A script that sources this sets `bin` (the folder of the programs) and
# `binding` first.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
site=$(cd "$here/../../examples/site" && pwd)
serve=$bin/quorvin-serve
fetch=$bin/quorvin-fetch
skip_code=77  # ctest's SKIP_RETURN_CODE for these tests

work=$(mktemp -d)
pids=()
cleanup() {
  local p
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }
skip() { echo "SKIP: $*"; exit "$skip_code"; }

passed=0
# expect WHAT EXPECTED GOT: one check; a mismatch ends the script naming all three.
expect() {
  [[ "$2" == "$3" ]] || fail "$1: expected [$2], got [$3]"
  passed=$((passed + 1))
}
# expect_file WHAT WANTED-FILE GOT-FILE: byte-exact comparison.
expect_file() {
  cmp -s "$2" "$3" || fail "$1: $3 ($(stat -c %s "$3") bytes) differs from $2 ($(stat -c %s "$2") bytes)"
  passed=$((passed + 1))
}
# expect_grep WHAT PATTERN FILE: the file has a line matching the extended regular expression.
expect_grep() {
  grep -Eq -- "$2" "$3" || fail "$1: no line matching [$2] in: $(head -c 2000 "$3")"
  passed=$((passed + 1))
}
summary() { echo "$1 ($binding): $passed passed, 0 failed"; }

# The site's files that a client may fetch: everything but hidden names.
site_files() { (cd "$site" && find . -type f ! -path '*/.*' -printf '%P\n' | sort); }

# start_serve [OPTIONS...]: quorvin-serve on the bundled site (later options win) with the
# script's binding, or with `serve_binding` when set; sets `port` and `base`. Skips the script
# while quorvin-serve refuses the binding.
start_serve() {
  local sb=${serve_binding:-$binding}
  exec {serve_fd}< <(exec "$serve" --port 0 --binding "$sb" --root "$site" "$@" 2>&1)
  serve_pid=$!
  pids+=("$serve_pid")
  local line said=""
  while IFS= read -r -t 20 -u "$serve_fd" line; do
    if [[ "$line" =~ ^Listening\ on\ port\ ([0-9]+)$ ]]; then
      port=${BASH_REMATCH[1]}
      base=http://127.0.0.1:$port
      return 0
    fi
    said+="$line"$'\n'
  done
  [[ "$said" == *"binding is not built yet"* ]] && skip "quorvin-serve does not offer the $sb binding yet"
  fail "quorvin-serve --binding $sb did not start: $said"
}

# stop_serve: SIGTERM, as a user's Ctrl-C or a service manager would; quorvin-serve must end
# with status 0 and without a complaint (a sanitizer report, say) on its output.
stop_serve() {
  kill -TERM "$serve_pid"
  local rc=0 rest
  wait "$serve_pid" || rc=$?
  rest=$(cat <&"$serve_fd")
  expect "quorvin-serve exit status after SIGTERM (output: $rest)" 0 "$rc"
  [[ "$rest" != *Sanitizer* && "$rest" != *"runtime error"* ]] || fail "quorvin-serve reported: $rest"
}

# Skips the script while quorvin-fetch refuses the binding.
probe_fetch() {
  local said
  said=$("$fetch" --binding "$binding" --timeout 1 http://127.0.0.1:1/ 2>&1 || true)
  [[ "$said" == *"binding is not built yet"* ]] && skip "quorvin-fetch does not offer the $binding binding yet"
  return 0
}

# split_answer FILE: FILE.head (the -i heading up to its empty line) and FILE.body (the rest).
split_answer() {
  local heading
  heading=$(awk '{ n += length($0) + 1 } /^\r?$/ { print n; exit }' "$1")
  [[ -n "$heading" ]] || fail "no empty line ends the heading in $1: $(head -c 500 "$1")"
  head -c "$heading" "$1" | tr -d '\r' > "$1.head"
  tail -c +$((heading + 1)) "$1" > "$1.body"
}
header() { sed -n "s/^$2: //Ip" "$1.head" | head -n 1; }

# A loopback port that nothing listens on at the moment (for a peer that cannot take port 0).
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# start_python ROOT: python3's http.server on ROOT; sets `py_base`.
start_python() {
  exec {py_fd}< <(cd "$1" && exec python3 -u -m http.server 0 --bind 127.0.0.1 2>&1)
  pids+=("$!")
  local line
  IFS= read -r -t 20 -u "$py_fd" line || fail "python3 http.server did not start"
  [[ "$line" =~ port\ ([0-9]+) ]] || fail "python3 http.server said: $line"
  py_base=http://127.0.0.1:${BASH_REMATCH[1]}
}

# start_nginx ROOT: Debian's nginx on ROOT with a prefix, configuration, pid, logs and temporary
# folders of its own under $work/nginx; one process that serves by itself (no master, no user
# switch). /echo sends the request body back. Sets `nginx_base` and `nginx_dir`.
# start_nginx ROOT MORE: MORE, a function, writes more server blocks for the http block to its
# standard output; it runs before every try, so it picks its ports with free_port afresh.
start_nginx() {
  local root=$1 more=${2:-}
  nginx_dir=$work/nginx
  mkdir -p "$nginx_dir"
  for _ in 1 2 3; do  # another program may take the free port between looking and binding
    : > "$nginx_dir/more.conf"
    [[ -z "$more" ]] || "$more" > "$nginx_dir/more.conf"
    nginx_try "$root" "$(free_port)" && return 0
  done
  fail "nginx did not start: $(cat "$nginx_dir/error.log")"
}
nginx_try() {
  local root=$1 nport=$2 pid _
  cat > "$nginx_dir/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
pid $nginx_dir/nginx.pid;
error_log $nginx_dir/error.log warn;
load_module /usr/lib/nginx/modules/ngx_http_echo_module.so;
events { worker_connections 64; }
http {
  access_log $nginx_dir/access.log;
  client_body_temp_path $nginx_dir/body;
  proxy_temp_path $nginx_dir/proxy;
  fastcgi_temp_path $nginx_dir/fastcgi;
  uwsgi_temp_path $nginx_dir/uwsgi;
  scgi_temp_path $nginx_dir/scgi;
  types { text/html htm html; text/css css; image/svg+xml svg; }
  default_type application/octet-stream;
  server {
    listen 127.0.0.1:$nport;
    server_name localhost;
    root $root;
    index index.htm;
    location = /echo {
      client_max_body_size 4m;
      echo_read_request_body;
      echo_request_body;
    }
  }
  include $nginx_dir/more.conf;
}
CONF
  rm -f "$nginx_dir/nginx.pid"
  nginx -e "$nginx_dir/error.log" -p "$nginx_dir/" -c "$nginx_dir/nginx.conf" &
  pid=$!
  pids+=("$pid")
  # nginx writes its pid file once its listening socket is open.
  for _ in $(seq 200); do
    if [[ -s "$nginx_dir/nginx.pid" ]]; then
      nginx_base=http://127.0.0.1:$nport
      return 0
    fi
    kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.05
  done
  fail "nginx did not start within 10 s: $(cat "$nginx_dir/error.log")"
}
