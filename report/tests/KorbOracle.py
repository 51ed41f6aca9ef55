#!/usr/bin/python3
"""Compares the decoder with two independent disassemblers (capstone and the cross objdump).

For every instruction start on which both oracles agree (both decode it with the same length and
the same call/jump kind, or both reject it), the decoder must give the same length, validity,
kind and relative target. Where it differs in a known class (an encoding family the decoder
leaves undefined on purpose), the case is listed by class and not counted as a pass; any other
difference fails.

usage: KorbOracle.py DUMPTOOL [--random-mb N] FILE...
  FILE is a PE image (its first code section is compared) or raw:PATH@BASE.
"""
import os
import random
import re
import struct
import subprocess
import sys
import tempfile
from collections import Counter

import capstone

OBJDUMP = "i686-w64-mingw32-objdump"


def code_section(path):
    data = open(path, "rb").read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    sections, optional_size = struct.unpack_from("<H", data, pe + 6)[0], struct.unpack_from("<H", data, pe + 20)[0]
    image_base = struct.unpack_from("<I", data, pe + 24 + 28)[0]
    table = pe + 24 + optional_size
    for i in range(sections):
        vsize, rva, raw_size, raw_ptr = struct.unpack_from("<IIII", data, table + 40 * i + 8)
        characteristics = struct.unpack_from("<I", data, table + 40 * i + 36)[0]
        if characteristics & 0x20:
            return data[raw_ptr:raw_ptr + min(vsize, raw_size)], image_base + rva
    raise SystemExit(f"{path}: no code section")


PREFIXES = {"rep", "repz", "repnz", "repe", "repne", "lock", "bnd", "notrack", "data16", "data32", "addr16", "addr32",
            "cs", "ds", "ss", "es", "fs", "gs", "xacquire", "xrelease"}


def kind_of(text):
    words = [w for w in text.replace(",", " ").split() if w not in PREFIXES]
    m = words[0] if words else ""
    if m in ("call", "lcall", "calll", "callw"):
        return 1
    if m.startswith("j") or m.startswith("loop") or m in ("ljmp",):
        return 2
    return 0


def capstone_sweep(code, base):
    md = capstone.Cs(capstone.CS_ARCH_X86, capstone.CS_MODE_32)
    out = {}
    offset = 0
    while offset < len(code):
        progressed = False
        for address, size, mnemonic, op_str in md.disasm_lite(code[offset:], base + offset):
            out[address - base] = (size, mnemonic, op_str)
            offset = address - base + size
            progressed = True
        if offset < len(code):
            if progressed and offset in out:
                continue
            out[offset] = (0, "(bad)", "")
            offset += 1
    return out


LINE = re.compile(r"^\s*([0-9a-f]+):\t([0-9a-f ]+)\t(.*)$")


def objdump_sweep(path, base, length):
    text = subprocess.run([OBJDUMP, "-D", "-b", "binary", "-m", "i386", "-M", "intel", "--insn-width=16",
                           f"--adjust-vma={base:#x}", path], check=True, capture_output=True, text=True).stdout
    out = {}
    for line in text.splitlines():
        m = LINE.match(line)
        if not m:
            continue
        offset = int(m.group(1), 16) - base
        size = len(m.group(2).split())
        mnemonic = m.group(3).strip()
        if "(bad)" in mnemonic or mnemonic.startswith(".byte"):
            out[offset] = (0, "(bad)", "")
        else:
            last = mnemonic.split()[-1]
            out[offset] = (size, mnemonic, last if last.startswith("0x") else "")
    return out


def prefix_bytes(code, i):
    n = 0
    while i + n < len(code) and code[i + n] in (0x26, 0x2E, 0x36, 0x3E, 0x64, 0x65, 0x66, 0x67, 0xF0, 0xF2, 0xF3) and n < 15:
        n += 1
    return n


def classify(code, i):
    """The known class of a difference at offset i, or None."""
    p = prefix_bytes(code, i)
    if i + p + 1 >= len(code):
        return "instruction at the end of the bytes"
    op, nxt = code[i + p], code[i + p + 1]
    prefixes = code[i:i + p]
    if op in (0xC4, 0xC5, 0x62) and nxt >= 0xC0:
        return "VEX/EVEX-encoded AVX instruction (not decoded)"
    if op == 0x8F and (nxt >> 3) & 7:
        return "XOP-encoded instruction (not decoded)"
    if op == 0x0F and nxt == 0x0F:
        return "3DNow! instruction (not decoded)"
    if op == 0x0F and nxt in (0x38, 0x3A):
        return "three-byte opcode outside SSSE3/SSE4.1/AES"
    if op in range(0xD8, 0xE0) and (nxt >> 6) == 3:
        return "undocumented x87 register form"
    if len(set(b for b in prefixes if b in (0xF2, 0xF3, 0x66))) > 1 or len(prefixes) != len(set(prefixes)):
        return "conflicting or repeated prefixes"
    if op == 0x0F and p and any(b in (0x66, 0xF2, 0xF3) for b in prefixes):
        return "mandatory-prefix form outside the tables"
    if op == 0x0F:
        return f"two-byte opcode 0f {nxt:02x}"
    return f"one-byte opcode {op:02x}"


