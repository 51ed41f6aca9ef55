#!/usr/bin/python3
"""The Breakpad symbol file of the program as built, against readers of our own making neither:
its MODULE line carries the program's CodeView identity as objdump reads it, its line records
agree with addr2line on the unstripped program, and sentry-cli accepts the file with that id."""
import random
import re
import subprocess
import sys
import tempfile

tool, program, debug_program, objdump, addr2line, sentry_cli, source_dir = sys.argv[1:8]

failures = []
with tempfile.TemporaryDirectory() as store:
    path = subprocess.run([tool, program, store], capture_output=True, text=True, check=True).stdout.strip()
    with open(path) as f:
        lines = f.read().splitlines()
    module = lines[0].split()
    # objdump prints the signature's bytes as a GUID string: the first three fields as numbers
    sig, age = re.search(r"format RSDS signature ([0-9a-f]{32}) age (\d+)", subprocess.run(
        [objdump, "-p", program], capture_output=True, text=True).stdout).groups()
    raw = bytes.fromhex(sig)
    want = (raw[3::-1] + raw[5:3:-1] + raw[7:5:-1] + raw[8:]).hex().upper() + f"{int(age):X}"
    want_raw = sig.upper() + f"{int(age):X}"
    if module[:3] != ["MODULE", "windows", "x86"] or module[3] not in (want, want_raw) or module[4] != "Kelvane.exe":
        failures.append(f"MODULE line {lines[0]!r}, objdump's record {sig} age {age}")
    if not path.endswith(f"/Kelvane.exe/{module[3]}/Kelvane.exe.sym"):
        failures.append(f"store layout {path}")
    files = {int(l.split()[1]): l.split(None, 2)[2] for l in lines if l.startswith("FILE ")}
    records = [l.split() for l in lines if re.match(r"[0-9a-f]+ [0-9a-f]+ \d+ \d+$", l)]
    funcs = [l for l in lines if l.startswith("FUNC ")]
    if len(funcs) < 100 or len(records) < 1000 or "uMain" not in files.values():
        failures.append(f"{len(funcs)} functions, {len(records)} lines, files {sorted(files.values())[:10]}")
    base = 0x400000
    sample = random.Random(7).sample(records, min(300, len(records)))
    out = subprocess.run([addr2line, "-e", debug_program] + [f"{base + int(r[0], 16):x}" for r in sample], capture_output=True,
                         text=True).stdout.splitlines()
    wrong = []
    for r, loc in zip(sample, out):
        file_line = loc.split(" ")[0].rsplit(":", 1)
        unit = re.sub(r"(_win)?\.[a-z]+$", "", file_line[0].rsplit("/", 1)[-1])
        # The container gives a line of inlined header code to the unit it was compiled in.
        ours_file = files[int(r[3])] == unit or not (file_line[0].startswith(source_dir) and file_line[0].endswith(".cpp"))
        if file_line[-1] != r[2] or not ours_file:
            wrong.append(f"{base + int(r[0], 16):08x}: ours {files[int(r[3])]} {r[2]}, addr2line {loc}")
    if wrong:
        failures.append(f"{len(wrong)} of {len(sample)} lines differ from addr2line:\n  " + "\n  ".join(wrong[:20]))
    check = subprocess.run([sentry_cli, "debug-files", "check", path], capture_output=True, text=True)
    dashed = module[3].lower()
    dashed = f"{dashed[:8]}-{dashed[8:12]}-{dashed[12:16]}-{dashed[16:20]}-{dashed[20:32]}-{dashed[32:]}"
    if "Usable: yes" not in check.stdout or dashed not in check.stdout:
        failures.append(f"sentry-cli does not accept the file as {dashed}:\n{check.stdout}{check.stderr}")

if failures:
    sys.exit("\n".join(failures))
print(f"{len(funcs)} functions, {len(records)} line records; {len(sample)} lines checked against addr2line")
