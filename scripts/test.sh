#!/usr/bin/env bash
# The test command: make the machine ready (once), then for each architecture
# configure, build and run every test under Wine: x86 in build/ under 32-bit
# Wine, and x64 in build-x64/ under 64-bit Wine. A kernel that runs no 32-bit
# programs cannot run the x86 suite: one line says so, and the x86 exe is still
# built and checked without Wine (ctest -L nowine).
#   scripts/test.sh [CTEST ARGS...]     (e.g. -R card)
#   QUILLON_ARCH=x86 or x64 runs one architecture; QUILLON_BUILD moves build/.
# With both, the x86 suite runs while x64 builds and runs (each in its own
# prefix, display and fake reader); its output follows once it is done.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/wine-common.sh
. "$root/scripts/wine-common.sh"

"$root/scripts/setup.sh"

case ${QUILLON_ARCH:-both} in
  both) arches=(x86 x64) ;;
  x86 | x64) arches=("$QUILLON_ARCH") ;;
  *) echo "test: QUILLON_ARCH is x86 or x64, not $QUILLON_ARCH" >&2; exit 2 ;;
esac
for arch in "${arches[@]}"; do quillon_need_toolchain "$arch"; done

# The wine fixtures stop what they started; this is the safety net for a run
# that is itself interrupted.
started=() background=
# shellcheck disable=SC2317  # run by the EXIT trap
stop_started() {
  local b
  if [ -n "$background" ]; then kill "$background" 2>/dev/null || true; fi
  for b in "${started[@]}"; do wine_stop "$b"; done
}
trap stop_started EXIT

# suite ARCH [CTEST ARGS]: builds ARCH and runs its tests; the status of ctest.
suite() {
  local arch=$1 build
  shift
  build=$(quillon_build_dir "$arch")
  echo "test: $arch: building in $build"
  cmake -S "$root" -B "$build" -DQUILLON_ARCH="$arch" -DCMAKE_BUILD_TYPE=Release >/dev/null || return
  cmake --build "$build" -j"$(nproc)" || return
  started+=("$build")
  (cd "$build" && ctest --output-on-failure "$@")
}

declare -A what status
for arch in "${arches[@]}"; do
  what[$arch]="the whole suite under $(wine_loader_of "$arch")"
done
nowine=()
if [ -n "${what[x86]:-}" ] && ! runs_32bit; then
  echo "test: x86: $runs_32bit_reason: the x86 exe is built and checked without Wine only"
  what[x86]="checks without Wine only" nowine=(-L nowine)
fi

if [ "${#arches[@]}" = 2 ] && [ ${#nowine[@]} = 0 ]; then
  # x86 builds first; its suite then runs beside the x64 build and suite.
  x86_build=$(quillon_build_dir x86)
  echo "test: x86: building in $x86_build"
  cmake -S "$root" -B "$x86_build" -DQUILLON_ARCH=x86 -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$x86_build" -j"$(nproc)"
  started+=("$x86_build")
  log=$x86_build/test-output.txt
  echo "test: x86: the suite runs now beside x64; its output follows at the end ($log)"
  (cd "$x86_build" && ctest --output-on-failure "$@") >"$log" 2>&1 &
  background=$!
  suite x64 "$@" && status[x64]=0 || status[x64]=$?
  wait "$background" && status[x86]=0 || status[x86]=$?
  background=
  echo "== x86 suite =="
  cat "$log"
else
  for arch in "${arches[@]}"; do
    args=("$@")
    [ "$arch" = x86 ] && args+=("${nowine[@]}")
    suite "$arch" "${args[@]}" && status[$arch]=0 || status[$arch]=$?
  done
fi

failed=0
for arch in "${arches[@]}"; do
  if [ "${status[$arch]}" = 0 ]; then
    echo "test: $arch passed: ${what[$arch]}"
  else
    echo "test: $arch FAILED: ${what[$arch]}"; failed=1
  fi
done
exit "$failed"
