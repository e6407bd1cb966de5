#!/usr/bin/python3
"""The third-party code linked into the shipped binaries: its notices and its
bill of materials, both made from the binaries' link maps and from the
installed Debian packages the libraries come from.

  third_party.py notices --map Vantrel.dll=MAP --map Drelmo.exe=MAP --product-version V
  third_party.py sbom --map NAME=MAP ... --binaries DIR --product-version V
                      --commit SHA --commit-time SECONDS --llvm N

Each link map is lld's map in the format of Microsoft's linker
(--Xlink=-map:FILE), which names the library and member each public symbol
came from. A library or start-up object of the link must belong to one of
the COMPONENTS below, or nothing is written: a new dependency needs its entry
(which names the licence text to take) before a release can ship it.
Licence texts and versions are read from the Debian packages at the time of
the call, never kept here; machine-readable copyright files are read with
python3-debian.
"""

import argparse
import datetime
import functools
import glob
import hashlib
import json
import os
import re
import subprocess
import sys
import textwrap
import uuid
from urllib.parse import quote

from debian.copyright import Copyright, NotMachineReadableError

TRIPLE = "x86_64-w64-mingw32"
MINGW_LIB_DIR = f"/usr/{TRIPLE}/lib"
COMMON_LICENCES = "/usr/share/common-licenses"
PRODUCT = "Orvane Scanner Software"
SUPPLIER = "Orvane"

# How the notice of a component is taken from its package's copyright file:
#   dep5:    the paragraphs of a machine-readable copyright file whose Files
#            patterns lie under one of the source folders (and not under an
#            excluded one), with the "Files: *" paragraph and the stand-alone
#            texts of the licences they name;
#   gcc:     the licensing statement and the GCC Runtime Library Exception of
#            GCC's copyright file, after checking that the statement lists the
#            component's source folder among the libraries under that exception.
COMPONENTS = [
    {
        "key": "mingw-w64-runtime",
        "name": "MinGW-w64 runtime",
        "what": "C run-time start-up code, the C library's additions to msvcrt.dll, "
        "and the import libraries of the Windows DLLs the binaries call",
        "package": "mingw-w64-x86-64-dev",
        "libraries": [
            "crt2.o", "crt2u.o", "dllcrt2.o", "libmingw32.a", "libmingwex.a",
            "libmoldname.a", "libmsvcrt.a", "libuuid.a",
            "libadvapi32.a", "libcomctl32.a", "libgdiplus.a", "libkernel32.a",
            "libole32.a", "liboleaut32.a", "libsetupapi.a", "libshell32.a",
            "libuser32.a",
        ],
        "notice": {"kind": "dep5", "folders": ["mingw-w64-crt/"],
                   "except": ["mingw-w64-crt/profile/"]},
    },
    {
        "key": "winpthreads",
        "name": "winpthreads (MinGW-w64)",
        "what": "POSIX threads for Windows, on which libstdc++'s threads are built",
        "package": "mingw-w64-x86-64-dev",
        "libraries": ["libpthread.a", "libwinpthread.a"],
        "notice": {"kind": "dep5", "folders": ["mingw-w64-libraries/winpthreads/"],
                   "except": ["mingw-w64-libraries/winpthreads/tests_pthread/"]},
    },
    {
        "key": "libstdc++",
        "name": "GNU C++ library (libstdc++, GCC)",
        "what": "the C++ standard library",
        "package": "g++-mingw-w64-x86-64-posix",
        "libraries": ["libstdc++.a", "libsupc++.a"],
        "notice": {"kind": "gcc", "source": "libstdc++-v3"},
    },
    {
        "key": "libgcc",
        "name": "GCC low-level runtime library (libgcc)",
        "what": "compiler support routines, exception unwinding, start-up objects",
        "package": "gcc-mingw-w64-x86-64-posix",
        "libraries": ["libgcc.a", "libgcc_eh.a", "crtbegin.o", "crtend.o"],
        "notice": {"kind": "gcc", "source": "libgcc"},
    },
    {
        "key": "libssp",
        "name": "GCC stack protector library (libssp)",
        "what": "the stack protector's guard value and its failure routine",
        "package": "gcc-mingw-w64-x86-64-posix",
        "libraries": ["libssp.a", "libssp_nonshared.a"],
        "notice": {"kind": "gcc", "source": "libssp"},
    },
]

