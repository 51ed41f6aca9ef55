#!/usr/bin/python3
"""Runs the header probe under Wine and checks the machine and process fields of a report header
against what the host says (uptime, memory, disks, processors, user, file time), what binutils
say about the program (linker version) and what the probe did (memory it allocated, registry
values it wrote, parameters it was given)."""
import os
import pwd
import re
import subprocess
import sys
import time

wine_run, probe, objdump = sys.argv[1:4]
failures = []

ORDER = ["date/time", "computer name", "wts client name", "user name", "registered owner", "operating system",
         "system language", "system up time", "program up time", "processor", "processors", "physical memory",
         "system resources", "free disk space", "display mode", "process id", "allocated memory", "command line",
         "executable", "current module", "exec. date/time", "module date/time", "version", "bde version",
         "compiled with", "Kestrum version"]


def check(condition, message):
    if not condition:
        failures.append(message)


def run(*args):
    """The headers the probe printed, each a dict in field order."""
    result = subprocess.run([wine_run, probe, *args], capture_output=True, text=True, timeout=240)
    if result.returncode != 0:
        sys.exit(f"probe {args} failed ({result.returncode}):\n{result.stdout}\n{result.stderr[-3000:]}")
    headers, current = [], None
    for line in result.stdout.replace("\r", "").splitlines():
        if line.startswith("gathered "):
            check(line == "gathered 24", f"{args}: {line}, expected 24 gathered fields")
            current = {}
        elif line.startswith("field\t"):
            _, name, value = line.split("\t", 2)
            current[name] = value
        elif line == "end":
            headers.append(current)
    return headers


