#!/usr/bin/env bash
# Checks the shipped binaries as they are shipped:
#   bash scripts/check-binaries.sh BINARY_DIR [SYMBOL_STORE]
# BINARY_DIR holds Vantrel.dll and Drelmo.exe, SYMBOL_STORE their PDBs in a
# symbol store's layout (<name>.pdb/<GUID><age>/<name>.pdb, as
# scripts/symbol-store.sh files them; without it, a store is made from the
# PDBs in BINARY_DIR). For each binary:
#   - loads at a random address anywhere in the 64-bit space (ASLR with high
#     entropy) and keeps its data non-executable (DEP);
#   - declares Windows 7 (6.1) as its subsystem and OS version, as the code
#     targets (_WIN32_WINNT 0x0601);
#   - has no section both writable and executable;
#   - imports only Windows system DLLs (check-imports.sh);
#   - carries no debug information and no symbol table, only a CodeView
#     record naming its PDB by file name, and the store holds that PDB under
#     the GUID and age the record asks for (the path built from the record's
#     own bytes), with that GUID and age inside;
#   - is hardened: Control Flow Guard (the GUARD_CF flag, a load
#     configuration whose guard flags say instrumented with a function
#     table, a non-empty table in ascending order naming only code, check
#     and dispatch pointers outside writable memory, and every code address
#     the binary keeps in relocated data, and every export, listed as a valid
#     call target); marked compatible
#     with CET shadow stacks (extended DLL characteristics); a stack
#     protector (__stack_chk_guard and __stack_chk_fail in its PDB, and the
#     failure routine called from the binary's code);
# and Vantrel.dll exports exactly DllCanUnloadNow @1, DllGetClassObject @2 and
# DllMain @3 (an export table of ordinal base 1 with three addresses and
# three names, no empty slot), and an address inside each of them resolves to
# its name through the PDB found in the store (llvm-symbolizer, as a crash's
# address would be resolved).
# The binaries are read with LLVM's tools (of the build's LLVM version),
# binutils' objdump and scripts/binary_facts.py, never with code of the
# project's build.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
llvm=$(<"$root/cmake/llvm-version")
readobj=llvm-readobj-$llvm
pdbutil=llvm-pdbutil-$llvm
symbolizer=llvm-symbolizer-$llvm
objdump=llvm-objdump-$llvm
bin_dir=$(cd "${1:?usage: check-binaries.sh BINARY_DIR [SYMBOL_STORE]}" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
if [ -n "${2:-}" ]; then
  sym_dir=$(cd "$2" && pwd)
else
  sym_dir=$scratch/store
  "$root/scripts/symbol-store.sh" "$sym_dir" "$bin_dir/Vantrel.pdb" "$bin_dir/Drelmo.pdb" >/dev/null
fi
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

  # The CodeView record: the PDB's file name, GUID and age, and the PDB in
  # the store at the path the record's own bytes give.
  local records pdb_name guid age key_name key pdb
  records=$(grep -c 'Type: CodeView' <<<"$debug" || true)
  if [ "$records" != 1 ]; then
    fail "$name: $records CodeView records, not 1"
    return
  fi
  pdb_name=$(field PDBFileName "$debug")
  guid=$(field PDBGUID "$debug")
  age=$(field PDBAge "$debug")
  [ "$pdb_name" = "${name%.*}.pdb" ] || fail "$name: its CodeView record names \"$pdb_name\""
  read -r key_name key < <(/usr/bin/python3 "$root/scripts/binary_facts.py" symbol-key "$file")
  pdb=$sym_dir/$key_name/$key/$key_name
  if [ ! -f "$pdb" ]; then
    fail "$name: the symbol store has no ${pdb#"$sym_dir"/}"
    check_hardening "$name" "$file" "$headers" "$debug" ""
    return
  fi
  check_hardening "$name" "$file" "$headers" "$debug" "$pdb"
  local summary
  summary=$("$pdbutil" dump --summary "$pdb")
  [ "$(field GUID "$summary")" = "$guid" ] && [ "$(field Age "$summary")" = "$age" ] ||
    fail "$name: ${pdb#"$sym_dir"/} is GUID $(field GUID "$summary") age $(field Age "$summary"), the binary asks for $guid age $age"
  pdb_of[$name]=$pdb
  echo "ok: $name: ASLR (high entropy), DEP, Windows 6.1, no W+X section, no debug information; symbols at ${pdb#"$sym_dir"/} ($guid age $age)"
}

