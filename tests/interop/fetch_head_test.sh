#!/usr/bin/env bash
# quorvin-fetch -X HEAD against quorvin-serve, python3's http.server and nginx: an answer to HEAD
# is its heading alone, whatever Content-Length it announces, so the client must finish at the
# empty line rather than wait for body bytes that never come.
# Usage: fetch_head_test.sh BIN-DIR BINDING
bin=$1
binding=$2
# shellcheck source=tests/interop/lib.sh
source "$(dirname "$0")/lib.sh"
probe_fetch

mkdir -p "$work/root"
cp "$site/style.css" "$work/root/"
head -c $((1024 * 1024)) /dev/urandom > "$work/root/big.bin"
serve_binding=scktcomp  # the server is one peer among three here; the binding under test is the client's
start_serve --root "$work/root" --no-dispatcher
start_python "$work/root"
start_nginx "$work/root"

known=()
for peer in "quorvin-serve $base" "python $py_base" "nginx $nginx_base"; do
  read -r name url <<< "$peer"
  for f in style.css big.bin; do
    size=$(stat -c %s "$work/root/$f")
    rc=0
    "$fetch" --binding "$binding" --timeout 5 -X HEAD -i "$url/$f" > "$work/head" 2> "$work/err" || rc=$?
    if [[ $rc -ne 0 ]]; then
      # The fault known at the time of writing: the heading's Content-Length is awaited as a body.
      if grep -q "the connection closed after 0 of $size body bytes" "$work/err"; then
        known+=("$name HEAD /$f: $(cat "$work/err")")
        continue
      fi
      fail "$name: quorvin-fetch -X HEAD /$f exited $rc: $(cat "$work/err")"
    fi
    split_answer "$work/head"
    expect "$name HEAD /$f status" "200 OK" "$(head -n 1 "$work/head.head" | cut -d' ' -f2-)"
    expect "$name HEAD /$f content-length" "$size" "$(header "$work/head" content-length)"
    expect "$name HEAD /$f body bytes" 0 "$(stat -c %s "$work/head.body")"
  done
done
stop_serve
if [[ ${#known[@]} -gt 0 ]]; then
  printf 'KNOWN FAULT: %s\n' "${known[@]}"
  skip "quorvin-fetch waits for a body after HEAD (${#known[@]} cases); this test passes once the client ends a HEAD answer at its heading"
fi
summary "interop fetch HEAD"
