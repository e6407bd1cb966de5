#!/usr/bin/env bash
# The whole robustness campaign (minutes, not part of CI): malformed pages
# through AdjustImage, failing streams, transfers through the whole filter,
# and the setup tool under hostile command lines and environments.
#
#   bash scripts/robustness.sh [adjust|faults|filter|setup ...]
#
# Environment: SEED (1), ADJUST_CASES (100000), FILTER_CASES (10000),
# BUILD_DIR (./build), ROBUST_BIN (programs from this folder instead of
# $BUILD_DIR/bin, nothing built: a snapshot lets the build go on meanwhile),
# ROBUST_OUT (logs; $BUILD_DIR/robustness). A summary goes to summary.txt.
# Every program runs under Wine with heap checking on (WINEDEBUG=warn+heap);
# a crash or hang is recorded with its case and the run goes on after it.
# Exits non-zero when any case misbehaved.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# The setup tool needs a display, and Wine settles on one (or none) when its
# first program of a session starts: the whole campaign runs with one.
if [ -z "${ROBUST_DISPLAY_READY:-}" ]; then
  ROBUST_DISPLAY_READY=1 exec "$root/scripts/with-display.sh" bash "$0" "$@"
fi
build=${BUILD_DIR:-$root/build}
seed=${SEED:-1}
adjust_cases=${ADJUST_CASES:-100000}
filter_cases=${FILTER_CASES:-10000}
chunk=10000
out=${ROBUST_OUT:-$build/robustness}
bin=${ROBUST_BIN:-$build/bin}
parts=("$@")
[ ${#parts[@]} -eq 0 ] && parts=(adjust faults filter setup)

if [ -z "${ROBUST_BIN:-}" ]; then
  "$root/scripts/build.sh" || exit 1
fi
export WINEPREFIX="$build/wineprefix"
"$root/scripts/wine-prefix.sh"
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
mkdir -p "$out"
summary=$out/summary.txt
: >"$summary"
heapdebug="-all,err+heap,warn+heap"
status=0

say() { echo "$*" | tee -a "$summary"; }

# Runs a campaign program over cases [start, end) in chunks; after a crash or
# hang (exit 3 or 4, with a CRASH/HANG line naming the case) it goes on with
# the next case. Appends everything to the log.
run_resumable() {
  local log=$1 exe=$2 start=$3 end=$4
  shift 4
  local next=$start
  while [ "$next" -lt "$end" ]; do
    local count=$((end - next))
    [ "$count" -gt "$chunk" ] && count=$chunk
    local part
    part=$(mktemp)
    WINEDEBUG=$heapdebug timeout 900 "$root/scripts/wine-run.sh" "$bin/$exe" \
      --seed "$seed" --start "$next" --count "$count" "$@" >"$part" 2>&1
    local rc=$?
    cat "$part" >>"$log"
    case $rc in
      0 | 1) next=$((next + count)) ;;
      3 | 4)
        local at
        at=$(grep -aoE '^(CRASH|HANG) case [0-9]+' "$part" | tail -1 | awk '{print $3}')
        if [ -z "$at" ]; then
          echo "no case named after exit $rc; skipping the chunk" >>"$log"
          next=$((next + count))
        else
          next=$((at + 1))
        fi
        ;;
      *)
        echo "exit $rc (time-out or no start) in cases $next.. ; skipping the chunk" >>"$log"
        next=$((next + count))
        ;;
    esac
    rm -f "$part"
  done
}

count_lines() { grep -acE "$1" "$2" 2>/dev/null || true; }

# The heap check must be real: an injected overrun has to be reported.
canary=$(WINEDEBUG=$heapdebug "$root/scripts/wine-run.sh" "$bin/robust_heap_canary.exe" 2>&1)
if [ $? -eq 0 ] && grep -q 'err:heap' <<<"$canary"; then
  say "heap check: an injected 4-byte overrun is detected and reported (err:heap)"
else
  say "heap check: an injected overrun went unnoticed; results would mean nothing"
  exit 2
fi

for part in "${parts[@]}"; do
  case $part in
    adjust)
      log=$out/adjust.log
      : >"$log"
      t0=$(date +%s)
      run_resumable "$log" robust_adjust.exe 0 "$adjust_cases" --hang-seconds 15
      t1=$(date +%s)
      crashes=$(count_lines '^CRASH' "$log")
      hangs=$(count_lines '^HANG' "$log")
      problems=$(count_lines '^PROBLEM' "$log")
      heap=$(count_lines 'err:heap' "$log")
      say "adjust: $adjust_cases pages of seed $seed in $((t1 - t0)) s: crashes $crashes, hangs $hangs, problem cases $problems, heap reports $heap"
      [ $((crashes + hangs + problems + heap)) -eq 0 ] || status=1
      ;;
    faults)
      log=$out/faults.log
      WINEDEBUG=$heapdebug timeout 900 "$root/scripts/wine-run.sh" "$bin/robust_adjust.exe" \
        --seed "$seed" --faults >"$log" 2>&1
      say "faults (AdjustImage): $(grep -a '^fault pages' "$log" || echo 'did not finish'); heap reports $(count_lines 'err:heap' "$log")"
      grep -aqE '^(CRASH|HANG)|PROBLEM|err:heap' "$log" && status=1
      ;;
    filter)
      if [ ! -x "$bin/robust_filter.exe" ]; then
        say "filter: not built (the COM filter is missing)"
        continue
      fi
      log=$out/filter.log
      : >"$log"
      run_resumable "$log" robust_filter.exe 0 "$filter_cases" --hang-seconds 15
      say "filter: $filter_cases transfers of seed $seed: crashes $(count_lines '^CRASH' "$log"), hangs $(count_lines '^HANG' "$log"), problem cases $(count_lines '^PROBLEM' "$log"), heap reports $(count_lines 'err:heap' "$log")"
      log=$out/filter-faults.log
      WINEDEBUG=$heapdebug timeout 900 "$root/scripts/wine-run.sh" "$bin/robust_filter.exe" \
        --seed "$seed" --faults >"$log" 2>&1
      say "faults (filter): $(grep -a '^fault transfers' "$log" || echo 'did not finish')"
      grep -aqE '^(CRASH|HANG|PROBLEM)|PROBLEM|err:heap' "$out"/filter*.log && status=1
      ;;
    setup)
      if [ ! -x "$bin/robust_setup_test.exe" ] || [ ! -x "$bin/Drelmo.exe" ]; then
        say "setup: not built (the setup tool or its campaign is missing)"
        continue
      fi
      log=$out/setup.log
      # The program finds Drelmo.exe, the stand-in and the packages in the build.
      WINEDEBUG=$heapdebug timeout 3000 "$root/scripts/wine-run.sh" "$build/bin/robust_setup_test.exe" --full >"$log" 2>&1
      rc=$?
      say "setup: $(grep -ac '^\[       OK \]' "$log") campaign tests passed, $(grep -ac '^\[  FAILED  \] [A-Z]' "$log") failed ($(grep -acE 'Failure|error:' "$log") failed checks), heap reports $(count_lines 'err:heap' "$log"); exit $rc"
      [ $rc -eq 0 ] || status=1
      ;;
    *) echo "unknown part: $part" >&2; exit 64 ;;
  esac
done
say "logs: $out"
exit $status
