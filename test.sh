#!/usr/bin/env bash
# Installs what is missing, builds every configuration and runs every test.
# Extra arguments go to ctest (for example: ./test.sh -L host).
set -euo pipefail
cd "$(dirname "$0")"
scripts/deps.sh
. scripts/emu/enable
echo "$KELVANE_WINE_MODE"
scripts/build.sh host win32 fuzz
# One ctest run over all three build folders, so that there is one summary.
build=${KELVANE_BUILD_DIR:-build}
printf 'subdirs("host" "win32" "fuzz")\n' >"$build/CTestTestfile.cmake"
cd "$build"
exec ctest --output-on-failure --timeout $((600 * KELVANE_TIME_SCALE)) -j2 "$@"
