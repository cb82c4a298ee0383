#!/bin/bash
# The zip's install step signs TorvoClean.exe with Authenticode when TORVO_SIGN_KEY and
# TORVO_SIGN_CERT are set, here with a throw-away self-signed certificate, and leaves
# it as built otherwise; SHA256SUMS holds the program as it goes into the zip.
#   signing.sh BUILD_DIR
set -u
build=$(realpath "$1")
source "$(dirname "$0")/../support/check.sh"
for tool in openssl osslsigncode; do
    command -v $tool >/dev/null || { echo "SKIP: $tool is not installed (scripts/setup installs it)"; exit 77; }
done
work=$(mktemp -d "${TMPDIR:-/tmp}/torvo-signing-XXXXXX")
trap 'rm -rf "$work"' EXIT

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=TorvoClean test signing" \
    -addext keyUsage=digitalSignature -addext extendedKeyUsage=codeSigning \
    -keyout "$work/key.pem" -out "$work/cert.pem" 2>"$work/openssl.log" || { cat "$work/openssl.log"; exit 1; }

install_to() {  # install_to DIR: the files of the zip
    cmake --install "$build" --prefix "$1" >"$work/install.log" 2>&1 || { cat "$work/install.log"; return 1; }
}
sums_hold() {
    (cd "$1" && sha256sum --quiet -c SHA256SUMS)
}

(unset TORVO_SIGN_KEY TORVO_SIGN_CERT && install_to "$work/unsigned")
check "unsigned: the program as built" cmp "$work/unsigned/TorvoClean.exe" "$build/release/TorvoClean.exe"

TORVO_SIGN_KEY=$work/key.pem TORVO_SIGN_CERT=$work/cert.pem install_to "$work/signed"
check "signed: the signature verifies" \
    osslsigncode verify -CAfile "$work/cert.pem" -in "$work/signed/TorvoClean.exe" >"$work/verify.log"
check "signed: SHA256SUMS holds the signed program" sums_hold "$work/signed"
half_refused() {
    ! TORVO_SIGN_KEY=$work/key.pem TORVO_SIGN_CERT='' install_to "$work/half" >/dev/null
}
check "a key without its certificate is refused" half_refused

[ "$failures" -eq 0 ] || cat "$work/verify.log"
echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
