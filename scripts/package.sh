#!/usr/bin/env bash
# Packs a built Quillon.exe and its console companion Quillon.com for release into OUTDIR:
#   Quillon-VERSION-ARCH.zip   the stripped exe, the companion and the README
#   Quillon-VERSION-ARCH.msi   the installer, per user or per machine (cmake/Quillon.wxs, built with wixl)
#   SHA256SUMS                 the two packages' SHA-256 sums
#     package.sh EXE VERSION OUTDIR [ARCH]     (ARCH: win32, the default, or win64)
# QUILLON_COM and QUILLON_SETUP_DLL (the installer's exit step) default to the files
# beside EXE. With QUILLON_SIGN_PFX (a PKCS#12 file) and QUILLON_SIGN_PASSWORD set,
# the programs are signed before they are packed and the MSI after, with
# osslsigncode, timestamped by the RFC 3161 server QUILLON_SIGN_TIMESTAMP names;
# without a certificate all stay unsigned, without a server the signatures carry
# no timestamp, and one line says so.
# STRIP names the strip tool (the build passes its own); QUILLON_PUBLISHER the publisher.
# Two runs on the same exe give the same bytes, wherever and whenever they run: every
# time packed is SOURCE_DATE_EPOCH, or else the last commit's time.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
exe=${1:?exe}
version=${2:?version}
out=$(mkdir -p "${3:?output dir}" && cd "$3" && pwd)
arch=${4:-win32}
com=${QUILLON_COM:-$(dirname "$exe")/Quillon.com}
setup_dll=${QUILLON_SETUP_DLL:-$(dirname "$exe")/QuillonSetup.dll}
# The installer's component GUIDs differ by architecture, as a component's bitness
# is part of what its GUID names; the 32-bit ones are those it always had.
case $arch in
  win32) msi_arch=x86 win64=no program_files=ProgramFilesFolder strip=${STRIP:-i686-w64-mingw32-strip}
         components=(A1F5A632-15D1-4EB6-9DC1-CA6DB571A87A 43CA3037-CE9B-4453-8B95-968581A6A2A4) ;;
  win64) msi_arch=x64 win64=yes program_files=ProgramFiles64Folder strip=${STRIP:-x86_64-w64-mingw32-strip}
         components=(5C0F6A4E-2B7D-4C38-9E55-0E1B8F3A6D21 9B27E0D3-6F41-4A8C-B3E2-71C5D84F0A96) ;;
  *) echo "package: the architecture is win32 or win64, not $arch" >&2; exit 2 ;;
esac
publisher=${QUILLON_PUBLISHER:-Quillon}
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct 2>/dev/null || true)
  if [ -z "$SOURCE_DATE_EPOCH" ]; then
    echo "package: set SOURCE_DATE_EPOCH: $root has no commit to take the time from" >&2
    exit 1
  fi
fi
# strip stamps this time into the exe's header (otherwise the clock's); the zip and
# the cabinet take local times, so local is UTC.
export SOURCE_DATE_EPOCH TZ=UTC

stage=$out/release-$arch
zip=$out/Quillon-$version-$arch.zip
msi=$out/Quillon-$version-$arch.msi

timestamp=()
if [ -n "${QUILLON_SIGN_TIMESTAMP:-}" ]; then timestamp=(-ts "$QUILLON_SIGN_TIMESTAMP"); fi

