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
cd "$build"
"$root/scripts/with-display.sh" ctest --output-on-failure -j1 "$@"
