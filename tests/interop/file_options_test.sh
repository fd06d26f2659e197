#!/usr/bin/env bash
# File answers with quorvin-serve's file options, against curl: the entity tag sent and honoured
# (If-None-Match before If-Modified-Since, "*", lists), If-Range by tag and by date, resuming a
# download after the file changed, Cache-Control, types of the program's own and the default
# type; and without the options, none of their headers.
# Usage: file_options_test.sh BIN-DIR BINDING
bin=$1
binding=$2
# shellcheck source=tests/interop/lib.sh
source "$(dirname "$0")/lib.sh"

root="$work/root"
mkdir -p "$root"
head -c 100000 /dev/urandom > "$root/data.bin"
printf 'plain notes' > "$root/notes.qvx"
printf 'no extension' > "$root/README"
printf '\0asm' > "$root/app.wasm"

start_serve --root "$root" --no-dispatcher --etag --cache-control 'max-age=3600' \
  --mime qvx=text/x-quorvin --mime wasm=application/x-own-wasm --default-type application/octet-stream

code() { curl -s -o "$work/out" -w '%{http_code}' "$@"; }
curl -s -D "$work/h1" -o "$work/got" "$base/data.bin"
expect_file "GET /data.bin" "$root/data.bin" "$work/got"
etag=$(sed -n 's/^ETag: //Ip' "$work/h1" | tr -d '\r')
last_modified=$(sed -n 's/^Last-Modified: //Ip' "$work/h1" | tr -d '\r')
[[ "$etag" =~ ^\"[0-9a-f]+-[0-9a-f]+\"$ ]] || fail "ETag: [$etag]"
expect_grep "Cache-Control on a file" '^Cache-Control: max-age=3600' "$work/h1"

# Revalidation: the tag (alone, in a list, weak, or "*") answers 304; a stale tag with a current
# date is 200, because the tag decides.
expect "If-None-Match: the tag" 304 "$(code -H "If-None-Match: $etag" "$base/data.bin")"
expect "If-None-Match: a list" 304 "$(code -H "If-None-Match: \"x\", W/$etag" "$base/data.bin")"
expect "If-None-Match: *" 304 "$(code -H 'If-None-Match: *' "$base/data.bin")"
expect "If-None-Match stale, If-Modified-Since current" 200 \
  "$(code -H 'If-None-Match: "0-0"' -H "If-Modified-Since: $last_modified" "$base/data.bin")"
expect "If-Modified-Since alone" 304 "$(code -H "If-Modified-Since: $last_modified" "$base/data.bin")"
curl -s -I -H "If-None-Match: $etag" "$base/data.bin" | tr -d '\r' > "$work/h304"
expect_grep "HEAD 304 carries the tag" "^ETag: $etag\$" "$work/h304"

# If-Range: the same version gives the part, another version the whole file.
expect "If-Range with the tag" 206 "$(code -r 10-19 -H "If-Range: $etag" "$base/data.bin")"
expect "If-Range with the date" 206 "$(code -r 10-19 -H "If-Range: $last_modified" "$base/data.bin")"
expect "If-Range with another tag" 200 "$(code -r 10-19 -H 'If-Range: "0-0"' "$base/data.bin")"

# A download cut short, the file changed (same size, same second), then resumed: curl's resume
# asks with If-Range and gets the new file whole instead of a spliced one. (Only where the file
# system keeps times finer than a second, as every usual Linux one does.)
if [[ "$(stat -c %y "$root/data.bin")" =~ \.0+\  ]]; then
  echo "note: this file system keeps whole seconds; the same-second edit is not tried"
else
head -c 50000 "$work/got" > "$work/partial"
cp "$root/data.bin" "$work/old.bin"
head -c 100000 /dev/urandom > "$root/data.bin"
touch -d "@$(stat -c %Y "$work/old.bin")" "$root/data.bin"
status=$(curl -s -o "$work/resumed" -w '%{http_code}' -r 50000- -H "If-Range: $etag" "$base/data.bin")
expect "resume after a change" 200 "$status"
expect_file "resume after a change sends the new file" "$root/data.bin" "$work/resumed"
new_etag=$(curl -s -I "$base/data.bin" | sed -n 's/^ETag: //Ip' | tr -d '\r')
[[ "$new_etag" != "$etag" ]] || fail "an edit within the same second kept the tag $etag"
passed=$((passed + 1))
fi

# Types.
type_of() { curl -s -I "$base/$1" | sed -n 's/^Content-type: //Ip' | tr -d '\r'; }
expect "own type" "text/x-quorvin" "$(type_of notes.qvx)"
expect "own type over the built-in one" "application/x-own-wasm" "$(type_of app.wasm)"
expect "default type" "application/octet-stream" "$(type_of README)"
stop_serve

# Without the options: no ETag, no Cache-Control, no type for unknown files, If-None-Match unread.
start_serve --root "$root" --no-dispatcher
curl -s -D "$work/h2" -o /dev/null "$base/README"
expect "no ETag without --etag" "" "$(grep -i '^ETag' "$work/h2" || true)"
expect "no Cache-Control without the option" "" "$(grep -i '^Cache-Control' "$work/h2" || true)"
expect "no type for a file without extension" "" "$(grep -i '^Content-type' "$work/h2" || true)"
expect "If-None-Match is not read without --etag" 200 "$(code -H 'If-None-Match: *' "$base/README")"
stop_serve

# The command line's file options are the server's file properties: each is in the help, and a
# value the property would not take is refused before anything listens, naming the option.
"$serve" --help > "$work/help"
for option in --etag --cache-control --mime --default-type --precompressed --error-pages --fallback --listing; do
  expect_grep "the help names $option" "^  $option " "$work/help"
done
refused() {
  local said status=0
  said=$(timeout 10 "$serve" --root "$root" --port 0 --binding "$binding" "$@" 2>&1) || status=$?
  expect "status for $*" 2 "$status"
  [[ "$said" == "quorvin-serve: $1 "* ]] || fail "the refusal of $* does not name the option: $said"
}
refused --mime wasm
refused --mime 'a=b/c,d=e/f'
refused --fallback ../outside.html
refused --error-pages "$work/absent"
refused --cache-control $'max-age=1\r\nX: y'
summary "file options"
