#!/usr/bin/env bash
# Runs the stack protector's probe under Wine: an argument that overruns its
# 16-byte buffer must end it in the protector's failure routine, which
# (libssp) traps with an illegal instruction, before the function returns
# through the overwritten stack (which would end in an access violation);
# an argument that fits must be copied. libssp writes its report only to a
# terminal (/dev/tty), which a Windows program does not have, so the exit
# code is what shows it.
#   bash hardening/tests/stack_protector_test.sh BUILD_DIR
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:?usage: stack_protector_test.sh BUILD_DIR}" && pwd)
export WINEPREFIX=$build/wineprefix
probe=$build/bin/stack_protector_probe.exe
failures=0

out=$("$root/scripts/wine-run.sh" "$probe" short 2>&1)
status=$?
if [ "$status" -eq 0 ] && grep -q '^copied 5 characters' <<<"$out"; then
  echo "ok: a copy that fits its buffer runs to the end"
else
  echo "FAIL: a copy that fits its buffer (status $status): $out"
  failures=$((failures + 1))
fi

out=$("$root/scripts/wine-run.sh" "$probe" 0123456789abcdef0123456789abcdef 2>&1)
status=$?
ended=$(grep -m1 'ended with exit code' <<<"$out" | sed 's/^wine-run: //')
if [ "$status" -ne 0 ] && grep -q 'exit code 0xC000001D' <<<"$ended" &&
  ! grep -q '^copied' <<<"$out"; then
  echo "ok: an overrun of a stack buffer is stopped by the stack protector ($ended)"
else
  echo "FAIL: an overrun of a stack buffer was not stopped by the stack protector" \
    "(status $status, ${ended:-no exit code}): $(head -5 <<<"$out")"
  failures=$((failures + 1))
fi
exit $((failures > 0))