# Licence names of Debian's copyright files and their SPDX identifiers; a
# name without one stays a name in the bill of materials.
SPDX_IDS = {
    "ZPL-2.1": "ZPL-2.1", "expat": "MIT", "BSD-3-clause": "BSD-3-Clause",
    "BSD-2-clause": "BSD-2-Clause", "BSD-2-clause-NetBSD": "BSD-2-Clause-NetBSD",
    "ISC": "ISC", "LGPL-2.1+": "LGPL-2.1-or-later", "GPL-3+": "GPL-3.0-or-later",
}
GCC_LICENCE = "GPL-3.0-or-later WITH GCC-exception-3.1"

# The toolchain of every release, by Debian package ({llvm}: cmake/llvm-version).
TOOLCHAIN = [
    ("clang-{llvm}", "C and C++ compiler"),
    ("lld-{llvm}", "linker, writes the PDBs"),
    ("llvm-{llvm}", "archiver and the tools that read binaries and PDBs"),
    ("binutils-mingw-w64-x86-64", "resource compiler (windres)"),
    ("mingw-w64-x86-64-dev", "Windows headers, C runtime and import libraries"),
    ("g++-mingw-w64-x86-64-posix", "libstdc++ and its headers, libgcc, libssp"),
    ("cmake", "build configuration"),
    ("ninja-build", "build"),
]


def fail(message):
    sys.exit(f"third_party: {message}")


def run(*command):
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


# --- link maps ---------------------------------------------------------------

# " 0001:00000378       Sleep     0000000180001378     libkernel32:libkernel32s01409.o"
MAP_SYMBOL = re.compile(r"^ [0-9a-f]{4}:[0-9a-f]{8} +\S+ +[0-9a-f]{16} +(?:[fi] +)?(.+)$")


def linked_files(map_path):
    """The libraries (as file names, lib*.a) and plain objects that gave the
    link of map_path a public symbol, the project's own objects apart."""
    files = set()
    with open(map_path, encoding="utf-8", errors="replace") as f:
        for line in f:
            m = MAP_SYMBOL.match(line.rstrip("\n"))
            if not m:
                continue
            origin = m.group(1).strip()
            if origin.startswith("<") or origin.startswith("internal "):
                continue  # linker-made symbols, resources
            if ":" in origin:
                files.add(origin.split(":", 1)[0] + ".a")
            elif not origin.endswith((".obj", ".res")):
                files.add(origin)  # a start-up object given to the link
    return files


def parse_maps(pairs, own_lib_dir):
    """{binary: sorted third-party files} from NAME=MAP pairs."""
    own = {os.path.basename(p) for p in glob.glob(os.path.join(own_lib_dir, "*.a"))}
    result = {}
    for pair in pairs:
        name, _, path = pair.partition("=")
        if not path:
            fail(f"--map {pair}: expected NAME=MAP")
        result[name] = sorted(linked_files(path) - own)
    return result


def component_of(file_name):
    for c in COMPONENTS:
        if file_name in c["libraries"]:
            return c
    return None


def assign(linked):
    """{component key: {binary: [files]}}, refusing files of no component."""
    used = {}
    unknown = []
    for binary, files in linked.items():
        for f in files:
            c = component_of(f)
            if c is None:
                unknown.append(f"{f} (in {binary})")
                continue
            used.setdefault(c["key"], {}).setdefault(binary, []).append(f)
    if unknown:
        fail("no third-party component names " + ", ".join(unknown) +
             ": add it to COMPONENTS in scripts/third_party.py with its package and notice")
    return used


# --- Debian packages ----------------------------------------------------------

