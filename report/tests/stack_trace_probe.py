#!/usr/bin/python3
"""Runs the trace probe under Wine and checks its traces: every waiting thread's trace and the trace
of a caught C++ throw name their functions in call order, and each line's function and line number
agree with addr2line on the same program for the same address."""
import re
import subprocess
import sys

wine_run, probe, addr2line = sys.argv[1:4]
cxxfilt = addr2line.replace("addr2line", "c++filt")

EXPECTED = {
    # thread tag: the functions of our program, innermost first
    "alpha": ["WaitHere", "WaitAlpha", "RunAlpha"],
    "beta": ["WaitBeta", "RunBeta"],
    "delta": ["WaitHere", "WaitAlpha", "WaitGamma", "WaitDelta", "RunDelta"],
    "nested": ["WaitHere", "NestedC", "NestedB", "NestedA", "RunNested"],
    # recursion shown once: the call that waits, one self call, the thread routine
    "recursion": ["WaitHere", "Recurse", "Recurse", "RunRecurse"],
    "mutual": ["WaitHere", "Ping", "Pong", "Ping", "RunPing"],
    "standard": ["WaitHere", "WaitInStdThread"],
    "throw": ["Thrower3", "Thrower2", "Thrower1", "main"],
}


def short_name(name, scope):
    """The routine's own name: without parameter list and enclosing scopes."""
    return re.sub(r"\([^()]*\)( const)?$", "", name).split(scope)[-1]


traces = {}  # tag -> items
outputs = []
for mode in ("threads", "throw"):
    run = subprocess.run([wine_run, probe, mode], capture_output=True, text=True, timeout=240)
    text = run.stdout.replace("\r", "")
    outputs.append(text)
    if run.returncode != 0 or "done" not in text:
        sys.exit(f"probe {mode} failed ({run.returncode}):\n{text}\n{run.stderr[-3000:]}")
    tags, items = {}, {}
    for line in text.splitlines():
        m = re.match(r"start (\w+) (\d+)$", line)
        if m:
            tags[m.group(2)] = m.group(1)
        m = re.match(r"item (\d+) ([0-9a-f]{8})\|([^|]*)\|([^|]*)\|(-?\d+)\|(.*)$", line)
        if m:
            items.setdefault(m.group(1), []).append((int(m.group(2), 16), m.group(3), m.group(4), int(m.group(5)), m.group(6)))
    for tid, tag in tags.items():
        traces[tag] = items.get(tid, [])

failures = []
checked = 0
for tag, expected in EXPECTED.items():
    trace = traces.get(tag, [])
    ours = [i for i in trace if i[2] == "KorbTraceProbe"]
    names = [short_name(i[4], ".") for i in ours]
    if names[: len(expected)] != expected:
        failures.append(f"{tag}: expected {expected}, traced {names}\n  " + "\n  ".join(map(str, trace)))
    for address, _module, _unit, line, function in ours:
        res = subprocess.run([addr2line, "-f", "-C", "-e", probe, f"{address:x}"], capture_output=True, text=True).stdout.split("\n")
        fn, loc = res[0], res[1]
        tail = loc.rsplit(":", 1)[-1].split()
        want_line = int(tail[0]) if tail and tail[0].isdigit() else 0
        if fn.startswith("Z"):  # addr2line leaves the target's extra leading underscore out
            fn = subprocess.run([cxxfilt, "__" + fn], capture_output=True, text=True).stdout.strip()
        # Template instances: their parameter lists defeat a plain name comparison; the line decides.
        same_name = "<" in fn or "<" in function or short_name(fn, "::") == short_name(function, ".")
        if not same_name or want_line != line:
            failures.append(f"{tag} {address:08x}: traced {function} line {line}, addr2line {fn} {loc}")
        checked += 1

if failures:
    print("".join(outputs))
    sys.exit("\n".join(failures))
print(f"{len(traces)} traces, {checked} lines agree with addr2line")
