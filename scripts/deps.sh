#!/usr/bin/env bash
# Installs what building, running and testing need, and nothing when it is all there already.
set -euo pipefail

packages=(cmake ninja-build g++ googletest g++-mingw-w64-i686-posix wine32:i386 xvfb xauth
          zlib1g-dev libz-mingw-w64-dev xdotool imagemagick clang libclang-rt-14-dev x11-utils procps util-linux fonts-wine)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}" >&2
SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
