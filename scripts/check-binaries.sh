#!/usr/bin/env bash
# Checks the shipped binaries as they are shipped:
#   bash scripts/check-binaries.sh BINARY_DIR [SYMBOL_DIR]
# BINARY_DIR holds Vantrel.dll and Drelmo.exe, SYMBOL_DIR their PDBs (default:
# BINARY_DIR). For each binary:
#   - loads at a random address anywhere in the 64-bit space (ASLR with high
#     entropy) and keeps its data non-executable (DEP);
#   - declares Windows 7 (6.1) as its subsystem and OS version, as the code
#     targets (_WIN32_WINNT 0x0601);
#   - has no section both writable and executable;
#   - imports only Windows system DLLs (check-imports.sh);
#   - carries no debug information and no symbol table, only a CodeView
#     record naming its PDB by file name, and that PDB has the GUID and age
#     the record asks for;
# and Vantrel.dll exports exactly DllCanUnloadNow @1, DllGetClassObject @2 and
# DllMain @3 (an export table of ordinal base 1 with three addresses and
# three names, no empty slot), and an address inside each of them resolves to its name through
# the PDB (llvm-symbolizer, as a crash's address would be resolved).
# The binaries are read with LLVM's tools (of the build's LLVM version) and
# binutils' objdump, never with code of the project.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
llvm=$(<"$root/cmake/llvm-version")
readobj=llvm-readobj-$llvm
pdbutil=llvm-pdbutil-$llvm
symbolizer=llvm-symbolizer-$llvm
bin_dir=$(cd "${1:?usage: check-binaries.sh BINARY_DIR [SYMBOL_DIR]}" && pwd)
sym_dir=$(cd "${2:-$bin_dir}" && pwd)
failures=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# The value of "Key: value" in llvm-readobj's output.
field() { awk -v key="$1:" '$1 == key { print $2; exit }' <<<"$2"; }

check_binary() {
  local name=$1 file=$bin_dir/$1
  if [ ! -f "$file" ]; then
    fail "$name: not in $bin_dir"
    return
  fi
  local headers sections debug
  headers=$("$readobj" --file-headers "$file")
  sections=$("$readobj" --sections "$file")
  debug=$("$readobj" --coff-debug-directory "$file")

  local flag
  for flag in DYNAMIC_BASE HIGH_ENTROPY_VA NX_COMPAT; do
    grep -q "IMAGE_DLL_CHARACTERISTICS_$flag " <<<"$headers" || fail "$name: $flag is not set"
  done
  local key
  for key in MajorSubsystemVersion MajorOperatingSystemVersion; do
    [ "$(field "$key" "$headers")" = 6 ] || fail "$name: $key is $(field "$key" "$headers"), not 6"
  done
  for key in MinorSubsystemVersion MinorOperatingSystemVersion; do
    [ "$(field "$key" "$headers")" = 1 ] || fail "$name: $key is $(field "$key" "$headers"), not 1"
  done

  # One section at a time: its name and whether it may be written and run.
  local wx
  wx=$(awk '/^  Section \{/ { name = ""; w = 0; x = 0 }
            $1 == "Name:" { name = $2 }
            /IMAGE_SCN_MEM_WRITE/ { w = 1 }
            /IMAGE_SCN_MEM_EXECUTE/ { x = 1 }
            /^  \}/ && w && x { print name }' <<<"$sections")
  [ -z "$wx" ] || fail "$name: sections both writable and executable: $wx"
  local debug_sections
  debug_sections=$(awk '$1 == "Name:" && $2 ~ /^\.debug/ { print $2 }' <<<"$sections" | tr '\n' ' ')
  [ -z "$debug_sections" ] || fail "$name: carries debug information: $debug_sections"
  [ "$(field PointerToSymbolTable "$headers")" = 0x0 ] || fail "$name: carries a symbol table"

  "$root/scripts/check-imports.sh" "$file" || failures=$((failures + 1))

  # The CodeView record: the PDB's file name, GUID and age.
  local records pdb_name guid age
  records=$(grep -c 'Type: CodeView' <<<"$debug" || true)
  if [ "$records" != 1 ]; then
    fail "$name: $records CodeView records, not 1"
    return
  fi
  pdb_name=$(field PDBFileName "$debug")
  guid=$(field PDBGUID "$debug")
  age=$(field PDBAge "$debug")
  [ "$pdb_name" = "${name%.*}.pdb" ] || fail "$name: its CodeView record names \"$pdb_name\""
  if [ ! -f "$sym_dir/$pdb_name" ]; then
    fail "$name: $pdb_name is not in $sym_dir"
    return
  fi
  local summary
  summary=$("$pdbutil" dump --summary "$sym_dir/$pdb_name")
  [ "$(field GUID "$summary")" = "$guid" ] && [ "$(field Age "$summary")" = "$age" ] ||
    fail "$name: $pdb_name is GUID $(field GUID "$summary") age $(field Age "$summary"), the binary asks for $guid age $age"
  echo "ok: $name: ASLR (high entropy), DEP, Windows 6.1, no W+X section, no debug information; $pdb_name $guid age $age"
}

