#!/usr/bin/env bash
# Builds the release of both architectures and gathers it in one folder:
#   Quillon-VERSION-win32.zip/.msi, Quillon-VERSION-win64.zip/.msi and SHA256SUMS
#     scripts/release.sh [OUTDIR]        (default: out/ in the source tree)
# x86 is built in build/, x64 in build-x64/ (QUILLON_BUILD moves them), each with
# its own `release` target. Signed when QUILLON_SIGN_PFX is set (scripts/package.sh).
# The same commit gives the same files on any machine of the same Debian release.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/wine-common.sh
. "$root/scripts/wine-common.sh"
out=$(mkdir -p "${1:-$root/out}" && cd "${1:-$root/out}" && pwd)

"$root/scripts/setup.sh" >/dev/null
packages=()
for arch in x86 x64; do
  quillon_need_toolchain "$arch"
  build=$(quillon_build_dir "$arch")
  echo "release: $arch in $build"
  cmake -S "$root" -B "$build" -DQUILLON_ARCH="$arch" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" -j2 --target release >/dev/null
  # This tree's packages, as its own SHA256SUMS lists them.
  while read -r _ name; do
    cp "$build/$name" "$out/$name"
    packages+=("$name")
  done <"$build/SHA256SUMS"
done
(cd "$out" && sha256sum "${packages[@]}" >SHA256SUMS && stat -c '%s bytes  %n' "${packages[@]}" && cat SHA256SUMS)
