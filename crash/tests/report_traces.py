#!/usr/bin/python3
"""Runs the report crash program under Wine once per case and checks the complete report it saved:
the crashed thread's lines name our functions in call order, and each line's function and line
number agree with addr2line on the same program for the same address; a thread created by another
ends with the creator's call site under ">> created by"; waiting threads show their waits; the
header carries the finished checksum; the minidump beside each report is read by obj2yaml and lldb, and Breakpad's stack walker, with
the symbol store of the program, shows the report's functions and lines. One report is also compared with a golden file, its volatile
values masked (KELVANE_REWRITE_GOLDEN=1 rewrites the file)."""
import atexit
import difflib
import os
import re
import shutil
import subprocess
import sys
import tempfile

wine_run, program, addr2line, golden_dir, symbol_tool, stackwalk = sys.argv[1:7]
cxxfilt = addr2line.replace("addr2line", "c++filt")
exe = os.path.basename(program)

# case: (the crashed thread's functions of our program, innermost first; exception class)
CASES = {
    "button": (["FaultC", "FaultB", "FaultA", "ButtonClick"], "EAccessViolation"),
    "throw": (["Thrower3", "Thrower2", "Thrower1", "ButtonClick"], "Exception"),
    # recursion shown once: the call that faults, one self call, the caller
    "recursion": (["FaultC", "Recurse", "Recurse", "ButtonClick"], "EAccessViolation"),
    "mutual": (["FaultC", "Ping", "Pong", "Ping", "ButtonClick"], "EAccessViolation"),
    "system": (["SystemCopy", "CallSystem", "ButtonClick"], "EAccessViolation"),
    "worker": (["FaultC", "WorkerFault", "SecondWorker"], "EAccessViolation"),
    "stdthread": (["FaultC", "FaultB", "FaultA", "StandardBody"], "EAccessViolation"),
    "waiting": (["ButtonClick"], "Exception"),
    # a stack of values that are no code addresses: the fault's own line alone (then the creator)
    "noncode": ([], "EAccessViolation"),
}
# threads of the case "waiting": each one's functions, innermost first
WAITS = [["WaitHere", "WaitAlpha", "WaitingAlpha"], ["WaitHere", "WaitAlpha", "WaitBeta", "WaitingBeta"],
         ["SleepGamma", "SleepingGamma"], ["WaitHere", "WaitingDelta"]]


def run(case):
    with tempfile.TemporaryDirectory() as tmp:
        result = os.path.join(tmp, "report.txt")
        env = dict(os.environ, KESTRUM_TEST_RESULT=result)
        r = subprocess.run([wine_run, program, case], capture_output=True, timeout=240, env=env)
        if r.returncode != 7 or not os.path.exists(result):
            errors = r.stderr.decode(errors="replace")[-3000:]
            sys.exit(f"{case}: exit code {r.returncode}, report saved: {os.path.exists(result)}\n{errors}")
        with open(result, "rb") as f:
            report = f.read().decode("cp1252")
        dump = os.path.join(tmp, "report.dmp")
        if not os.path.exists(dump):
            return report, [f"{case}: no minidump beside the report"]
        return report, check_dump(case, report, dump) + check_walk(case, report, dump, store)


