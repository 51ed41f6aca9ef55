#!/usr/bin/env bash
# report.sh [ROUNDS]: from a fault to the complete report saved, in a program with 11 threads and
# every section on (ReportCrash.exe bench: the three system lists, registers, stack dump,
# disassembly; the time is measured inside the process, from just before the fault to the end of
# the save), and the whole run, against a process that faults and exits from its filter at once
# (StackTraceTime.exe floor), alternately (default 20 rounds): medians and the ratio of the whole
# runs. Goal: at most 50 ms from the fault to the saved report, and within 8 times the floor.
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/session.sh  # the program has a window: a display of its own
rounds=${1:-20}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"; scripts/wine-session stop "$session"' EXIT
now() { date +%s%N; }
floor=() whole=() inside=()
for ((i = 0; i < rounds; i++)); do
  t=$(now); /usr/lib/wine/wine "$bin/StackTraceTime.exe" floor >/dev/null; floor+=($(( ($(now) - t) / 1000 )))
  t=$(now)
  KESTRUM_TEST_RESULT=$tmp/report.txt KESTRUM_BENCH_TIME=$tmp/time /usr/lib/wine/wine "$bin/ReportCrash.exe" bench || true
  whole+=($(( ($(now) - t) / 1000 )))
  read -r us bytes <"$tmp/time"
  inside+=("$us")
done
median() { printf '%s\n' "$@" | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
f=$(median "${floor[@]}") w=$(median "${whole[@]}") in=$(median "${inside[@]}")
awk -v f="$f" -v w="$w" -v i="$in" -v b="$bytes" 'BEGIN {
  printf "fault to saved report (%d bytes, 11 threads, all sections): %.1f ms median inside the process;", b, i / 1000
  printf " run %.1f ms against %.1f ms for fault and exit, ratio %.2f\n", w / 1000, f / 1000, w / f }'
