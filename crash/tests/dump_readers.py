#!/usr/bin/python3
"""The minidumps the crash matrix (crash_handling_test) left, one per case that saved a report,
read by LLVM's readers: obj2yaml parses each, lldb opens each and shows a crashed thread with an
instruction pointer and the exception; the stack overflows' dumps are among them."""
import os
import re
import subprocess
import sys

folder, objdump, data_program = sys.argv[1:4]
expected = sys.argv[4:]  # the cases that save a report (MiniDump 1)
failures = []


def memory_ranges(dump):
    """(start, size) of every range of the dump's memory list, as obj2yaml reads them."""
    yaml = subprocess.run(["obj2yaml", dump], capture_output=True, text=True).stdout
    listed = yaml.split("Type:            MemoryList", 1)[-1].split("  - Type:", 1)[0]
    return [(int(a, 16), len(c) // 2) for a, c in re.findall(r"Start of Memory Range: (0x[0-9A-F]+)\n\s+Content:\s+'?([0-9A-F]*)", listed)]


# Writable sections of the program (VMA, size) from objdump: MiniDump 2 puts them in, 1 leaves them out.
sections = subprocess.run([objdump, "-h", data_program], capture_output=True, text=True).stdout
writable = [(int(m.group(2), 16), int(m.group(1), 16)) for m in
            re.finditer(r"^\s*\d+ \.(?:data|bss)\s+([0-9a-f]+)\s+([0-9a-f]+)", sections, re.M)]
data_dump = os.path.join(folder, "data.dmp")
if not writable:
    failures.append(f"objdump shows no .data or .bss in {data_program}")
elif not os.path.exists(data_dump):
    failures.append("data: no dump (did crash_handling_test run?)")
else:
    ranges = memory_ranges(data_dump)
    for start, size in writable:
        if not any(s <= start and start + size <= s + n for s, n in ranges):
            failures.append(f"data: the section at {start:#x} ({size} bytes) is not in the dump's memory list {ranges}")
    if os.path.exists(os.path.join(folder, "tthread.dmp")):
        ranges = memory_ranges(os.path.join(folder, "tthread.dmp"))
        if any(s <= start < s + n for s, n in ranges for start, _ in writable):
            failures.append("tthread: MiniDump 1 wrote the program's data")
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
print(f"{len(expected)} dumps read by obj2yaml and lldb; the program's writable data in the MiniDump 2 dump")
