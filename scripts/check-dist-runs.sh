#!/usr/bin/env bash
# Runs the binaries of a release (dist/) under Wine, as they are shipped
# (signed, no debug information inside):
#   - the transfer host obtains dist/Vantrel.dll through COM activation and
#     scans the grey and the colour sample page through it; each page must
#     come out adjusted (other bytes than the page sent) and byte for byte as
#     the build's own Vantrel.dll, which the tests check, delivers it;
#   - dist/Vantrel-fragment.inf, as the build's test driver package holds it,
#     installed with SetupAPI with dist/Vantrel.dll as the package's file: the
#     transfer host finds the filter through the UI class and activates it,
#     and the grey page comes out as above; the package's uninstall then
#     leaves no Vantrel.dll in the system folder;
#   - dist/Drelmo.exe InstallUSB LOG, then UnInstallUSB LOG, from the folder
#     of the driver packages, against the class-installer stand-in: the first
#     stages the USB package and records it, the second removes the staged
#     package, and each run's log says so.
#   BUILD_DIR=<build> DIST_DIR=<dist> bash scripts/check-dist-runs.sh
# The build must hold wiahost.exe, program_runner.exe, infinstall.exe,
# Vantrel.dll, the stand-in and the packages; its Wine prefix is used.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ -z "${CHECK_DIST_DISPLAY:-}" ]; then
  CHECK_DIST_DISPLAY=1 exec "$root/scripts/with-display.sh" bash "$0" "$@"
fi
build=${BUILD_DIR:?BUILD_DIR must name a build with the transfer host and the stand-in}
dist=${DIST_DIR:-$root/dist}
export WINEPREFIX=$build/wineprefix
export WINEDEBUG=${WINEDEBUG:--all}
# Wine's desktop belongs to the display it started on: a server left from an
# earlier run is stopped first.
wineserver -k >/dev/null 2>&1 || true
"$root/scripts/wine-prefix.sh"
out=$(mktemp -d)
trap 'wineserver -k >/dev/null 2>&1 || true; rm -rf "$out"' EXIT
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
win() { printf 'Z:%s' "${1//\//\\}"; }

# The filter: one transfer per page through each library.
scan() {
  local dll=$1 page=$2 to=$3
  mkdir -p "$to"
  "$root/scripts/wine-run.sh" "$build/bin/wiahost.exe" --activation cocreate --dll "$(win "$dll")" \
    --brightness 250 --contrast 400 --streams file --out "$(win "$to")" --quiet \
    "$(win "$root/testbench/samples/$page.bmp")" >"$to/host.txt" 2>&1
}
for page in grey8 colour24; do
  if ! scan "$dist/Vantrel.dll" "$page" "$out/dist-$page"; then
    cat "$out/dist-$page/host.txt"
    fail "the transfer host could not scan $page.bmp through dist/Vantrel.dll"
    continue
  fi
  if ! scan "$build/bin/Vantrel.dll" "$page" "$out/build-$page"; then
    cat "$out/build-$page/host.txt"
    fail "the transfer host could not scan $page.bmp through the build's Vantrel.dll"
    continue
  fi
  grep -q 'filter: CoCreateInstance -> 0x00000000' "$out/dist-$page/host.txt" ||
    fail "$page: the filter was not obtained through CoCreateInstance"
  received=$out/dist-$page/page1.bmp
  if [ ! -s "$received" ]; then
    fail "$page: no page received through dist/Vantrel.dll"
  elif cmp -s "$received" "$root/testbench/samples/$page.bmp"; then
    fail "$page: delivered unchanged through dist/Vantrel.dll"
  elif ! cmp -s "$received" "$out/build-$page/page1.bmp"; then
    fail "$page: dist/Vantrel.dll delivers other bytes than the build's Vantrel.dll"
  else
    echo "ok: $page.bmp adjusted through COM activation of dist/Vantrel.dll" \
      "($(stat -c %s "$received") bytes, as the build's Vantrel.dll delivers it)"
  fi
done

# The filter installed as a driver package installs it: the release's
# fragment in the test driver package, dist/Vantrel.dll as its file.
package=$build/packages/filter/QZFILTER.inf
fragment=$dist/Vantrel-fragment.inf
installed_dll=$WINEPREFIX/drive_c/windows/system32/Vantrel.dll
section() {
  "$root/scripts/wine-run.sh" "$build/bin/infinstall.exe" "$(win "$package")" "$1" "$(win "$dist")" \
    >"$out/infinstall-$1.txt" 2>&1 || { cat "$out/infinstall-$1.txt"; return 1; }
}
if [ ! -f "$fragment" ]; then
  fail "no Vantrel-fragment.inf in $dist"
elif ! python3 -c 'import sys; sys.exit(open(sys.argv[2]).read() not in open(sys.argv[1]).read())' \
  "$package" "$fragment"; then
  fail "the test driver package $package does not hold $fragment as it stands"
