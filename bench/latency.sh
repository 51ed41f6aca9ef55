#!/usr/bin/env bash
# See README.md. Runs ReceiverLatency.exe under Wine on the simulated receiver.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$PWD/${KELVANE_BUILD_DIR:-build}
session=$build/bench-wine
scripts/wine-session start "$session"
trap 'scripts/wine-session stop "$session"' EXIT
DISPLAY=$(cat "$session/display") WINEPREFIX=$session/prefix WINEDEBUG=-all \
  WINEDLLOVERRIDES="winedbg.exe=d;winemenubuilder.exe=d;mscoree,mshtml=;hid,setupapi=n,b" \
  /usr/lib/wine/wine "$build/win32/bin/ReceiverLatency.exe" "$@"
