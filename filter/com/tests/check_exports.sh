#!/usr/bin/env bash
# Checks Vantrel.dll's export table (exactly DllCanUnloadNow @1,
# DllGetClassObject @2, DllMain @3, by name) and that it imports no MinGW
# runtime DLL.
# Usage: check_exports.sh <objdump> <Vantrel.dll>
set -euo pipefail
objdump=$1
dll=$2
dump=$("$objdump" -p "$dll")

base=$(awk '/^Ordinal Base/ {print $3}' <<<"$dump")
exports=$(awk '/^\[Ordinal\/Name Pointer\] Table/ {on=1; next}
               on && /^\t\[/ {gsub(/[\[\]]/, " "); print $1 + base, $2; next}
               on {exit}' base="$base" <<<"$dump")
expected=$'1 DllCanUnloadNow\n2 DllGetClassObject\n3 DllMain'
if [ "$exports" != "$expected" ]; then
  echo "unexpected exports (ordinal name):"
  echo "$exports"
  exit 1
fi

runtime=$(grep -iE 'DLL Name: (libstdc\+\+|libgcc|libwinpthread)' <<<"$dump" || true)
if [ -n "$runtime" ]; then
  echo "imports a MinGW runtime DLL: $runtime"
  exit 1
fi
echo "exports: $(tr '\n' ' ' <<<"$exports")"
