#!/usr/bin/env bash
# Checks the release's signing path with a throwaway self-signed certificate:
# package.sh signs the programs and the MSI, osslsigncode verifies both against that
# certificate, and one changed byte in the signed exe fails verification. Without
# a certificate the package is unsigned and says so, and its exe is the signed one
# with the signature removed.
#   check-signing.sh BUILD_DIR [ARCH]      (ARCH: the packages' win32 or win64)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?build dir}" && pwd)
arch=${2:-win32}
exe=$build/entry/Quillon.exe
version=9.9.9
# shellcheck source=scripts/checks.sh
. "$root/scripts/checks.sh"
verifies() { osslsigncode verify -CAfile "$work/cert.pem" -in "$1"; }
fails_to_verify() { ! verifies "$1"; }

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Quillon test signing" \
  -addext extendedKeyUsage=codeSigning -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -passout pass:throwaway \
  -out "$work/cert.pfx"

env -u QUILLON_SIGN_TIMESTAMP QUILLON_SIGN_PFX="$work/cert.pfx" QUILLON_SIGN_PASSWORD=throwaway \
  "$root/scripts/package.sh" "$exe" "$version" "$work/signed" "$arch" >"$work/signed.log"
signed_exe=$work/signed/release-$arch/Quillon.exe
signed_msi=$work/signed/Quillon-$version-$arch.msi
check "the packed exe verifies" verifies "$signed_exe"
check "the MSI verifies" verifies "$signed_msi"
python3 -m zipfile -e "$work/signed/Quillon-$version-$arch.zip" "$work/unzipped"
check "the zip holds the signed exe" cmp "$work/unzipped/Quillon.exe" "$signed_exe"
check "the zip's console companion verifies" verifies "$work/unzipped/Quillon.com"
# No timestamp server here: the build must say the signatures will not outlive the certificate.
check "without a timestamp server it says untimestamped" grep -q "untimestamped" "$work/signed.log"

# One byte of code changed after signing.
cp "$signed_exe" "$work/corrupt.exe"
offset=4096
byte=$(od -An -tu1 -j "$offset" -N1 "$work/corrupt.exe" | tr -d ' ')
printf '%b' "\\$(printf '%03o' $((byte ^ 0x55)))" | dd of="$work/corrupt.exe" bs=1 seek="$offset" conv=notrunc 2>/dev/null
check "a changed byte fails verification" fails_to_verify "$work/corrupt.exe"

# A certificate that cannot be used fails the packing rather than leaving it unsigned.
wrong_password_fails() {
  ! QUILLON_SIGN_PFX=$work/cert.pfx QUILLON_SIGN_PASSWORD=wrong \
    "$root/scripts/package.sh" "$exe" "$version" "$work/wrong" "$arch"
}
check "a wrong password fails the packing" wrong_password_fails

env -u QUILLON_SIGN_PFX -u QUILLON_SIGN_PASSWORD \
  "$root/scripts/package.sh" "$exe" "$version" "$work/unsigned" "$arch" >"$work/unsigned.log"
check "without a certificate it says unsigned" grep -q "unsigned" "$work/unsigned.log"
check "without a certificate the MSI carries no signature" \
  fails_to_verify "$work/unsigned/Quillon-$version-$arch.msi"
package_code() { msiinfo suminfo "$1" | sed -n 's/^Revision number (UUID): //p'; }
# The package code follows the content: the MSI around the signed exe has its own.
differ() { [ -n "$1" ] && [ "$1" != "$2" ]; }
check "the MSI holding the signed exe has another package code" \
  differ "$(package_code "$signed_msi")" "$(package_code "$work/unsigned/Quillon-$version-$arch.msi")"
# Signing adds the signature and nothing else: removed, the unsigned program is left.
for program in Quillon.exe Quillon.com; do
  osslsigncode remove-signature -in "$work/signed/release-$arch/$program" -out "$work/stripped-$program" >/dev/null
  check "the signed $program without its signature is the unsigned one" \
    cmp "$work/stripped-$program" "$work/unsigned/release-$arch/$program"
done

checks_end signing
