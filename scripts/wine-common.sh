# shellcheck shell=bash
# The Wine environment of one test platform, and the helpers every script that
# drives Wine shares. Source it; it sets no shell options and runs nothing:
#   . "$root/scripts/wine-common.sh"
#   wine_env DIR                   exports the environment of DIR's platform: the
#                                  prefix DIR/wineprefix, and DIR/wine-env's display
#                                  once wine-env.sh has started it
#   wine_start DIR                 starts DIR's platform with wine-env.sh (display,
#                                  prefix, wineserver, fake reader), then wine_env DIR
#   wine_stop DIR                  stops it; quiet, never fails (for an EXIT trap)
#   winpath PATH                   prints the Windows path of a Linux path
#   wine_prepare DIR TARGET...     makes the machine ready, builds TARGETs into the
#                                  build tree DIR and starts its platform until the
#                                  script exits (benchmarks, the soak)
#   wait_for SECONDS WHAT CMD...   runs CMD until it succeeds; after SECONDS,
#                                  says it waited in vain for WHAT and returns 1
# The test wrapper (cmake/wine-run.sh.in), wine-env.sh, the demo, the screenshot
# and the benchmarks all use wine_env, so a program sees the same Wine in each.

wine_env() {
  local dir=$1
  export WINEPREFIX=$dir/wineprefix WINEARCH=win32 WINEDEBUG=-all
  # No crash debugger (a crashed test ends instead of waiting on a dialog), and
  # no .NET or Gecko installer prompt on a new prefix.
  export WINEDLLOVERRIDES="winedbg.exe=d;mscoree=d;mshtml=d"
  # Wine mirrors Start menu shortcuts as menu entries of the Linux desktop: they
  # go into the platform's folder, not the user's home.
  export XDG_DATA_HOME=$dir/wine-env/xdg/data XDG_CONFIG_HOME=$dir/wine-env/xdg/config
  if [ -f "$dir/wine-env/display" ]; then
    DISPLAY=$(cat "$dir/wine-env/display")
    export DISPLAY
  fi
}

wine_common_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

wine_start() {
  "$wine_common_dir/wine-env.sh" start "$1" >/dev/null && wine_env "$1"
}

wine_stop() {
  "$wine_common_dir/wine-env.sh" stop "$1" >/dev/null 2>&1 || true
}

wine_prepare() {
  wine_prepared_dir=$1
  shift
  "$wine_common_dir/setup.sh" >/dev/null
  cmake -S "$wine_common_dir/.." -B "$wine_prepared_dir" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$wine_prepared_dir" -j2 --target "$@" >/dev/null
  trap 'wine_stop "$wine_prepared_dir"' EXIT
  wine_start "$wine_prepared_dir"
}

winpath() {
  printf 'Z:%s\n' "${1//\//\\}"
}

wait_for() {
  local seconds=$1 what=$2
  shift 2
  local deadline=$((SECONDS + seconds))
  until "$@"; do
    if [ "$SECONDS" -gt "$deadline" ]; then
      echo "${0##*/}: gave up waiting ${seconds}s for $what" >&2
      return 1
    fi
    sleep 0.1
  done
}
