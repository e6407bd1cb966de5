#!/usr/bin/env bash
# Builds everything and runs every test under Wine, with a private X display
# for the setup tool's window. Exits non-zero when any test fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/build.sh"
# Every C++ file must follow .clang-format.
"$root/scripts/check-format.sh"
export WINEPREFIX="$build/wineprefix"
# Wine's desktop process belongs to the display it started on: a server left
# from an earlier run (whose display is gone) is stopped first.
wineserver -k >/dev/null 2>&1 || true
"$root/scripts/wine-prefix.sh"
trap 'WINEPREFIX="$build/wineprefix" wineserver -k >/dev/null 2>&1 || true' EXIT
# Every start the platform refused before the program ran and the test bench
# tried again leaves a line here (testbench/process); the count ends the run,
# whether the tests passed or not, so that a rising rate shows.
record="$build/starts-tried-again.txt"
rm -f "$record"
cd "$build"
status=0
"$root/scripts/with-display.sh" ctest --output-on-failure -j1 "$@" || status=$?
tried_again=0
[ -f "$record" ] && tried_again=$(grep -c '' "$record")
case $tried_again in
  0) echo "0 starts refused by the platform and tried again" ;;
  1) echo "1 start refused by the platform and tried again:" ;;
  *) echo "$tried_again starts refused by the platform and tried again:" ;;
esac
if [ "$tried_again" -gt 0 ]; then sed 's/^/  /' "$record"; fi
exit "$status"
