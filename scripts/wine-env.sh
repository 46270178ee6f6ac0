#!/usr/bin/env bash
# Starts and stops the test platform of one build tree: a private Xvfb display,
# the build's own WINEPREFIX of its architecture (win32 or win64, created once,
# then reused) and a persistent wineserver, so every test exe starts fast.
#   wine-env.sh start BUILD_DIR   |   wine-env.sh stop BUILD_DIR
# Helpers that tests start on the Linux side (fake readers, ptys) record their
# pids under BUILD_DIR/wine-env/pids; stop ends them too.
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/wine-common.sh
. "$root/scripts/wine-common.sh"
cmd=${1:?start or stop}
build=$(cd "${2:?build dir}" && pwd)
state=$build/wine-env
wine_env "$build"

stop() {
  timeout 20 wineserver -k >/dev/null 2>&1
  for f in "$state"/pids/* "$state/xvfb.pid"; do
    [ -f "$f" ] || continue
    pid=$(cat "$f")
    [ -n "$pid" ] && kill "$pid" 2>/dev/null
    rm -f "$f"
  done
  # A wineserver that outlived -k (it should not) is ended by its prefix's socket dir.
  timeout 10 wineserver -w >/dev/null 2>&1
  rm -f "$state/display"
}

# The fake card reader maps COM ports of the prefix to ptys it plays the device on;
# tests reach it over TCP on 127.0.0.1, the port in $state/fake-reader.port.
start_fake_reader() {
  local script=$root/tests/support/reader/fake_reader.py python=python3
  [ -f "$script" ] || return 0
  [ -x /usr/bin/python3 ] && python=/usr/bin/python3
  rm -f "$state/fake-reader.port"
  "$python" "$script" --prefix "$WINEPREFIX" --port-file "$state/fake-reader.port" \
    >"$state/fake-reader.log" 2>&1 </dev/null &
  echo $! >"$state/pids/fake-reader"
  wait_for 10 "the fake reader" test -s "$state/fake-reader.port" || { cat "$state/fake-reader.log" >&2; return 1; }
}

start() {
  stop
  mkdir -p "$state/pids" "$WINEPREFIX"

  local fdfile=$state/displayfd
  rm -f "$fdfile"
  Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp -noreset >"$fdfile" 2>"$state/xvfb.log" &
  echo $! >"$state/xvfb.pid"
  wait_for 10 "Xvfb" test -s "$fdfile" || { cat "$state/xvfb.log" >&2; return 1; }
  DISPLAY=":$(head -n1 "$fdfile")"; export DISPLAY
  echo "$DISPLAY" >"$state/display"

  if ! [ -f "$WINEPREFIX/system.reg" ]; then
    # Made with a server of its own that ends when the prefix's start-up has
    # settled, so no half-started system service outlives it.
    echo "wine-env: creating the test prefix (once per build tree)"
    wine wineboot -i >/dev/null 2>&1
    wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
    timeout 120 wineserver -w >/dev/null 2>&1
  fi
  # The server takes a pty as its controlling terminal and floods stderr when
  # that pty hangs up: it runs with stderr discarded.
  wineserver -p >/dev/null 2>&1
  # A program must run before any test does (this also waits until the prefix's
  # own start-up has settled): a platform that cannot start one fails here, once,
  # with the loader's own words.
  local said
  said=$(wine cmd /c echo quillon-wine-runs 2>"$state/first-program.log" | tr -d '\r')
  if [ "$said" != quillon-wine-runs ]; then
    echo "wine-env: $WINELOADER could not run a program in $WINEPREFIX ($WINEARCH):" >&2
    tail -n 5 "$state/first-program.log" >&2
    return 1
  fi
  start_fake_reader || return 1
  echo "wine-env: display $DISPLAY, prefix $WINEPREFIX"
}

case $cmd in
  start) start || { stop; exit 1; } ;;
  stop) stop; echo "wine-env: stopped" ;;
  *) echo "usage: $0 start|stop BUILD_DIR" >&2; exit 2 ;;
esac
