#!/usr/bin/env bash
# build.sh CONFIG...: configures (once) and builds the named build folders under build/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
# KELVANE_BUILD_DIR lets several work trees or people build side by side.
build=${KELVANE_BUILD_DIR:-build}
for config in "$@"; do
  dir=$build/$config
  case $config in
    host)  args=(-DCMAKE_BUILD_TYPE=Debug) ;;
    win32) args=(-DCMAKE_BUILD_TYPE=Debug -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-i686-posix.cmake") ;;
    fuzz)  args=(-DCMAKE_BUILD_TYPE=Debug -DKELVANE_FUZZ=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++) ;;
    *) echo "build.sh: unknown configuration $config" >&2; exit 2 ;;
  esac
  # Time limits of the tests under Wine follow the factor scripts/emu/enable sets.
  scale=${KELVANE_TIME_SCALE:-1}
  if [ ! -f "$dir/build.ninja" ] || ! grep -qx "KELVANE_TIME_SCALE:STRING=$scale" "$dir/CMakeCache.txt"; then
    cmake -S . -B "$dir" -G Ninja "${args[@]}" -DKELVANE_TIME_SCALE="$scale" >/dev/null
  fi
  cmake --build "$dir"
done