@functools.lru_cache(maxsize=None)
def gcc_lib_dir():
    dirs = glob.glob(f"/usr/lib/gcc/{TRIPLE}/*-posix")
    if not dirs:
        fail(f"no /usr/lib/gcc/{TRIPLE}/*-posix")
    key = lambda d: [int(n) for n in re.findall(r"\d+", os.path.basename(d))]
    return max(dirs, key=key)


def library_path(file_name):
    for d in (gcc_lib_dir(), MINGW_LIB_DIR):
        p = os.path.join(d, file_name)
        if os.path.exists(p):
            return p
    fail(f"{file_name} is in neither {gcc_lib_dir()} nor {MINGW_LIB_DIR}")


def owning_packages(paths):
    """{path: package} in one look-up (dpkg-query is slow to start)."""
    owners = {}
    for line in run("dpkg-query", "-S", *paths).splitlines():
        packages, _, path = line.partition(": ")
        owners[path.strip()] = packages.split(",")[0].split(":")[0].strip()
    return owners


@functools.lru_cache(maxsize=None)
def package_fields(package):
    return run("dpkg-query", "-W", "-f=${Version} ${Architecture}", package).split()


def package_version(package):
    return package_fields(package)[0]


def package_arch(package):
    return package_fields(package)[1]


def upstream_version(debian_version):
    """10.0.0-3 -> 10.0.0; 12.2.0-14+deb12u1+25.2+b1 -> 12.2.0; 1:19.1.7-3 -> 19.1.7"""
    v = debian_version.split(":", 1)[-1]
    return v.split("-", 1)[0]


def check_packages(used):
    """Every linked file is installed by the package its component names."""
    files = {f: c for key, per_binary in used.items()
             for c in COMPONENTS if c["key"] == key
             for files in per_binary.values() for f in files}
    paths = {f: library_path(f) for f in files}
    owners = owning_packages(sorted(paths.values()))
    for f, c in sorted(files.items()):
        owner = owners.get(paths[f])
        if owner != c["package"]:
            fail(f"{f} belongs to package {owner}, not {c['package']} as {c['key']} says")


def copyright_file(package):
    path = f"/usr/share/doc/{package}/copyright"
    if not os.path.exists(path):
        fail(f"{path} is missing: is {package} installed?")
    return path


# --- notices from copyright files ---------------------------------------------

def licence_names(expression):
    return [n for n in re.split(r"\s+(?:and|or)\s+|,\s*", expression.strip()) if n]


def dep5_notice(package, selection):
    """(notice text, licence names) of the paragraphs the selection picks."""
    path = copyright_file(package)
    try:
        with open(path, encoding="utf-8") as f:
            copyright = Copyright(f, strict=False)
    except (NotMachineReadableError, ValueError) as e:
        fail(f"{path} is not a machine-readable copyright file: {e}")

    def selected(patterns):
        if patterns == ("*",):
            return True
        return any(p.startswith(tuple(selection["folders"])) and
                   not p.startswith(tuple(selection.get("except", []))) for p in patterns)

    stand_alone = {p.license.synopsis: p.dump().strip("\n")
                   for p in copyright.all_license_paragraphs()}
    chosen, names = [], []
    for paragraph in copyright.all_files_paragraphs():
        if not selected(paragraph.files):
            continue
        chosen.append(paragraph.dump().strip("\n"))
        for name in licence_names(paragraph.license.synopsis):
            if name not in names:
                names.append(name)
            if not paragraph.license.text.strip() and name not in stand_alone:
                fail(f"{path}: no text for licence {name}")
    if not chosen:
        fail(f"{path}: no paragraph for {selection['folders']}")
    texts = [stand_alone[n] for n in names if n in stand_alone]
    body = "\n\n".join(chosen + texts)
    return f"From {path}:\n\n{body}\n", names


