#!/usr/bin/env bash
# Installs Vantrel.dll into the build's Wine prefix as a driver package
# installs it (the test driver package that holds packaging/Vantrel-fragment.inf,
# with SetupAPI), scans the bundled sample pages (8-bit grey, 24-bit colour,
# 1-bit) through the filter that the transfer host finds and activates through
# that registration, at a brightness and contrast that visibly change them,
# converts every page before and after to PNG, and uninstalls the package.
# Results land in out/filter (or $DEMO_OUT): <page>-before.png, <page>-after.png,
# <page>-compare.png (before | after), the received BMPs and the host's output
# (<page>-host.txt).
# Brightness and contrast (thousandths) can be set with DEMO_BRIGHTNESS and
# DEMO_CONTRAST.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
out=${DEMO_OUT:-$root/out/filter}
brightness=${DEMO_BRIGHTNESS:-250}
contrast=${DEMO_CONTRAST:-400}
samples=(grey8 colour24 mono1)

package=$build/packages/filter/QZFILTER.inf
[ "${SKIP_BUILD:-}" = 1 ] ||
  BUILD_LOG=${BUILD_LOG:-$build/demo-build.log} "$root/scripts/build.sh" --shown

rm -rf "$out"
mkdir -p "$out"
pages=()
for name in "${samples[@]}"; do
  pages+=("$root/testbench/samples/$name.bmp")
done

export WINEPREFIX="$build/wineprefix"
export WINEDEBUG="${WINEDEBUG:--all}"
win() { printf 'Z:%s' "${1//\//\\}"; }
string() { sed -n "s/^$1=\"\(.*\)\"\r\{0,1\}$/\1/p" "$package"; }
ui_class=$(string UiClassId)
filter_class=$(string VantrelClassId)
# Installs a section of the package with SetupAPI (files and registry).
section() {
  local errors=$out/infinstall-errors.txt
  if "$root/scripts/wine-run.sh" "$build/bin/infinstall.exe" "$(win "$package")" "$1" \
    2>"$errors" | tr -d '\r' | sed 's/^/  /'; then
    rm -f "$errors"
  else
    cat "$errors" >&2
    return 1
  fi
}
show_registration() {
  for key in "HKCR\\CLSID\\$ui_class\\shellex\\ImageProcessingFilter" "HKCR\\CLSID\\$filter_class"; do
    wine reg query "$key" /s 2>/dev/null | tr -d '\r' | grep -v -e '^$' -e '^reg: ' | sed 's/^/  /' ||
      echo "  $key: not there"
  done
  if [ -f "$WINEPREFIX/drive_c/windows/system32/Vantrel.dll" ]; then
    echo "  C:\\windows\\system32\\Vantrel.dll: $(stat -c %s "$WINEPREFIX/drive_c/windows/system32/Vantrel.dll") bytes"
  else
    echo "  C:\\windows\\system32\\Vantrel.dll: not there"
  fi
}

# The filter's lines, as a driver package installs them: the package's
# uninstall first clears whatever an earlier run or test left.
echo "Installing the filter from the test driver package $package"
echo "(packaging/Vantrel-fragment.inf pasted into a driver INF, UI class $ui_class):"
section QZUninstall.NT >/dev/null
section QZFilter.NT
show_registration
echo

echo "Scanning ${#samples[@]} sample pages through the installed Vantrel.dll" \
     "(brightness $brightness, contrast $contrast)..."
# The pages through the filter the host finds under the package's UI class,
# with scripts/try-pages.sh: a verdict per page, the PNGs and each page's
# NAME-host.txt.
status=0
SKIP_BUILD=1 BUILD_DIR=$build "$root/scripts/try-pages.sh" "${pages[@]}" \
  --brightness "$brightness" --contrast "$contrast" --out "$out" \
  -- --activation installed --ui-clsid "$ui_class" --time || status=$?
echo
echo "Uninstalling the package's filter lines:"
section QZUninstall.NT
section QZUiClassRemove
show_registration
if [ "$status" -ne 0 ]; then
  echo "the pages did not all arrive (try-pages.sh exit code $status)" >&2
  exit "$status"
fi

echo
echo "Before and after, as PNG, in $out:"
for name in "${samples[@]}"; do
  echo "  $name-before.png  $name-after.png  $name-compare.png (before | after)"
done
echo "The 1-bit page is delivered unchanged: brightness and contrast do not apply to it."
echo
echo "Time per page (from the application's GetNextStream to its answer to the page's"
echo "end-of-stream message), as the host measured it:"
for name in "${samples[@]}"; do
  ms=$(sed -n 's/^time: page 1: //p' "$out/$name-host.txt")
  echo "  $name: ${ms:-not measured}"
done
