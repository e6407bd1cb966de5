#!/usr/bin/python3
"""Facts about a 64-bit PE binary that scripts/check-binaries.sh checks, read
with pefile (python3-pefile) and from llvm-readobj's listing of the base
relocations and the guard table.

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
  binary_facts.py version BINARY
      the file version of its version resource, as four numbers.
"""

import re
import subprocess
import sys

import pefile

EXECUTE = pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_EXECUTE"]
WRITE = pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_WRITE"]


def symbol_key(pe):
    for entry in getattr(pe, "DIRECTORY_ENTRY_DEBUG", []):
        cv = entry.entry
        if entry.struct.Type != pefile.DEBUG_TYPE["IMAGE_DEBUG_TYPE_CODEVIEW"] or \
                cv is None or cv.CvSignature != b"RSDS":
            continue
        data4 = bytes([cv.Signature_Data4, cv.Signature_Data5]) + cv.Signature_Data6
        key = f"{cv.Signature_Data1:08X}{cv.Signature_Data2:04X}{cv.Signature_Data3:04X}" \
              f"{data4.hex().upper()}{cv.Age:X}"
        name = cv.PdbFileName.split(b"\0", 1)[0].decode()
        print(name.replace("\\", "/").rsplit("/", 1)[-1], key)
        return
    sys.exit("binary_facts: the binary has no CodeView (RSDS) record")


def guard(pe, path, readobj):
    def code(rva):
        s = pe.get_section_by_rva(rva) if 0 <= rva < 1 << 32 else None
        return s is not None and s.Characteristics & EXECUTE

    base = pe.OPTIONAL_HEADER.ImageBase
    listing = subprocess.run([readobj, "--coff-basereloc", "--coff-load-config", path],
                             check=True, capture_output=True, text=True).stdout
    table = re.search(r"GuardFidTable \[\n(.*?)\n\s*\]", listing, re.S)
    listed = [int(v, 16) - base for v in re.findall(r"0x[0-9A-F]+", table.group(1))] \
        if table else []
    valid = set(listed)
    # The loader searches the table: it must be in ascending order, each
    # entry once, and name only code.
    if any(a >= b for a, b in zip(listed, listed[1:])):
        print("unsorted")
    for target in listed:
        if not code(target):
            print(f"not-code {target:#x}")
    for place in re.findall(r"Type: DIR64\s+Address: (0x[0-9A-F]+)", listing):
        target = pe.get_qword_at_rva(int(place, 16)) - base
        if code(target) and target not in valid:
            print(f"unlisted {target:#x}")
    exports = pe.DIRECTORY_ENTRY_EXPORT.symbols if hasattr(pe, "DIRECTORY_ENTRY_EXPORT") else []
    for export in exports:
        if code(export.address) and export.address not in valid:
            print(f"unlisted {export.address:#x} (export)")
    for field in ("GuardCFCheckFunction", "GuardCFCheckDispatch"):
        m = re.search(rf"{field}: (0x[0-9A-F]+)", listing)
        s = pe.get_section_by_rva(int(m.group(1), 16) - base) if m else None
        if s and s.Characteristics & WRITE:
            print("writable", s.Name.rstrip(b"\0").decode())


def version(pe):
    info = getattr(pe, "VS_FIXEDFILEINFO", None)
    if not info:
        sys.exit("binary_facts: the binary has no version resource")
    ms, ls = info[0].FileVersionMS, info[0].FileVersionLS
    print(f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}")


if __name__ == "__main__":
    command, args = (sys.argv[1], sys.argv[2:]) if len(sys.argv) > 2 else (None, [])
    if command == "symbol-key" and len(args) == 1:
        symbol_key(pefile.PE(args[0]))
    elif command == "guard" and len(args) == 2:
        guard(pefile.PE(args[0]), *args)
    elif command == "version" and len(args) == 1:
        version(pefile.PE(args[0]))
    else:
        sys.exit(__doc__)