def duration_text(s):
    """The report's duration of whole seconds (two parts, zero parts left out)."""
    s = max(0, int(s))
    days, hours = s // 86400, (s // 3600) % 24
    if days:
        parts = [(days, "day"), (hours, "hour")]
    elif hours:
        parts = [(hours, "hour"), ((s // 60) % 60, "minute")]
    else:
        parts = [((s // 60) % 60, "minute"), (s % 60, "second")]
    return " ".join(f"{n} {unit}" + ("s" if n != 1 else "") for n, unit in parts if n)


def size_bytes(text):
    """'12,34 GB' -> bytes (the value's own precision)."""
    m = re.fullmatch(r"(\d+)[,.](\d\d) (KB|MB|GB)", text)
    if not m:
        m2 = re.fullmatch(r"(\d+) Bytes", text)
        return int(m2.group(1)) if m2 else None
    return (int(m.group(1)) + int(m.group(2)) / 100) * {"KB": 1 << 10, "MB": 1 << 20, "GB": 1 << 30}[m.group(3)]


def uptime():
    with open("/proc/uptime") as f:
        return float(f.read().split()[0])


up_before = uptime()
plain = run()[0]
up_after = uptime()

# Order and presence.
names = list(plain)
check([n for n in ORDER if n in plain] == names, f"fields out of order: {names}")
for absent in ("wts client name", "system resources", "current module", "bde version", "command line", "module date/time"):
    check(absent not in plain, f"{absent} present: {plain.get(absent)!r}")

check(re.fullmatch(r"\d{4}-\d\d-\d\d, \d\d:\d\d:\d\d, \d{1,3}ms", plain["date/time"]), f"date/time {plain['date/time']!r}")
check(plain.get("computer name"), "no computer name")
user = pwd.getpwuid(os.getuid()).pw_name
check(re.fullmatch(re.escape(user) + r"(  <admin>)?", plain.get("user name", "")), f"user name {plain.get('user name')!r}, host user {user}")
check(re.fullmatch(r"Windows [A-Za-z0-9 .-]+ build \d+", plain.get("operating system", "")), f"operating system {plain.get('operating system')!r}")
check(plain.get("system language"), "no system language")

# The system's counter runs from the host's boot: its up time is the host's.
accepted = {duration_text(up_before), duration_text(up_after)}
check(plain.get("system up time") in accepted, f"system up time {plain.get('system up time')!r}, host {accepted}")
m = re.fullmatch(r"(\d+) milliseconds", plain.get("program up time", ""))
check(m and 250 <= int(m.group(1)) < 1000, f"program up time {plain.get('program up time')!r}")

cpus = min(os.cpu_count(), 16)
key = "processors" if cpus > 1 else "processor"
cpu_text = plain.get(key, "")
check(cpu_text and "  " not in cpu_text and cpu_text == cpu_text.strip(), f"{key} {cpu_text!r}")
if cpus > 1:
    check(cpu_text.startswith(f"{cpus}x "), f"processors {cpu_text!r}, host has {cpus}")

m = re.fullmatch(r"(\d+)/(\d+) MB \(free/total\)", plain.get("physical memory", ""))
with open("/proc/meminfo") as f:
    mem_total = int(re.search(r"MemTotal:\s+(\d+) kB", f.read()).group(1)) * 1024
# Emulated, the 32-bit system call that Wine asks hands over the host's total cut to 32 bits.
totals = {(mem_total + 524288) // 1048576, (mem_total % (1 << 32) + 524288) // 1048576}
check(m and any(abs(int(m.group(2)) - t) <= 1 for t in totals) and
      (int(m.group(1)) <= int(m.group(2)) or mem_total >= 1 << 32),
      f"physical memory {plain.get('physical memory')!r}, host total {mem_total}")

# C: is the prefix's drive_c, the program lies on Z: (the host's root).
prefix = os.environ.get("WINEPREFIX") or os.path.join(os.path.dirname(wine_run), "wine", "prefix")
m = re.fullmatch(r"\(C:\) (.+?)(?: \(Z:\) (.+))?", plain.get("free disk space", ""))
check(m is not None, f"free disk space {plain.get('free disk space')!r}")
if m:
    for text, path in ((m.group(1), os.path.join(prefix, "drive_c")), (m.group(2), "/")):
        if text is None:
            continue
        st = os.statvfs(path)
        # Wine answers the disk's free bytes with what the host leaves to unprivileged users.
        host = st.f_bavail * st.f_frsize
        ours = size_bytes(text)
        check(ours is not None and abs(ours - host) <= max(0.02 * host, 1 << 20) + 0.01 * (1 << 30),
              f"free disk space {text!r} for {path}, host {host}")

check(re.fullmatch(r"\d+x\d+, \d+ bit", plain.get("display mode", "")), f"display mode {plain.get('display mode')!r}")
check(re.fullmatch(r"\$[1-9a-f][0-9a-f]*", plain.get("process id", "")), f"process id {plain.get('process id')!r}")
check(plain.get("executable") == os.path.basename(probe), f"executable {plain.get('executable')!r}")
stamp = time.strftime("%Y-%m-%d %H:%M", time.localtime(os.path.getmtime(probe)))
check(plain.get("exec. date/time") == stamp, f"exec. date/time {plain.get('exec. date/time')!r}, file {stamp}")
check(plain.get("version") == "3.14.159.2653", f"version {plain.get('version')!r}")
linker = re.search(r"MajorLinkerVersion\s+(\d+)", subprocess.run([objdump, "-p", probe], capture_output=True, text=True).stdout)
check(linker and linker.group(1) == "2" and plain.get("compiled with") == "GCC (MinGW-w64)",
      f"compiled with {plain.get('compiled with')!r}, linker {linker and linker.group(1)}")
check(plain.get("Kestrum version") == "3.0k", f"Kestrum version {plain.get('Kestrum version')!r}")

# Memory the program commits counts; parameters show the command line.
before, after = run("alloc")
grown = size_bytes(after["allocated memory"]) - size_bytes(before["allocated memory"])
check(abs(grown - (64 << 20)) <= 2 << 20, f"allocated memory grew by {grown}, 64 MB committed ({before['allocated memory']} -> {after['allocated memory']})")
check(after.get("command line", "").endswith(" alloc"), f"command line {after.get('command line')!r}")

with_org, owner_only = run("owner")
check(with_org.get("registered owner") == "Test Owner / Test Organization", f"registered owner {with_org.get('registered owner')!r}")
check(owner_only.get("registered owner") == "Test Owner", f"registered owner {owner_only.get('registered owner')!r}")

check(run("versionvar")[0].get("version") == "7.6.5 beta", "the settings' version text does not win over the file's")
check(run("started")[0].get("program up time") == "1 hour 2 minutes", "program up time of 1 h 2 min 5 s")

if failures:
    print("\n".join(failures))
    print("first header:", plain)
    sys.exit(1)
print(f"header fields agree: {len(plain)} fields")
