#!/usr/bin/env bash
# The demo: Quillon.exe under Wine with a simulated card reader.
#
# Installs what is missing, builds, then on a private display in a Wine virtual
# desktop: a test WMI provider lists a few devices and the reader as
# "USB Serial Port (COM7)", COM7 is a pty played by the fake reader, a target
# window has the keyboard focus, and Quillon.exe runs. The demo presents cards
# (frames written on the line, with noise between them), prints the numbers that
# were typed into the target window, and saves a screenshot of the desktop with
# the tray icon and the typed numbers.
# It runs the x86 build where this kernel runs 32-bit programs, else the x64
# build (QUILLON_ARCH=x86 or x64 picks one), and says which.
#   scripts/demo.sh [SCREENSHOT]        (default: BUILD/demo/quillon-demo.png)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/wine-common.sh
. "$root/scripts/wine-common.sh"
pick_arch
build=$(quillon_build_dir "$arch")
shot_out=${1:-$build/demo/quillon-demo.png}
port=7

# The cards presented: the frame as it travels on the line, and the number it carries.
cards=(
  "12 34 56 78 08|305419896"
  "01 02 03 04 05 06 07 08 08|72623859790382856"
  "AA 00 00 30 39 09|12345"
  "DE AD BE EF 22|3735928559"
  "FF FF FF FF FF FF FF FF 00|18446744073709551615"
)

"$root/scripts/setup.sh"
quillon_need_toolchain "$arch"
echo "demo: the $arch build ($arch_why), in $build"
cmake -S "$root" -B "$build" -DQUILLON_ARCH="$arch" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" --target Quillon TargetWindow fakewmi fakewmi-ctl >/dev/null

env_dir=$build/demo
mkdir -p "$env_dir" "$(dirname "$shot_out")"
desktop_pids=()
cleanup() {
  for pid in "${desktop_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wine_stop "$env_dir"
}
trap cleanup EXIT
wine_start "$env_dir"

# The fake reader answers one request per line on 127.0.0.1.
reader() {
  local answer
  exec 5<>"/dev/tcp/127.0.0.1/$(cat "$env_dir/wine-env/fake-reader.port")"
  echo "$*" >&5
  read -r answer <&5
  exec 5>&-
  case $answer in OK*) echo "${answer#OK}" ;; *) echo "demo: reader: $answer" >&2; return 1 ;; esac
}

# The devices the system lists: a few ordinary ones, then the reader.
devices=$env_dir/devices.txt
printf '%s\n' \
  "device	Communications Port (COM1)	ACPI\\PNP0501\\1" \
  "device	HID Keyboard Device	HID\\VID_046D&PID_C31C\\7&1A2B" \
  "device	USB Serial Port (COM$port)	USBSER\\VID_0403+PID_8288+A1B2\\0000" \
  "device	USB Mass Storage Device	USB\\VID_0781&PID_5567\\200" >"$devices"
wine "$build/tests/support/fakewmi/fakewmi-ctl.exe" install "$(winpath "$devices")" >/dev/null
reader PLUG $port >/dev/null

typed=$env_dir/typed.txt
rm -f "$typed"
wine explorer /desktop=QuillonDemo,800x600 "$(winpath "$build/tests/support/targetwindow/TargetWindow.exe")" \
  "Quillon demo: the focused window" "$(winpath "$typed")" 700 >/dev/null 2>&1 &
desktop_pids+=($!)
wait_for 60 "the target window" test -f "$typed"
wine explorer /desktop=QuillonDemo,800x600 "$(winpath "$build/entry/Quillon.exe")" >/dev/null 2>&1 &
desktop_pids+=($!)

# Quillon has found the reader once its handle holds the line; give its opening
# the moment it takes to configure and purge the line before the first card.
opened() { [ "$(reader OPENERS $port)" -ge 1 ]; }
wait_for 60 "Quillon opening COM$port" opened
sleep 1

digits_only() { tr -cd '0-9' <"$typed" 2>/dev/null; }
expected=""
echo "Presenting ${#cards[@]} cards on COM$port:"
for card in "${cards[@]}"; do
  frame=${card%%|*} number=${card##*|}
  before=$(digits_only)
  reader WRITE $port "${frame// /}" >/dev/null
  expected+=$number
  got() { [ "$(digits_only)" = "$expected" ]; }
  wait_for 20 "the number $number being typed" got
  now=$(digits_only)
  printf '  frame %-28s typed %s\n' "$frame" "${now#"$before"}"
  sleep 1.2  # a person presents the next card; the target sets the number apart
done
echo "The target window reads: $(cat "$typed")"

import -window root -crop 800x600+0+0 +repage "$shot_out"
echo "Screenshot of the desktop: $shot_out"
wine "$build/tests/support/fakewmi/fakewmi-ctl.exe" uninstall >/dev/null
