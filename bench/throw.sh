#!/usr/bin/env bash
# throw.sh [THROWS]: cost of a caught throw with the crash component's __cxa_throw wrapper
# (ThrowCostWrapped) against the same throw without it (ThrowCostPlain), best of five rounds
# each, both measured in this run, and their ratio.
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${KELVANE_BUILD_DIR:-build}/win32/bin
run=${KELVANE_BUILD_DIR:-build}/win32/wine-run
count=${1:-20000}
plain=$("$run" "$bin/ThrowCostPlain.exe" "$count" | tr -d '\r')
wrapped=$("$run" "$bin/ThrowCostWrapped.exe" "$count" | tr -d '\r')
plain2=$("$run" "$bin/ThrowCostPlain.exe" "$count" | tr -d '\r')
# The plain program twice, before and after: the better of the two is the reference.
if [ "$plain2" -lt "$plain" ]; then plain=$plain2; fi
awk -v p="$plain" -v w="$wrapped" 'BEGIN { printf "caught throw: %d ns plain, %d ns with the wrapper, ratio %.2f\n", p, w, w / p }'
