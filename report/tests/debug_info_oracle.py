#!/usr/bin/python3
"""The program's embedded debug information against binutils, on the real product build.

  debug_info_oracle.py BIN_DIR FIRST_LINK KORB_DESCRIBE ADDR2LINE OBJDUMP CXXFILT NM

- The code sections of the first link (which the container was built from), of Kelvane-debug.exe
  and of the shipped Kelvane.exe are byte for byte the same.
- Kelvane.exe's PE checksum is valid (the start-up file check relies on it), it carries neither a
  COFF symbol table nor debug sections, its resources are Kelvane-debug.exe's byte for byte, and no
  linker map lies beside it.
- Random code addresses (and the inlined code among them) give through KorbDescribe, from the
  container in Kelvane.exe, the function and line that addr2line gives from Kelvane-debug.exe's DWARF.
  Inlined code: the container names the out-of-line function that holds the code (the outermost
  frame of addr2line -i) and the line of the line table (addr2line's innermost frame). A function
  with several symbols (aliases) may be named by any of them.
"""
import os
import random
import re
import struct
import subprocess
import sys

SAMPLES = 1500
MIN_COMPARED = 300


def sections(path):
    data = open(path, "rb").read()
    nt = struct.unpack_from("<I", data, 0x3C)[0]
    count = struct.unpack_from("<H", data, nt + 6)[0]
    optional_size = struct.unpack_from("<H", data, nt + 20)[0]
    table = nt + 24 + optional_size
    result = []
    for i in range(count):
        name, vsize, va, rawsize, rawptr = struct.unpack_from("<8sIIII", data, table + 40 * i)
        flags = struct.unpack_from("<I", data, table + 40 * i + 36)[0]
        result.append((name.rstrip(b"\0").decode(), va, vsize, flags, data[rawptr:rawptr + min(vsize, rawsize)]))
    return data, nt, result


def section_names(data, nt):
    """Section names, the long ones ("/N") read from the string table behind the symbol table."""
    count = struct.unpack_from("<H", data, nt + 6)[0]
    strings = struct.unpack_from("<I", data, nt + 12)[0] + 18 * struct.unpack_from("<I", data, nt + 16)[0]
    table = nt + 24 + struct.unpack_from("<H", data, nt + 20)[0]
    names = []
    for i in range(count):
        raw = data[table + 40 * i:table + 40 * i + 8].rstrip(b"\0").decode("latin-1")
        if raw.startswith("/") and strings:
            at = strings + int(raw[1:])
            raw = data[at:data.index(b"\0", at)].decode("latin-1")
        names.append(raw)
    return names


def pe_checksum(data, field):
    total = 0
    padded = data + (b"\0" if len(data) % 2 else b"")
    for (word,) in struct.iter_unpack("<H", padded):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    # The field itself counts as 0.
    for (word,) in struct.iter_unpack("<H", data[field:field + 4]):
        total -= word
        if total < 0:
            total += 0xFFFF
    total = (total & 0xFFFF) + (total >> 16)
    return (total & 0xFFFF) + len(data)


def normalise(name, limit=255):
    name = name.replace("::", ".")[:limit]
    return name.lstrip("_")


def last_scope_dot(name):
    """Where the last "." outside brackets lies in a name (-1: none)."""
    depth, last = 0, -1
    for i, c in enumerate(name):
        if c in "<({":
            depth += 1
        elif c in ">)}":
            depth -= 1
        elif c == "." and depth == 0:
            last = i
    return last


def short_name(name):
    """The function's own identifier, without scope, parameters and template arguments: what
    addr2line prints for a function whose DWARF entry has no linkage name."""
    if name.endswith(" const"):
        name = name[:-6]
    if name.endswith(")"):
        depth = 0
        for i in range(len(name) - 1, -1, -1):
            depth += name[i] == ")"
            depth -= name[i] == "("
            if depth == 0:
                name = name[:i]
                break
    return name[last_scope_dot(name) + 1:].split("<")[0].lstrip("_")


