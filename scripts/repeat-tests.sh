#!/usr/bin/env bash
# Runs the whole test command (scripts/test.sh) several times in a row, each
# time with a new Wine prefix and no wineserver left from before, and records
# each run's result and duration. docs/testing.md keeps the record.
#
#   bash scripts/repeat-tests.sh [-n RUNS] [--clone] [-- ctest arguments]
#
#   -n RUNS   how many runs (10)
#   --clone   run from a new clone of this repository's HEAD, made in an
#             empty temporary folder (its own build, its own prefix), as a
#             new user's first run would; the clone is removed afterwards
#
# The build is reused between runs (test.sh builds what changed). Before each
# run the prefix's wineserver is stopped and waited for, and the prefix and
# the server's socket folder are removed; test.sh then makes the prefix
# anew, as on a machine that never ran the tests.
#
# Each run's whole output goes to $REPEAT_LOG_DIR (build/repeat-tests/<time>)
# as run-N.log; summary.md there holds the table that docs/testing.md shows,
# with each run's count of the starts the platform refused and the test bench
# tried again (test.sh prints it last).
# Exits non-zero when any run failed.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=10
clone=0
while [ $# -gt 0 ]; do
  case $1 in
    -n) runs=$2; shift 2 ;;
    --clone) clone=1; shift ;;
    --) shift; break ;;
    *) echo "usage: bash scripts/repeat-tests.sh [-n RUNS] [--clone] [-- ctest arguments]" >&2; exit 64 ;;
  esac
done

source_root=$root
if [ "$clone" -eq 1 ]; then
  workdir=$(mktemp -d)
  trap 'rm -rf "$workdir"' EXIT
  git clone --quiet --no-hardlinks "$root" "$workdir/clone" || exit 1
  source_root=$workdir/clone
fi
build=${BUILD_DIR:-$source_root/build}
# In a clone, BUILD_DIR would point at another tree's build: the clone's own.
[ "$clone" -eq 1 ] && build=$source_root/build
prefix=$build/wineprefix
stamp=$(date -u +%Y%m%d-%H%M%S)
logs=${REPEAT_LOG_DIR:-$root/build/repeat-tests/$stamp}
mkdir -p "$logs"
summary=$logs/summary.md

# Stops the prefix's wineserver (only this prefix's), waits until it is gone,
# and removes the prefix with its lock and the server's socket folder, whose
# name the prefix keeps in its "wineserver" file (Debian's Wine).
fresh_prefix() {
  if [ -d "$prefix" ]; then
    WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
    WINEPREFIX=$prefix wineserver -w >/dev/null 2>&1 || true
    local socket_dir
    socket_dir=$(cat "$prefix/wineserver" 2>/dev/null || true)
    if [[ $socket_dir =~ ^wine-[A-Za-z0-9]+$ ]] && [ -d "/tmp/$socket_dir" ]; then
      rm -rf "/tmp/$socket_dir"
    fi
  fi
  rm -rf "$prefix" "$prefix.lock"
}

# The wineservers still serving this prefix (none is expected before a run).
servers_of_prefix() {
  local pid
  for pid in $(pgrep -x wineserver64 2>/dev/null; pgrep -x wineserver 2>/dev/null); do
    # (A process may end between pgrep and the read: then it is no server.)
    if { tr '\0' '\n' <"/proc/$pid/environ"; } 2>/dev/null | grep -qx "WINEPREFIX=$prefix"; then
      echo "$pid"
    fi
  done
}

{
  echo "Runs of \`bash scripts/test.sh\` by \`scripts/repeat-tests.sh$([ "$clone" -eq 1 ] && echo ' --clone')\`"
  echo
  echo "- commit: $(git -C "$source_root" rev-parse --short HEAD 2>/dev/null || echo unknown)"
  echo "- machine: $(nproc) cores, $(wine --version 2>/dev/null), $(. /etc/os-release && echo "$PRETTY_NAME")"
  echo "- started: $(date -u '+%Y-%m-%d %H:%M UTC')"
  echo
  echo "| run | started (UTC) | new prefix, no wineserver before | result | duration | tests | failed | starts tried again |"
  echo "|---|---|---|---|---|---|---|---|"
} >"$summary"

passed=0
tried_again_in_all=0
made_in_all=0
for run in $(seq 1 "$runs"); do
  fresh_prefix
  left=$(servers_of_prefix | tr '\n' ' ')
  clean="yes"
  [ -n "$left" ] && clean="no: wineserver $left"
  [ -e "$prefix" ] && clean="no: prefix left"
  log=$logs/run-$run.log
  started=$(date -u '+%Y-%m-%d %H:%M:%S')
  t0=$(date +%s)
  (cd "$source_root" && BUILD_DIR=$build bash scripts/test.sh "$@") >"$log" 2>&1
  rc=$?
  t1=$(date +%s)
  tests=$(grep -aoE '[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -1)
  failed=$(grep -aE '^[[:space:]]*[0-9]+ - [A-Za-z_0-9]+ \(' "$log" | awk '{print $3}' | tr '\n' ' ')
  # test.sh's count of the starts the platform refused and the test bench
  # tried again, and of all its starts ("?" when the run ended before it).
  counts=$(grep -aoE '^[0-9]+ starts? refused by the platform and tried again \([0-9]+ ' "$log" |
    tail -1)
  tried_again=$(cut -d' ' -f1 <<<"$counts")
  made=$(sed -E 's/.*\(([0-9]+) $/\1/' <<<"$counts")
  tried_again_in_all=$((tried_again_in_all + ${tried_again:-0}))
  made_in_all=$((made_in_all + ${made:-0}))
  if [ "$rc" -eq 0 ]; then
    result=passed
    passed=$((passed + 1))
  else
    result="FAILED (exit $rc)"
  fi
  echo "| $run | $started | $clean | $result | $((t1 - t0)) s | ${tests:-no test summary} | ${failed:--} | ${tried_again:-?} of ${made:-?} |" >>"$summary"
  echo "run $run of $runs: $result in $((t1 - t0)) s; ${tests:-no test summary}${failed:+; failed: $failed}; starts tried again: ${tried_again:-?} of ${made:-?} (log: $log)"
done
# A clone goes away with its prefix; the server's socket folder goes with it.
[ "$clone" -eq 1 ] && fresh_prefix

{
  echo
  echo "$passed of $runs runs passed; $tried_again_in_all of $made_in_all starts refused by the platform and tried again."
} >>"$summary"
echo
cat "$summary"
[ "$passed" -eq "$runs" ]
