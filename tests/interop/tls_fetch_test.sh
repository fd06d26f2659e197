#!/usr/bin/env bash
# quorvin-fetch over https against Debian's nginx, with certificates made here: files and a POST
# body byte-exact through a peer it trusts by --cacert, and a table of certificates it must
# refuse (unknown issuer, another host's name, expired) without writing anything of the body,
# each of which -k accepts; a peer that speaks only TLS 1.2 is reached too.
# Usage: tls_fetch_test.sh BIN-DIR BINDING
bin=$1
binding=$2
# shellcheck source=tests/interop/lib.sh
source "$(dirname "$0")/lib.sh"
# shellcheck source=tests/interop/pki.sh
source "$here/pki.sh"
for tool in openssl nginx; do
  command -v "$tool" > /dev/null || skip "$tool is not installed"
done
nginx -V 2>&1 | grep -q -- --with-http_ssl_module || skip "this nginx has no ssl module"
probe_fetch

qfetch() { "$fetch" --binding "$binding" --timeout 20 "$@"; }

make_pki "$work/pki"
mkdir -p "$work/root"
cp -R "$site/." "$work/root/"
# Several TLS records, and more than a socket buffer holds.
head -c $((3 * 1024 * 1024 + 17)) /dev/urandom > "$work/root/big.bin"
head -c $((200 * 1024)) /dev/urandom > "$work/post.bin"
mapfile -t files < <(cd "$work/root" && find . -type f ! -path '*/.*' -printf '%P\n' | sort)

# One nginx: its plain listener, and one https listener per certificate; "tls12" and "tls11" hold
# the good certificate but speak only TLS 1.2 and only TLS 1.1 (which this openssl offers at
# security level 0 alone).
declare -A tls_port
tls_servers() {
  local name cert protocols ciphers
  for name in server expired other tls12 tls11; do
    tls_port[$name]=$(free_port)
    cert=$name protocols="TLSv1.2 TLSv1.3" ciphers=DEFAULT
    [[ "$name" == tls1? ]] && cert=server
    [[ "$name" == tls12 ]] && protocols=TLSv1.2
    [[ "$name" == tls11 ]] && protocols=TLSv1.1 ciphers=DEFAULT:@SECLEVEL=0
    cat <<CONF
  server {
    listen 127.0.0.1:${tls_port[$name]} ssl;
    server_name localhost;
    ssl_certificate $pki/$cert.pem;
    ssl_certificate_key $pki/$cert.key;
    ssl_protocols $protocols;
    ssl_ciphers $ciphers;
    root $work/root;
    location = /echo {
      client_max_body_size 4m;
      echo_read_request_body;
      echo_request_body;
    }
  }
CONF
  done
}
start_nginx "$work/root" tls_servers
ca=(--cacert "$pki/ca.pem")
good=https://127.0.0.1:${tls_port[server]}

# Trusted through --cacert: every file byte for byte, and a posted body comes back whole.
for f in "${files[@]}"; do
  qfetch "${ca[@]}" -o "$work/got" "$good/$f" || fail "quorvin-fetch $good/$f exited $?"
  expect_file "https GET /$f" "$work/root/$f" "$work/got"
done
qfetch "${ca[@]}" -i "$good/style.css" > "$work/css" || fail "quorvin-fetch -i $good/style.css exited $?"
split_answer "$work/css"
expect "https -i status line" "HTTP/1.1 200 OK" "$(head -n 1 "$work/css.head")"
expect_file "https -i body" "$work/root/style.css" "$work/css.body"
qfetch "${ca[@]}" -o "$work/echo.bin" -X POST --data-file "$work/post.bin" "$good/echo" ||
  fail "quorvin-fetch POST of 200 KiB over https exited $?"
expect_file "https POST 200 KiB binary body" "$work/post.bin" "$work/echo.bin"

# The TLS 1.1 listener really speaks TLS 1.1 to a client that offers it, so a refusal below is
# quorvin-fetch's own.
openssl s_client -connect "127.0.0.1:${tls_port[tls11]}" -tls1_1 -cipher DEFAULT:@SECLEVEL=0 < /dev/null \
  > "$work/s_client11" 2>&1 || true
expect_grep "nginx's TLS 1.1 listener answers TLS 1.1" '^ *Protocol *: TLSv1\.1$' "$work/s_client11"

# The certificate table: CASE | LISTENER | HOST | OPTIONS | WANTED (ok, or a pattern the
# message must match). Every row fetches big.bin.
cases=(
  "trusted, by address|server|127.0.0.1|ca|ok"
  "trusted, by name|server|localhost|ca|ok"
  "peer with TLS 1.2 only|tls12|127.0.0.1|ca|ok"
  "CA not trusted|server|127.0.0.1||unknown issuer"
  "CA not trusted, by name|server|localhost||unknown issuer"
  "another host's certificate|other|127.0.0.1|ca|does not name the host"
  "another host's certificate, by name|other|localhost|ca|does not name the host"
  "expired|expired|127.0.0.1|ca|has expired"
  "-k, CA not trusted|server|127.0.0.1|-k|ok"
  "-k, another host's certificate|other|localhost|-k|ok"
  "-k, expired|expired|127.0.0.1|-k|ok"
  "peer with TLS 1.1 only, even with -k|tls11|127.0.0.1|-k|protocol version"
)
for row in "${cases[@]}"; do
  IFS='|' read -r what listener host opts wanted <<< "$row"
  args=()
  [[ "$opts" == ca ]] && args=("${ca[@]}")
  [[ "$opts" == -k ]] && args=(-k)
  url=https://$host:${tls_port[$listener]}/big.bin
  rm -f "$work/got"
  rc=0
  qfetch "${args[@]}" -o "$work/got" "$url" 2> "$work/err" || rc=$?
  if [[ "$wanted" == ok ]]; then
    expect "$what: exit status (stderr: $(cat "$work/err"))" 0 "$rc"
    expect_file "$what: body" "$work/root/big.bin" "$work/got"
  else
    [[ "$rc" -ne 0 ]] || fail "$what: quorvin-fetch $url accepted the certificate"
    expect_grep "$what: message" "$wanted" "$work/err"
    expect "$what: bytes of the body written" 0 "$(stat -c %s "$work/got" 2> /dev/null || echo 0)"
  fi
done
summary "interop https fetch against nginx"
