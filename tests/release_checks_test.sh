#!/usr/bin/env bash
# Shows that the release's checks catch what they are for: each case takes
# away one thing from a copy of the build's shipped binaries, its notices or
# its bill of materials, and the check must fail naming it. The untouched
# copies must pass first.
#   bash tests/release_checks_test.sh BUILD_DIR
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?usage: release_checks_test.sh BUILD_DIR}" && pwd)
llvm=$(<"$root/cmake/llvm-version")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

fresh() {
  rm -rf "$work/bin" "$work/store"
  mkdir -p "$work/bin"
  cp "$build"/bin/{Vantrel.dll,Drelmo.exe,Vantrel.pdb,Drelmo.pdb,Vantrel.map,Drelmo.map} "$work/bin/"
  common=(--map "Vantrel.dll=$work/bin/Vantrel.map" --map "Drelmo.exe=$work/bin/Drelmo.map"
    --own-lib-dir "$build/lib" --product-version 1.0.0.0)
  /usr/bin/python3 "$root/scripts/third_party.py" notices "${common[@]}" >"$work/notices.txt"
  /usr/bin/python3 "$root/scripts/third_party.py" sbom "${common[@]}" --binaries "$work/bin" \
    --commit 0123456789abcdef0123456789abcdef01234567 --commit-time 0 --llvm "$llvm" \
    >"$work/sbom.json"
}