# Control Flow Guard, the CET mark and the stack protector of one binary.
check_hardening() {
  local name=$1 file=$2 headers=$3 debug=$4 pdb=$5 config facts
  grep -q 'IMAGE_DLL_CHARACTERISTICS_GUARD_CF ' <<<"$headers" ||
    fail "$name: GUARD_CF is not set (no Control Flow Guard)"
  config=$("$readobj" --coff-load-config "$file")
  local flag
  for flag in CF_INSTRUMENTED CF_FUNCTION_TABLE_PRESENT; do
    grep -qE "^ +$flag \(" <<<"$config" || fail "$name: guard flag $flag is not set"
  done
  local key
  for key in GuardCFCheckFunction GuardCFCheckDispatch GuardCFFunctionTable; do
    [[ "$(field "$key" "$config")" =~ ^0x[0-9A-F]*[1-9A-F] ]] || fail "$name: $key is not set"
  done
  local targets
  targets=$(field GuardCFFunctionCount "$config")
  [ "${targets:-0}" -gt 0 ] || fail "$name: no valid call targets in its guard table"
  facts=$(/usr/bin/python3 "$root/scripts/binary_facts.py" guard "$file" "$readobj")
  local unlisted
  unlisted=$(awk '$1 == "unlisted" && !seen[$2]++ { n++; if (n <= 8) printf "%s ", $2 }
                 END { if (n > 8) printf "... (%d in all)", n }' <<<"$facts")
  [ -z "$unlisted" ] ||
    fail "$name: code addresses kept in relocated data but not valid call targets: $unlisted"
  ! grep -q '^unsorted' <<<"$facts" || fail "$name: its table of valid call targets is not in ascending order"
  ! grep -q '^not-code' <<<"$facts" ||
    fail "$name: its table of valid call targets lists addresses outside code: $(awk '/^not-code/ { printf "%s ", $2 }' <<<"$facts")"
  ! grep -q '^writable' <<<"$facts" ||
    fail "$name: the guard's check or dispatch pointer is writable ($(awk '/^writable/ { print $2 }' <<<"$facts"))"
  grep -q 'IMAGE_DLL_CHARACTERISTICS_EX_CET_COMPAT ' <<<"$debug" ||
    fail "$name: not marked compatible with CET shadow stacks"

  # The stack protector: its guard and failure routine are in the PDB (the
  # binary has no symbol table), and the binary's code calls the routine.
  local publics="" fail_rva calls=0
  [ -z "$pdb" ] || publics=$("$pdbutil" dump --publics "$pdb" 2>/dev/null || true)
  grep -q '`__stack_chk_guard`' <<<"$publics" || fail "$name: no __stack_chk_guard (no stack protector)"
  fail_rva=$(awk '/`__stack_chk_fail`/ { getline; if (match($0, /addr = [0-9]+:[0-9]+/)) print substr($0, RSTART + 7, RLENGTH - 7); exit }' <<<"$publics")
  if [ -n "$fail_rva" ]; then
    local section=${fail_rva%%:*} offset=${fail_rva#*:} va
    va=$(awk -v n="$((10#$section))" '/^  Section \{/ { i++ } i == n && $1 == "VirtualAddress:" { print $2; exit }' \
      <<<"$("$readobj" --sections "$file")")
    local address
    address=$(printf '%x' $((0x$(field ImageBase "$headers" | sed 's/^0x//') + va + 10#$offset)))
    calls=$("$objdump" -d --no-show-raw-insn "$file" | grep -cE "call[q]?[[:space:]]+0x$address( |$)" || true)
  fi
  [ "$calls" -gt 0 ] || fail "$name: no call of __stack_chk_fail in its code (no stack protector)"
  [ -n "$unlisted$(grep -E '^(writable|unsorted|not-code)' <<<"$facts" || true)" ] ||
    echo "ok: $name: Control Flow Guard ($targets valid call targets, every relocated code address among them), CET compatible, stack protector (__stack_chk_fail called from $calls places)"
}

declare -A pdb_of
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
  # names, which it finds in a symbol store by the record's GUID and age;
  # llvm-symbolizer looks for that name in the current folder (and beside the
  # binary), so it runs in the store's folder for Vantrel.dll's GUID and age
  # on a copy of the binary kept apart from any PDB. That copy, from its own
  # folder, must know no names: they come from the PDB (without it
  # llvm-symbolizer prints "??", or fails saying that the PDB is missing).
  alone=$scratch/alone
  mkdir -p "$alone"
  cp "$vantrel" "$alone/Vantrel.dll"
  while read -r _ function rva; do
    [ -n "${function:-}" ] && [ "$function" != "(unnamed)" ] && [ "$rva" != 0x0 ] || continue
    inside=$(printf '0x%x' $((rva + 1)))
    resolved=$(cd "$(dirname "${pdb_of[Vantrel.dll]:-$alone/none}")" &&
      "$symbolizer" --obj="$alone/Vantrel.dll" --relative-address "$inside" | head -1) || true
    without=$(cd "$alone" && "$symbolizer" --obj="$alone/Vantrel.dll" --relative-address "$inside" 2>/dev/null | head -1) || true
    if [ -n "$without" ] && [ "$without" != "??" ]; then
      fail "Vantrel.dll+$inside resolves to \"$without\" without its PDB: the binary carries names"
    elif [ "$resolved" = "$function" ]; then
      echo "ok: Vantrel.dll+$inside resolves to $resolved through the store's PDB (to nothing without it)"
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
