#!/usr/bin/env bash
# Checks a build's exe and release packages without running them, so a machine
# that cannot run the build's architecture still checks it: the exe is a GUI
# program of the build's architecture carrying the build's version, and the zip
# and the MSI hold that exe for that architecture.
#   check-release.sh BUILD_DIR ARCH VERSION OBJDUMP WINDRES   (ARCH: x86 or x64)
set -euo pipefail
build=${1:?build dir} arch=${2:?x86 or x64} version=${3:?version} objdump=${4:?objdump} windres=${5:?windres}
case $arch in
  x86) format=pei-i386 package=win32 template='Intel;1033' ;;
  x64) format=pei-x86-64 package=win64 template='x64;1033' ;;
  *) echo "check-release: the architecture is x86 or x64, not $arch" >&2; exit 2 ;;
esac
# shellcheck source=scripts/checks.sh
. "$(dirname "$0")/checks.sh"
# (Each tool's whole output is read first: grep -q stopping early would fail the pipe.)
pe_is() {  # pe_is EXE: the build's architecture and the GUI subsystem
  local headers
  headers=$("$objdump" -f -p "$1")
  grep -q "file format $format\$" <<<"$headers" && grep -Eq '^Subsystem[[:space:]]+00000002' <<<"$headers"
}
carries_version() {
  local resources
  resources=$("$windres" -i "$1" -O rc)
  grep -q "VALUE \"FileVersion\", \"$version\"" <<<"$resources"
}
msi_is() {
  local summary files
  summary=$(msiinfo suminfo "$1") files=$(msiinfo export "$1" File)
  grep -qx "Template: $template" <<<"$summary" && grep -q $'\tQuillon.exe\t' <<<"$files"
}

exe=$build/entry/Quillon.exe
check "Quillon.exe is a GUI program for $arch" pe_is "$exe"
check "Quillon.exe carries version $version" carries_version "$exe"
python3 -m zipfile -e "$build/Quillon-$version-$package.zip" "$work/zip"
check "the zip holds the exe for $arch" pe_is "$work/zip/Quillon.exe"
check "the zip's exe carries version $version" carries_version "$work/zip/Quillon.exe"
check "the MSI installs Quillon.exe for $arch" msi_is "$build/Quillon-$version-$package.msi"
checks_end "release $arch"
