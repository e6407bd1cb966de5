#!/usr/bin/env bash
# scripts/try-pages.sh on a page the filter delivers and on one it refuses (a
# grey page one byte short of its last row): a verdict per page, the received
# page and its pictures, and exit code 1 for the refusal; 0 for good pages.
#   bash tests/try_pages_test.sh BUILD_DIR
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?usage: try_pages_test.sh BUILD_DIR}" && pwd)
work=$build/try-pages-test
rm -rf "$work" && mkdir -p "$work"
head -c -1 "$root/testbench/samples/grey8.bmp" >"$work/short.bmp"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
try() { SKIP_BUILD=1 BUILD_DIR=$build bash "$root/scripts/try-pages.sh" "$@" --out "$work/out" 2>&1; }

status=0
output=$(try "$root/testbench/samples/colour24.bmp" "$work/short.bmp" --brightness 100) || status=$?
echo "$output"
[ "$status" -eq 1 ] || fail "exit code $status with a refused page, not 1"
size=$(sed -n 's/^  colour24.bmp: delivered, \([0-9]*\) bytes$/\1/p' <<<"$output")
[ -n "$size" ] && [ "$(stat -c %s "$work/out/colour24-after.bmp")" = "$size" ] ||
  fail "no verdict, or a received colour24-after.bmp of another size than the verdict's"
for png in colour24-before colour24-after colour24-compare; do
  [ -s "$work/out/$png.png" ] || fail "no $png.png"
done
grep -q '^  short.bmp: refused: .* (0x8007000D)' <<<"$output" ||
  fail "no refusal with its reason (invalid data) for short.bmp"
[ ! -e "$work/out/short-after.bmp" ] || fail "a refused page left short-after.bmp"

output=$(try "$root/testbench/samples/grey8.bmp") || fail "exit code $? with good pages only"
grep -q '^  grey8.bmp: delivered, ' <<<"$output" || fail "no verdict for grey8.bmp: $output"
[ "$failures" -eq 0 ] || exit 1
echo "try-pages: verdicts and exit codes as they should be"
