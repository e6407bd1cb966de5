#!/usr/bin/env bash
# Runs a command with an X display: the caller's own if DISPLAY is set, or a
# private Xvfb server on a free display number that is stopped afterwards.
set -euo pipefail
if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
  exec "$@"
fi
fifo=$(mktemp -u)
mkfifo "$fifo"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
xpid=$!
read -r num <"$fifo"
rm -f "$fifo"
export DISPLAY=":$num"
trap 'kill $xpid 2>/dev/null || true; wait $xpid 2>/dev/null || true' EXIT
set +e
"$@"
rc=$?
exit $rc
