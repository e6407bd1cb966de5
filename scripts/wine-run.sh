#!/usr/bin/env bash
# Runs a Windows program under Wine in the build's own prefix.
# Usage: WINEPREFIX=<build>/wineprefix scripts/wine-run.sh program.exe [args...]
# The prefix is created on first use; concurrent first uses wait for each other.
#
# The program's output goes through a temporary file: Wine's own helper
# processes (services, explorer) inherit the program's standard handles and
# outlive it, and a caller that reads a pipe (CTest) would wait for them.
#
# After the output comes a line with the program's exit status (on stderr, so
# that a caller keeping the output as a file gets only the program's), and a
# note when the program wrote nothing: a program that dies before its first
# line still says how it ended. The exit status is passed on.
set -uo pipefail
: "${WINEPREFIX:?WINEPREFIX must name the prefix of the build}"
export WINEPREFIX
export WINEARCH=win64
# Wine's own messages are off, except the loader's errors: a program whose
# DLL is missing or fails to initialise otherwise ends at once, silently.
export WINEDEBUG="${WINEDEBUG:--all,err+module}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

program=$(basename "${1:-}")
if ! "$(dirname "$0")/wine-prefix.sh"; then
  echo "wine-run: the Wine prefix $WINEPREFIX could not be made ready; $program was not started" >&2
  exit 1
fi
out=$(mktemp)
trap 'rm -f "$out"' EXIT
wine "$@" >"$out" 2>&1 </dev/null
rc=$?
cat "$out"
if [ ! -s "$out" ]; then
  echo "wine-run: $program wrote no output at all" >&2
fi
# A Windows exit code arrives cut to its low byte (0xC0000005 as 5); 128 + n
# is also what a Unix process killed by signal n leaves.
if [ "$rc" -gt 128 ] && [ "$rc" -le 192 ]; then
  echo "wine-run: $program ended with status $rc (signal $((rc - 128)), $(kill -l $((rc - 128)) 2>/dev/null || echo '?'), if it was killed)" >&2
else
  echo "wine-run: $program ended with status $rc" >&2
fi
exit $rc
