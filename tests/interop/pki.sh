# shellcheck shell=bash disable=SC2034
# A throw-away PKI for the HTTPS tests (sourced after lib.sh), made fresh by every run so that no
# key is ever checked in: a CA, and under it, all with P-256 keys,
#   server.pem   localhost and 127.0.0.1, valid now
#   expired.pem  localhost and 127.0.0.1, valid only for a day in 2020
#   other.pem    other.example only
# each with its key beside it (server.key, ...). Clients trust the CA with --cacert ca.pem; the
# system's store does not know it.

# make_pki DIR: the files above in DIR; sets `pki` to DIR.
make_pki() {
  pki=$1
  mkdir -p "$pki/db"
  : > "$pki/db/index.txt"
  echo 1000 > "$pki/db/serial"
  # `openssl ca` is the one command of this openssl (3.0) that sets any validity dates, so all
  # leaves go through it; unique_subject = no lets two leaves share a name.
  cat > "$pki/ca.cnf" <<CNF
[ ca ]
default_ca = test_ca
[ test_ca ]
dir = $pki/db
database = \$dir/index.txt
serial = \$dir/serial
new_certs_dir = \$dir
unique_subject = no
default_md = sha256
policy = any
copy_extensions = none
[ any ]
commonName = supplied
[ leaf ]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
subjectAltName = \$ENV::QUORVIN_SAN
CNF
  openssl req -x509 -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 -sha256 \
    -subj '/CN=Quorvin Interop Test CA' -addext 'basicConstraints=critical,CA:TRUE' \
    -addext 'keyUsage=critical,keyCertSign,cRLSign' \
    -keyout "$pki/ca.key" -out "$pki/ca.pem" 2> "$pki/log" || fail "openssl: the CA: $(cat "$pki/log")"
  pki_leaf server localhost 'DNS:localhost,IP:127.0.0.1' -days 30
  pki_leaf expired localhost 'DNS:localhost,IP:127.0.0.1' -startdate 20200101000000Z -enddate 20200102000000Z
  pki_leaf other other.example 'DNS:other.example'
}

# pki_leaf NAME CN SAN [DATES...]: NAME.key and NAME.pem signed by the CA.
pki_leaf() {
  local name=$1 cn=$2 san=$3
  shift 3
  [[ $# -gt 0 ]] || set -- -days 30
  openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj "/CN=$cn" \
    -keyout "$pki/$name.key" -out "$pki/$name.csr" 2> "$pki/log" || fail "openssl: $name request: $(cat "$pki/log")"
  QUORVIN_SAN=$san openssl ca -batch -notext -config "$pki/ca.cnf" -extensions leaf -cert "$pki/ca.pem" \
    -keyfile "$pki/ca.key" -in "$pki/$name.csr" -out "$pki/$name.pem" "$@" 2> "$pki/log" ||
    fail "openssl: $name certificate: $(cat "$pki/log")"
}

# spki_sha256 KEY: base64 of the SHA-256 of the key's SubjectPublicKeyInfo (what chromium's
# --ignore-certificate-errors-spki-list takes).
spki_sha256() {
  openssl pkey -in "$1" -pubout -outform DER | openssl dgst -sha256 -binary | base64
}
