#!/usr/bin/env bash
# The test command: make the machine ready (once), configure, build, and run
# every test under Wine. Extra arguments go to ctest (e.g. -R card).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/wine-common.sh
. "$root/scripts/wine-common.sh"
build=${QUILLON_BUILD:-$root/build}

"$root/scripts/setup.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)"
# The wine fixture stops what it started; this is the safety net for a run
# that is itself interrupted.
trap 'wine_stop "$build"' EXIT
cd "$build"
ctest --output-on-failure "$@"
