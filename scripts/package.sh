#!/usr/bin/env bash
# Packs a built Quillon.exe for release into OUTDIR:
#   Quillon-VERSION-win32.zip   the stripped exe and the README
#   Quillon-VERSION-win32.msi   the per-user installer (cmake/Quillon.wxs, built with wixl)
#     package.sh EXE VERSION OUTDIR
# With QUILLON_SIGN_PFX (a PKCS#12 file) and QUILLON_SIGN_PASSWORD set, the exe is
# signed before it is packed and the MSI after, with osslsigncode and no
# timestamp; without them both stay unsigned and one line says so.
# STRIP names the strip tool (the build passes its own); QUILLON_PUBLISHER the publisher.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
exe=${1:?exe}
version=${2:?version}
out=$(mkdir -p "${3:?output dir}" && cd "$3" && pwd)
strip=${STRIP:-i686-w64-mingw32-strip}
publisher=${QUILLON_PUBLISHER:-Quillon}

stage=$out/release
zip=$out/Quillon-$version-win32.zip
msi=$out/Quillon-$version-win32.msi

sign() {
  local file=$1
  # The password goes through a pipe, not the command line that ps shows.
  osslsigncode sign -pkcs12 "$QUILLON_SIGN_PFX" -readpass <(printf '%s' "${QUILLON_SIGN_PASSWORD:-}") \
    -h sha256 -n Quillon -in "$file" -out "$file.signed" >/dev/null
  mv -f "$file.signed" "$file"
}

signing=0
if [ -n "${QUILLON_SIGN_PFX:-}" ]; then
  signing=1
else
  echo "package: QUILLON_SIGN_PFX not set, Quillon.exe and the MSI stay unsigned"
fi

rm -rf "$stage"
mkdir -p "$stage"
"$strip" -o "$stage/Quillon.exe" "$exe"
if [ "$signing" = 1 ]; then sign "$stage/Quillon.exe"; fi
cp "$root/README.md" "$stage/README.md"

rm -f "$zip"
(cd "$stage" && zip -q -X "$zip" Quillon.exe README.md)

# One product code per version, always the same for that version: rebuilding a
# version does not make a second product that an upgrade would miss.
product_code=$(python3 -c 'import sys, uuid
print(str(uuid.uuid5(uuid.UUID("3D32C70B-38F8-4BAB-A869-07CC520842A7"), "Quillon " + sys.argv[1])).upper())' "$version")
rm -f "$msi"
# wixl takes source files relative to the current folder only.
cp "$root/ui/resources/Quillon.ico" "$stage/Quillon.ico"
(cd "$stage" && wixl -a x86 -o "$msi" \
  -D "Version=$version" -D "ProductCode=$product_code" -D "Publisher=$publisher" \
  -D "ExeSource=Quillon.exe" -D "IconSource=Quillon.ico" "$root/cmake/Quillon.wxs")
if [ "$signing" = 1 ]; then sign "$msi"; fi
