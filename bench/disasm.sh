#!/usr/bin/env bash
# disasm.sh [PE-FILE] [SECONDS]: decoding and disassembly speed of the crash report's analyser
# against capstone, built natively and optimised (bench/KorbDisAsmBench.cpp).
set -euo pipefail
cd "$(dirname "$0")/.."
file=${1:-/usr/lib/i386-linux-gnu/wine/i386-windows/kernelbase.dll}
out=${KELVANE_BUILD_DIR:-build}/bench-native
mkdir -p "$out"
g++ -std=c++20 -O2 -DNDEBUG -I. bench/KorbDisAsmBench.cpp report/KorbDisAsm.cpp report/KorbDisAsmDecode.cpp report/KorbDisAsmText.cpp \
  -lcapstone -o "$out/KorbDisAsmBench"
"$out/KorbDisAsmBench" "$file" "${2:-2}"
