#!/usr/bin/env bash
# screenshot.sh: capture plus 256-colour PNG of a desktop picture of 1024x768 and of 1920x1080
# (ScreenshotPng.exe on a screen of that size), against pngquant quantizing the same captured
# picture in the same run: best-of-five times and file sizes, and their ratios (goal: no slower,
# no larger).
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/session.sh
work=$build/bench-screenshot
mkdir -p "$work"
xvfb=
trap '[ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null; scripts/wine-session stop "$session"' EXIT
best_ms() {  # best of five runs of a command, in milliseconds
  local best=
  for _ in 1 2 3 4 5; do
    local t0 t1
    t0=$(date +%s%N); "$@" >/dev/null 2>&1; t1=$(date +%s%N)
    local ms=$(((t1 - t0) / 1000000))
    if [ -z "$best" ] || [ "$ms" -lt "$best" ]; then best=$ms; fi
  done
  echo "$best"
}
printf '%-10s %12s %12s %12s %12s %10s %10s %8s %8s\n' size capture_ms encode_ms pngquant_ms "" ours_bytes ref_bytes t_ratio s_ratio
for size in 1024x768 1920x1080; do
  # A display of its own for each size; the picture fills a virtual desktop as large as it.
  rm -f "$work/display"
  setsid Xvfb -displayfd 3 -screen 0 "${size}x24" -nolisten tcp 3>"$work/display" </dev/null >/dev/null 2>&1 &
  xvfb=$!
  for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.05; done
  out=$work/$size
  rm -rf "$out"; mkdir -p "$out"
  DISPLAY=:$(cat "$work/display") /usr/lib/wine/wine explorer "/desktop=KestrumBench$size,$size" \
    "$bin/ScreenshotPng.exe" "Z:${out//\//\\}" >/dev/null 2>&1 || true
  for _ in $(seq 200); do [ -s "$out/result.txt" ] && break; sleep 0.1; done
  kill "$xvfb" 2>/dev/null || true; xvfb=
  read -r w h capture_us encode_us ours_bytes < <(tr -d '\r' <"$out/result.txt")
  # The reference gets the same captured picture, losslessly, and quantizes it to 256 colours.
  /usr/bin/python3 -c "from PIL import Image; Image.open('$out/capture.bmp').convert('RGB').save('$out/capture.png')"
  ref_ms=$(best_ms pngquant --force --output "$out/ref.png" 256 "$out/capture.png")
  ref_bytes=$(stat -c %s "$out/ref.png")
  awk -v s="${w}x${h}" -v c="$capture_us" -v e="$encode_us" -v r="$ref_ms" -v o="$ours_bytes" -v b="$ref_bytes" 'BEGIN {
    printf "%-10s %12.1f %12.1f %12d %12s %10d %10d %8.2f %8.2f\n", s, c / 1000, e / 1000, r, "", o, b, (c + e) / 1000 / r, o / b }'
done
echo "t_ratio: (capture + encode) / pngquant; s_ratio: our PNG / pngquant's. Goal: both at most 1."
