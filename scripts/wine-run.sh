#!/usr/bin/env bash
# Runs a Windows program under Wine in the build's own prefix.
# Usage: WINEPREFIX=<build>/wineprefix scripts/wine-run.sh program.exe [args...]
# The prefix is created on first use; concurrent first uses wait for each other.
#
# The program's output goes through a temporary file: Wine's own helper
# processes (services, explorer) inherit the program's standard handles and
# outlive it, and a caller that reads a pipe (CTest) would wait for them.
set -uo pipefail
: "${WINEPREFIX:?WINEPREFIX must name the prefix of the build}"
export WINEPREFIX
export WINEARCH=win64
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

"$(dirname "$0")/wine-prefix.sh" || exit 1
out=$(mktemp)
trap 'cat "$out"; rm -f "$out"' EXIT
wine "$@" >"$out" 2>&1 </dev/null