def section(text, start, end, path):
    """The lines of text from the line start up to (not including) the line end."""
    lines = text.split("\n")
    try:
        first = next(i for i, l in enumerate(lines) if l.strip() == start)
        last = next(i for i in range(first + 1, len(lines)) if lines[i].startswith(end))
    except StopIteration:
        fail(f"{path}: no section from \"{start}\" to \"{end}\"")
    return "\n".join(lines[first:last]).strip("\n")


def gcc_notice(package, selection):
    path = copyright_file(package)
    text = open(path, encoding="utf-8").read()
    statement = section(text, "COPYRIGHT STATEMENTS AND LICENSING TERMS",
                        "The libbacktrace library", path)
    exception = section(text, "GCC RUNTIME LIBRARY EXCEPTION", "libquadmath/", path)
    # The statement lists the libraries under the exception as " - name ...".
    listed = re.search(r"Runtime Library Exception \(included in this file\):\n(.*?)(?:\n\n|$)",
                       statement, re.S)
    if not listed or not re.search(rf"^ - {re.escape(selection['source'])}\b", listed.group(1), re.M):
        fail(f"{path} does not list {selection['source']} under the GCC Runtime Library Exception")
    return (f"From {path}:\n\n{statement}\n\n{exception}\n\n"
            f"The GNU General Public License, version 3, follows at the end of this file.\n",
            ["GPL-3+", "GCC-exception-3.1"])


def notice_of(c):
    selection = c["notice"]
    if selection["kind"] == "dep5":
        return dep5_notice(c["package"], selection)
    return gcc_notice(c["package"], selection)


# --- outputs ------------------------------------------------------------------

def linked_components(linked):
    used = assign(linked)
    check_packages(used)
    return [(c, used[c["key"]]) for c in COMPONENTS if c["key"] in used]


def write_notices(args):
    linked = parse_maps(args.map, args.own_lib_dir)
    components = linked_components(linked)
    binaries = list(linked)
    rule = "=" * 78
    out = [f"Third-party notices: {PRODUCT} {args.product_version}", "",
           f"{' and '.join(binaries)} contain code of the components below, linked",
           "statically. Each component's notice follows, as the Debian package it was",
           "built from gives it (the package's copyright file).", ""]
    for n, (c, per_binary) in enumerate(components, 1):
        version = package_version(c["package"])
        out.append(f"{n}. {c['name']} {upstream_version(version)}: "
                   f"{', '.join(b for b in binaries if b in per_binary)}")
    gpl = False
    for n, (c, per_binary) in enumerate(components, 1):
        version = package_version(c["package"])
        text, names = notice_of(c)
        gpl = gpl or c["notice"]["kind"] == "gcc"
        out += ["", rule, f"{n}. {c['name']}", rule, "",
                f"Version:  {upstream_version(version)} (Debian package {c['package']} {version})",
                textwrap.fill(c["what"], 78, initial_indent="What:     ",
                              subsequent_indent=" " * 10)]
        licence = GCC_LICENCE + " (GCC Runtime Library Exception 3.1)" \
            if c["notice"]["kind"] == "gcc" else " AND ".join(names)
        out.append(textwrap.fill(licence, 78, initial_indent="Licence:  ", subsequent_indent=" " * 10,
                                 break_on_hyphens=False, break_long_words=False))
        for b in binaries:
            if b in per_binary:
                out.append(f"Libraries in {b}: {' '.join(sorted(per_binary[b]))}")
        out += ["", text.rstrip("\n")]
    if gpl:
        path = os.path.join(COMMON_LICENCES, "GPL-3")
        out += ["", rule, f"The GNU General Public License, version 3 (from {path})", rule, "",
                open(path, encoding="utf-8").read().rstrip("\n")]
    sys.stdout.write("\n".join(out) + "\n")


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def purl(package, version, arch):
    return f"pkg:deb/debian/{package}@{quote(version, safe='.-_~')}?arch={arch}"


