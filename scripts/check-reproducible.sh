#!/usr/bin/env bash
# Checks that the release is reproducible: builds it twice, in two fresh trees in
# different folders, under different time zones, umasks and times, and compares
# the exe and the packages byte for byte. It also checks that no folder of the
# build, user or host name is in them.
#   check-reproducible.sh [x86|x64 ...]     two fresh clones of HEAD per architecture
#                                           (both by default); prints sizes and sums
#   check-reproducible.sh --against BUILD VERSION PUBLISHER [CMAKE ARGS...]
#       one fresh copy of the working tree, configured as BUILD was (the CMake
#       arguments), against BUILD's exe and that exe packed anew (the CTest test)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/wine-common.sh
. "$root/scripts/wine-common.sh"
# shellcheck source=scripts/checks.sh
. "$root/scripts/checks.sh"
package_arch() { if [ "$1" = x64 ]; then echo win64; else echo win32; fi; }
version=$(sed -n 's/^project(Quillon VERSION \([0-9.]*\) .*/\1/p' "$root/CMakeLists.txt")

# build TREE ARCH [CMAKE ARGS]: configures TREE/build for ARCH without tests and
# packs the release.
build() {
  local tree=$1 arch=$2
  shift 2
  cmake -S "$tree" -B "$tree/build" -DQUILLON_ARCH="$arch" -DQUILLON_TESTS=OFF "$@" >/dev/null &&
    cmake --build "$tree/build" -j2 --target release >/dev/null
}

# The working tree as it is now (its tracked and new files), without its history.
copy_worktree() {
  mkdir -p "$1"
  git -C "$root" ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' f; do [ -e "$root/$f" ] && printf '%s\0' "$f"; done |
    tar -C "$root" --null -T - -cf - | tar -C "$1" -xf -
}

# no_traces FILE WORDS...: none of WORDS (paths and names of the build) is in FILE
# as a word of its own (symbols such as pthr_root are no user name).
no_traces() {
  local file=$1 text word
  shift
  text=$(strings -a "$file")
  for word in "$@"; do
    if grep -Fw -- "$word" <<<"$text"; then echo "$file holds \"$word\""; return 1; fi
  done
}

# same_release ONE TWO ARCH: the exe and the packages in two build trees are the same.
same_release() {
  local one=$1 two=$2 arch=$3 name
  name=Quillon-$version-$(package_arch "$arch")
  check "$arch: Quillon.exe is the same" cmp "$one/entry/Quillon.exe" "$two/entry/Quillon.exe"
  check "$arch: the zip is the same" cmp "$one/$name.zip" "$two/$name.zip"
  check "$arch: the MSI is the same" cmp "$one/$name.msi" "$two/$name.msi"
  check "$arch: SHA256SUMS is the same" cmp "$one/SHA256SUMS" "$two/SHA256SUMS"
}

# traces_gone BUILD ARCH WORDS...: nothing of the machine in the exe, the programs
# in the zip (the README is the source's) or the MSI.
traces_gone() {
  local build=$1 arch=$2 name file
  shift 2
  name=Quillon-$version-$(package_arch "$arch")
  rm -rf "$work/unzipped"
  python3 -m zipfile -e "$build/$name.zip" "$work/unzipped"
  rm "$work/unzipped/README.md"
  check "$arch: no path, user or host name in Quillon.exe" no_traces "$build/entry/Quillon.exe" "$@"
  for file in "$work/unzipped"/*; do
    check "$arch: none in the zip's ${file##*/}" no_traces "$file" "$@"
  done
  check "$arch: none in the MSI" no_traces "$build/$name.msi" "$@"
}

# Names shorter than four letters would match by chance.
machine_words=()
for word in "${USER:-$(id -un)}" "$(hostname)"; do
  [ "${#word}" -ge 4 ] && machine_words+=("$word")
done

if [ "${1:-}" = --against ]; then
  build=$(cd "${2:?build dir}" && pwd) version=${3:?version}
  export QUILLON_PUBLISHER=${4:?publisher}
  shift 4
  arch=$(wine_arch "$build")
  # This build's own exe, packed anew in another folder, zone, umask and second.
  (umask 077 && TZ=Pacific/Kiritimati "$root/scripts/package.sh" "$build/entry/Quillon.exe" \
    "$version" "$work/repacked/build" "$(package_arch "$arch")" >/dev/null)
  mkdir -p "$work/repacked/build/entry"
  cp "$build/entry/Quillon.exe" "$work/repacked/build/entry/"
  # The same sources built again in a fresh tree; no history there, so the time is given.
  copy_worktree "$work/fresh/Quillon"
  SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct)} build "$work/fresh/Quillon" "$arch" "$@"
  same_release "$work/repacked/build" "$work/fresh/Quillon/build" "$arch"
  traces_gone "$work/fresh/Quillon/build" "$arch" "$root" "$build" "$work" "${machine_words[@]}"
  checks_end "reproducible $arch"
  exit
fi

arches=("$@")
[ ${#arches[@]} -gt 0 ] || arches=(x86 x64)
if [ -n "$(git -C "$root" status --porcelain --untracked-files=no)" ]; then
  echo "check-reproducible: the working tree has changes; this checks HEAD as committed"
fi
for arch in "${arches[@]}"; do
  quillon_need_toolchain "$arch"
  one=$work/$arch/one/Quillon two=$work/$arch/second/checkout/q
  git clone -q "$root" "$one"
  git clone -q "$root" "$two"
  echo "check-reproducible: $arch: building in $one"
  build "$one" "$arch"
  echo "check-reproducible: $arch: building again in $two"
  (umask 077 && TZ=America/St_Johns LC_ALL=C build "$two" "$arch")
  same_release "$one/build" "$two/build" "$arch"
  traces_gone "$one/build" "$arch" "$root" "$one" "$two" "${machine_words[@]}"
  cp "$one/build/Quillon-$version-$(package_arch "$arch")".* "$work/"
done
checks_end reproducible
(cd "$work" && stat -c '%s bytes  %n' Quillon-* && sha256sum Quillon-*)
