#!/usr/bin/env bash
# The main job: build what it shows, scan the bundled sample pages through
# the real filter (before and after saved as PNG), then install and uninstall
# the scanner with the setup tool against the class-installer stand-in and
# show its logs.
#   bash scripts/demo.sh [--verbose]
# The build's own output goes to <build>/demo-build.log; --verbose shows it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
start=$SECONDS
if [ "${1:-}" = --verbose ]; then
  export BUILD_LOG=""
else
  export BUILD_LOG=$build/demo-build.log
fi
if [ -f "$build/bin/Vantrel.dll" ] && [ -f "$build/bin/wiahost.exe" ]; then
  echo "== Building what changed, then the demo: about a minute."
else
  # Measured on a fresh clone, packages installed, 2 cores (README).
  echo "== Building the two binaries, the transfer host, the package tools and the"
  echo "   class-installer stand-in (no test program), then the demo: about a minute"
  echo "   on 2 cores (1 min 0 s and 1 min 1 s on fresh clones; 2 to 2.5 minutes on a busy machine)."
fi
[ -z "$BUILD_LOG" ] || echo "   The build's output goes to $BUILD_LOG."
"$root/scripts/build.sh" --shown
export SKIP_BUILD=1
echo
bash "$root/scripts/demo-filter.sh"
bash "$root/scripts/demo-setup.sh"
echo
echo "== The demo took $(((SECONDS - start) / 60)) min $(((SECONDS - start) % 60)) s."