else
  ui_class=$(sed -n 's/^UiClassId="\(.*\)"\r\{0,1\}$/\1/p' "$package")
  section QZUninstall.NT || true
  mkdir -p "$out/installed"
  if ! section QZFilter.NT; then
    fail "the test driver package with dist/Vantrel-fragment.inf did not install"
  elif ! cmp -s "$installed_dll" "$dist/Vantrel.dll"; then
    fail "the package did not put dist/Vantrel.dll into the system folder"
  elif ! "$root/scripts/wine-run.sh" "$build/bin/wiahost.exe" --activation installed \
    --ui-clsid "$ui_class" --brightness 250 --contrast 400 --streams file \
    --out "$(win "$out/installed")" --quiet "$(win "$root/testbench/samples/grey8.bmp")" \
    >"$out/installed/host.txt" 2>&1; then
    cat "$out/installed/host.txt"
    fail "the transfer host could not scan through the installed dist/Vantrel.dll"
  elif ! cmp -s "$out/installed/page1.bmp" "$out/build-grey8/page1.bmp"; then
    fail "grey8: the installed dist/Vantrel.dll delivers other bytes than the build's Vantrel.dll"
  else
    echo "ok: grey8.bmp adjusted through the registration dist/Vantrel-fragment.inf installs" \
      "(found under UI class $ui_class, created on a single-threaded apartment thread)"
  fi
  section QZUninstall.NT || fail "the package's uninstall section failed"
  section QZUiClassRemove || true
  [ ! -e "$installed_dll" ] || fail "the package's uninstall left C:\\windows\\system32\\Vantrel.dll"
fi

# The setup tool, against the stand-in installed where the platform keeps
# the real "sti_ci.dll", with no devices and no logs left from before.
drive_c=$WINEPREFIX/drive_c
cp "$build/sti_ci/sti_ci.dll" "$drive_c/windows/system32/sti_ci.dll"
wine reg delete 'HKLM\SOFTWARE\QzTestBench\StillImage' /f >/dev/null 2>&1 || true
record='HKLM\SOFTWARE\Orvane\QzPrinter\Tarvel\Mgr\Driver'
wine reg delete "$record" /v scannerUSB /f >/dev/null 2>&1 || true
rm -f "$drive_c/log/InstallUSB.log" "$drive_c/log/UninstallUSB.log"

drelmo() {
  (cd "$build/packages" && "$root/scripts/wine-run.sh" "$dist/Drelmo.exe" "$@") >"$out/drelmo-$1.txt" 2>&1 ||
    fail "Drelmo.exe $* ended with $(tail -1 "$out/drelmo-$1.txt")"
}
log_text() {
  [ -f "$drive_c/log/$1.log" ] || return 0
  iconv -f UTF-16LE -t UTF-8 "$drive_c/log/$1.log" | tr -d '\r'
}

drelmo InstallUSB LOG
installed=$(log_text InstallUSB)
staged=$( (wine reg query "$record" /v scannerUSB 2>/dev/null || true) | tr -d '\r' |
  awk '/scannerUSB/ { print $3 }')
if [ -z "$installed" ]; then
  fail "Drelmo.exe InstallUSB LOG wrote no C:\\log\\InstallUSB.log"
elif ! grep -q ' SetupCopyOEMInf Result = 1$' <<<"$installed"; then
  fail "Drelmo.exe InstallUSB LOG did not stage the package: $(tr '\n' '|' <<<"$installed")"
elif [ -z "$staged" ] || [ ! -f "$drive_c/windows/inf/$staged" ]; then
  fail "Drelmo.exe InstallUSB LOG left no record of a staged package (record: '${staged}')"
else
  echo "ok: dist/Drelmo.exe InstallUSB LOG staged the USB package as C:\\windows\\inf\\$staged"
fi

drelmo UnInstallUSB LOG
removed=$(log_text UninstallUSB)
if [ -z "$removed" ]; then
  fail "Drelmo.exe UnInstallUSB LOG wrote no C:\\log\\UninstallUSB.log"
elif ! grep -q " Delete Cmd: QZUninstall.NT 132 $staged$" <<<"$removed" ||
  ! grep -q ' Remove Service Result = 1$' <<<"$removed"; then
  fail "Drelmo.exe UnInstallUSB LOG did not remove the package: $(tr '\n' '|' <<<"$removed")"
elif [ -n "$staged" ] && [ -f "$drive_c/windows/inf/$staged" ]; then
  fail "Drelmo.exe UnInstallUSB LOG left C:\\windows\\inf\\$staged"
else
  echo "ok: dist/Drelmo.exe UnInstallUSB LOG removed the staged package"
fi

if [ "$failures" -gt 0 ]; then
  echo "check-dist-runs: $failures problems with the binaries in $dist"
  exit 1
fi
echo "check-dist-runs: the binaries in $dist work under Wine"
