#!/usr/bin/env bash
# Creates the Wine prefix named by WINEPREFIX if it does not exist yet, and
# keeps one wineserver running for it so later starts are quick.
set -euo pipefail
: "${WINEPREFIX:?WINEPREFIX must name the prefix of the build}"
export WINEARCH=win64
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

# A program that crashes is to end at once, with Wine's backtrace on its
# standard error, instead of waiting behind Wine's crash dialog until the
# test's time runs out. The setting is written in a session of its own, once
# the server that made the prefix is gone, and read back from the registry
# file that server writes when it ends.
no_crash_dialog() {
  wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
    >/dev/null 2>&1 || true
  wineserver -w
  grep -q '^"ShowCrashDialog"=dword:00000000' "$WINEPREFIX/user.reg" && return
  echo "wine-prefix: could not turn off Wine's crash dialog in $WINEPREFIX" >&2
  return 1
}

mkdir -p "$(dirname "$WINEPREFIX")"
(
  flock 9
  if [ ! -f "$WINEPREFIX/.ready" ]; then
    rm -rf "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1 || true
    wineserver -w
    no_crash_dialog || exit 1
    touch "$WINEPREFIX/.no-crash-dialog" "$WINEPREFIX/.ready"
  elif [ ! -f "$WINEPREFIX/.no-crash-dialog" ]; then
    # A prefix made before the setting was: once (waits for its server to end).
    no_crash_dialog || exit 1
    touch "$WINEPREFIX/.no-crash-dialog"
  fi
) 9>"$WINEPREFIX.lock"
# One wineserver serves the whole run: it stays up a minute after its last
# client leaves, and scripts/test.sh stops it with wineserver -k at the end.
wineserver -p60 >/dev/null 2>&1 || true
