#!/usr/bin/env python3
"""Facts about a 64-bit PE binary that scripts/check-binaries.sh checks, read
from the file's own bytes (the PE format's published layout) and from
llvm-readobj's listing of the base relocations and the guard table.

  binary_facts.py symbol-key BINARY
      "<PDB file name> <key>" from the binary's CodeView (RSDS) record, the
      key as a symbol store files the PDB: the GUID's 32 hex digits in
      upper case (Data1, Data2, Data3 as numbers, then the 8 bytes of
      Data4) followed by the age in hex.
  binary_facts.py guard BINARY READOBJ
      one line per code address the binary keeps in relocated data or
      exports that is not in its table of valid call targets ("unlisted
      RVA"), "unsorted" when the table is not in strictly ascending order,
      "not-code RVA" for an entry outside the executable sections, and
      "writable SECTION" when the guard's check or dispatch pointer lies in a
      writable section.
"""

import re
import struct
import subprocess
import sys

IMAGE_SCN_MEM_EXECUTE = 0x20000000
IMAGE_SCN_MEM_WRITE = 0x80000000
IMAGE_DEBUG_TYPE_CODEVIEW = 2


class Image:
    def __init__(self, path):
        self.data = open(path, "rb").read()
        pe = struct.unpack_from("<I", self.data, 0x3C)[0]
        count, optional_size = struct.unpack_from("<H12xH", self.data, pe + 6)
        opt = pe + 24
        self.base = struct.unpack_from("<Q", self.data, opt + 24)[0]
        self.directories = [struct.unpack_from("<II", self.data, opt + 112 + 8 * i)
                            for i in range(16)]
        self.sections = []
        for i in range(count):
            s = opt + optional_size + 40 * i
            name = self.data[s:s + 8].rstrip(b"\0").decode()
            vsize, va, raw_size, raw = struct.unpack_from("<IIII", self.data, s + 8)
            flags = struct.unpack_from("<I", self.data, s + 36)[0]
            self.sections.append((name, va, max(vsize, raw_size), raw, flags))

    def section_of(self, rva):
        return next((s for s in self.sections if s[1] <= rva < s[1] + s[2]), None)

    def offset(self, rva):
        s = self.section_of(rva)
        return s[3] + rva - s[1]

    def qword(self, rva):
        return struct.unpack_from("<Q", self.data, self.offset(rva))[0]


def symbol_key(path):
    image = Image(path)
    rva, size = image.directories[6]
    for i in range(size // 28):
        entry = image.offset(rva) + 28 * i
        kind, length, _, raw = struct.unpack_from("<IIII", image.data, entry + 12)
        record = image.data[raw:raw + length]
        if kind != IMAGE_DEBUG_TYPE_CODEVIEW or record[:4] != b"RSDS":
            continue
        data1, data2, data3 = struct.unpack_from("<IHH", record, 4)
        data4 = record[12:20]
        age = struct.unpack_from("<I", record, 20)[0]
        name = record[24:].split(b"\0", 1)[0].decode()
        key = f"{data1:08X}{data2:04X}{data3:04X}{data4.hex().upper()}{age:X}"
        print(name.replace("\\", "/").rsplit("/", 1)[-1], key)
        return
    sys.exit(f"binary_facts: {path} has no CodeView (RSDS) record")


def guard(path, readobj):
    image = Image(path)
    listing = subprocess.run([readobj, "--coff-basereloc", "--coff-load-config", path],
                             check=True, capture_output=True, text=True).stdout
    table = re.search(r"GuardFidTable \[\n(.*?)\n\s*\]", listing, re.S)
    listed = [int(v, 16) - image.base for v in re.findall(r"0x[0-9A-F]+", table.group(1))] \
        if table else []
    valid = set(listed)
    # The loader searches the table: it must be in ascending order, each
    # entry once, and name only code.
    if any(a >= b for a, b in zip(listed, listed[1:])):
        print("unsorted")
    for target in listed:
        s = image.section_of(target)
        if not (s and s[4] & IMAGE_SCN_MEM_EXECUTE):
            print(f"not-code {target:#x}")
    for place in re.findall(r"Type: DIR64\s+Address: (0x[0-9A-F]+)", listing):
        target = image.qword(int(place, 16)) - image.base
        s = image.section_of(target) if 0 <= target < 1 << 32 else None
        if s and s[4] & IMAGE_SCN_MEM_EXECUTE and target not in valid:
            print(f"unlisted {target:#x}")
    exports_rva, exports_size = image.directories[0]
    if exports_size:
        count, functions = struct.unpack_from("<I4xI", image.data, image.offset(exports_rva) + 20)
        for i in range(count):
            target = struct.unpack_from("<I", image.data, image.offset(functions) + 4 * i)[0]
            s = image.section_of(target)
            if s and s[4] & IMAGE_SCN_MEM_EXECUTE and target not in valid:
                print(f"unlisted {target:#x} (export)")
    for field in ("GuardCFCheckFunction", "GuardCFCheckDispatch"):
        m = re.search(rf"{field}: (0x[0-9A-F]+)", listing)
        s = image.section_of(int(m.group(1), 16) - image.base) if m else None
        if s and s[4] & IMAGE_SCN_MEM_WRITE:
            print(f"writable {s[0]}")


if __name__ == "__main__":
    if len(sys.argv) >= 3 and sys.argv[1] == "symbol-key":
        symbol_key(sys.argv[2])
    elif len(sys.argv) == 4 and sys.argv[1] == "guard":
        guard(sys.argv[2], sys.argv[3])
    else:
        sys.exit(__doc__)
