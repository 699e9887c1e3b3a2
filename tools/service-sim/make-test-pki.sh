#!/bin/sh
# Makes the throw-away authorities and certificates the HTTPS tests and the simulator's --tls use,
# in the folder given (the build folder's test-pki/). Nothing here is committed: every build makes
# its own, valid for a year, for 127.0.0.1 and localhost only.
#
#   ca.pem                  the test authority (only the module's stand-in build can be told to trust it)
#   server.pem, server.key  127.0.0.1 and localhost, signed by the test authority
#   other-host.pem          the same key, for another host name
#   expired.pem             the same key and names, expired long ago
#   rogue-ca.pem, rogue.pem an authority nobody trusts, and a certificate for 127.0.0.1 it signed
set -eu
out=$1
mkdir -p "$out"
cd "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null; }
authority() { # name key pem
	key "$2"
	openssl req -x509 -new -key "$2" -out "$3" -days 365 -subj "/O=KELP test/CN=$1" \
		-addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
}
# sign csr-subject-cn san ca-pem ca-key out [startdate enddate]
sign() {
	ext="$work/ext"
	printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=serverAuth\nsubjectAltName=%s\n' "$2" >"$ext"
	openssl req -new -key server.key -subj "/O=KELP test/CN=$1" -out "$work/csr"
	if [ $# -ge 7 ]; then
		# Only "openssl ca" takes dates in the past.
		mkdir -p "$work/db"
		: >"$work/db/index"
		cat >"$work/ca.cnf" <<CNF
[ca]
default_ca = test
[test]
database = $work/db/index
new_certs_dir = $work/db
serial = $work/db/serial
default_md = sha256
policy = any
unique_subject = no
[any]
commonName = supplied
CNF
		openssl rand -hex 16 >"$work/db/serial"
		openssl ca -batch -notext -config "$work/ca.cnf" -cert "$3" -keyfile "$4" -in "$work/csr" \
			-out "$5" -extfile "$ext" -startdate "$6" -enddate "$7" 2>/dev/null
	else
		openssl x509 -req -in "$work/csr" -CA "$3" -CAkey "$4" -CAcreateserial -days 365 -sha256 \
			-extfile "$ext" -out "$5" 2>/dev/null
	fi
}

authority "KELP test authority" "$work/ca.key" ca.pem
authority "KELP rogue authority" "$work/rogue-ca.key" rogue-ca.pem
key server.key
sign 127.0.0.1 "IP:127.0.0.1,DNS:localhost" ca.pem "$work/ca.key" server.pem
sign other.invalid "DNS:other.invalid" ca.pem "$work/ca.key" other-host.pem
sign 127.0.0.1 "IP:127.0.0.1,DNS:localhost" ca.pem "$work/ca.key" expired.pem 20200101000000Z 20200201000000Z
sign 127.0.0.1 "IP:127.0.0.1,DNS:localhost" rogue-ca.pem "$work/rogue-ca.key" rogue.pem
rm -f ca.srl rogue-ca.srl
