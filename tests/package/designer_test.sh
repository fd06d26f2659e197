#!/usr/bin/env bash
# quorvin-designer end to end: the palette, an icon as a bitmap file, and a form made with
# new-form that quorvin-serve then runs, serving the folder the form was designed in.
# Everything stays on 127.0.0.1 and ends by itself.
set -euo pipefail
designer=$1
serve=$2
work=$(mktemp -d)
serve_pid=
cleanup() {
  [ -n "$serve_pid" ] && kill "$serve_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# The palette: one page, each component with its icon.
"$designer" palette > "$work/palette.txt"
head -n 1 "$work/palette.txt" | grep -qx 'QUORVIN Packages' || fail "no palette page: $(cat "$work/palette.txt")"
grep -Eq '^  TSvrModule +TSVRMODULE$' "$work/palette.txt" || fail "TSvrModule missing: $(cat "$work/palette.txt")"
grep -Eq '^  TOrbHTTPClient +TORBHTTPCLIENT$' "$work/palette.txt" || fail "TOrbHTTPClient missing"
! grep -q 'missing' "$work/palette.txt" || fail "an icon is missing: $(cat "$work/palette.txt")"

# An icon as a file that image tools recognise.
"$designer" icon tsvrmodule -o "$work/tower.bmp"
[ "$(stat -c %s "$work/tower.bmp")" = 518 ] || fail "the bitmap file is not 518 bytes"
file "$work/tower.bmp" | grep -q 'PC bitmap.*25 x 25 x 4' || fail "not a 25x25 4-bit bitmap: $(file "$work/tower.bmp")"
if "$designer" icon TNOSUCHICON -o "$work/none.bmp" 2> "$work/err.txt"; then fail "an unknown icon was written"; fi
grep -q 'no icon named.*(the icons: .*TSVRMODULE' "$work/err.txt" || fail "no clear message for an unknown icon: $(cat "$work/err.txt")"
# The file is what its name says, or nothing.
if "$designer" icon tsvrmodule -o "$work/tower.png" 2> "$work/err.txt"; then fail "a bitmap was written as .png"; fi
[ ! -e "$work/tower.png" ] || fail "a .png file holds a bitmap"

# A form designed in the site's folder.
mkdir "$work/site"
echo '<html>designed</html>' > "$work/site/index.htm"
(cd "$work/site" && "$designer" new-form site.json --add TSvrModule --add TWebDispatcher) > "$work/new.txt"
grep -qx 'SvrModule1: TSvrModule' "$work/new.txt" || fail "unexpected placing: $(cat "$work/new.txt")"
if "$designer" new-form "$work/bad.json" --add TNoSuchClass 2> "$work/err.txt"; then fail "an unknown class was placed"; fi
[ ! -e "$work/bad.json" ] || fail "a form was written despite the error"
grep -q '(the classes: .*TSvrModule' "$work/err.txt" || fail "the valid classes are not named: $(cat "$work/err.txt")"
# An existing file stays unless --force.
cp "$work/site/site.json" "$work/kept.json"
if "$designer" new-form "$work/site/site.json" --add TSvrModule 2> "$work/err.txt"; then fail "new-form overwrote a file"; fi
cmp -s "$work/site/site.json" "$work/kept.json" || fail "the existing form changed"
grep -q -- '--force' "$work/err.txt" || fail "no hint at --force: $(cat "$work/err.txt")"
"$designer" new-form "$work/forced.json" --add TSvrModule > /dev/null
"$designer" new-form "$work/forced.json" --force --add TDwSvrModule > /dev/null || fail "--force did not replace"
grep -q TDwSvrModule "$work/forced.json" || fail "--force did not write the new form"

python3 - "$work/site/site.json" "$(cd "$work/site" && pwd -P)" <<'PY'
import json, sys
form = json.load(open(sys.argv[1]))
assert form["class"] == "TForm", form
comps = {c["class"]: c for c in form["components"]}
props = comps["TSvrModule"]["properties"]
expect = {"ServerRoot": sys.argv[2], "DefaultFile": "index.htm", "ServerPort": 80, "MaxRequest": 60}
for k, v in expect.items():
    assert props.get(k) == v, (k, props.get(k), v)
assert "Timeout" not in props, "the default Timeout was written"
assert "TWebDispatcher" in comps, comps
# Port 80 may be taken or privileged here: let the system pick one.
props["ServerPort"] = 0
json.dump(form, open(sys.argv[1], "w"), indent=2)
PY

# Run from another folder: the form's own ServerRoot decides what is served.
mkfifo "$work/serve.out"
(cd "$work" && exec "$serve" --form site/site.json) > "$work/serve.out" 2>&1 &
serve_pid=$!
exec 3< "$work/serve.out"
read -r -t 20 -u 3 line || fail "quorvin-serve said nothing"
port=$(sed -n 's/^Listening on port \([0-9]*\)$/\1/p' <<< "$line")
[ -n "$port" ] || fail "quorvin-serve did not start: $line"

body=$(curl -s --max-time 10 "http://127.0.0.1:$port/")
[ "$body" = '<html>designed</html>' ] || fail "the site's index was not served: $body"
code=$(curl -s --max-time 10 -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port/site.json")
[ "$code" = 200 ] || fail "a file of the site folder answered $code"
echo "designer: ok"
