#!/usr/bin/env bash
# The main job: build, scan the bundled sample pages through the real filter
# (before and after saved as PNG), then install and uninstall the scanner with
# the setup tool against the class-installer stand-in and show its logs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh"
bash "$root/scripts/demo-filter.sh"
bash "$root/scripts/demo-setup.sh"
