#!/usr/bin/python3
"""Checks a release's bill of materials (CycloneDX 1.5 JSON).

  validate_sbom.py --schema-archive TGZ --binaries DIR --notices FILE --llvm N SBOM

1. Against the published JSON schema of CycloneDX 1.5, read from the CycloneDX
   library's npm archive (scripts/fetch-sbom-schema.sh). Every reference the
   schema makes is resolved from that archive; a reference to anything else
   fails instead of being fetched, so the check works offline.
2. Against the release: both binaries with the SHA-256 of the files in DIR,
   every component of the third-party notices with its version and licence,
   and the compiler and linker of the build in its formulation.

Runs with Debian's Python and its python3-jsonschema package.
"""

import argparse
import hashlib
import json
import os
import re
import sys
import tarfile

import jsonschema

SCHEMA_FOLDER = "package/res/schema/"
MAIN_SCHEMA = "bom-1.5.SNAPSHOT.schema.json"
BINARIES = ("Vantrel.dll", "Drelmo.exe")


def schemas_from(archive):
    """{$id: schema} and {file name: schema} of every JSON schema in the archive."""
    by_name = {}
    with tarfile.open(archive) as tar:
        for member in tar.getmembers():
            if member.name.startswith(SCHEMA_FOLDER) and member.name.endswith(".schema.json"):
                by_name[member.name[len(SCHEMA_FOLDER):]] = json.load(tar.extractfile(member))
    if MAIN_SCHEMA not in by_name:
        sys.exit(f"validate_sbom: {archive} holds no {SCHEMA_FOLDER}{MAIN_SCHEMA}")
    return by_name


class OfflineResolver(jsonschema.RefResolver):
    def resolve_remote(self, uri):
        raise jsonschema.RefResolutionError(f"{uri} is not in the schema archive (no fetching)")


def schema_errors(bom, archive):
    by_name = schemas_from(archive)
    main = by_name[MAIN_SCHEMA]
    base = main["$id"].rsplit("/", 1)[0] + "/"
    # The schemas refer to each other by file name, relative to the main $id.
    store = {base + name: schema for name, schema in by_name.items()}
    store.update({s["$id"]: s for s in by_name.values() if "$id" in s})
    validator = jsonschema.Draft7Validator(
        main, resolver=OfflineResolver(main["$id"], main, store=store),
        format_checker=jsonschema.draft7_format_checker)
    return [f"{'/'.join(map(str, e.absolute_path)) or '(top)'}: {e.message}"
            for e in validator.iter_errors(bom)]


def notice_components(path):
    """[(name, version)] from the contents list of the notices: "N. NAME VERSION: ..."."""
    found = []
    for line in open(path, encoding="utf-8"):
        if line.startswith("=" * 10):
            break
        m = re.match(r"^\d+\. (.+) (\S+): ", line)
        if m:
            found.append((m.group(1), m.group(2)))
    return found


def content_errors(bom, binaries, notices, llvm):
    errors = []
    components = {c.get("name"): c for c in bom.get("components", [])}
    for name in BINARIES:
        c = components.get(name)
        digest = hashlib.sha256(open(os.path.join(binaries, name), "rb").read()).hexdigest()
        listed = [h.get("content") for h in (c or {}).get("hashes", []) if h.get("alg") == "SHA-256"]
        if c is None:
            errors.append(f"{name} is not a component")
        elif listed != [digest]:
            errors.append(f"{name}: SHA-256 {listed}, the file's is {digest}")
    expected = notice_components(notices)
    if not expected:
        errors.append(f"{notices} lists no components")
    for name, version in expected:
        c = components.get(name)
        if c is None:
            errors.append(f"{name} (in the notices) is not a component")
            continue
        if c.get("version") != version:
            errors.append(f"{name}: version {c.get('version')}, the notices say {version}")
        if not c.get("licenses"):
            errors.append(f"{name}: no licence")
    refs = {d["ref"]: set(d.get("dependsOn", [])) for d in bom.get("dependencies", [])}
    libraries = {c["bom-ref"] for c in bom.get("components", []) if c.get("type") == "library"
                 and c.get("name") not in BINARIES}
    for name in BINARIES:
        if not refs.get(name):
            errors.append(f"{name} depends on no component")
        elif not refs[name] <= libraries:
            errors.append(f"{name} depends on unknown components {sorted(refs[name] - libraries)}")
    tools = {c.get("name") for f in bom.get("formulation", []) for c in f.get("components", [])}
    for tool in (f"clang-{llvm}", f"lld-{llvm}"):
        if tool not in tools:
            errors.append(f"the toolchain in the formulation lacks {tool}")
    return errors


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--schema-archive", required=True)
    parser.add_argument("--binaries", required=True)
    parser.add_argument("--notices", required=True)
    parser.add_argument("--llvm", required=True)
    parser.add_argument("sbom")
    args = parser.parse_args()
    bom = json.load(open(args.sbom, encoding="utf-8"))
    errors = schema_errors(bom, args.schema_archive)
    for e in errors:
        print(f"FAIL: {os.path.basename(args.sbom)} against the CycloneDX 1.5 schema: {e}")
    if not errors:
        print(f"ok: {os.path.basename(args.sbom)} is valid CycloneDX {bom.get('specVersion')}"
              f" (schema of {os.path.basename(args.schema_archive)}, offline)")
    content = content_errors(bom, args.binaries, args.notices, args.llvm)
    for e in content:
        print(f"FAIL: {os.path.basename(args.sbom)}: {e}")
    if not content:
        print(f"ok: {os.path.basename(args.sbom)} lists both binaries with their SHA-256, "
              f"the {len(notice_components(args.notices))} components of the notices and "
              "the toolchain")
    sys.exit(1 if errors or content else 0)


if __name__ == "__main__":
    main()
