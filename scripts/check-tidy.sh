#!/usr/bin/env bash
# Runs clang-tidy 19 with the checks of .clang-tidy over the product's code:
# every source of filter/, setup/ and hardening/ that the build compiles,
# their tests/ folders apart, and the product headers they include. Each
# file is analysed with its own compile command from the build's
# compile_commands.json (the cross target, the sysroot, the project's
# definitions and flags), so the checks see the code as the compiler does.
# Fails, listing every finding, when clang-tidy reports anything.
#   bash scripts/check-tidy.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-${BUILD_DIR:-$root/build}}" && pwd)
llvm=$(<"$root/cmake/llvm-version")
tidy=clang-tidy-$llvm
command -v "$tidy" >/dev/null 2>&1 || "$root/scripts/install-deps.sh"
if [ ! -f "$build/compile_commands.json" ]; then
  echo "check-tidy: no $build/compile_commands.json (configure the build first: scripts/build.sh)" >&2
  exit 1
fi

# The product's entries of the build's compile commands, one per source
# (a source built into two binaries is analysed once), each starting with
# the compiler itself: the build's launcher (cmake/launcher.sh SOURCE BUILD)
# is taken off where CMake puts it in front.
work=$build/tidy
rm -rf "$work"
mkdir -p "$work"
python3 - "$root" "$build/compile_commands.json" "$work/compile_commands.json" <<'PY'
import json, os, shlex, sys
root, source, target = sys.argv[1:]
product = ("filter/", "setup/", "hardening/")
entries, seen = [], set()
for entry in json.load(open(source)):
    path = os.path.normpath(os.path.join(entry["directory"], entry["file"]))
    relative = os.path.relpath(path, root)
    if not relative.startswith(product) or "/tests/" in "/" + relative:
        continue
    if not relative.endswith((".cpp", ".c")) or path in seen:
        continue
    seen.add(path)
    arguments = entry.get("arguments") or shlex.split(entry["command"])
    if os.path.basename(arguments[0]) == "launcher.sh":
        arguments = arguments[3:]
    entries.append({"directory": entry["directory"], "file": path, "arguments": arguments})
json.dump(entries, open(target, "w"), indent=1)
PY
mapfile -t files < <(python3 -c 'import json, sys
for e in json.load(open(sys.argv[1])): print(e["file"])' "$work/compile_commands.json")
if [ ${#files[@]} -eq 0 ]; then
  echo "check-tidy: no product source in $build/compile_commands.json" >&2
  exit 1
fi

# One clang-tidy per source, as many at a time as there are cores; each
# writes its findings to a file of its own, and fails when it has any.
printf '%s\0' "${files[@]}" |
  xargs -0 -n1 -P"$(nproc)" bash -c '
    out=$1/$(tr / _ <<<"${3#/}").out
    "$0" -p "$1" --config-file="$2" --warnings-as-errors="*" --quiet "$3" >"$out" 2>&1 ||
      echo "$3" >>"$1/failed"' "$tidy" "$work" "$root/.clang-tidy" || true

if [ -f "$work/failed" ]; then
  mapfile -t failed < <(sort "$work/failed")
  echo "check-tidy: clang-tidy $llvm reports findings in ${#failed[@]} of ${#files[@]} product sources:"
  # Each source's findings, less clang-tidy's counts of warnings it hid.
  for out in "$work"/*.out; do
    grep -v -E '^[0-9]+ (warnings?|errors?)( and [0-9]+ (warnings?|errors?))? (generated|treated as errors)\.?$' \
      "$out" || true
  done
  exit 1
fi
echo "check-tidy: clang-tidy $llvm finds nothing in the ${#files[@]} product sources (.clang-tidy)"
