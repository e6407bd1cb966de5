#!/usr/bin/env bash
# Builds everything and runs the benchmarks under Wine, printing their figures:
# the platform's stream costs, image adjustment against its floors (with peak
# memory), and whole pages through the filter. The benchmarks are not tests:
# they assert nothing about time and are never run by CTest.
# Usage: scripts/bench.sh [--runs N] [--slow N] [--page NAME]... [--dll PATH]
# (--dll: another build of the filter, as Wine sees it: Z:\path\Vantrel.dll).
# Takes several minutes; BUILD_DIR chooses the build (default ./build).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/build.sh"
export WINEPREFIX="$build/wineprefix"
"$root/scripts/wine-prefix.sh"
trap 'WINEPREFIX="$build/wineprefix" wineserver -k >/dev/null 2>&1 || true' EXIT

build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt")
# The top-level CMakeLists.txt builds RelWithDebInfo (-O2 -g) unless told otherwise.
build_type=${build_type:-RelWithDebInfo}
echo "== machine"
echo "date:    $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "commit:  $(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)"
echo "cores:   $(nproc)"
echo "cpu:     $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)"
echo "memory:  $(awk '/^MemTotal/ {printf "%.1f GiB", $2 / 1048576}' /proc/meminfo)"
echo "wine:    $(wine --version 2>/dev/null)"
echo "build:   $build_type ($build)"
echo "load:    $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 min)"

for program in bench_streams bench_adjust bench_filter; do
  echo
  echo "== $program $*"
  "$root/scripts/wine-run.sh" "$build/bin/$program.exe" "$@"
done
