#!/usr/bin/env bash
# Checks that every .exe, .com and .dll under a build tree imports only DLLs that ship
# with Windows, so the program needs nothing installed beside it.
set -u
#   check-imports.sh BUILD_DIR [OBJDUMP]   (the build's objdump; i686's by default)
build=${1:?build dir}
allowed='^(kernel32|user32|gdi32|shell32|ole32|oleaut32|advapi32|comctl32|comdlg32|msvcrt|ws2_32|uuid|rpcrt4|shlwapi|version|msi|wtsapi32|setupapi|cfgmgr32|imm32|winmm|bcrypt|ntdll|api-ms-win-[a-z0-9-]+)\.dll$'
objdump=${2:-i686-w64-mingw32-objdump}
count=0 bad=0
while IFS= read -r -d '' f; do
  case $f in */wineprefix/*|*/CMakeFiles/*) continue ;; esac
  count=$((count + 1))
  while read -r dll; do
    if ! echo "$dll" | tr '[:upper:]' '[:lower:]' | grep -Eq "$allowed"; then
      echo "FAIL: $f imports $dll"; bad=$((bad + 1))
    fi
  done < <($objdump -p "$f" | sed -n 's/^\s*DLL Name: //p')
done < <(find "$build" \( -name '*.exe' -o -name '*.com' -o -name '*.dll' \) -print0)
echo "checked $count binaries"
[ "$count" -gt 0 ] && [ "$bad" -eq 0 ]