# Changes one field of a PE file in place: patch_pe FILE WHAT
patch_pe() {
  python3 - "$@" <<'PY'
import struct, sys
path, what = sys.argv[1:]
d = bytearray(open(path, "rb").read())
pe = struct.unpack_from("<I", d, 0x3C)[0]
count, opt_size = struct.unpack_from("<H12xH", d, pe + 6)
opt = pe + 24
sections = [struct.unpack_from("<IIII", d, opt + opt_size + 40 * i + 8) for i in range(count)]
def offset(rva):
    return next(raw + rva - va for size, va, raw_size, raw in sections if va <= rva < va + size)
def directory(i):
    return struct.unpack_from("<II", d, opt + 112 + 8 * i)
if what == "no-guard-cf-flag":          # DllCharacteristics without GUARD_CF
    at = opt + 70
    struct.pack_into("<H", d, at, struct.unpack_from("<H", d, at)[0] & ~0x4000)
elif what == "no-guard-flags":          # load configuration: GuardFlags 0
    struct.pack_into("<I", d, offset(directory(10)[0]) + 0x90, 0)
elif what == "one-call-target":         # load configuration: a table of one entry
    struct.pack_into("<Q", d, offset(directory(10)[0]) + 0x88, 1)
elif what == "swapped-call-targets":    # the table's first two entries swapped
    config = offset(directory(10)[0])
    table = offset(struct.unpack_from("<Q", d, config + 0x80)[0] - struct.unpack_from("<Q", d, opt + 24)[0])
    first, second = struct.unpack_from("<II", d, table)
    struct.pack_into("<II", d, table, second, first)
elif what == "no-cet-mark":             # extended DLL characteristics 0
    rva, size = directory(6)
    for i in range(size // 28):
        kind, length, _, raw = struct.unpack_from("<IIII", d, offset(rva) + 28 * i + 12)
        if kind == 20:
            struct.pack_into("<I", d, raw, 0)
open(path, "wb").write(d)
PY
}

# expect_fail NAME EXPECTED... -- COMMAND...: the command must fail and say
# every EXPECTED.
expect_fail() {
  local name=$1 expected=() out status missing=""
  shift
  while [ "$1" != -- ]; do
    expected+=("$1")
    shift
  done
  shift
  out=$("$@" 2>&1)
  status=$?
  for e in "${expected[@]}"; do
    grep -qF -- "$e" <<<"$out" || missing+="\"$e\" "
  done
  if [ "$status" -ne 0 ] && [ -z "$missing" ]; then
    echo "ok: $name: the check fails, saying:"
    for e in "${expected[@]}"; do echo "    $(grep -m1 -F -- "$e" <<<"$out" | cut -c1-140)"; done
  else
    echo "FAIL: $name: status $status, did not say $missing; it said: $(grep -E '^FAIL' <<<"$out" | head -5)"
    failures=$((failures + 1))
  fi
}
expect_pass() {
  local name=$1 out
  shift
  if out=$("$@" 2>&1); then
    echo "ok: $name"
  else
    echo "FAIL: $name: $(grep -E '^FAIL' <<<"$out" | head -5)"
    failures=$((failures + 1))
  fi
}
check_binaries() { bash "$root/scripts/check-binaries.sh" "$work/bin" "$@"; }
check_notices() { bash "$root/scripts/check-notices.sh" "$work/bin" "$build/lib" "$work/notices.txt"; }
check_sbom() {
  bash "$root/scripts/check-sbom.sh" "$work/bin" "$build/lib" "$work/sbom.json" "$work/notices.txt"
}
edit_sbom() {
  python3 -c "import json; b = json.load(open('$work/sbom.json')); $1
json.dump(b, open('$work/sbom.json', 'w'))"
}

fresh
expect_pass "their notices pass check-notices" check_notices
expect_pass "their bill of materials passes check-sbom" check_sbom
"$root/scripts/symbol-store.sh" "$work/store" "$work/bin/Vantrel.pdb" "$work/bin/Drelmo.pdb" >/dev/null
expect_pass "the build's binaries pass check-binaries with a store made by symbol-store.sh" \
  check_binaries "$work/store"

# Hardening taken away, one thing at a time in each binary.
patch_pe "$work/bin/Vantrel.dll" no-guard-cf-flag
patch_pe "$work/bin/Vantrel.dll" one-call-target
patch_pe "$work/bin/Drelmo.exe" no-guard-flags
patch_pe "$work/bin/Drelmo.exe" no-cet-mark
patch_pe "$work/bin/Drelmo.exe" swapped-call-targets
expect_fail "hardening taken away" \
  "Vantrel.dll: GUARD_CF is not set" \
  "Vantrel.dll: code addresses kept in relocated data but not valid call targets" \
  "Drelmo.exe: guard flag CF_INSTRUMENTED is not set" \
  "Drelmo.exe: not marked compatible with CET shadow stacks" \
  "Drelmo.exe: its table of valid call targets is not in ascending order" -- check_binaries "$work/store"

# A store with Vantrel's age written with a leading zero, and Drelmo's PDB
# in the store's top folder.
fresh
"$root/scripts/symbol-store.sh" "$work/store" "$work/bin/Vantrel.pdb" >/dev/null
for dir in "$work"/store/Vantrel.pdb/*; do mv "$dir" "${dir%1}01"; done
cp "$work/bin/Drelmo.pdb" "$work/store/"
rm "$work/bin/Vantrel.pdb" "$work/bin/Drelmo.pdb"
expect_fail "PDBs not where a debugger looks" \
  "Vantrel.dll: the symbol store has no Vantrel.pdb/" \
  "Drelmo.exe: the symbol store has no Drelmo.pdb/" -- check_binaries "$work/store"

fresh
sed -i 's/ libssp\.a//; s/^GCC RUNTIME LIBRARY EXCEPTION$/(left out)/' "$work/notices.txt"
expect_fail "notices without libssp.a and without the runtime library exception" \
  "Vantrel.dll links libssp.a, which no notice names" \
  "Drelmo.exe links libssp.a, which no notice names" \
  "(with libstdc++.a) does not name GCC's runtime library exception" \
  "(with libgcc.a) does not name GCC's runtime library exception" -- check_notices

edit_sbom "b['components'][1]['hashes'][0]['content'] = '0' * 64
b['components'][2]['licenses'] = [{'license': {'id': 'Not-A-Licence'}}]
b['components'] = [c for c in b['components'] if c['bom-ref'] != 'libssp']"
expect_fail "a bill of materials with a wrong SHA-256, an unknown licence, a component missing" \
  "Drelmo.exe: SHA-256 ['0000" \
  "against the CycloneDX 1.5 schema: components/2/licenses" \
  "GCC stack protector library (libssp) (in the notices) is not a component" -- check_sbom

exit $((failures > 0))
