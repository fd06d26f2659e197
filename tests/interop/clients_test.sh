#!/usr/bin/env bash
# curl, wget and ab against quorvin-serve on the bundled site: every file byte-exact, HEAD, the
# error pages with their real status, the redirect of a folder named without its "/", a form
# posted to /echo, and 1000 requests from ab without a failure.
# Usage: clients_test.sh BIN-DIR BINDING
bin=$1
binding=$2
# shellcheck source=tests/interop/lib.sh
source "$(dirname "$0")/lib.sh"
start_serve

# Every file, through both clients, byte for byte; a folder's URL gives its default document.
mapfile -t files < <(site_files)
[[ ${#files[@]} -ge 5 ]] || fail "the bundled site has only ${#files[@]} files"
targets=("${files[@]}" "" "docs/")
for f in "${targets[@]}"; do
  want=$site/$f
  [[ -z "$f" || "$f" == */ ]] && want=$site/${f}index.htm
  code=$(curl -sS -o "$work/curl.out" -w '%{http_code}' "$base/$f")
  expect "curl GET /$f status" 200 "$code"
  expect_file "curl GET /$f" "$want" "$work/curl.out"
  wget -q -O "$work/wget.out" "$base/$f" || fail "wget GET /$f exited $?"
  expect_file "wget GET /$f" "$want" "$work/wget.out"
done

# The Content-type a browser needs for each kind of file, and none for an unknown extension.
for pair in "index.htm text/html" "style.css text/css" "logo.svg image/svg+xml" "docs/serving.htm text/html" "notes.qvx "; do
  read -r f type <<< "$pair"
  got=$(curl -sS -o /dev/null -w '%{content_type}' "$base/$f")
  expect "Content-type of /$f" "$type" "$got"
done

# HEAD: the file's heading, its length and no body.
for f in index.htm style.css logo.svg; do
  curl -sS -I "$base/$f" | tr -d '\r' > "$work/head.txt"
  # curl and wget speak HTTP/1.1, and quorvin-serve, keeping connections, answers in kind.
  expect "curl HEAD /$f status line" "HTTP/1.1 200 OK" "$(head -n 1 "$work/head.txt")"
  expect "curl HEAD /$f Content-Length" "$(stat -c %s "$site/$f")" \
    "$(sed -n 's/^[Cc]ontent-[Ll]ength: //p' "$work/head.txt")"
  expect_grep "curl HEAD /$f Last-Modified" '^Last-Modified: [A-Z][a-z]{2}, ' "$work/head.txt"
  wget -q -S --spider "$base/$f" 2> "$work/spider.txt" || fail "wget --spider /$f exited $?"
  expect_grep "wget HEAD /$f status" '^ *HTTP/1.1 200 OK' "$work/spider.txt"
  expect_grep "wget HEAD /$f length" "^ *Content-Length: $(stat -c %s "$site/$f")" "$work/spider.txt"
done
# The same HEAD on a raw connection: the answer ends with its heading.
exec {raw}<>"/dev/tcp/127.0.0.1/$port"
printf 'HEAD /style.css HTTP/1.0\r\n\r\n' >&"$raw"
cat <&"$raw" > "$work/raw-head.txt"
exec {raw}>&-
expect "HEAD answer ends after its heading" "0d0a0d0a" "$(tail -c 4 "$work/raw-head.txt" | od -An -tx1 | tr -d ' \n')"

# Error pages carry their real status line and say what went wrong.
for pair in "missing.htm 404" "docs/nothing/here.htm 404" ".private.htm 403" "docs/.private.htm 404"; do
  read -r f code <<< "$pair"
  got=$(curl -sS -o "$work/err.out" -w '%{http_code}' "$base/$f")
  expect "curl GET /$f status" "$code" "$got"
  expect_grep "curl GET /$f page" "ERROR : $code " "$work/err.out"
  rc=0
  wget -q -S --content-on-error -O "$work/werr.out" "$base/$f" 2> "$work/werr.txt" || rc=$?
  expect "wget GET /$f exit code (8: the server answered an error)" 8 "$rc"
  expect_grep "wget GET /$f status" "^ *HTTP/1.1 $code " "$work/werr.txt"
  expect_grep "wget GET /$f page" "ERROR : $code " "$work/werr.out"
done

# A folder named without its "/" is redirected to the name with it; clients follow.
got=$(curl -sS -o /dev/null -w '%{http_code} %{redirect_url}' "$base/docs")
expect "curl GET /docs" "301 $base/docs/" "$got"
curl -sS -L -o "$work/follow.out" "$base/docs"
expect_file "curl -L /docs" "$site/docs/index.htm" "$work/follow.out"
rc=0
wget -S --max-redirect=0 -O /dev/null "$base/docs" 2> "$work/w301.txt" || rc=$?
expect_grep "wget GET /docs status" '^ *HTTP/1.1 301 Moved Permanently' "$work/w301.txt"
expect_grep "wget GET /docs Location" '^ *Location: (/docs/|http://127\.0\.0\.1:[0-9]+/docs/)' "$work/w301.txt"
wget -q -O "$work/wfollow.out" "$base/docs"
expect_file "wget GET /docs (following)" "$site/docs/index.htm" "$work/wfollow.out"

# The site's form, posted to /echo the way a browser encodes it; every variable comes back.
form='name=Ada+Lovelace&message=Hello+from+the+sample+site%2C+%26+more.'
for version in --http1.0 --http1.1; do
  curl -sS "$version" -D "$work/echo.head" -o "$work/echo.out" -H 'Content-Type: application/x-www-form-urlencoded' \
    --data-binary "$form" "$base/echo"
  expect_grep "curl $version POST /echo status" '^HTTP/1\.[01] 200 OK' "$work/echo.head"
  expect_grep "curl $version POST /echo method" '^0=POST$' "$work/echo.out"
  expect_grep "curl $version POST /echo content type" '^15=application/x-www-form-urlencoded$' "$work/echo.out"
  expect_grep "curl $version POST /echo length" "^16=${#form}$" "$work/echo.out"
  expect "curl $version POST /echo body" "25=$form" "$(grep '^25=' "$work/echo.out")"
done
wget -q -O "$work/wecho.out" --post-data "$form" "$base/echo" || fail "wget POST /echo exited $?"
expect_grep "wget POST /echo method" '^0=POST$' "$work/wecho.out"
expect "wget POST /echo body" "25=$form" "$(grep '^25=' "$work/wecho.out")"
# A query and a header of the client's own arrive too.
curl -sS -o "$work/q.out" -A 'interop-agent/1.0' "$base/echo?name=Ada&lang=en"
expect_grep "GET /echo query" '^3=name=Ada&lang=en$' "$work/q.out"
expect_grep "GET /echo user agent" '^13=interop-agent/1\.0$' "$work/q.out"

# ab: 1000 requests, ten at a time, for a file and for a web action; none may fail.
for path in /index.htm /hello; do
  ab -n 1000 -c 10 -s 20 "$base$path" > "$work/ab.txt" 2>&1 || fail "ab $path exited $?: $(tail -n 5 "$work/ab.txt")"
  expect "ab $path complete" 1000 "$(sed -n 's/^Complete requests: *//p' "$work/ab.txt")"
  expect "ab $path failed" 0 "$(sed -n 's/^Failed requests: *//p' "$work/ab.txt")"
  expect "ab $path non-2xx" "" "$(sed -n 's/^Non-2xx responses: *//p' "$work/ab.txt")"
done
expect "ab document length" "$(stat -c %s "$site/index.htm")" \
  "$(ab -n 1 "$base/index.htm" 2>/dev/null | sed -n 's/^Document Length: *\([0-9]*\) bytes$/\1/p')"

stop_serve
summary "interop clients"
