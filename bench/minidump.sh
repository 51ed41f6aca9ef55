#!/usr/bin/env bash
# minidump.sh [ROUNDS]: the minidump beside the report, in a program with 11 threads at a fault
# (ReportCrash.exe bench, MiniDump 1 as shipped): its gathering on the crash path and its writing,
# against the time from the fault to the saved report in the same runs (medians of ROUNDS, default
# 15); its size against the report's. Goals: the dump within 10 ms and 20% of the report's time,
# under 512 KB. Then the Breakpad symbol tool on Kelvane.exe (best of 5) against the size of the
# debug-information container it reads.
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/session.sh  # the program has a window: a display of its own
rounds=${1:-15}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"; scripts/wine-session stop "$session"' EXIT
report=() gather=() write=() dump=()
for ((i = 0; i < rounds; i++)); do
  KESTRUM_TEST_RESULT=$tmp/report.txt KESTRUM_BENCH_TIME=$tmp/time /usr/lib/wine/wine "$bin/ReportCrash.exe" bench || true
  read -r us bytes g w d <"$tmp/time"
  report+=("$us") gather+=("$g") write+=("$w") dump+=("$d")
done
median() { printf '%s\n' "$@" | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
r=$(median "${report[@]}") g=$(median "${gather[@]}") w=$(median "${write[@]}") d=$(median "${dump[@]}")
awk -v r="$r" -v g="$g" -v w="$w" -v d="$d" -v b="$bytes" 'BEGIN {
  printf "dump at a fault with 11 threads: gathering %.2f ms + writing %.2f ms = %.2f ms, %.1f%% of the %.1f ms", g / 1000, w / 1000,
         (g + w) / 1000, 100 * (g + w) / r, r / 1000
  printf " from the fault to the saved report (the dump included)\n"
  printf "dump size %d bytes (%.0f KB), report %d bytes, ratio %.1f\n", d, d / 1024, b, d / b }'

tool=$build/win32/host-tools/KestrumBreakpadSymbols
container=$build/win32/app/korb_Kelvane/Kelvane.korb
best=
for ((i = 0; i < 5; i++)); do
  t=$(date +%s%N); "$tool" "$bin/Kelvane.exe" "$tmp/symbols" >/dev/null; t=$(( ($(date +%s%N) - t) / 1000 ))
  [ -z "$best" ] || [ "$t" -lt "$best" ] && best=$t
done
sym=$(find "$tmp/symbols" -name '*.sym')
awk -v t="$best" -v c="$(stat -c %s "$container")" -v s="$(stat -c %s "$sym")" -v l="$(wc -l <"$sym")" 'BEGIN {
  printf "symbol file of Kelvane.exe: %.1f ms (best of 5) for a container of %d bytes (%.1f MB/s), %d bytes, %d records\n",
         t / 1000, c, c / t, s, l }'