def check_dump(case, report, dump):
    """The minidump beside the report, read by LLVM's readers: obj2yaml parses all of it; lldb lists
    the threads of the report's sections and shows the crashed thread's registers as the report's
    "cpu registers" section does."""
    problems = []
    r = subprocess.run(["obj2yaml", dump], capture_output=True, text=True)
    if r.returncode != 0 or "--- !minidump" not in r.stdout:
        problems.append(f"{case}: obj2yaml cannot read the dump: {r.stderr[-500:]}")
    r = subprocess.run(["lldb", "-b", "-c", dump, "-o", "thread list", "-o", "register read"], capture_output=True, text=True,
                       timeout=120)
    listed = {int(t, 16): int(pc, 16) for t, pc in re.findall(r"thread #\d+: tid = (0x[0-9a-f]+), (0x[0-9a-f]+)", r.stdout)}
    header, sections = parse(report)
    thread = re.compile(r"(?:\(\$|^thread \$)([0-9a-f]+)")
    tids = [int(m.group(1), 16) for t, _ in sections if (m := thread.search(t))]
    if set(listed) != set(tids):
        problems.append(f"{case}: lldb lists threads {sorted(map(hex, listed))}, the report {sorted(map(hex, tids))}")
    registers = dict(l.split(" = ") for l in next((lines for t, lines in sections if t == "cpu registers:"), []) if " = " in l)
    shown = {n: int(v, 16) for n, v in re.findall(r"^\s+(e[a-z]{2}) = (0x[0-9a-f]+)", r.stdout, re.M)}
    # A throw's context stands at the return address of the throwing call; the dump's frame at the
    # call itself (a direct call: five bytes before).
    thrown = CASES[case][1] == "Exception"
    for name, value in registers.items():
        want = int(value, 16) - (5 if thrown and name.strip() == "eip" else 0)
        if shown.get(name.strip()) != want:
            problems.append(f"{case}: lldb shows {name.strip()} = {shown.get(name.strip())}, the report {value}")
    # the crashed thread's section comes first
    crashed = tids[0] if tids else None
    if registers and listed.get(crashed) != int(registers.get("eip", "0"), 16) - (5 if thrown else 0):
        problems.append(f"{case}: lldb's crashed thread {crashed and hex(crashed)} stands at {listed.get(crashed)}")
    return problems


def check_walk(case, report, dump, store):
    """Breakpad's stack walker with the symbol store of the program: the crashed thread's frames
    of our program name the functions and lines of the report's crashed thread."""
    expected = CASES[case][0]
    r = subprocess.run([stackwalk, "-m", dump, store], capture_output=True, text=True, timeout=120)
    rows = [l.split("|") for l in r.stdout.splitlines()]
    crash = next((row for row in rows if row[0] == "Crash"), None)
    if r.returncode != 0 or not crash:
        return [f"{case}: the stack walker cannot read the dump: {r.stderr[-500:]}"]
    walked = [(row[3], int(row[5])) for row in rows if len(row) == 7 and row[0] == crash[3] and row[2] == exe and row[5]]
    _, sections = parse(report)
    lines = sections[0][1]
    # the creator's call site belongs to another thread's stack
    lines = lines[:next((k for k, l in enumerate(lines) if l.startswith(">> created by")), len(lines))]
    reported = [(i[4], i[3]) for i in ours(trace_lines(lines))]
    if not expected:
        return []
    # From the first expected function on, every frame of the report in the walker's order; the
    # walker may show more (the report shows a recursion once).
    mine = [k for k, (name, _) in enumerate(reported) if short_name(name, ".") == expected[0]]
    want = reported[mine[0]:mine[0] + len(expected) + 3] if mine else [None]
    rest = iter(walked)
    if not all(frame in rest for frame in want):
        return [f"{case}: the stack walker shows {walked[:12]}, the report {want}"]
    return []


def parse(report):
    """Header fields as (name, value) and sections as (title, lines)."""
    blocks = report.split("\r\n\r\n")
    header = []
    for line in blocks[0].split("\r\n"):
        name, _, value = line.partition(": ")
        header.append((name.rstrip(), value))
    sections = []
    for block in blocks[1:]:
        lines = block.split("\r\n")
        sections.append((lines[0], lines[1:]))
    return header, sections


def trace_lines(lines):
    """The trace lines of a thread section as (address, module, unit, line, function); the columns
    are found from the lines themselves, as a reader of the report would."""
    rows = [l for l in lines if re.match(r"[0-9a-f]{8} ", l)]
    if not rows:
        return []
    rel = rows[0][9] == "+"
    start = 9 + (len(rows[0][9:].split(" ")[0]) + 1 if rel else 0)
    module_width = max(len(r[start:].split(" ")[0]) for r in rows) + 1
    unit_start = start + module_width
    unit_width = max(len(r[unit_start:].split(" ")[0]) for r in rows) + 1
    items = []
    for r in rows:
        module = r[start:unit_start].strip()
        unit = r[unit_start:unit_start + unit_width].strip()
        rest = r[unit_start + unit_width:].split()
        line = 0
        if rest and rest[0].isdigit():
            line = int(rest.pop(0))
            if rest and re.fullmatch(r"\+\d+", rest[0]):
                rest.pop(0)
        elif rest and re.fullmatch(r"\+\d+", rest[0]):
            rest.pop(0)
        items.append((int(r[:8], 16), module, unit, line, " ".join(rest)))
    return items


