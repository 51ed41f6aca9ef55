#!/usr/bin/env bash
# pleasewait.sh [ROUNDS]: from a fault to the complete report saved (the report test's program,
# 11 threads, every section on; measured inside the process) with the please-wait window shown
# while the flow waits for the report (ReportCrashWindow.exe) against the same program without it
# (ReportCrashPlain.exe), alternately (default 20 rounds): medians and their ratio. Goal: the
# difference is no more than the time spent in the window's own calls.
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/session.sh  # the window needs a display of its own
rounds=${1:-20}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"; scripts/wine-session stop "$session"' EXIT
plain=() window=() own=()
run() {
  rm -f "$tmp/window"
  KESTRUM_TEST_RESULT=$tmp/report.txt KESTRUM_BENCH_TIME=$tmp/time KESTRUM_BENCH_WINDOW_TIME=$tmp/window \
    /usr/lib/wine/wine "$bin/$1.exe" bench >/dev/null 2>&1 || true
  read -r us _ <"$tmp/time"
  echo "$us"
}
for ((i = 0; i < rounds; i++)); do
  plain+=($(run ReportCrashPlain))
  window+=($(run ReportCrashWindow))
  own+=($(cat "$tmp/window" 2>/dev/null || echo 0))
done
median() { printf '%s\n' "$@" | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
p=$(median "${plain[@]}") w=$(median "${window[@]}") o=$(median "${own[@]}")
awk -v p="$p" -v w="$w" -v o="$o" 'BEGIN {
  printf "fault to saved report: %.1f ms with the please-wait window, %.1f ms without, ratio %.2f;", w / 1000, p / 1000, w / p
  printf " inside the window'"'"'s own calls (made, shown, kept alive, closed): %.1f ms\n", o / 1000 }'
