#!/usr/bin/env bash
# Demo of the setup tool: runs Drelmo.exe's USB install and uninstall from
# the folder holding the driver packages, under Wine in the build's prefix,
# and shows the logs it wrote and the registry record of the staged package.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# One display for every run of the window (a private one unless DISPLAY works).
if [ -z "${DEMO_SETUP_DISPLAY:-}" ]; then
  DEMO_SETUP_DISPLAY=1 exec "$root/scripts/with-display.sh" bash "$0" "$@"
fi
build=${BUILD_DIR:-$root/build}
[ "${SKIP_BUILD:-}" = 1 ] ||
  BUILD_LOG=${BUILD_LOG:-$build/demo-build.log} "$root/scripts/build.sh" --shown

export WINEPREFIX="$build/wineprefix"
export WINEDEBUG="${WINEDEBUG:--all}"
# Wine's desktop process belongs to the display it started on: stop a server
# left from an earlier run so this one starts on the current display.
wineserver -k >/dev/null 2>&1 || true
"$root/scripts/wine-prefix.sh"
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
drive_c="$WINEPREFIX/drive_c"
record='HKLM\SOFTWARE\Orvane\QzPrinter\Tarvel\Mgr\Driver'

# The last run of a log: its files are UTF-16LE and collect every run. A run
# that could not use C:\log logs to the tool's folder under the Windows
# folder, and says why in its first line: the newer of the two is shown.
show_log() {
  local file
  file=$(ls -t "$drive_c/log/$1.log" "$drive_c/windows/logs/Drelmo/$1.log" 2>/dev/null | head -n 1 || true)
  case $file in
    */logs/Drelmo/*) echo "--- C:\\windows\\Logs\\Drelmo\\$1.log (last run)" ;;
    *) echo "--- C:\\log\\$1.log (last run)" ;;
  esac
  if [ -f "$file" ]; then
    iconv -f UTF-16LE -t UTF-8 "$file" | tr -d '\r' |
      awk -v sep="$(printf '%030d' 0 | tr 0 '*')" \
        '$0 == sep { n = 0; next } { run[n++] = $0 } END { for (i = 0; i < n; i++) print run[i] }'
  else
    echo "(no log written)"
  fi
}

# One run of the tool: a window program writes nothing, so what it did is
# its exit code (as Windows keeps it, from the runner's last line) and its
# log. Anything else the run printed (Wine's loader errors, a crash) is shown
# before the exit code.
drelmo() {
  echo
  echo "=== Drelmo.exe $* (in $build/packages)"
  local said ended
  said=$(cd "$build/packages" && "$root/scripts/wine-run.sh" "$build/bin/Drelmo.exe" "$@" 2>&1) || true
  ended=$(sed -n 's/^wine-run: Drelmo.exe ended with exit code \(.*\)$/\1/p' <<<"$said")
  grep -v '^wine-run: Drelmo.exe ended with exit code ' <<<"$said" || true
  if [ -n "$ended" ]; then echo "exit code: $ended"; fi
}

# Wine has no still-image class installer: the test bench's stand-in is
# installed where the platform keeps the real "sti_ci.dll", the prefix's
# system folder, and its devices are cleared so the demo starts without
# devices left by earlier test runs.
cp "$build/sti_ci/sti_ci.dll" "$drive_c/windows/system32/sti_ci.dll"
devices='HKLM\SOFTWARE\QzTestBench\StillImage\Devices'
wine reg delete 'HKLM\SOFTWARE\QzTestBench\StillImage' /f >/dev/null 2>&1 || true

drelmo InstallUSB LOG
show_log InstallUSB
echo "--- registry record of the staged package"
wine reg query "$record" /v scannerUSB 2>/dev/null | tr -d '\r' | grep scannerUSB || echo "(none)"
staged=$( (wine reg query "$record" /v scannerUSB 2>/dev/null || true) | tr -d '\r' | awk '/scannerUSB/ { print $3 }')
if [ -n "$staged" ]; then
  echo "--- staged copy: C:\\windows\\inf\\$staged"
  ls -l "$drive_c/windows/inf/$staged"
fi

drelmo UnInstallUSB LOG
show_log UninstallUSB
echo "(\"Failed!! ErrorNo[ERROR_NO_MORE_ITEMS]\" is how the log words an empty device list:"
echo " the USB install only staged the package and made no device, so there is none to remove.)"

# The network model: Drelmo.exe creates and removes the device through
# "sti_ci.dll" from the system folder, here the test bench's stand-in, which
# keeps its device list under its own registry key.
show_devices() {
  echo "--- stand-in device list ($devices)"
  wine reg query "$devices" /s 2>/dev/null | tr -d '\r' | grep -E '^HKEY|REG_SZ' || echo "(no devices)"
}

drelmo InstallNET LOG
show_log InstallNET
show_devices

drelmo UnInstallNET LOG
show_log UninstallNET
echo "(The uninstall asks for devices until the list has no more: the last"
echo " ERROR_NO_MORE_ITEMS is the end of the list, not a failure of the run.)"
show_devices
