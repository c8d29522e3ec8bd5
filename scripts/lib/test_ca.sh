# The certificates of the HTTPS tests: a test CA of our own and a server
# certificate it signed for localhost, which the test web servers
# (tests/support/nginx_server.h) present. The players under test check TLS
# against the system trust store, as they do in the field, so the CA goes
# into that store (Wine reads the same store).

# Each CA goes in under a name of its own (its fingerprint), so that the
# test folders of several clones on one machine (a worktree, a benchmark's
# fresh clone) keep trusting each their own.
test_ca_store_dir=/usr/local/share/ca-certificates
# test_ca_name CA_PEM: the store's name for it.
test_ca_name() {
  echo "quor-test-ca-$(openssl x509 -in "$1" -noout -fingerprint -sha256 | tr -d ':' |
    sed 's/.*=//' | cut -c1-16 | tr 'A-F' 'a-f')"
}

# ensure_test_ca DIR: makes DIR/ca.pem (the CA, RSA 2048, 10 years, its
# key in DIR/ca.key), DIR/server.pem and DIR/server.key (for localhost,
# with the names DNS:localhost and IP:127.0.0.1) unless DIR already holds
# a server certificate that the CA there signed and that is good for a day
# more; then installs ca.pem into the system trust store unless the store
# holds these very bytes. Installing needs root: otherwise the commands to
# run are printed and the function fails.
ensure_test_ca() {
  local dir=$1
  mkdir -p "$dir"
  if ! test_ca_usable "$dir"; then
    echo "Making the test CA in $dir"
    make_test_ca "$dir" || { echo "could not make the test CA in $dir" >&2; return 1; }
  fi
  install_test_ca "$dir/ca.pem"
}

# test_ca_usable DIR: whether DIR holds the three files, the server
# certificate signed by the CA and neither running out within a day.
test_ca_usable() {
  local dir=$1
  [ -s "$dir/ca.pem" ] && [ -s "$dir/server.pem" ] && [ -s "$dir/server.key" ] || return 1
  openssl x509 -in "$dir/ca.pem" -noout -checkend 86400 >/dev/null 2>&1 &&
    openssl x509 -in "$dir/server.pem" -noout -checkend 86400 >/dev/null 2>&1 &&
    openssl verify -CAfile "$dir/ca.pem" "$dir/server.pem" >/dev/null 2>&1
}

# make_test_ca DIR: writes a new CA and server certificate into DIR,
# replacing what is there. RSA rather than EC: Wine's certificate chain
# checks have long handled RSA, and the tests run the Windows player too.
make_test_ca() {
  local dir work
  dir=$(cd "$1" && pwd) || return 1
  work=$(mktemp -d) || return 1
  cat >"$work/server.ext" <<'EOF'
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost, IP:127.0.0.1
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
EOF
  (
    set -e
    cd "$work"
    openssl req -x509 -newkey rsa:2048 -sha256 -nodes -days 3650 -subj "/CN=Quor test CA" \
      -keyout ca.key -out ca.pem \
      -addext "keyUsage = critical, keyCertSign, cRLSign" 2>/dev/null
    openssl req -new -newkey rsa:2048 -sha256 -nodes -subj "/CN=localhost" \
      -keyout server.key -out server.csr 2>/dev/null
    openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -sha256 \
      -days 3650 -extfile server.ext -out server.pem 2>/dev/null
    chmod 600 ca.key server.key
    chmod 644 ca.pem server.pem
    mv ca.key ca.pem server.key server.pem "$dir/"
  )
  local status=$?
  rm -rf "$work"
  return $status
}

# install_test_ca CA_PEM: puts CA_PEM into the system trust store (as
# root) unless the store holds the same bytes already.
install_test_ca() {
  local ca=$1 name
  name=$(test_ca_name "$ca")
  local store_file=$test_ca_store_dir/$name.crt
  # The link update-ca-certificates makes for it: present once the store
  # was rebuilt with the CA in it.
  if cmp -s "$ca" "$store_file" && [ -e "/etc/ssl/certs/$name.pem" ]; then
    return 0
  fi
  if [ "$(id -u)" -ne 0 ]; then
    echo "The test CA is not in the system trust store. Install it with:" >&2
    echo "  sudo install -m 644 $(realpath "$ca") $store_file && sudo update-ca-certificates" >&2
    return 1
  fi
  echo "Installing the test CA into the system trust store"
  install -m 644 "$ca" "$store_file"
  # Its output is mostly warnings about the store's bundle file.
  update-ca-certificates >/dev/null 2>&1 || { echo "update-ca-certificates failed" >&2; return 1; }
}
