#!/usr/bin/python3
"""The minidumps the crash matrix (crash_handling_test) left, one per case that saved a report,
read by LLVM's readers: obj2yaml parses each, lldb opens each and shows a crashed thread with an
instruction pointer and the exception; the stack overflows' dumps are among them."""
import os
import re
import subprocess
import sys

folder = sys.argv[1]
expected = sys.argv[2:]  # the cases that save a report
failures = []
for case in expected:
    dump = os.path.join(folder, case + ".dmp")
    if not os.path.exists(dump):
        failures.append(f"{case}: no dump (did crash_handling_test run?)")
        continue
    r = subprocess.run(["obj2yaml", dump], capture_output=True, text=True)
    if r.returncode != 0 or "Type:            ThreadList" not in r.stdout or "Type:            Exception" not in r.stdout:
        failures.append(f"{case}: obj2yaml: {r.stderr[-400:]}")
    r = subprocess.run(["lldb", "-b", "-c", dump, "-o", "thread list"], capture_output=True, text=True, timeout=120)
    crashed = re.search(r"\* thread #\d+: tid = 0x[0-9a-f]+, (0x[0-9a-f]+) .*stop reason = Exception (0x[0-9a-f]+)", r.stdout)
    if not crashed or int(crashed.group(1), 16) == 0:
        failures.append(f"{case}: lldb shows no crashed thread at an address:\n{r.stdout[-800:]}")
    elif case.startswith("overflow") and crashed.group(2) != "0xc00000fd":
        failures.append(f"{case}: lldb shows exception {crashed.group(2)}, not the stack overflow")
if failures:
    sys.exit("\n".join(failures))
print(f"{len(expected)} dumps read by obj2yaml and lldb")
