#!/usr/bin/env bash
# trace.sh [ROUNDS]: time to trace all threads of a process with 11 threads at the moment of a
# fault (StackTraceTime.exe trace: the traces alone, measured inside the process, and the whole run)
# against the same process that faults and exits from its filter at once (the floor), alternately
# (default 15 rounds): medians and the ratio of the whole runs.
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${KELVANE_BUILD_DIR:-build}/win32/bin
run=${KELVANE_BUILD_DIR:-build}/win32/wine-run
rounds=${1:-15}
now() { date +%s%N; }
floor=() whole=() inside=() again=()
for ((i = 0; i < rounds; i++)); do
  t=$(now); "$run" "$bin/StackTraceTime.exe" floor >/dev/null; floor+=($(( ($(now) - t) / 1000 )))
  t=$(now); out=$("$run" "$bin/StackTraceTime.exe" trace | tr -d '\r'); whole+=($(( ($(now) - t) / 1000 )))
  read -r first second lines <<<"$out"
  inside+=("$first") again+=("$second")
done
median() { printf '%s\n' "$@" | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
f=$(median "${floor[@]}") w=$(median "${whole[@]}") in=$(median "${inside[@]}") ag=$(median "${again[@]}")
awk -v f="$f" -v w="$w" -v i="$in" -v a="$ag" -v l="$lines" 'BEGIN {
  printf "tracing 11 threads (%d lines): %.1f ms inside the process (%.1f ms again with the tables filled);", l, i / 1000, a / 1000
  printf " run %.1f ms against %.1f ms for fault and exit, ratio %.2f\n", w / 1000, f / 1000, w / f }'
