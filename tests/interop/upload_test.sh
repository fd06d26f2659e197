#!/usr/bin/env bash
# quorvin-serve --upload against curl and quorvin-fetch: PUT of a new file (201), of an existing
# one (409, or 204 with --overwrite), bodies of a few MB with NUL bytes byte-exact with a length
# and in chunks (curl -T -, quorvin-fetch -T -), names that may not be written, a missing
# folder, a body over --max-body (413), an upload cut off halfway, and no uploads without
# --upload. Forms (curl -F) posted to a folder: every file stored under its own name (303 back
# to the folder's listing, which shows the form only with --upload), or none when one is
# refused. Nothing of a refused or cut upload may stay in the folder.
# Usage: upload_test.sh BIN-DIR BINDING
bin=$1
binding=$2
# shellcheck source=tests/interop/lib.sh
source "$(dirname "$0")/lib.sh"
probe_fetch

root="$work/root"
mkdir -p "$root/docs"
printf 'old content' > "$root/old.txt"
head -c $((3 * 1024 * 1024)) /dev/urandom > "$work/data.bin"
head -c 4096 /dev/zero >> "$work/data.bin"  # NUL bytes for certain

code() { curl -s -o "$work/out" -w '%{http_code}' "$@"; }
# No temporary file of an upload may be left anywhere in the folder.
no_leftovers() {
  expect "$1: temporary files left" "" "$(find "$root" -name '.upload-*')"
}

start_serve --root "$root" --upload --max-body 8M --listing
curl -s -D "$work/h" -o "$work/out" -T "$work/data.bin" "$base/docs/data.bin"
expect_grep "curl -T: 201" '^HTTP/1.1 201 ' "$work/h"
expect_grep "curl -T: Location" '^Location: /docs/data.bin' "$work/h"
expect_file "curl -T: the stored file" "$work/data.bin" "$root/docs/data.bin"
expect "curl -T again: 409" 409 "$(code -T "$root/old.txt" "$base/docs/data.bin")"
expect_file "curl -T again: the file kept" "$work/data.bin" "$root/docs/data.bin"
# shellcheck disable=SC2002  # a pipe: curl sends it in chunks
cat "$work/data.bin" | curl -s -o /dev/null -T - "$base/piped.bin"
expect_file "curl -T - (chunked)" "$work/data.bin" "$root/piped.bin"
# shellcheck disable=SC2002
cat "$work/data.bin" | "$fetch" --binding "$binding" --protocol-version HTTP/1.1 -T - "$base/fetched.bin" > /dev/null
expect_file "quorvin-fetch -T - (chunked)" "$work/data.bin" "$root/fetched.bin"
: | "$fetch" --binding "$binding" -T - "$base/empty.txt" > /dev/null
expect "an empty upload: an empty file" 0 "$(stat -c %s "$root/empty.txt")"

# A form posted to a folder, as a browser sends the listing's form: each file under the last
# segment of its name, byte-exact, and 303 back to the listing, which then shows them.
printf 'small\0text\n' > "$work/small.txt"
curl -s -D "$work/h" -o "$work/out" -L -F "files=@$work/data.bin;filename=form.bin" -F note=hi \
  -F "files=@$work/small.txt;filename=../small.txt" "$base/docs/"
expect_grep "curl -F: 303" '^HTTP/1.1 303 ' "$work/h"
expect_grep "curl -F: back to the folder" '^Location: /docs/' "$work/h"
expect_file "curl -F: the first file" "$work/data.bin" "$root/docs/form.bin"
expect_file "curl -F: the second, under its last name" "$work/small.txt" "$root/docs/small.txt"
expect_grep "curl -F: the listing shows it" 'href="./form.bin"' "$work/out"
expect_grep "the listing offers the form" '<form method="post" enctype="multipart/form-data">' "$work/out"
expect "curl -F: an existing name refused" 409 \
  "$(code -F "files=@$work/small.txt;filename=other.txt" -F "files=@$work/small.txt" "$base/docs/")"
expect_grep "curl -F: the answer names it" '"small.txt": a file of this name exists' "$work/out"
expect "curl -F: nothing else stored" "no" "$([[ -e "$root/docs/other.txt" ]] && echo yes || echo no)"
expect "curl -F: a dot-name refused" 403 "$(code -F "files=@$work/small.txt;filename=.env" "$base/docs/")"
expect "curl -F to a file: as before" 405 "$(code -F "files=@$work/small.txt" "$base/old.txt")"

for target in /../x.txt /%2e%2e/x.txt /docs/../x.txt /.hidden /docs/.x; do
  expect "PUT $target" 403 "$(code --path-as-is -T "$root/old.txt" "$base$target")"
done
expect "PUT to a missing folder" 409 "$(code -T "$root/old.txt" "$base/missing/x.txt")"
expect "PUT to a folder" 409 "$(code -T "$root/old.txt" "$base/docs")"
expect "over --max-body: 413" 413 "$(head -c $((9 * 1024 * 1024)) /dev/zero | code -T - "$base/big.bin")"
expect "over --max-body: nothing stored" "no" "$([[ -e "$root/big.bin" ]] && echo yes || echo no)"

# Half a body, then the client goes: while it arrives it grows in a hidden file; once the
# client has gone, nothing of it is left.
python3 - "$port" <<'PY'
import socket, sys, time
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
s.sendall(b"PUT /docs/cut.bin HTTP/1.1\r\nHost: t\r\nContent-Length: 1000000\r\n\r\n" + b"c" * 400000)
time.sleep(0.5)
s.close()
PY
for _ in $(seq 100); do [[ -z "$(find "$root" -name '.upload-*')" ]] && break; sleep 0.1; done
no_leftovers "a cut upload"
expect "a cut upload: no file" "no" "$([[ -e "$root/docs/cut.bin" ]] && echo yes || echo no)"
no_leftovers "after the uploads"
stop_serve

start_serve --root "$root" --upload --overwrite
expect "--overwrite: an existing file replaced" 204 "$(code -T "$work/data.bin" "$base/old.txt")"
expect_file "--overwrite: the new content" "$work/data.bin" "$root/old.txt"
expect "--overwrite: a new file" 201 "$(code -T "$work/data.bin" "$base/new.txt")"
stop_serve

# Without --upload nothing takes a PUT or a form, and listings offer none.
printf 'old content' > "$root/old.txt"
start_serve --root "$root" --listing
expect "without --upload: PUT of a new file" 501 "$(code -T "$work/data.bin" "$base/other.txt")"
expect "without --upload: PUT of a file" 501 "$(code -T "$work/data.bin" "$base/old.txt")"
expect "without --upload: a form" 405 "$(code -F "files=@$work/small.txt;filename=other.txt" "$base/")"
expect "without --upload: nothing written" "old content|no" \
  "$(cat "$root/old.txt")|$([[ -e "$root/other.txt" ]] && echo yes || echo no)"
expect "without --upload: a listing without the form" 200 "$(code "$base/docs/")"
expect "without --upload: no form" "" "$(grep -o '<form' "$work/out" || true)"
no_leftovers "in the end"
stop_serve
summary "uploads"
