#!/usr/bin/python3
"""Analyses every function of the program as it is built and checks the analyses against its symbols.

Every function of our own code (its symbol's source lies in the source tree) must analyse as valid
and stay inside its own symbol's range: no tail jump, switch table or cold part may make the
analysis take in another function or miss its own code. Functions of the libraries linked in
(C++ and C run-times, built with other code-shape options) are only counted.

usage: KorbProductFunctions.py ANALYSEDUMP SOURCEDIR PROGRAM-WITH-SYMBOLS
"""
import os
import subprocess
import sys

NM = "i686-w64-mingw32-nm"
NO_RETURN = {"___wrap___cxa_throw", "___cxa_throw", "___real___cxa_throw", "___cxa_rethrow", "__Unwind_Resume", "_abort",
             "__ZSt9terminatev", "___cxa_bad_cast", "___cxa_bad_typeid", "___cxa_throw_bad_array_new_length", "_exit", "__exit",
             "___wrap___cxa_pure_virtual", "___cxa_pure_virtual", "___cxa_deleted_virtual", "__assert", "__wassert"}


def symbols(program, source_dir):
    out = subprocess.run([NM, "-l", "--defined-only", "-n", program], check=True, capture_output=True, text=True).stdout
    text = []
    for line in out.splitlines():
        parts = line.split(None, 3)
        if len(parts) < 3 or parts[1] not in ("T", "t"):
            continue
        name = parts[2].split("\t")[0]
        where = line.split("\t")[1] if "\t" in line else ""
        text.append((int(parts[0], 16), name, where.startswith(source_dir)))
    return text


def main():
    dump, source_dir, program = sys.argv[1:4]
    if not os.path.exists(program):
        print("cannot run, not built:", program)
        return 1
    syms = symbols(program, os.path.realpath(source_dir) + "/")
    functions = []
    for i, (addr, name, own) in enumerate(syms):
        if name.startswith("."):
            continue
        end = next((a for a, _, _ in syms[i + 1:] if a > addr), addr + 1)
        functions.append((addr, end, name, own))
    # The routines that never return, as the stack tracer names them to the analyser.
    no_return = [f"{a:x}" for a, name, _ in syms if name in NO_RETURN or "__throw_" in name]
    entries = "".join(f"{a:x}\n" for a, _, _, _ in functions)
    result = subprocess.run([dump, program] + no_return, input=entries, check=True, capture_output=True, text=True).stdout.split("\n")
    counts = {True: [0, 0, 0], False: [0, 0, 0]}  # analysed, invalid, outside its range
    faults = []
    for (addr, end, name, own), line in zip(functions, result):
        _, valid, begin, length, _, _ = line.split()
        begin, length = int(begin, 16), int(length)
        counts[own][0] += 1
        if valid != "1":
            counts[own][1] += 1
            if own:
                faults.append(f"{name} at {addr:08x}: invalid analysis")
        elif begin < addr or begin + length > end:
            counts[own][2] += 1
            if own:
                faults.append(f"{name} at {addr:08x}..{end:08x}: analysed as {begin:08x}..{begin + length:08x}")
    for own, (n, invalid, outside) in counts.items():
        print(f"{'own code' if own else 'libraries'}: {n} functions, {invalid} invalid, {outside} reaching outside their symbol")
    for f in faults[:40]:
        print("  FAULT", f)
    return 1 if faults or counts[True][0] == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
