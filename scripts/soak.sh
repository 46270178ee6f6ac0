#!/usr/bin/env bash
# Randomized end-to-end soak: the real Quillon.exe under Wine with the test WMI provider,
# the fake reader on COM7 and a target window, for the given minutes (default 5): cards at
# random gaps, unrelated device arrivals and removals, the reader unplugged and plugged
# again, often in the middle of a card. Checks that every card written to the open line
# was typed once, in order, with nothing else, and that the program's handle count did not
# grow. Prints the seed (default: the test's own) and the figures; exits with the test's
# status. The default test run has 30 seconds of it.
#   scripts/soak.sh [minutes] [seed]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/wine-common.sh
. "$root/scripts/wine-common.sh"
pick_arch
build=$(quillon_build_dir "$arch")
echo "${0##*/}: the $arch build ($arch_why)"
minutes=${1:-5}
seed=${2:-}
case $minutes$seed in
  *[!0-9]*) echo "usage: $0 [minutes] [seed]   (whole numbers)" >&2; exit 2 ;;
esac

trap 'exit 130' INT
trap 'exit 143' TERM
wine_prepare "$arch" "$build" e2e_soak Quillon TargetWindow fakewmi quillon_tiocm_shim

export QUILLON_SOAK_SECONDS=$((minutes * 60))
if [ -n "$seed" ]; then export QUILLON_SOAK_SEED=$seed; fi
echo "== soak of Quillon.exe end to end, $minutes min"
timeout $((minutes * 60 + 600)) "$build/wine-run" "$build/tests/system/e2e_soak.exe" --gtest_color=no
