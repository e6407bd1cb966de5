#!/usr/bin/env bash
# Checks that each given binary imports no MinGW runtime DLL (it is loaded into
# or started in places that bring nothing but the binary itself).
set -euo pipefail
status=0
for bin in "$@"; do
  dlls=$(x86_64-w64-mingw32-objdump -p "$bin" | awk '/DLL Name:/ {print tolower($3)}')
  bad=$(printf '%s\n' "$dlls" | grep -E '^(libstdc\+\+|libgcc|libwinpthread|libgomp)' || true)
  if [ -n "$bad" ]; then
    echo "FAIL: $(basename "$bin") imports $bad"
    status=1
  else
    echo "ok: $(basename "$bin") imports only: $(printf '%s ' $dlls)"
  fi
done
exit $status
