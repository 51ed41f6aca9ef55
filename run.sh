#!/usr/bin/env bash
# Installs what is missing, builds Kelvane.exe and runs it under Wine on the simulated receiver.
# With DISPLAY set the window opens there; without one the program runs for a few seconds on a
# private Xvfb display and a screenshot is saved to build/screenshot.png.
set -euo pipefail
cd "$(dirname "$0")"
scripts/deps.sh
scripts/build.sh win32
exe_dir=$PWD/build/win32/bin
export WINEDEBUG=-all WINEARCH=win32
export WINEDLLOVERRIDES="winedbg.exe=d;winemenubuilder.exe=d;mscoree,mshtml=;hid,setupapi=n,b"
export KELVANE_SIM_SCENARIO=${KELVANE_SIM_SCENARIO:-$PWD/sim/demo.scenario}

if [ -n "${DISPLAY:-}" ]; then
  session=$PWD/build/run-display
  scripts/wine-session start "$session" --no-desktop --no-display
  trap 'scripts/wine-session stop "$session"' EXIT
  WINEPREFIX=$session/prefix /usr/lib/wine/wine "$exe_dir/Kelvane.exe"
else
  session=$PWD/build/run-headless
  scripts/wine-session start "$session"
  trap 'scripts/wine-session stop "$session"' EXIT
  export DISPLAY=$(cat "$session/display")
  WINEPREFIX=$session/prefix /usr/lib/wine/wine "$exe_dir/Kelvane.exe" &
  sleep "${KELVANE_RUN_SECONDS:-6}"
  import -display "$DISPLAY" -window root build/screenshot.png
  echo "screenshot saved to $PWD/build/screenshot.png"
fi