check_binary Vantrel.dll
check_binary Drelmo.exe

# Vantrel.dll's export table. Its directory (read by binutils' objdump, a
# second reader) must count from ordinal 1 and hold three addresses and three
# names; llvm-readobj lists every slot of the address table with its ordinal
# (base + index), name and address, and must list exactly the three entry
# points, none of them at address 0.
vantrel=$bin_dir/Vantrel.dll
if [ -f "$vantrel" ]; then
  # objdump prints the base in decimal and the two counts in hexadecimal.
  read -r base addresses names < <(x86_64-w64-mingw32-objdump -p "$vantrel" |
    awk '/^Ordinal Base/ { base = $3 }
         /^Number in:/ { counts = 1 }
         /^Table Addresses/ { counts = 0 }
         counts && /Export Address Table/ { addresses = $4 }
         counts && /Name Pointer\/Ordinal/ { names = $4 }
         END { print base, addresses, names }')
  directory="ordinal base ${base:-?}, $((16#${addresses:-0})) addresses, $((16#${names:-0})) names"
  exports=$("$readobj" --coff-exports "$vantrel" |
    awk '$1 == "Ordinal:" { o = $2 } $1 == "Name:" { n = $2 }
         $1 == "RVA:" { print o, (n == "" ? "(unnamed)" : n), $2; n = "" }')
  listed=$(awk '{ print $1, $2 }' <<<"$exports")
  expected=$'1 DllCanUnloadNow\n2 DllGetClassObject\n3 DllMain'
  table_ok=1
  if [ "$directory" != "ordinal base 1, 3 addresses, 3 names" ]; then
    fail "Vantrel.dll's export directory: $directory (expected ordinal base 1, 3 addresses, 3 names)"
    table_ok=0
  fi
  if [ "$listed" != "$expected" ] || grep -q ' 0x0$' <<<"$exports"; then
    fail "Vantrel.dll's export slots (ordinal name address): $(tr '\n' ' ' <<<"$exports")"
    table_ok=0
  fi
  [ "$table_ok" -eq 0 ] || echo "ok: Vantrel.dll's export table: $directory: $(tr '\n' ' ' <<<"$listed")"

  # A debugger resolves a crash's address with the PDB its CodeView record
  # names; llvm-symbolizer looks for that name in the current folder (and
  # beside the binary). The binary alone, in a folder of its own, must know
  # no names: they come from the PDB (without it llvm-symbolizer prints "??",
  # or fails saying that the PDB is missing).
  alone=$(mktemp -d)
  trap 'rm -rf "$alone"' EXIT
  cp "$vantrel" "$alone/Vantrel.dll"
  while read -r _ function rva; do
    [ -n "${function:-}" ] && [ "$function" != "(unnamed)" ] && [ "$rva" != 0x0 ] || continue
    inside=$(printf '0x%x' $((rva + 1)))
    resolved=$(cd "$sym_dir" && "$symbolizer" --obj="$vantrel" --relative-address "$inside" | head -1) || true
    without=$(cd "$alone" && "$symbolizer" --obj="$alone/Vantrel.dll" --relative-address "$inside" 2>/dev/null | head -1) || true
    if [ -n "$without" ] && [ "$without" != "??" ]; then
      fail "Vantrel.dll+$inside resolves to \"$without\" without its PDB: the binary carries names"
    elif [ "$resolved" = "$function" ]; then
      echo "ok: Vantrel.dll+$inside resolves to $resolved through its PDB (to nothing without it)"
    else
      fail "Vantrel.dll+$inside (inside $function) resolves to \"$resolved\" through its PDB"
    fi
  done <<<"$exports"
fi

if [ "$failures" -gt 0 ]; then
  echo "check-binaries: $failures problems in $bin_dir"
  exit 1
fi
echo "check-binaries: the shipped binaries in $bin_dir are as they should be"
