#!/usr/bin/env bash
# release.sh signing with a key that never leaves a PKCS#11 token: a SoftHSM2
# token of its own, a key pair made on it, a certificate for that key from a
# throwaway test root (the request signed on the token), then a release of
# the commit checked out signed through the token, both signatures verified
# against the test root, and the signed binaries run under Wine.
#   bash tests/pkcs11_signing_test.sh BUILD_DIR
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?usage: pkcs11_signing_test.sh BUILD_DIR}" && pwd)
work=$build/pkcs11-test
rm -rf "$work" && mkdir -p "$work/tokens"
module=$(dpkg -L softhsm2 libsofthsm2 2>/dev/null | grep -m1 '/libsofthsm2\.so$')
export SOFTHSM2_CONF=$work/softhsm2.conf
printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' \
  "$work/tokens" >"$SOFTHSM2_CONF"
pin=2718
echo "$pin" >"$work/pin.txt"
softhsm2-util --init-token --free --label release-test --pin "$pin" --so-pin 31415926 >/dev/null
pkcs11-tool --module "$module" --token-label release-test --login --pin "$pin" \
  --keypairgen --key-type rsa:3072 --id 01 --label codesign >/dev/null
uri='pkcs11:token=release-test;object=codesign;type=private'

openssl req -x509 -newkey rsa:3072 -sha256 -nodes -days 2 -subj "/O=Orvane/CN=Orvane test root" \
  -addext "basicConstraints=critical,CA:true" -addext "keyUsage=critical,keyCertSign" \
  -keyout "$work/root-key.pem" -out "$work/root.pem" 2>/dev/null
PKCS11_MODULE_PATH=$module openssl req -new -engine pkcs11 -keyform engine \
  -key "$uri;pin-value=$pin" -subj "/O=Orvane/CN=Orvane token signing test" -out "$work/signer.csr" 2>/dev/null
printf 'keyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >"$work/ext.cnf"
openssl x509 -req -in "$work/signer.csr" -CA "$work/root.pem" -CAkey "$work/root-key.pem" \
  -CAcreateserial -days 2 -sha256 -extfile "$work/ext.cnf" -out "$work/signer.pem" 2>/dev/null

DIST_DIR=$work/dist RELEASE_DIR=$work/release bash "$root/scripts/release.sh" \
  --sign-pkcs11-module "$module" --sign-key-uri "$uri" --sign-cert "$work/signer.pem" \
  --sign-pass-file "$work/pin.txt" --sign-ca "$work/root.pem" --run-signed | tee "$work/release.txt"

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# The certificate holds the token's public key, so a signature that verifies
# with it was made by the key on the token.
pkcs11-tool --module "$module" --token-label release-test --read-object --type pubkey --id 01 \
  -o "$work/token-pub.der" >/dev/null
[ "$(openssl pkey -pubin -inform DER -in "$work/token-pub.der")" = \
  "$(openssl x509 -in "$work/signer.pem" -noout -pubkey)" ] || fail "the certificate is not the token key's"
for binary in Vantrel.dll Drelmo.exe; do
  osslsigncode verify -CAfile "$work/root.pem" -in "$work/dist/$binary" >"$work/verify-$binary.txt" 2>&1 &&
    grep -q 'Subject: /O=Orvane/CN=Orvane token signing test' "$work/verify-$binary.txt" ||
    fail "$binary: no signature by the token's certificate that verifies against the test root"
done
grep -q '^signing:  signed with a key on a PKCS#11 token' "$work/dist/BUILD.txt" || fail "BUILD.txt: $(grep signing: "$work/dist/BUILD.txt")"
grep -q '^check-dist-runs: the binaries in .* work under Wine' "$work/release.txt" || fail "the signed binaries were not run under Wine"
[ "$failures" -eq 0 ] || exit 1
echo "pkcs11 signing: both binaries signed through the token, verified, and run"
