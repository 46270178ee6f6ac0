#!/usr/bin/env bash
# Makes a Debian 12 machine ready to build and test Quillon: the i686 and x86_64
# MinGW-w64 cross compilers, Wine (32- and 64-bit loaders) with Xvfb, socat,
# CMake and GoogleTest sources. wine32 installs even where the kernel cannot run
# it; the scripts then use the 64-bit loader alone.
# Idempotent: when everything is present it says so and changes nothing.
set -euo pipefail

packages=(
  cmake make ninja-build python3 zip git binutils
  g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix mingw-w64-i686-dev binutils-mingw-w64-i686
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-x86-64-dev binutils-mingw-w64-x86-64
  googletest
  wine wine32:i386 wine64 libwine:i386
  xvfb x11-utils xdotool imagemagick fonts-wqy-microhei
  socat procps gcc-multilib
  wixl msitools osslsigncode openssl shellcheck
)

missing=()
have_i386=0
dpkg --print-foreign-architectures | grep -qx i386 && have_i386=1
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ "$have_i386" = 1 ] && [ ${#missing[@]} -eq 0 ]; then
  echo "setup: everything is installed"
  exit 0
fi

if [ "$(id -u)" != 0 ]; then
  echo "setup: missing: ${missing[*]}; run this script as root" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
if [ "$have_i386" = 0 ]; then
  dpkg --add-architecture i386
fi
echo "setup: installing ${missing[*]}"
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
echo "setup: done"