def scope_of(name):
    """The class or namespace a function name lies in. An inheriting constructor's DWARF name is
    the class that inherits it, while its demangled name ends in the base's constructor
    ("std.__uniq_ptr_data<...>.__uniq_ptr_impl(_iobuf*)" against "__uniq_ptr_data")."""
    last = last_scope_dot(name)
    return name[:last] if last > 0 else ""


def main():
    bin_dir, first_link, describe, addr2line, objdump, cxxfilt, nm = sys.argv[1:8]
    product = os.path.join(bin_dir, "Kelvane.exe")
    debug = os.path.join(bin_dir, "Kelvane-debug.exe")
    failures = []

    # Code sections of the two links.
    first_data, _, first_sections = sections(first_link)
    code = {s[0]: s for s in first_sections if s[3] & 0x20}
    if not code:
        failures.append("the first link has no code section")
    for other in (debug, product):
        _, _, other_sections = sections(other)
        other_code = {s[0]: s for s in other_sections if s[3] & 0x20}
        if other_code.keys() != code.keys():
            failures.append(f"{other}: code sections {sorted(other_code)} differ from {sorted(code)}")
        for name, section in code.items():
            if name in other_code and other_code[name][1:] != section[1:]:
                failures.append(f"{other}: section {name} differs from the first link")

    # Checksum and no map beside the program.
    data, nt, _ = sections(product)
    field = nt + 24 + 64
    stored = struct.unpack_from("<I", data, field)[0]
    if stored == 0 or stored != pe_checksum(data, field):
        failures.append(f"Kelvane.exe checksum {stored:#x}, computed {pe_checksum(data, field):#x}")
    symbols = struct.unpack_from("<I", data, nt + 16)[0]
    if symbols:
        failures.append(f"Kelvane.exe carries a symbol table of {symbols} symbols")
    names = section_names(data, nt)
    debug_sections = [n for n in names if n.startswith(".debug") or n.startswith(".zdebug")]
    if debug_sections:
        failures.append(f"Kelvane.exe carries debug sections {debug_sections}")
    resources = {s[0]: s for s in sections(debug)[2]}.get(".rsrc")
    shipped = {s[0]: s for s in sections(product)[2]}.get(".rsrc")
    if resources is None or shipped is None or resources[1:] != shipped[1:]:
        failures.append("Kelvane.exe's resources differ from Kelvane-debug.exe's")
    for leftover in ("Kelvane.map", "Kelvane-debug.map"):
        if os.path.exists(os.path.join(bin_dir, leftover)):
            failures.append(f"{leftover} lies beside the program")

    # Addresses: random ones over the code, and every one where the line table is inside inlined code.
    text = code[".text"]
    image_base = struct.unpack_from("<I", first_data, struct.unpack_from("<I", first_data, 0x3C)[0] + 24 + 28)[0]
    start, end = image_base + text[1], image_base + text[1] + text[2]
    rng = random.Random(int(os.environ.get("KORB_ORACLE_SEED", "12")))
    addresses = sorted({rng.randrange(start, end) for _ in range(SAMPLES)})
    decoded = subprocess.run([objdump, "--dwarf=decodedline", debug], capture_output=True, text=True, check=True).stdout
    inlined = set()
    for match in re.finditer(r"^intrin-impl\.h\s+\d+\s+0x([0-9a-f]+)", decoded, re.M):
        value = int(match.group(1), 16)
        if start <= value < end:
            inlined.add(value)
    addresses = sorted(set(addresses) | inlined)

    # addr2line -a -f -i: the address, then function and file:line pairs, innermost first.
    out = subprocess.run([addr2line, "-a", "-f", "-i", "-e", debug], input="\n".join(f"{a:x}" for a in addresses),
                         capture_output=True, text=True, check=True).stdout.splitlines()
    frames = {}
    current = None
    i = 0
    while i < len(out):
        if re.fullmatch(r"0x[0-9a-f]+", out[i]):
            current = int(out[i], 16)
            frames[current] = []
            i += 1
            continue
        function, location = out[i], out[i + 1]
        line = location.rsplit(":", 1)[1].split()[0]
        frames[current].append((function, int(line) if line.isdigit() else 0))
        i += 2
    # Linkage names, with or without the PE symbol prefix's underscore; demangled here.
    mangled = sorted({f for chain in frames.values() for f, _ in chain if f.lstrip("_").startswith("Z")})
    # A stdcall linkage name carries the "@bytes" of its symbol.
    demangled = subprocess.run([cxxfilt, "--no-strip-underscore"],
                               input="\n".join("_" + re.sub(r"@\d+$", "", m.lstrip("_")) for m in mangled),
                               capture_output=True, text=True, check=True).stdout.splitlines()
    readable = dict(zip(mangled, demangled))

    # Every code symbol's plain name by address, for functions known by several names.
    aliases = {}
    for row in subprocess.run([nm, debug], capture_output=True, text=True, check=True).stdout.splitlines():
        match = re.fullmatch(r"([0-9a-f]{8}) [Tt] _?(.+)", row)
        if match:
            aliases.setdefault(int(match.group(1), 16), set()).add(re.sub(r"@\d+$", "", match.group(2)).lstrip("_").split(".")[0])

    ours = {}
    result = subprocess.run([describe, product], input="\n".join(f"{a:x}" for a in addresses), capture_output=True, text=True)
    if result.returncode != 0:
        failures.append(f"KorbDescribe failed: {result.stderr.strip()}")
    for row in result.stdout.splitlines():
        address, module, unit, function, line, start = row.split("\t")
        ours[int(address, 16)] = (module, unit, function, int(line), int(start, 16))

    compared = templates = inline_chains = cut = 0
    mismatches = []
    for address in addresses:
        chain = frames.get(address, [])
        if not chain or chain[-1][0] == "??":
            continue  # addr2line knows no function here (padding, code without DWARF)
        outer = readable.get(chain[-1][0])
        got = ours.get(address)
        if got is not None and len(got[2]) == 255 and outer is None:
            cut += 1  # a name cut at the format's 255 characters cannot be told from its plain DWARF name
            if got[3] != chain[0][1]:
                mismatches.append(f"{address:08x}: ours {got}, addr2line line {chain[0][1]}")
            continue
        compared += 1
        if outer is not None:  # a linkage name: the whole demangled name must match
            expected = (normalise(outer), chain[0][1])
            same = got is not None and (normalise(got[2]), got[3]) == expected
        else:  # DWARF's plain name: the function's own identifier must match
            outer = chain[-1][0]
            outer = re.sub(r"@\d+$", "", outer)
            expected = (outer.split("<")[0].lstrip("_"), chain[0][1])
            same = got is not None and got[3] == expected[1] and (
                short_name(got[2]) == expected[0] or expected[0] in aliases.get(got[4], set()) or
                short_name(scope_of(got[2])) == expected[0])
        if not same or got[0] != "Kelvane.exe":
            mismatches.append(f"{address:08x}: ours {got}, addr2line {expected}")
        if "<" in outer:
            templates += 1
        if len(chain) > 1:
            inline_chains += 1

    print(f"compared {compared} addresses ({templates} in template instantiations, {inline_chains} in inlined code), "
          f"{cut} more by line only (names cut at 255 characters), {len(mismatches)} differ")
    for m in mismatches[:30]:
        print("  " + m)
    if mismatches:
        failures.append(f"{len(mismatches)} of {compared} addresses differ")
    if compared < MIN_COMPARED or templates == 0 or inline_chains == 0:
        failures.append(f"too few addresses compared: {compared}, templates {templates}, inlined {inline_chains}")
    for f in failures:
        print("FAIL: " + f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
