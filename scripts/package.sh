#!/usr/bin/env bash
# Packs a built Quillon.exe for release into OUTDIR:
#   Quillon-VERSION-ARCH.zip   the stripped exe and the README
#   Quillon-VERSION-ARCH.msi   the per-user installer (cmake/Quillon.wxs, built with wixl)
#     package.sh EXE VERSION OUTDIR [ARCH]     (ARCH: win32, the default, or win64)
# With QUILLON_SIGN_PFX (a PKCS#12 file) and QUILLON_SIGN_PASSWORD set, the exe is
# signed before it is packed and the MSI after, with osslsigncode and no
# timestamp; without them both stay unsigned and one line says so.
# STRIP names the strip tool (the build passes its own); QUILLON_PUBLISHER the publisher.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
exe=${1:?exe}
version=${2:?version}
out=$(mkdir -p "${3:?output dir}" && cd "$3" && pwd)
arch=${4:-win32}
# The installer's component GUIDs differ by architecture, as a component's bitness
# is part of what its GUID names; the 32-bit ones are those it always had.
case $arch in
  win32) msi_arch=x86 win64=no strip=${STRIP:-i686-w64-mingw32-strip}
         components=(A1F5A632-15D1-4EB6-9DC1-CA6DB571A87A 43CA3037-CE9B-4453-8B95-968581A6A2A4) ;;
  win64) msi_arch=x64 win64=yes strip=${STRIP:-x86_64-w64-mingw32-strip}
         components=(5C0F6A4E-2B7D-4C38-9E55-0E1B8F3A6D21 9B27E0D3-6F41-4A8C-B3E2-71C5D84F0A96) ;;
  *) echo "package: the architecture is win32 or win64, not $arch" >&2; exit 2 ;;
esac
publisher=${QUILLON_PUBLISHER:-Quillon}

stage=$out/release-$arch
zip=$out/Quillon-$version-$arch.zip
msi=$out/Quillon-$version-$arch.msi

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

# One product code per version and architecture, always the same for them:
# rebuilding a version does not make a second product that an upgrade would miss.
# The 32-bit package keeps the code it had before there were two.
name="Quillon $version"
[ "$arch" = win32 ] || name+=" $arch"
product_code=$(python3 -c 'import sys, uuid
print(str(uuid.uuid5(uuid.UUID("3D32C70B-38F8-4BAB-A869-07CC520842A7"), sys.argv[1])).upper())' "$name")
rm -f "$msi"
# wixl takes source files relative to the current folder only.
cp "$root/ui/resources/Quillon.ico" "$stage/Quillon.ico"
(cd "$stage" && wixl -a "$msi_arch" -o "$msi" \
  -D "Version=$version" -D "ProductCode=$product_code" -D "Publisher=$publisher" -D "Win64=$win64" \
  -D "ExeComponentGuid=${components[0]}" -D "FolderComponentGuid=${components[1]}" \
  -D "ExeSource=Quillon.exe" -D "IconSource=Quillon.ico" "$root/cmake/Quillon.wxs")
# An upgrade takes older versions and, of the other architecture, the same one:
# the upgrade row's upper bound includes this version (VersionMaxInclusive, 0x200).
# The same package is never its own upgrade: Windows Installer skips its own product.
# (libmsi runs no UPDATE, so the table goes out and back in.)
msiinfo export "$msi" Upgrade |
  sed 's/\t1\t\tWIX_UPGRADE_DETECTED\r$/\t513\t\tWIX_UPGRADE_DETECTED\r/' >"$stage/Upgrade.idt"
grep -q $'\t513\t\tWIX_UPGRADE_DETECTED' "$stage/Upgrade.idt" ||
  { echo "package: the MSI's upgrade row is not as expected" >&2; exit 1; }
msibuild "$msi" -i "$stage/Upgrade.idt"
if [ "$signing" = 1 ]; then sign "$msi"; fi