def short_name(name, scope):
    """The routine's own name: without parameter list and enclosing scopes."""
    return re.sub(r"\([^()]*\)( const)?$", "", name).split(scope)[-1]


def ours(items):
    return [i for i in items if i[1] == exe]


def check_lines(case, items, failures):
    checked = 0
    for address, _module, _unit, line, function in ours(items):
        res = subprocess.run([addr2line, "-f", "-C", "-e", program, f"{address:x}"], capture_output=True, text=True).stdout.split("\n")
        fn, loc = res[0], res[1]
        tail = loc.rsplit(":", 1)[-1].split()
        want_line = int(tail[0]) if tail and tail[0].isdigit() else 0
        fn = re.sub(r"@\d+$", "", fn)  # the stdcall decoration
        if fn.startswith("Z"):  # addr2line leaves the target's extra leading underscore out
            fn = subprocess.run([cxxfilt, "__" + fn], capture_output=True, text=True).stdout.strip()
        if fn == "??" and want_line == 0 and line == 0:
            continue  # library code without line information: nothing to compare but the public name
        # Template instances: their parameter lists defeat a plain name comparison; the line decides.
        ours_short, theirs_short = short_name(function, ".").lstrip("_"), short_name(fn, "::").lstrip("_")
        same_name = "<" in fn or "<" in function or ours_short == theirs_short or ours_short == theirs_short + "()"
        if not same_name or want_line != line:
            failures.append(f"{case} {address:08x}: report {function} line {line}, addr2line {fn} {loc}")
        checked += 1
    return checked


def mask(report):
    """The report with what differs between runs and machines masked: header values other than the
    exception's, thread ids, addresses, registers, stack bytes and line numbers; lines of modules
    other than the program collapse into one."""
    keep = {"exception number", "exception class", "exception message", "executable", "Kestrum version", "compiled with"}
    # The fields that every report has, wherever it is made; the others come and go with the machine.
    always = keep | {"date/time", "computer name", "user name", "operating system", "program up time", "physical memory",
                     "free disk space", "display mode", "process id", "allocated memory", "callstack crc"}
    header, sections = parse(report)
    out = [f"{n}: {v if n in keep else '*'}" for n, v in header if n in always]
    for title, lines in sections:
        title = re.sub(r"\$[0-9a-f]+", "$*", title)
        out += ["", title]
        if title.startswith("cpu registers"):
            out += [l[:6] + "*" for l in lines]
            continue
        if title.startswith("stack dump") or title.startswith("disassembling"):
            # Stack bytes and code bytes change with every build and run; how many lines there are
            # and, in the disassembly, the instructions do not.
            out += ["*" if title.startswith("stack dump") else re.sub(r"\b(loc_)?[0-9a-f]{2,8}\b", "*", l) for l in lines]
            continue
        items = trace_lines(lines)
        if items or any(re.match(r"[0-9a-f]{8} ", l) for l in lines):
            previous = None
            for l in lines:
                if not re.match(r"[0-9a-f]{8} ", l):
                    out.append(re.sub(r"\$[0-9a-f]+", "$*", l))
                    previous = None
                    continue
                item = trace_lines([l])[0]
                if item[1] != exe:
                    if previous != "foreign":
                        out.append("* (other modules)")
                    previous = "foreign"
                    continue
                previous = None
                out.append(f"* {item[1]} {item[2]} # {item[4]}")
        else:
            out += [re.sub(r"\b[0-9a-f]{4,8}\b", "*", l) for l in lines]
    return "\n".join(out) + "\n"