def licence_expression(names):
    """An SPDX expression of all the licence names; a name without an SPDX
    identifier becomes a LicenseRef- of its own."""
    ids = []
    for n in names:
        i = SPDX_IDS.get(n) or "LicenseRef-" + re.sub(r"[^A-Za-z0-9.-]", "-", n)
        if i not in ids:
            ids.append(i)
    return " AND ".join(ids)


def write_sbom(args):
    linked = parse_maps(args.map, args.own_lib_dir)
    components = linked_components(linked)
    time = datetime.datetime.fromtimestamp(args.commit_time, datetime.timezone.utc)
    time = time.strftime("%Y-%m-%dT%H:%M:%SZ")
    bom_components, dependencies = [], []
    hashes = {}
    for binary in linked:
        hashes[binary] = sha256(os.path.join(args.binaries, binary))
        bom_components.append({
            "type": "library" if binary.lower().endswith(".dll") else "application",
            "bom-ref": binary, "name": binary, "version": args.product_version,
            "supplier": {"name": SUPPLIER},
            "hashes": [{"alg": "SHA-256", "content": hashes[binary]}],
        })
    for c, per_binary in components:
        version = package_version(c["package"])
        entry = {
            "type": "library", "bom-ref": c["key"], "name": c["name"],
            "version": upstream_version(version), "description": c["what"],
            "purl": purl(c["package"], version, package_arch(c["package"])),
            "properties": [{"name": "debian:package", "value": f"{c['package']} {version}"}] +
                          [{"name": f"linked:{b}", "value": " ".join(sorted(files))}
                           for b, files in per_binary.items()],
        }
        if c["notice"]["kind"] == "gcc":
            entry["licenses"] = [{"expression": GCC_LICENCE}]
        else:
            entry["licenses"] = [{"expression": licence_expression(notice_of(c)[1])}]
        bom_components.append(entry)
    for binary in linked:
        dependencies.append({"ref": binary, "dependsOn": [
            c["key"] for c, per_binary in components if binary in per_binary]})
    tools = []
    for package, role in TOOLCHAIN:
        package = package.format(llvm=args.llvm)
        version = package_version(package)
        tools.append({"type": "application", "bom-ref": f"tool:{package}", "name": package,
                      "version": upstream_version(version), "description": role,
                      "purl": purl(package, version, package_arch(package))})
    identity = args.commit + "".join(f" {b}={h}" for b, h in sorted(hashes.items()))
    bom = {
        "$schema": "http://cyclonedx.org/schema/bom-1.5.schema.json",
        "bomFormat": "CycloneDX",
        "specVersion": "1.5",
        "serialNumber": "urn:uuid:" + str(uuid.uuid5(uuid.NAMESPACE_URL,
                                                     "urn:orvane-scanner:" + identity)),
        "version": 1,
        "metadata": {
            "timestamp": time,
            "component": {"type": "application", "bom-ref": "product", "name": PRODUCT,
                          "version": args.product_version, "supplier": {"name": SUPPLIER},
                          "properties": [{"name": "git:commit", "value": args.commit}]},
            "supplier": {"name": SUPPLIER},
        },
        "components": bom_components,
        "dependencies": [{"ref": "product", "dependsOn": list(linked)}] + dependencies,
        "formulation": [{"bom-ref": "toolchain", "components": tools}],
    }
    sys.stdout.write(json.dumps(bom, indent=2, ensure_ascii=False) + "\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)
    for name in ("notices", "sbom"):
        p = sub.add_parser(name)
        p.add_argument("--map", action="append", required=True, metavar="BINARY=MAP")
        p.add_argument("--own-lib-dir", required=True,
                       help="the build's folder of the project's own static libraries")
        p.add_argument("--product-version", required=True)
        if name == "sbom":
            p.add_argument("--binaries", required=True, help="folder of the binaries")
            p.add_argument("--commit", required=True)
            p.add_argument("--commit-time", type=int, required=True)
            p.add_argument("--llvm", required=True)
    args = parser.parse_args()
    (write_notices if args.command == "notices" else write_sbom)(args)


if __name__ == "__main__":
    main()
