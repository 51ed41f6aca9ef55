#!/usr/bin/env bash
# Start-up time of Kelvane.exe with the crash-report component against the same program with the
# component disabled in its settings, alternately in one run.
#   bench/startup.sh [ROUNDS]     (default 20; run after scripts/build.sh win32)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$PWD/${KELVANE_BUILD_DIR:-build}
session=$build/bench-wine
scripts/wine-session start "$session"
trap 'scripts/wine-session stop "$session"' EXIT
export WINEPREFIX=$session/prefix WINEDEBUG=-all DISPLAY=$(cat "$session/display")
export WINEDLLOVERRIDES="winedbg.exe=d;winemenubuilder.exe=d;mscoree,mshtml=;hid,setupapi=n,b"
/usr/lib/wine/wine "$build/win32/bin/StartupTime.exe" "${1:-20}"
