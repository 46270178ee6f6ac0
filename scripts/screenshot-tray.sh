#!/usr/bin/env bash
# Takes the README's picture of the tray icon and its open menu: runs the built
# Quillon.exe under Wine on a private display, in an 800x600 Wine virtual desktop
# with a taskbar, right-clicks the icon, and saves the taskbar corner before and
# after the click side by side. Ends the program through its menu item.
#   scripts/screenshot-tray.sh [BUILD_DIR] [OUT]   (defaults: build, docs/tray-menu.png)
# Uses its own prefix and display under BUILD_DIR/screenshot, so tests are not disturbed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/wine-common.sh
. "$root/scripts/wine-common.sh"
build=$(cd "${1:-$root/build}" && pwd)
out=${2:-$root/docs/tray-menu.png}
exe=$build/app/Quillon.exe
[ -f "$exe" ] || { echo "screenshot: build first ($exe missing)" >&2; exit 1; }
for tool in xdotool import convert compare; do
  command -v $tool >/dev/null || { echo "screenshot: $tool missing; run scripts/setup.sh" >&2; exit 1; }
done

env_dir=$build/screenshot
mkdir -p "$env_dir"
tmp=$(mktemp -d)
desktop_pid=
cleanup() {
  if [ -n "$desktop_pid" ]; then kill "$desktop_pid" 2>/dev/null || true; fi
  wine_stop "$env_dir"
  rm -rf "$tmp"
}
trap cleanup EXIT
wine_start "$env_dir"

# The menu text is Chinese: link a CJK font behind the menu font of this prefix.
wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' /v Tahoma \
  /t REG_MULTI_SZ /d 'wqy-microhei.ttc,WenQuanYi Micro Hei' /f >/dev/null 2>&1

wine explorer /desktop=QuillonShot,800x600 "$(winpath "$exe")" >/dev/null 2>&1 &
desktop_pid=$!

# The icon sits at the right end of the taskbar, the last 24 pixels of the desktop.
icon_x=789 icon_y=590
shot() { import -window root -crop 800x600+0+0 +repage "$1"; }
corner() { convert "$1" -crop 360x90+440+510 +repage "$2"; }
pixel_at() { convert "$1" -format "%[pixel:p{$2,$3}]" info:; }
# Shown once the icon's spot differs from plain taskbar a little to its left.
icon_shown() { shot "$tmp/a.png"; [ "$(pixel_at "$tmp/a.png" $icon_x $icon_y)" != "$(pixel_at "$tmp/a.png" 700 $icon_y)" ]; }
wait_for 30 "the tray icon" icon_shown
sleep 1  # let the desktop finish painting
shot "$tmp/icon.png"

xdotool mousemove $icon_x $icon_y sleep 0.3 click 3
# The menu opens over the taskbar beside the icon; the tooltip, which a hover
# alone shows, stays above the taskbar and must not pass for the menu.
beside_icon() { convert "$1" -crop 40x16+$((icon_x - 49))+$((icon_y - 7)) +repage "$2"; }
menu_shown() {
  shot "$tmp/menu.png"
  beside_icon "$tmp/icon.png" "$tmp/b1.png"
  beside_icon "$tmp/menu.png" "$tmp/b2.png"
  ! compare -metric AE "$tmp/b1.png" "$tmp/b2.png" null: 2>/dev/null
}
wait_for 30 "the menu" menu_shown
sleep 0.5
shot "$tmp/menu.png"

corner "$tmp/icon.png" "$tmp/c1.png"
corner "$tmp/menu.png" "$tmp/c2.png"
mkdir -p "$(dirname "$out")"
convert "$tmp/c1.png" "$tmp/c2.png" -bordercolor '#888888' -border 1 +append -scale 200% -strip "$out"
echo "screenshot: wrote $out"

# Choose the menu's item (the menu lies over the icon): the program ends, and
# with it the virtual desktop.
xdotool mousemove $((icon_x - 15)) $icon_y click 1
desktop_gone() { ! kill -0 "$desktop_pid" 2>/dev/null; }
wait_for 20 "the program to end" desktop_gone || true
