# shellcheck shell=bash
# The Wine environment of one test platform, and the helpers every script that
# drives Wine shares. Source it; it sets no shell options and runs nothing:
#   . "$root/scripts/wine-common.sh"
#   wine_arch DIR                  prints the architecture of DIR's platform, x86 or
#                                  x64: the build tree's (DIR or the tree DIR lies in)
#   wine_env DIR                   exports the environment of DIR's platform: the
#                                  prefix DIR/wineprefix of the build's architecture,
#                                  its loader, and DIR/wine-env's display once
#                                  wine-env.sh has started it; `wine` then runs that
#                                  loader
#   runs_32bit                     succeeds when this kernel runs 32-bit programs;
#                                  otherwise says why in $runs_32bit_reason
#   quillon_build_dir ARCH         prints the build tree of x86 (build/, or
#                                  $QUILLON_BUILD) or x64 (the same with -x64)
#   quillon_need_toolchain ARCH    fails, naming it, when ARCH's cross compiler
#                                  or Wine loader is missing
#   wine_loader_of ARCH            prints ARCH's Wine loader
#   pick_arch                      sets $arch to the architecture to run here:
#                                  $QUILLON_ARCH, else x86 where the kernel runs
#                                  32-bit programs, else x64; $arch_why says why
#   wine_start DIR                 starts DIR's platform with wine-env.sh (display,
#                                  prefix, wineserver, fake reader), then wine_env DIR
#   wine_stop DIR                  stops it; quiet, never fails (for an EXIT trap)
#   winpath PATH                   prints the Windows path of a Linux path
#   wine_prepare ARCH DIR TARGET...  makes the machine ready, builds TARGETs for ARCH
#                                  into the build tree DIR and starts its platform
#                                  until the script exits (benchmarks, the soak)
#   wait_for SECONDS WHAT CMD...   runs CMD until it succeeds; after SECONDS,
#                                  says it waited in vain for WHAT and returns 1
# The test wrapper (cmake/wine-run.sh.in), wine-env.sh, the demo, the screenshot
# and the benchmarks all use wine_env, so a program sees the same Wine in each.

quillon_build_dir() {
  local base=${QUILLON_BUILD:-$(cd "$wine_common_dir/.." && pwd)/build}
  case $1 in
    x86) echo "$base" ;;
    x64) echo "$base-x64" ;;
  esac
}

wine_loader_of() {
  case $1 in
    x64) echo /usr/lib/wine/wine64 ;;
    *) echo /usr/lib/wine/wine ;;
  esac
}

quillon_need_toolchain() {
  local compiler=i686-w64-mingw32-g++-posix loader
  [ "$1" = x64 ] && compiler=x86_64-w64-mingw32-g++-posix
  loader=$(wine_loader_of "$1")
  if ! command -v "$compiler" >/dev/null; then
    echo "${0##*/}: $1 needs the cross compiler $compiler, which is missing (scripts/setup.sh installs it)" >&2
    return 1
  fi
  if [ ! -x "$loader" ]; then
    echo "${0##*/}: $1 needs the Wine loader $loader, which is missing (scripts/setup.sh installs it)" >&2
    return 1
  fi
}

# shellcheck disable=SC2034  # arch and arch_why are for the caller
pick_arch() {
  if [ -n "${QUILLON_ARCH:-}" ]; then
    arch=$QUILLON_ARCH arch_why="QUILLON_ARCH"
  elif runs_32bit; then
    arch=x86 arch_why="this kernel runs 32-bit programs"
  else
    arch=x64 arch_why="$runs_32bit_reason"
  fi
  case $arch in
    x86 | x64) ;;
    *) echo "${0##*/}: QUILLON_ARCH is x86 or x64, not $arch" >&2; return 1 ;;
  esac
}

wine_arch() {
  local f
  for f in "$1/quillon-arch" "$1/../quillon-arch"; do
    if [ -f "$f" ]; then cat "$f"; return; fi
  done
  echo x86
}

# The one place that picks a build's loader and prefix kind. Debian's `wine`
# script takes the 32-bit loader whenever wine32 is installed, even where the
# kernel cannot run it, so the loader is named here and `wine` below runs it.
wine_env() {
  local dir=$1
  local arch
  arch=$(wine_arch "$dir")
  WINELOADER=$(wine_loader_of "$arch")
  case $arch in
    x64) export WINEARCH=win64 WINELOADER ;;
    *) export WINEARCH=win32 WINELOADER ;;
  esac
  export WINEPREFIX=$dir/wineprefix WINEDEBUG=-all
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

wine() {
  if [ ! -x "${WINELOADER:-}" ]; then
    echo "${0##*/}: the Wine loader ${WINELOADER:-(none: wine_env first)} is missing; scripts/setup.sh installs it" >&2
    return 127
  fi
  "$WINELOADER" "$@"
}

# Runs a tiny 32-bit Linux program: some kernels boot with 32-bit emulation off,
# and there no 32-bit program, the 32-bit Wine loader included, can start.
runs_32bit() {
  local dir out
  dir=$(mktemp -d)
  # shellcheck disable=SC2016  # C source, not shell
  printf '%s\n' 'void _start(void) { __asm__ volatile("movl $1, %eax; xorl %ebx, %ebx; int $0x80"); }' >"$dir/probe.c"
  if ! gcc -m32 -nostdlib -static -o "$dir/probe" "$dir/probe.c" 2>"$dir/err"; then
    runs_32bit_reason="the 32-bit probe did not build: $(head -n1 "$dir/err")"
    rm -rf "$dir"
    return 1
  fi
  if out=$("$dir/probe" 2>&1); then
    rm -rf "$dir"
    return 0
  fi
  runs_32bit_reason="a 32-bit program does not start here (${out##*: })"
  if dmesg 2>/dev/null | grep -q '32-bit emulation disabled'; then
    runs_32bit_reason+="; the kernel says: 32-bit emulation disabled"
  fi
  rm -rf "$dir"
  return 1
}

wine_common_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

wine_start() {
  "$wine_common_dir/wine-env.sh" start "$1" >/dev/null && wine_env "$1"
}

wine_stop() {
  "$wine_common_dir/wine-env.sh" stop "$1" >/dev/null 2>&1 || true
}

wine_prepare() {
  local arch=$1
  wine_prepared_dir=$2
  shift 2
  "$wine_common_dir/setup.sh" >/dev/null
  quillon_need_toolchain "$arch"
  cmake -S "$wine_common_dir/.." -B "$wine_prepared_dir" -DQUILLON_ARCH="$arch" -DCMAKE_BUILD_TYPE=Release >/dev/null
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
