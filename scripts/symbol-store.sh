#!/usr/bin/env bash
# Files PDBs in a symbol store's layout, as a debugger looks them up and as a
# symbol server serves them:
#   STORE/<name>.pdb/<GUID><age>/<name>.pdb
# where GUID is the PDB's GUID as 32 upper-case hex digits without dashes
# (Data1, Data2, Data3, then the bytes of Data4) and age the PDB's age in hex,
# both read from the PDB itself (llvm-pdbutil). A debugger builds the same
# path from the GUID and age of the binary's CodeView record.
#   bash scripts/symbol-store.sh STORE PDB...
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
pdbutil=llvm-pdbutil-$(<"$root/cmake/llvm-version")
store=${1:?usage: symbol-store.sh STORE PDB...}
shift
for pdb in "$@"; do
  summary=$("$pdbutil" dump --summary "$pdb")
  guid=$(awk '$1 == "GUID:" { print $2; exit }' <<<"$summary")
  age=$(awk '$1 == "Age:" { print $2; exit }' <<<"$summary")
  # {B3000721-4B1D-22E8-4C4C-44205044422E} -> B30007214B1D22E84C4C44205044422E
  hex=$(tr -d '{}-' <<<"$guid" | tr '[:lower:]' '[:upper:]')
  if ! [[ $hex =~ ^[0-9A-F]{32}$ && $age =~ ^[0-9]+$ ]]; then
    echo "symbol-store: $pdb: no GUID and age in its summary" >&2
    exit 1
  fi
  name=$(basename "$pdb")
  dir=$store/$name/$hex$(printf '%X' "$age")
  mkdir -p "$dir"
  cp "$pdb" "$dir/$name"
  echo "${dir#"$store"/}/$name"
done
