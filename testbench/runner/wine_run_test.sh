#!/usr/bin/env bash
# scripts/wine-run.sh must say how a program ended and fail for every end
# but a clean exit with 0, also when Wine's own status of the process is 0
# (a crash handled by Wine's debugger, a process ended from outside).
#   WINEPREFIX=... bash wine_run_test.sh <wine-run.sh> <end_probe.exe>
set -uo pipefail
run=$1
probe=$2
failures=0

# expect <status> <text in wine-run's lines> <probe arguments...>
expect() {
  local want=$1 text=$2
  shift 2
  local output status
  output=$("$run" "$probe" "$@" 2>&1)
  status=$?
  if [ "$status" -ne "$want" ] || ! grep -qF -- "$text" <<<"$output"; then
    echo "FAILED: end_probe $*: status $status (expected $want), output:"
    echo "$output" | sed 's/^/    /'
    failures=$((failures + 1))
  else
    echo "ok: end_probe $*: status $status, \"$text\""
  fi
}

expect 0 "ended with exit code 0x00000000" exit 0
expect 3 "ended with exit code 0x00000003" exit 3
# A code whose low byte is 0 still fails.
expect 1 "ended with exit code 0x00000100" exit 256
# A fault on a thread the program did not guard: Wine's debugger prints the
# backtrace and ends the process from outside.
expect 5 "ended with exit code 0xC0000005 (access violation)" crash
expect 7 "ended with exit code 0x00000007" ended-by-child 7

# A program that is not there.
probe=${probe%.exe}-missing.exe
expect 1 "could not be started (error 2)"
exit $((failures > 0))