failures = []
checked = 0
reports = {}
store = tempfile.mkdtemp()
atexit.register(shutil.rmtree, store, True)
subprocess.run([symbol_tool, program, store], check=True, capture_output=True)
for case, (expected, cls) in CASES.items():
    report, dump_problems = run(case)
    failures += dump_problems
    reports[case] = report
    header, sections = parse(report)
    fields = dict(header)
    if fields.get("exception class") != cls:
        failures.append(f"{case}: exception class {fields.get('exception class')}")
    crc = fields.get("callstack crc", "")
    if not re.fullmatch(r"\$[0-9a-f]{8}, \$[0-9a-f]{8}, \$[0-9a-f]{8}", crc):
        failures.append(f"{case}: callstack crc {crc!r}")
    if "will be calculated soon" in report:
        failures.append(f"{case}: a placeholder is left")
    titles = [t for t, _ in sections]
    for name in ("cpu registers:", "stack dump:", "disassembling:"):
        if name not in titles:
            failures.append(f"{case}: no section {name}")
    crashed_title, crashed_lines = sections[0]
    items = trace_lines(crashed_lines)
    names = [short_name(i[4], ".") for i in ours(items)]
    if names[: len(expected)] != expected:
        failures.append(f"{case}: expected {expected}, reported {names}\n  " + "\n  ".join(crashed_lines))
    if case == "system" and (not items or items[0][1] == exe):
        failures.append(f"{case}: the innermost line is not in the system's module: {items[:1]}")
    if case == "worker":
        at = [k for k, l in enumerate(crashed_lines) if l.startswith(">> created by ")]
        site = trace_lines(crashed_lines[at[0] + 1:]) if at else []
        if not at or not site or short_name(site[0][4], ".") != "SpawnSecond" or at[0] + 2 != len(crashed_lines):
            failures.append(f"{case}: no creator line with the call in SpawnSecond under it:\n  " + "\n  ".join(crashed_lines))
        if not re.match(r">> created by thread \$[0-9a-f]+ at:$", crashed_lines[at[0]] if at else ""):
            failures.append(f"{case}: creator line {crashed_lines[at[0]] if at else None!r}")
    if case == "noncode":
        fault = int(re.search(r"Adresse \$([0-9a-f]+)", fields.get("exception message", "$0")).group(1), 16)
        if [(i[0], i[1]) for i in items[:1]] != [(fault, "???")] or not crashed_lines[1].startswith(">> created by "):
            failures.append(f"{case}: expected the fault's line alone:\n  " + "\n  ".join(crashed_lines))
    checked += check_lines(case, items, failures)
    if case == "waiting":
        for want in WAITS:
            found = False
            for title, lines in sections[1:]:
                t = trace_lines(lines)
                got = [short_name(i[4], ".") for i in ours(t)]
                if got[: len(want)] == want:
                    found = True
                    # the creation site once, under the creator's line
                    if got.count("ButtonClick") != 1 or "ButtonClick" not in lines[-1]:
                        times = got.count("ButtonClick")
                        failures.append(f"{case}: {title} shows the creation site {times} times:\n  " + "\n  ".join(lines))
                    checked += check_lines(f"{case} {title}", t, failures)
            if not found:
                failures.append(f"{case}: no thread shows {want}\n" + report)
        marks = [t for t, _ in sections if re.fullmatch(r"thread \$[0-9a-f]+: <suspended>", t)]
        lowered = [t for t, l in sections if "WaitingDelta" in "".join(l)]
        if len(marks) != 1 or len(lowered) != 1 or not lowered[0].endswith(": <priority:-2>"):
            failures.append(f"{case}: suspended {marks}, lowered {lowered}")

# The interception's thread start calls the thread's procedure at one place; a line of it at any other
# place, or a second one, is an old return address left on the stack, not a call of the thread.
starts = set()
for case, report in reports.items():
    for title, lines in parse(report)[1]:
        end = next((k for k, l in enumerate(lines) if l.startswith(">> created by ")), len(lines))
        own = ours(trace_lines(lines[:end]))
        at = [k for k, i in enumerate(own) if short_name(i[4], ".") == "ThreadStart"]
        starts |= {own[k][0] for k in at}
        if len(at) > 1 or (at and at[0] != len(own) - 1):
            failures.append(f"{case}: {title} has a stale thread start line:\n  " + "\n  ".join(lines))
if len(starts) > 1:
    failures.append(f"thread start lines at {len(starts)} addresses: {sorted(hex(a) for a in starts)}")

golden = os.path.join(golden_dir, "report_throw.txt")
masked = mask(reports["throw"])
if os.environ.get("KELVANE_REWRITE_GOLDEN") == "1":
    with open(golden, "w") as f:
        f.write(masked)
elif not os.path.exists(golden) or open(golden).read() != masked:
    want = open(golden).read().splitlines() if os.path.exists(golden) else []
    failures.append("golden report differs:\n" + "\n".join(difflib.unified_diff(want, masked.splitlines(), golden, "report", lineterm="")))

if failures:
    sys.exit("\n".join(failures))
print(f"{len(CASES)} reports, {checked} lines agree with addr2line, golden report matches")
