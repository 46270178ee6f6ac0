#!/usr/bin/env bash
# Checks the release packages as Windows Installer and a user see them, without
# installing: the MSI's File table gives both programs their version (else an
# exe copied there by hand is never replaced), the folder component's key path
# is an HKCU value and only per user, the Run value's root follows the install's
# context (HKMU) and it and the Start menu carry the typing switches, the context
# is chosen before the folders are, and the zip holds the companion too.
#   check-package.sh BUILD_DIR VERSION
set -euo pipefail
build=$(cd "${1:?build dir}" && pwd)
version=${2:?version}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0 checks=0

expect() {  # expect DESCRIPTION EXPECTED ACTUAL
  checks=$((checks + 1))
  if [ "$2" = "$3" ]; then echo "ok: $1"; else echo "FAIL: $1: expected [$2], got [$3]"; failed=$((failed + 1)); fi
}
# The rows of one table, tab-separated, without its three header lines.
rows() { (cd "$work" && msiinfo export "$1" "$2" | tail -n +4 | tr -d '\r'); }

for msi in "$build"/Quillon-"$version"-win*.msi; do
  name=$(basename "$msi")
  expect "$name: File rows (key, name, version, language)" \
    "QuillonCom Quillon.com $version.0 0|QuillonExe Quillon.exe $version.0 0|" \
    "$(rows "$msi" File | awk -F'\t' '{printf "%s %s %s %s|", $1, $3, $5, $6}' | tr '|' '\n' | sort | tr '\n' '|')"
  expect "$name: no hash for a versioned file" "" "$(rows "$msi" MsiFileHash)"
  keypath=$(rows "$msi" Component | awk -F'\t' '$1 == "LocalProgramsFolder" {print $6}')
  expect "$name: the folder component's key path is an HKCU value (root 1)" "1" \
    "$(rows "$msi" Registry | awk -F'\t' -v k="$keypath" '$1 == k {print $2}')"
  expect "$name: the shortcut starts Quillon.exe" "[#QuillonExe]" "$(rows "$msi" Shortcut | awk -F'\t' '{print $5}')"
  expect "$name: the folder component is the per-user install's only" "NOT ALLUSERS" \
    "$(rows "$msi" Component | awk -F'\t' '$1 == "LocalProgramsFolder" {print $5}')"
  expect "$name: the Run value (root HKMU, -1, and its switches)" \
    "-1 Quillon \"[#QuillonExe]\"[QUILLONRUNARGS]" \
    "$(rows "$msi" Registry | awk -F'\t' '$1 == "RunValue" {print $2, $4, $5}')"
  expect "$name: the shortcut's switches" "[QUILLONARGS]" "$(rows "$msi" Shortcut | awk -F'\t' '{print $6}')"
  for sequence in InstallExecuteSequence InstallUISequence; do
    expect "$name: $sequence chooses the context before the folders and the upgrade search" "yes" \
      "$(rows "$msi" $sequence | awk -F'\t' '{at[$1] = $3} END {
          print (at["InstallContext"] && at["InstallContext"] < at["FindRelatedProducts"] &&
                 at["InstallContext"] < at["CostFinalize"]) ? "yes" : "no"}')"
  done
  expect "$name: the typing switches are checked before an older version is removed" "yes" \
    "$(rows "$msi" InstallExecuteSequence | awk -F'\t' '{at[$1] = $3} END {
        print (at["TypingSwitches"] && at["TypingSwitches"] < at["RemoveExistingProducts"]) ? "yes" : "no"}')"
done
for zip in "$build"/Quillon-"$version"-win*.zip; do
  expect "$(basename "$zip"): the files" "Quillon.com Quillon.exe README.md" \
    "$(python3 -c 'import sys, zipfile; print(" ".join(sorted(zipfile.ZipFile(sys.argv[1]).namelist())))' "$zip")"
done
echo "package: $((checks - failed)) passed, $failed failed"
[ "$checks" -gt 4 ] && [ "$failed" -eq 0 ]
