#!/usr/bin/env bash
# End-to-end benchmark (not a test): the real Quillon.exe under Wine with the test WMI
# provider and the fake reader on COM7, typing into a window of the bench. Prints,
# for each typing mode (Unicode and --keys layout, each its own Quillon.exe, in four
# alternating rounds of half the cards), card-to-last-digit latency (p50/p95) beside
# the frame's wire time and cards back to back (all typed once, in order; total
# time), then both modes' pooled figures side by side,
# and discovery time with 1,000 devices listed before the reader. Bounded: the run
# has a time limit.
# Arguments go to e2e_bench.exe: [latencyCards=60] [backToBackCards=1000] [discoveryRepeats=5].
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/wine-common.sh
. "$root/scripts/wine-common.sh"
pick_arch
build=$(quillon_build_dir "$arch")
echo "${0##*/}: the $arch build ($arch_why)"

wine_prepare "$arch" "$build" e2e_bench Quillon fakewmi quillon_tiocm_shim

echo "== Quillon.exe end to end (fake reader on COM7, test WMI provider)"
timeout 900 "$build/wine-run" "$build/tests/system/e2e_bench.exe" "$@"
