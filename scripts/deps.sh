#!/usr/bin/env bash
# Installs what building, running and testing need, and nothing when it is all there already.
# Where the kernel refuses 32-bit programs, Wine runs under qemu-i386: this installs it and
# registers it with binfmt_misc (for the whole machine; scripts/emu/enable does the rest).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/emu/common.sh

packages=(cmake ninja-build g++ googletest g++-mingw-w64-i686-posix wine32:i386 xvfb xauth
          zlib1g-dev libz-mingw-w64-dev xdotool imagemagick clang libclang-rt-14-dev x11-utils procps util-linux fonts-wine
          nasm python3-capstone libcapstone-dev python3-pycryptodome pngcheck python3-pil pngquant
          python3-aiosmtpd python3-dnslib tinyproxy-bin unzip
          libcpp-httplib-dev libsqlite3-dev libpqxx-dev postgresql nlohmann-json3-dev chromium pkg-config)

emu_dir=${KELVANE_BUILD_DIR:-build}/emu
state=$(emu_probe "$emu_dir")
if [ "$state" != native ] || [ "${KELVANE_WINE_EMULATION:-0}" = 1 ]; then
  packages+=(qemu-user-static)
fi

SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}" >&2
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
  fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

if [ "$state" = native ]; then
  rm -f "$emu_dir/refused"
elif [ "$state" = refused ]; then
  echo "32-bit programs do not execute here; registering qemu-i386 with binfmt_misc" >&2
  emu_register "$SUDO"
  [ "$(emu_probe "$emu_dir")" = emulated ] || { echo "qemu-i386 does not run 32-bit programs here" >&2; exit 1; }
  touch "$emu_dir/refused"
fi
