#!/usr/bin/env bash
# Creates the Wine prefix named by WINEPREFIX if it does not exist yet, and
# keeps one wineserver running for it so later starts are quick.
set -euo pipefail
: "${WINEPREFIX:?WINEPREFIX must name the prefix of the build}"
export WINEARCH=win64
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

mkdir -p "$(dirname "$WINEPREFIX")"
(
  flock 9
  if [ ! -f "$WINEPREFIX/.ready" ]; then
    rm -rf "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1 || true
    wineserver -w
    touch "$WINEPREFIX/.ready"
  fi
) 9>"$WINEPREFIX.lock"
# One wineserver serves the whole run: it stays up a minute after its last
# client leaves, and scripts/test.sh stops it with wineserver -k at the end.
wineserver -p60 >/dev/null 2>&1 || true
