#!/usr/bin/env bash
# Checks that each given binary imports only DLLs that Windows itself ships
# in its system folder (from Windows 7 on): no MinGW runtime DLL, nothing that
# would have to be installed beside it. Each binary is loaded into or started
# in places that bring nothing but the binary itself.
set -euo pipefail
system_dlls=" advapi32 cfgmgr32 comctl32 comdlg32 crypt32 gdi32 gdiplus imm32 kernel32 msvcrt
  newdev ntdll ole32 oleaut32 psapi rpcrt4 setupapi shell32 shlwapi sti user32 userenv uxtheme
  version wininet wintrust ws2_32 "
system_dlls=$(tr -s ' \n' ' ' <<<"$system_dlls")
status=0
for bin in "$@"; do
  dlls=$(x86_64-w64-mingw32-objdump -p "$bin" | awk '/DLL Name:/ {print tolower($3)}')
  bad=""
  for dll in $dlls; do
    [[ $system_dlls == *" ${dll%.dll} "* && $dll == *.dll ]] || bad+="$dll "
  done
  if [ -z "$dlls" ]; then
    echo "FAIL: $(basename "$bin") has no import table (not a PE binary?)"
    status=1
  elif [ -n "$bad" ]; then
    echo "FAIL: $(basename "$bin") imports DLLs that are not Windows system DLLs: $bad"
    status=1
  else
    echo "ok: $(basename "$bin") imports only system DLLs: $(printf '%s ' $dlls)"
  fi
done
exit $status
