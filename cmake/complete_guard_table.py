#!/usr/bin/env python3
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
keeps its size and layout; a second run changes nothing.
"""

import bisect
import re
import struct
import sys

TAG = b"GuardFidTableRm\0"
IMAGE_SCN_MEM_EXECUTE = 0x20000000
IMAGE_REL_BASED_DIR64 = 10
# Offsets in the 64-bit load configuration.
GUARD_TABLE, GUARD_COUNT, GUARD_FLAGS = 0x80, 0x88, 0x90
GUARD_STRIDE_MASK = 0xF0000000


def fail(message):
    sys.exit(f"complete_guard_table: {message}")


class Image:
    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            fail("not a PE file")
        sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
        opt = pe + 24
        if struct.unpack_from("<H", data, opt)[0] != 0x20B:
            fail("not a 64-bit image")
        self.base = struct.unpack_from("<Q", data, opt + 24)[0]
        self.directories = [struct.unpack_from("<II", data, opt + 112 + 8 * i) for i in range(16)]
        self.sections = []
        for i in range(sections):
            s = opt + optional_size + 40 * i
            name = data[s:s + 8].rstrip(b"\0").decode()
            vsize, va, raw_size, raw = struct.unpack_from("<IIII", data, s + 8)
            flags = struct.unpack_from("<I", data, s + 36)[0]
            self.sections.append((name, va, max(vsize, raw_size), raw, raw_size, flags))

    def section_of(self, rva):
        for s in self.sections:
            if s[1] <= rva < s[1] + s[2]:
                return s
        return None

    def offset(self, rva):
        s = self.section_of(rva)
        if s is None or rva - s[1] >= s[4]:
            fail(f"RVA {rva:#x} is not in the file")
        return s[3] + rva - s[1]

    def executable(self, rva):
        s = self.section_of(rva)
        return s is not None and s[5] & IMAGE_SCN_MEM_EXECUTE != 0

    def relocated_code_addresses(self):
        rva, size = self.directories[5]
        found = set()
        at = self.offset(rva) if size else 0
        end = at + size
        while at < end:
            page, block = struct.unpack_from("<II", self.data, at)
            for i in range((block - 8) // 2):
                entry = struct.unpack_from("<H", self.data, at + 8 + 2 * i)[0]
                if entry >> 12 == IMAGE_REL_BASED_DIR64:
                    value = struct.unpack_from("<Q", self.data, self.offset(page + (entry & 0xFFF)))[0]
                    target = value - self.base
                    if 0 <= target < 1 << 32 and self.executable(target):
                        found.add(target)
            at += block
        return found

    def function_starts(self):
        rva, size = self.directories[3]
        at = self.offset(rva) if size else 0
        return {struct.unpack_from("<I", self.data, at + 12 * i)[0] for i in range(size // 12)}


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
    data = bytearray(open(path, "rb").read())
    image = Image(data)
    config_rva, config_size = image.directories[10]
    if config_size == 0:
        fail(f"{path} has no load configuration")
    config = image.offset(config_rva)
    if struct.unpack_from("<I", data, config)[0] < GUARD_FLAGS + 4:
        fail(f"{path}: its load configuration has no guard fields")
    table_va, count = struct.unpack_from("<QQ", data, config + GUARD_TABLE)
    flags = struct.unpack_from("<I", data, config + GUARD_FLAGS)[0]
    if flags & GUARD_STRIDE_MASK:
        fail(f"{path}: table entries with extra bytes (guard flags {flags:#x}) are not handled")
    table = image.offset(table_va - image.base) if count else 0
    entries = {struct.unpack_from("<I", data, table + 4 * i)[0] for i in range(count)}

    addresses, prebuilt = prebuilt_ranges(map_path)
    if not addresses:
        fail(f"{map_path} lists no symbols")
    wanted = set(entries) | image.relocated_code_addresses()
    for start in image.function_starts():
        i = bisect.bisect_right(addresses, start) - 1
        if i >= 0 and prebuilt[i]:
            wanted.add(start)

    room = data.find(TAG)
    if room < 0 or data.find(TAG, room + 1) >= 0:
        fail(f"{path}: {'no' if room < 0 else 'more than one'} room for the table")
    capacity = struct.unpack_from("<I", data, room + len(TAG))[0]
    if len(wanted) > capacity:
        fail(f"{path}: {len(wanted)} valid call targets, room for {capacity}")
    first = room + 32
    room_rva = next(s[1] + first - s[3] for s in image.sections
                    if s[3] <= first < s[3] + s[4])
    new = sorted(wanted)
    struct.pack_into(f"<{len(new)}I", data, first, *new)
    struct.pack_into("<QQ", data, config + GUARD_TABLE, image.base + room_rva, len(new))
    open(path, "wb").write(data)
    print(f"complete_guard_table: {path}: {len(new)} valid call targets "
          f"({count} from the link, {len(new) - len(entries)} added)")


if __name__ == "__main__":
    main()
