#!/usr/bin/python3
"""Completes the table of valid call targets of a binary linked with Control
Flow Guard (hardening/guard_fids_spare.cpp says why).

  complete_guard_table.py BINARY MAP

The new table holds, sorted and once each:
  - the entries lld wrote;
  - every address inside an executable section that the binary keeps in
    relocated data (vtables, TLS callbacks, tables of function pointers);
  - the start of every function with unwind information (.pdata) that comes
    from a prebuilt library or object, by the nearest symbol at or before it
    in MAP (lld's map in the format of Microsoft's linker, --Xlink=-map:).
It is written into the binary's room for it, and the load configuration's
GuardCFFunctionTable and GuardCFFunctionCount are pointed to it. The binary
keeps its size and layout; a second run changes nothing. The binary is read
and written with pefile (python3-pefile).
"""

import bisect
import re
import struct
import sys

import pefile

TAG = b"GuardFidTableRm\0"
EXECUTE = pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_EXECUTE"]
DIR64 = pefile.RELOCATION_TYPE["IMAGE_REL_BASED_DIR64"]
GUARD_STRIDE_MASK = 0xF0000000


def fail(message):
    sys.exit(f"complete_guard_table: {message}")


def relocated_code_addresses(pe, executable):
    found = set()
    for block in getattr(pe, "DIRECTORY_ENTRY_BASERELOC", []):
        for entry in block.entries:
            if entry.type == DIR64:
                target = pe.get_qword_at_rva(entry.rva) - pe.OPTIONAL_HEADER.ImageBase
                if 0 <= target < 1 << 32 and executable(target):
                    found.add(target)
    return found


def prebuilt_ranges(map_path):
    """(sorted symbol RVAs, is-prebuilt flags) from the map's symbol lines."""
    symbols = []
    pattern = re.compile(r"^ [0-9a-f]{4}:[0-9a-f]{8} +\S+ +([0-9a-f]{16}) +(?:[fi] +)?(.+)$")
    base = None
    for line in open(map_path, encoding="utf-8", errors="replace"):
        m = re.match(r"^ Preferred load address is ([0-9a-f]+)", line)
        if m:
            base = int(m.group(1), 16)
        m = pattern.match(line.rstrip("\n"))
        if m and base is not None:
            origin = m.group(2).strip()
            if origin.startswith("<") or origin.startswith("internal "):
                continue
            member = origin.split(":", 1)[-1]
            symbols.append((int(m.group(1), 16) - base, not member.endswith(".obj")))
    symbols.sort()
    return [s[0] for s in symbols], [s[1] for s in symbols]


def main():
    if len(sys.argv) != 3:
        fail("usage: complete_guard_table.py BINARY MAP")
    path, map_path = sys.argv[1:]
    try:
        pe = pefile.PE(data=open(path, "rb").read())
    except pefile.PEFormatError as e:
        fail(f"{path}: {e}")
    if pe.OPTIONAL_HEADER.Magic != pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS:
        fail(f"{path}: not a 64-bit image")
    config = getattr(pe, "DIRECTORY_ENTRY_LOAD_CONFIG", None)
    if config is None or getattr(config.struct, "GuardFlags", None) is None:
        fail(f"{path} has no load configuration with guard fields")
    config = config.struct
    if config.GuardFlags & GUARD_STRIDE_MASK:
        fail(f"{path}: table entries with extra bytes (guard flags {config.GuardFlags:#x}) "
             "are not handled")
    base = pe.OPTIONAL_HEADER.ImageBase
    count = config.GuardCFFunctionCount
    entries = set(struct.unpack(f"<{count}I", pe.get_data(config.GuardCFFunctionTable - base,
                                                          4 * count))) if count else set()

    def executable(rva):
        s = pe.get_section_by_rva(rva)
        return s is not None and s.Characteristics & EXECUTE != 0

    addresses, prebuilt = prebuilt_ranges(map_path)
    if not addresses:
        fail(f"{map_path} lists no symbols")
    wanted = entries | relocated_code_addresses(pe, executable)
    for function in getattr(pe, "DIRECTORY_ENTRY_EXCEPTION", []):
        start = function.struct.BeginAddress
        i = bisect.bisect_right(addresses, start) - 1
        if i >= 0 and prebuilt[i]:
            wanted.add(start)

    data = pe.__data__
    room = data.find(TAG)
    if room < 0 or data.find(TAG, room + 1) >= 0:
        fail(f"{path}: {'no' if room < 0 else 'more than one'} room for the table")
    capacity = struct.unpack_from("<I", data, room + len(TAG))[0]
    if len(wanted) > capacity:
        fail(f"{path}: {len(wanted)} valid call targets, room for {capacity}")
    first = room + 32
    new = sorted(wanted)
    pe.set_bytes_at_offset(first, struct.pack(f"<{len(new)}I", *new))
    config.GuardCFFunctionTable = base + pe.get_rva_from_offset(first)
    config.GuardCFFunctionCount = len(new)
    pe.write(path)
    print(f"complete_guard_table: {path}: {len(new)} valid call targets "
          f"({count} from the link, {len(new) - len(entries)} added)")


if __name__ == "__main__":
    main()
