#!/usr/bin/env bash
# Serial link benchmark (not a test): bytes from the fake reader through CSerialPort's
# event thread to its owner window, with and without the modem-status shim. Prints
# delivered bytes/s and write-to-WM_SERIAL_RXCHAR latency (p50/p95). Bounded: each run
# has a time limit. Arguments go to serial_bench.exe: [cardBursts] [longBurst] [port].
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/wine-common.sh
. "$root/scripts/wine-common.sh"
pick_arch
build=$(quillon_build_dir "$arch")
echo "${0##*/}: the $arch build ($arch_why)"

wine_prepare "$arch" "$build" serial_bench quillon_tiocm_shim

for mode in with without; do
  echo "== serial link, $mode the shim"
  if [ "$mode" = without ]; then export QUILLON_NO_TIOCM_SHIM=1; fi
  timeout 180 "$build/wine-run" "$build/tests/serial/serial_bench.exe" "$@"
done