def oracle_class(code, i):
    """The class of a place where the two oracles disagree."""
    p = prefix_bytes(code, i)
    prefixes = code[i:i + p]
    if 0xF0 in prefixes:
        return "lock prefix (capstone rejects it on some instructions, objdump shows it everywhere)"
    if i + p < len(code) and code[i + p] == 0x9B:
        return "wait in front of an x87 instruction (objdump shows both as one)"
    return classify(code, i)


def compare(name, code, base, dumptool, classes, oracle_classes, totals):
    with tempfile.TemporaryDirectory() as tmp:
        raw = os.path.join(tmp, "code.bin")
        dump = os.path.join(tmp, "dump.bin")
        open(raw, "wb").write(code)
        subprocess.run([dumptool, raw, hex(base), dump], check=True)
        mine = open(dump, "rb").read()
        cs = capstone_sweep(code, base)
        od = objdump_sweep(raw, base, len(code))
    agreed = passed = oracle_disagree = 0
    failures = []
    for offset, (cs_size, cs_mn, cs_ops) in cs.items():
        if offset not in od:
            continue
        od_size, od_mn, od_target = od[offset]
        if cs_size != od_size or kind_of(cs_mn) != kind_of(od_mn):
            oracle_disagree += 1
            length = mine[offset * 6]
            side = "ours as capstone" if length == cs_size else "ours as objdump" if length == od_size else "ours as neither"
            oracle_classes[(oracle_class(code, offset), side)] += 1
            continue
        agreed += 1
        length, kind, target = struct.unpack_from("<BBI", mine, offset * 6)
        ok = length == cs_size
        if ok and cs_size:
            want_kind = kind_of(cs_mn)
            mine_kind = 1 if kind & 1 else 2 if kind & 2 else 0
            ok = mine_kind == want_kind
            if ok and kind & 4 and cs_ops.startswith("0x") and od_target and int(od_target, 16) == int(cs_ops, 16):
                ok = target == int(cs_ops, 16) & 0xFFFFFFFF
        if ok:
            passed += 1
            continue
        cls = classify(code, offset)
        if length == cs_size and 0x66 in code[offset:offset + prefix_bytes(code, offset)]:
            cls = "relative target with operand size 16 (the processor cuts it to 16 bits, the oracles do not)"
        known = not (cls.startswith("one-byte") or cls.startswith("two-byte"))
        classes[(cls, known)] += 1
        if not known:
            failures.append((offset, cls, code[offset:offset + 12].hex(" "), cs_size, cs_mn, cs_ops, od_mn, length))
    totals.append((name, agreed, passed, oracle_disagree))
    return failures


def main():
    args = sys.argv[1:]
    dumptool = args.pop(0)
    random_mb = 0
    if args and args[0] == "--random-mb":
        random_mb = int(args[1])
        args = args[2:]
    inputs = []
    missing = [a for a in args if not a.startswith("raw:") and not os.path.exists(a)]
    if missing:
        print("cannot run, not built or not installed:", " ".join(missing))
        return 1
    for a in args:
        if a.startswith("raw:"):
            path, base = a[4:].rsplit("@", 1)
            inputs.append((os.path.basename(path), open(path, "rb").read(), int(base, 0)))
        else:
            code, base = code_section(a)
            inputs.append((os.path.basename(a), code, base))
    if random_mb:
        rng = random.Random(20261210)
        inputs.append((f"random {random_mb} MB", bytes(rng.getrandbits(8) for _ in range(random_mb << 20)), 0x10000000))
    classes, oracle_classes, totals, failures = Counter(), Counter(), [], []
    for name, code, base in inputs:
        failures += [(name,) + f for f in compare(name, code, base, dumptool, classes, oracle_classes, totals)]
    for name, agreed, passed, oracle_disagree in totals:
        print(f"{name}: {agreed} starts where the oracles agree, {passed} match; {oracle_disagree} starts where they disagree")
    for (cls, known), count in sorted(classes.items(), key=lambda kv: -kv[1]):
        print(f"  {'known' if known else 'FAULT'} {count:8d}  {cls}")
    print("where the oracles disagree (length or kind), by class:")
    for (cls, side), count in sorted(oracle_classes.items(), key=lambda kv: -kv[1])[:25]:
        print(f"  {count:8d}  {cls}: {side}")
    for f in failures[:40]:
        print("  mismatch", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
