#!/usr/bin/env bash
# Runs a Windows program under Wine in the build's own prefix.
# Usage: WINEPREFIX=<build>/wineprefix scripts/wine-run.sh program.exe [args...]
# The prefix is created on first use; concurrent first uses wait for each other.
#
# The program's output goes through a temporary file: Wine's own helper
# processes (services, explorer) inherit the program's standard handles and
# outlive it, and a caller that reads a pipe (CTest) would wait for them.
#
# The program is started by the build's program_runner.exe, which records the
# exit code Windows keeps for it. The status Wine gives a Unix caller is not
# enough: a process ended from outside (by the debugger Wine starts for an
# unhandled exception, by another process, or when the Wine server goes away)
# leaves status 0, so a crashed program would look like one that passed.
#
# After the output comes a line with the program's exit code (on stderr, so
# that a caller keeping the output as a file gets only the program's), and a
# note when a console program wrote nothing: a program that dies before its
# first line still says how it ended. A window program (Drelmo.exe) writes
# nothing by design and gets no such note. The exit status is the exit code's low byte,
# or 1 when that byte is 0 but the code is not; 1 also when the program could
# not be started, the runner was ended from outside or is not built.
set -uo pipefail
: "${WINEPREFIX:?WINEPREFIX must name the prefix of the build}"
export WINEPREFIX
export WINEARCH=win64
# Wine's own messages are off, except the loader's errors: a program whose
# DLL is missing or fails to initialise otherwise ends at once, silently.
export WINEDEBUG="${WINEDEBUG:--all,err+module}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

if [ $# -eq 0 ]; then
  echo "usage: WINEPREFIX=<build>/wineprefix scripts/wine-run.sh program.exe [args...]" >&2
  exit 64
fi
program=$(basename "$1")
runner=${WINE_RUNNER:-$(dirname "$WINEPREFIX")/bin/program_runner.exe}
if [ ! -f "$runner" ]; then
  echo "wine-run: $runner is not built (scripts/build.sh builds it); $program was not started" >&2
  exit 1
fi
if ! "$(dirname "$0")/wine-prefix.sh"; then
  echo "wine-run: the Wine prefix $WINEPREFIX could not be made ready; $program was not started" >&2
  exit 1
fi
out=$(mktemp)
exit_file=$(mktemp)
trap 'rm -f "$out" "$exit_file"' EXIT

# Wine maps / to drive Z:.
windows_path() { local path=$1; printf 'Z:%s' "${path//\//\\}"; }

# The program file's subsystem, from its PE header: 2 for a window program,
# 3 for a console program; empty when the file cannot be read as one.
subsystem() {
  local pe
  pe=$(od -An -t u4 -j 60 -N 4 "$1" 2>/dev/null | tr -d ' ') || return 0
  [ -n "$pe" ] && od -An -t u2 -j $((pe + 92)) -N 2 "$1" 2>/dev/null | tr -d ' '
}

# Names the exit codes a test program is seen to end with when it fails badly.
describe_code() {
  case $1 in
    0xC0000005) echo " (access violation)" ;;
    0xC00000FD) echo " (stack overflow)" ;;
    0xC0000374) echo " (heap corruption)" ;;
    0xC0000409) echo " (stack buffer overrun or fail-fast)" ;;
    0xC000001D) echo " (illegal instruction)" ;;
    0xC0000094) echo " (integer division by zero)" ;;
    0x80000003) echo " (breakpoint)" ;;
    0xC0000135) echo " (a DLL was not found)" ;;
    0xC0000139) echo " (an entry point was not found)" ;;
    0xC0000142) echo " (a DLL failed to initialise)" ;;
    0xC0000033 | 0xC0000034 | 0xC000003A) echo " (the program could not be opened)" ;;
    0x80000101) echo " (Wine reported an abort in its own code)" ;;
  esac
}

target=$1
shift
kind_of_program=""
[ -f "$target" ] && kind_of_program=$(subsystem "$target")
[[ $target != /* && -f $target ]] && target=$(realpath "$target")
[[ $target == /* ]] && target=$(windows_path "$target")
rm -f "$exit_file"
WINE_RUN_EXIT_FILE=$(windows_path "$exit_file") \
  wine "$runner" "$target" "$@" >"$out" 2>&1 </dev/null
rc=$?
cat "$out"
[ -s "$out" ] || [ "$kind_of_program" = 2 ] || echo "wine-run: $program wrote no output at all" >&2
read -r kind value <"$exit_file" 2>/dev/null || kind=""
case $kind in
  exit)
    echo "wine-run: $program ended with exit code $value$(describe_code "$value")" >&2
    code=$((value))
    status=$((code & 0xFF))
    [ "$code" -ne 0 ] && [ "$status" -eq 0 ] && status=1
    exit "$status"
    ;;
  not)
    echo "wine-run: $program could not be started (error ${value#started })" >&2
    exit 1
    ;;
  *)
    echo "wine-run: $program's runner was ended from outside (status $rc): the program's exit code is unknown" >&2
    exit 1
    ;;
esac