# Every file packed gets the same mode and time whatever the umask and the clock.
settle_stage() {
  chmod 644 "$stage"/*
  touch -d "@$SOURCE_DATE_EPOCH" "$stage"/*
}

sign() {
  local file=$1
  # The password goes through a pipe, not the command line that ps shows.
  osslsigncode sign -pkcs12 "$QUILLON_SIGN_PFX" -readpass <(printf '%s' "${QUILLON_SIGN_PASSWORD:-}") \
    -h sha256 -n Quillon "${timestamp[@]}" -in "$file" -out "$file.signed" >/dev/null
  mv -f "$file.signed" "$file"
}

signing=0
if [ -n "${QUILLON_SIGN_PFX:-}" ]; then
  signing=1
  if [ ${#timestamp[@]} = 0 ]; then
    echo "package: QUILLON_SIGN_TIMESTAMP not set, the signatures are untimestamped and stop verifying when the certificate expires"
  fi
else
  echo "package: QUILLON_SIGN_PFX not set, Quillon.exe, Quillon.com and the MSI stay unsigned"
fi

rm -rf "$stage"
mkdir -p "$stage"
"$strip" -o "$stage/Quillon.exe" "$exe"
"$strip" -o "$stage/Quillon.com" "$com"
"$strip" -o "$stage/QuillonSetup.dll" "$setup_dll"
for file in Quillon.exe Quillon.com QuillonSetup.dll; do
  python3 "$root/scripts/pe-align.py" "$stage/$file"
  if [ "$signing" = 1 ]; then sign "$stage/$file"; fi
done
cp "$root/README.md" "$stage/README.md"

rm -f "$zip"
settle_stage
(cd "$stage" && zip -q -X "$zip" Quillon.exe Quillon.com README.md)

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
settle_stage
(cd "$stage" && wixl -a "$msi_arch" -o "$msi" \
  -D "Version=$version" -D "ProductCode=$product_code" -D "Publisher=$publisher" -D "Win64=$win64" \
  -D "ProgramFiles=$program_files" \
  -D "ExeComponentGuid=${components[0]}" -D "FolderComponentGuid=${components[1]}" \
  -D "ExeSource=Quillon.exe" -D "ComSource=Quillon.com" -D "SetupSource=QuillonSetup.dll" \
  -D "IconSource=Quillon.ico" "$root/cmake/Quillon.wxs")
# An upgrade takes older versions and, of the other architecture, the same one:
# the upgrade row's upper bound includes this version (VersionMaxInclusive, 0x200).
# The same package is never its own upgrade: Windows Installer skips its own product.
# (libmsi runs no UPDATE, so the table goes out and back in.)
msiinfo export "$msi" Upgrade |
  sed 's/\t1\t\tWIX_UPGRADE_DETECTED\r$/\t513\t\tWIX_UPGRADE_DETECTED\r/' >"$stage/Upgrade.idt"
grep -q $'\t513\t\tWIX_UPGRADE_DETECTED' "$stage/Upgrade.idt" ||
  { echo "package: the MSI's upgrade row is not as expected" >&2; exit 1; }
msibuild "$msi" -i "$stage/Upgrade.idt"
# wixl writes HKMU as an invalid root (4); Windows Installer's HKMU is -1: HKCU for a
# per-user install, HKLM for a per-machine one. The folder in the profile is the
# per-user install's only (wixl has no component conditions). Each change is checked.
msibuild "$msi" -q "UPDATE \`Registry\` SET \`Root\` = -1 WHERE \`Registry\` = 'RunValue'"
msibuild "$msi" -q "UPDATE \`Component\` SET \`Condition\` = 'NOT ALLUSERS' WHERE \`Component\` = 'LocalProgramsFolder'"
# (Each table is read whole first: grep -q ending a pipe early would fail it.)
table=$(msiinfo export "$msi" Registry)
grep -q $'^RunValue\t-1\t' <<<"$table" || { echo "package: the Run value's root is not HKMU" >&2; exit 1; }
table=$(msiinfo export "$msi" Component)
grep -q $'^LocalProgramsFolder\t[^\t]*\t[^\t]*\t[^\t]*\tNOT ALLUSERS\t' <<<"$table" ||
  { echo "package: the per-user folder's component has no condition" >&2; exit 1; }
# wixl leaves the File table's Version empty, and Windows Installer never replaces
# a versioned file on disk (a Quillon.exe copied there by hand) with an unversioned
# one. Each program's own version goes there instead of a hash, which is for
# unversioned files only.
for entry in QuillonExe=Quillon.exe QuillonCom=Quillon.com; do
  key=${entry%%=*} file=${entry#*=}
  file_version=$(python3 - "$stage/$file" <<'PY'
import struct, sys
data = open(sys.argv[1], 'rb').read()
at = data.find(struct.pack('<I', 0xFEEF04BD))  # VS_FIXEDFILEINFO's signature
if at < 0: sys.exit('no version resource in ' + sys.argv[1])
ms, ls = struct.unpack_from('<II', data, at + 8)
print('%d.%d.%d.%d' % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF))
PY
)
  msibuild "$msi" -q "UPDATE \`File\` SET \`Version\` = '$file_version', \`Language\` = '0' WHERE \`File\` = '$key'"
  msibuild "$msi" -q "DELETE FROM \`MsiFileHash\` WHERE \`File_\` = '$key'"
done
# wixl stamps the clock and a random package code; the code becomes one derived
# from the package's content.
python3 "$root/scripts/msi-stamp.py" "$msi" "$SOURCE_DATE_EPOCH"
if [ "$signing" = 1 ]; then sign "$msi"; fi
(cd "$out" && sha256sum "${zip##*/}" "${msi##*/}" >SHA256SUMS)
