#!/usr/bin/env bash
# CPU time of Kelvane.exe over a stretch of idle time, as a share of one core, with the
# receiver open and with no device; reference: an idle Wine window measured alongside.
#   bench/cpu.sh [SECONDS]     (default 60; run after scripts/build.sh win32)
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-60}
. bench/session.sh
hz=$(getconf CLK_TCK)

ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
pid_of() {  # the Linux process that runs a Windows program
  for _ in $(seq 100); do
    p=$(pgrep -n -f "$1" || true)
    [ -n "$p" ] && { echo "$p"; return; }
    sleep 0.1
  done
}

measure() {  # measure LABEL SCENARIO OPEN(0|1)
  printf 'at 0 plug rx\n' >"$build/bench-idle.scenario"
  [ "$2" = none ] && : >"$build/bench-idle.scenario"
  KELVANE_SIM_SCENARIO=$build/bench-idle.scenario /usr/lib/wine/wine "$bin/Kelvane.exe" &
  /usr/lib/wine/wine "$bin/GuiTestWindow.exe" &
  [ "$3" = 1 ] && /usr/lib/wine/wine "$bin/GuiClick.exe" Kelvane "Open Device" 20000
  sleep 2
  local k r ws k0 r0 w0
  k=$(pid_of 'Kelvane.exe'); r=$(pid_of 'GuiTestWindow.exe'); ws=$(pgrep -n wineserver)
  k0=$(ticks "$k"); r0=$(ticks "$r"); w0=$(ticks "$ws")
  sleep "$secs"
  local k1 r1 w1
  k1=$(ticks "$k"); r1=$(ticks "$r"); w1=$(ticks "$ws")
  awk -v l="$1" -v k=$((k1 - k0)) -v r=$((r1 - r0)) -v w=$((w1 - w0)) -v hz="$hz" -v s="$secs" 'BEGIN {
    ratio = r > 0 ? sprintf("ratio %.2f", k/r) : "reference below one clock tick"
    printf "%-28s Kelvane %.3f%% of a core, idle reference window %.3f%% (%s); wine server (both) %.3f%%\n",
      l, 100*k/hz/s, 100*r/hz/s, ratio, 100*w/hz/s }'
  kill "$k" "$r" 2>/dev/null || true
  sleep 1
}

measure "device open, 50 ms delay:" rx 1
measure "no device, not opened:" none 0
measure "no device, opened:" none 1
