#!/usr/bin/env bash
# Fails when any C++ source or header of the project differs from the style in
# .clang-format, and lists those files. To reformat them:
#   clang-format -i $(git ls-files '*.cpp' '*.h')
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
command -v clang-format >/dev/null 2>&1 || "$root/scripts/install-deps.sh"
mapfile -t files < <(git ls-files '*.cpp' '*.h')
differ=()
for f in "${files[@]}"; do
  if ! clang-format --dry-run --Werror "$f" >/dev/null 2>&1; then differ+=("$f"); fi
done
if [ ${#differ[@]} -gt 0 ]; then
  echo "check-format: ${#differ[@]} of ${#files[@]} C++ files differ from .clang-format:"
  printf '  %s\n' "${differ[@]}"
  echo "reformat with: clang-format -i FILE... (clang-format $(clang-format --version | grep -o '[0-9][0-9.]*' | head -1))"
  exit 1
fi
echo "check-format: all ${#files[@]} C++ files follow .clang-format"
