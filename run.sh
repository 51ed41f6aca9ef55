#!/usr/bin/env bash
# Installs what is missing, builds Kelvane.exe and runs it under Wine on the simulated receiver.
# With DISPLAY set the window opens there; without one the program runs for a few seconds on a
# private Xvfb display and a screenshot is saved to build/screenshot.png.
# ./run.sh collector starts the bug report collector with demo data instead (see README).
set -euo pipefail
cd "$(dirname "$0")"
scripts/deps.sh
if [ "${1:-}" = collector ]; then
  # ./run.sh collector: the bug report collector with the demo's few crashes, until Ctrl+C.
  build=${KELVANE_BUILD_DIR:-build}
  [ -f "$build/host/build.ninja" ] || cmake -S . -B "$build/host" -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
  cmake --build "$build/host" --target kestrum-collector
  data=$build/collector-demo
  "$build/host/bin/kestrum-collector" import --data "$data" collector/demo/bugreport.txt
  listen=${KELVANE_COLLECTOR_LISTEN:-127.0.0.1:8080}
  echo "open http://$listen/ (admin token: ${KELVANE_COLLECTOR_TOKEN:-demo}); Ctrl+C stops it"
  exec "$build/host/bin/kestrum-collector" serve --data "$data" --listen "$listen" --admin-token "${KELVANE_COLLECTOR_TOKEN:-demo}"
fi
. scripts/emu/enable
echo "$KELVANE_WINE_MODE"
scripts/build.sh win32
build=$PWD/${KELVANE_BUILD_DIR:-build}
exe_dir=$build/win32/bin
export WINEDEBUG=-all
. scripts/wine-env "hid,setupapi=n,b"
export KELVANE_SIM_SCENARIO=${KELVANE_SIM_SCENARIO:-$PWD/sim/demo.scenario}

if [ -n "${DISPLAY:-}" ]; then
  session=$build/run-display
  scripts/wine-session start "$session" --no-desktop --no-display
  trap 'scripts/wine-session stop "$session"' EXIT
  WINEPREFIX=$session/prefix /usr/lib/wine/wine "$exe_dir/Kelvane.exe"
else
  session=$build/run-headless
  scripts/wine-session start "$session"
  trap 'scripts/wine-session stop "$session"' EXIT
  export DISPLAY=$(cat "$session/display")
  WINEPREFIX=$session/prefix /usr/lib/wine/wine "$exe_dir/Kelvane.exe" &
  # Nobody is there to click "Open Device": the GUI driver does.
  WINEPREFIX=$session/prefix /usr/lib/wine/wine "$exe_dir/GuiClick.exe" Kelvane "Open Device" $((20000 * KELVANE_TIME_SCALE))
  sleep "${KELVANE_RUN_SECONDS:-12}"
  import -display "$DISPLAY" -window root "$build/screenshot.png"
  echo "screenshot saved to $build/screenshot.png"
fi
