#!/usr/bin/env bash
# debuginfo.sh [COUNT]: the embedded debug information against addr2line, in one run.
# - Lookups per second (function and line) for COUNT random code addresses (default 10000):
#   in-process from the container in Kelvane.exe (DebugInfoLookup.exe under Wine; through the
#   cache as a report looks up, and on the loaded tables alone), against addr2line's batch rate
#   on Kelvane-debug.exe for the same addresses. Goal: at least 8 times addr2line.
# - The container's size against Kelvane.exe's. Goal: at most 10%.
# - The time to load the container at the first lookup.
# Best of three runs each. Run after scripts/build.sh win32.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/emu/enable
exec /usr/bin/python3 - "${1:-10000}" "${KELVANE_BUILD_DIR:-build}/win32" <<'PY'
import os, random, re, subprocess, sys, tempfile, time

count, build = int(sys.argv[1]), sys.argv[2]
bin_dir = os.path.join(build, "bin")
product, debug = os.path.join(bin_dir, "Kelvane.exe"), os.path.join(bin_dir, "Kelvane-debug.exe")
headers = subprocess.run(["i686-w64-mingw32-objdump", "-h", product], capture_output=True, text=True, check=True).stdout
size, vma = next((int(m.group(1), 16), int(m.group(2), 16)) for m in re.finditer(r"\.text\s+([0-9a-f]+)\s+([0-9a-f]+)", headers))
rng = random.Random(7)
with tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False) as f:
    f.write("\n".join("%x" % rng.randrange(vma, vma + size) for _ in range(count)) + "\n")
    addresses = f.name
try:
    def best(run):
        return min(run() for _ in range(3))

    def addr2line():
        with open(addresses) as stdin:
            t0 = time.perf_counter()
            subprocess.run(["i686-w64-mingw32-addr2line", "-f", "-e", debug], stdin=stdin, stdout=subprocess.DEVNULL, check=True)
            return time.perf_counter() - t0
    addr2line_rate = count / best(addr2line)

    runs = []
    for _ in range(3):
        out = subprocess.run([os.path.join(build, "wine-run"), os.path.join(bin_dir, "DebugInfoLookup.exe"),
                              "Z:" + os.path.realpath(product), "Z:" + addresses], capture_output=True, text=True, check=True).stdout
        runs.append(dict(line.split() for line in out.replace("\r", "").splitlines() if line.strip()))
    describe = max(float(r["describe_per_s"]) for r in runs)
    tables = max(float(r["tables_per_s"]) for r in runs)
    load = min(float(r["load_us"]) for r in runs)
    container = os.path.getsize(os.path.join(build, "app", "korb_Kelvane", "Kelvane.korb"))
    exe = os.path.getsize(product)
    print(f"lookups (function and line) of {count} random code addresses:")
    print(f"  addr2line batch on Kelvane-debug.exe   {addr2line_rate:10.0f} /s")
    print(f"  in-process through the cache           {describe:10.0f} /s  ({describe / addr2line_rate:.1f} times addr2line)")
    print(f"  in-process on the loaded tables        {tables:10.0f} /s  ({tables / addr2line_rate:.1f} times addr2line)")
    print(f"container {container} bytes, Kelvane.exe {exe} bytes: {100 * container / exe:.1f}%")
    print(f"loading the container at the first lookup: {load / 1000:.1f} ms")
finally:
    os.unlink(addresses)
PY
