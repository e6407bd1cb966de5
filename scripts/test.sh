#!/usr/bin/env bash
# Builds everything and runs every test under Wine, with a private X display
# for the setup tool's window. Exits non-zero when any test fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/build.sh"
# Every C++ file must follow .clang-format.
"$root/scripts/check-format.sh"
# The product's code passes the static checks of .clang-tidy.
"$root/scripts/check-tidy.sh" "$build"
export WINEPREFIX="$build/wineprefix"
# Wine's desktop process belongs to the display it started on: a server left
# from an earlier run (whose display is gone) is stopped first.
wineserver -k >/dev/null 2>&1 || true
"$root/scripts/wine-prefix.sh"
trap 'WINEPREFIX="$build/wineprefix" wineserver -k >/dev/null 2>&1 || true' EXIT
# The test bench leaves a line in this record for every start it makes, and
# one for every start the platform refused before the program ran and the
# test bench tried again (testbench/process). Their count ends the run,
# whether the tests passed or not, so that a rising rate shows.
record="$build/starts.txt"
rm -f "$record"
cd "$build"
status=0
"$root/scripts/with-display.sh" ctest --output-on-failure -j1 "$@" || status=$?
refused_line='^testbench: the platform refused'
starts=0
tried_again=0
if [ -f "$record" ]; then
  starts=$(grep -c '^start ' "$record" || true)
  tried_again=$(grep -c "$refused_line" "$record" || true)
fi
of_starts="$starts starts made by the test bench"
case $tried_again in
  0) echo "0 starts refused by the platform and tried again ($of_starts)" ;;
  1) echo "1 start refused by the platform and tried again ($of_starts):" ;;
  *) echo "$tried_again starts refused by the platform and tried again ($of_starts):" ;;
esac
if [ "$tried_again" -gt 0 ]; then grep "$refused_line" "$record" | sed 's/^/  /'; fi
exit "$status"
