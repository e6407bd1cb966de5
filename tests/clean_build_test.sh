#!/usr/bin/env bash
# Shows that the build is held clean: every compile of the project's own
# code carries -Werror and every link --fatal-warnings, a planted warning
# stops a compile made with a product source's own command, and
# scripts/check-tidy.sh fails on a planted fault of each family of
# .clang-tidy's checks, in product sources and headers alone. Clean files,
# a check left out for its reason and a NOLINT with its reason must pass.
#   bash tests/clean_build_test.sh BUILD_DIR
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?usage: clean_build_test.sh BUILD_DIR}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
ok() { echo "ok: $*"; }
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# The project's own compile commands, every one with -Werror; GoogleTest's
# sources (third-party) and the resource scripts apart.
missing=$(python3 - "$build/compile_commands.json" <<'PY'
import json, sys
entries = [e for e in json.load(open(sys.argv[1]))
           if "/googletest/" not in e["file"] and not e["file"].endswith(".rc")]
print(len(entries))
for e in entries:
    if "-Werror" not in (e.get("arguments") or e["command"].split()):
        print(e["file"])
PY
)
count=$(head -1 <<<"$missing")
if [ "$count" -gt 0 ] && [ "$(wc -l <<<"$missing")" -eq 1 ]; then
  ok "all $count compile commands of the project's code carry -Werror"
else
  fail "compile commands without -Werror (of $count): $(tail -n +2 <<<"$missing" | tr '\n' ' ')"
fi
# Every link of a program or DLL, with --fatal-warnings.
mapfile -t links < <(awk '/^build [^ ]*\.(exe|dll)[ :]/ {target = $2}
  /^ *LINK_FLAGS = / {print target (index($0, "--fatal-warnings") ? "" : " without")}' \
  "$build/build.ninja")
unguarded=$(printf '%s\n' "${links[@]}" | grep ' without$' || true)
if [ ${#links[@]} -gt 0 ] && [ -z "$unguarded" ]; then
  ok "all ${#links[@]} links of programs and DLLs carry --fatal-warnings"
else
  fail "links without --fatal-warnings (of ${#links[@]}): $unguarded"
fi

# A product source's compile command, as the build gives it, with another
# source and object: prints the command, one argument a line.
product_command() {
  python3 - "$build/compile_commands.json" "$root/$1" "$2" "$3" <<'PY'
import json, shlex, sys
db, product, source, obj = sys.argv[1:]
entry = next(e for e in json.load(open(db)) if e["file"] == product)
args = entry.get("arguments") or shlex.split(entry["command"])
args = [source if a == product else a for a in args]
args[args.index("-o") + 1] = obj
print("\n".join(args))
PY
}
compile_as_product() {
  local args
  mapfile -t args < <(product_command filter/com/module.cpp "$1" "$work/planted.obj")
  (cd "$build" && "${args[@]}")
}
printf 'int Twice(int v) { return 2 * v; }\n' >"$work/clean.cpp"
printf 'int Twice(int v) {\n  int unused = v;\n  return 2 * v;\n}\n' >"$work/warns.cpp"
if out=$(compile_as_product "$work/clean.cpp" 2>&1); then
  ok "a clean source compiles with a product source's command"
else
  fail "a clean source does not compile with a product source's command: $out"
fi
if out=$(compile_as_product "$work/warns.cpp" 2>&1); then
  fail "an unused variable compiles with a product source's command"
elif grep -q 'error: unused variable .*-Werror,-Wunused-variable' <<<"$out"; then
  ok "an unused variable stops the compile: $(grep -m1 'error:' <<<"$out" | sed 's/.*error: //')"
else
  fail "the compile of an unused variable failed otherwise: $out"
fi

# check-tidy.sh and .clang-tidy in a tree of their own, whose product and
# test folders hold the planted files, with a compile database made of a
# product source's command (one entry behind the build's launcher, as a
# CMake version may write it).
tree=$work/tree
mkdir -p "$tree/scripts" "$tree/cmake" "$tree/filter/com" "$tree/filter/adjust" \
  "$tree/setup/tests" "$work/build"
cp "$root/scripts/check-tidy.sh" "$tree/scripts/"
cp "$root/.clang-tidy" "$tree/"
cp "$root/cmake/llvm-version" "$tree/cmake/"
plant() { cat >"$tree/$1"; }
plant filter/com/planted_bugprone.cpp <<'EOF'
#include <cwchar>
bool SameName(const wchar_t* a, const wchar_t* b) {
  if (wcscmp(a, b)) return false;
  return true;
}
EOF
plant filter/adjust/planted_performance.cpp <<'EOF'
#include <string>
#include <vector>
size_t TotalLength(const std::vector<std::wstring>& names) {
  size_t total = 0;
  for (const std::wstring name : names) total += name.size();
  return total;
}
EOF
plant setup/planted_cert.cpp <<'EOF'
#include <cstdlib>
int Roll() { return std::rand() % 6; }
EOF
plant setup/planted_analyzer.cpp <<'EOF'
int Read(bool known) {
  int here = 1;
  int* value = nullptr;
  if (known) value = &here;
  return *value;
}
EOF
plant filter/com/planted_header.h <<'EOF'
#pragma once
#define PLANTED_TWICE(x) x + x
EOF
plant filter/com/planted_includes.cpp <<'EOF'
#include "planted_header.h"
int Six() { return PLANTED_TWICE(3) * 1; }
EOF
# Adjacent parameters of one type: a check .clang-tidy leaves out.
plant filter/com/planted_clean.cpp <<'EOF'
long Area(long width, long height) { return width * height; }
EOF
plant setup/planted_nolint.cpp <<'EOF'
#include <cstdlib>
// NOLINTNEXTLINE(cert-msc30-c,cert-msc50-cpp): a planted exception, with its reason
int Roll() { return std::rand() % 6; }
EOF
plant setup/tests/planted_test.cpp <<'EOF'
#include <cstdlib>
int Roll() { return std::rand() % 6; }
EOF
# make_db FILE...: the planted files' compile database.
make_db() {
  local file args entries=()
  for file in "$@"; do
    mapfile -t args < <(product_command filter/com/module.cpp "$tree/$file" "$work/x.obj")
    [ "$file" = setup/planted_cert.cpp ] &&
      args=("$root/cmake/launcher.sh" "$root" "$build" "${args[@]}")
    entries+=("$(python3 -c 'import json, shlex, sys
print(json.dumps({"directory": sys.argv[1], "file": sys.argv[2],
                  "command": shlex.join(sys.argv[3:])}))' "$build" "$tree/$file" "${args[@]}")")
  done
  (IFS=,; echo "[${entries[*]}]") >"$work/build/compile_commands.json"
}
tidy() { bash "$tree/scripts/check-tidy.sh" "$work/build" 2>&1; }

make_db filter/com/planted_bugprone.cpp filter/adjust/planted_performance.cpp \
  setup/planted_cert.cpp setup/planted_analyzer.cpp filter/com/planted_includes.cpp \
  filter/com/planted_clean.cpp setup/planted_nolint.cpp setup/tests/planted_test.cpp
out=$(tidy)
status=$?
# Each finding: where, and the check's name (and its aliases) as reported.
expected=(
  "filter/com/planted_bugprone.cpp:3:7: error: function 'wcscmp' is called without explicitly"
  "[bugprone-suspicious-string-compare,-warnings-as-errors]"
  "filter/adjust/planted_performance.cpp:5:27: error: the loop variable's type is not a reference"
  "[performance-for-range-copy,-warnings-as-errors]"
  "setup/planted_cert.cpp:2:21: error: rand() has limited randomness"
  "[cert-msc30-c,cert-msc50-cpp,-warnings-as-errors]"
  "setup/planted_analyzer.cpp:5:10: error: Dereference of null pointer"
  "[clang-analyzer-core.NullDereference,-warnings-as-errors]"
  "filter/com/planted_header.h:2:28: error: macro replacement list should be enclosed"
  "[bugprone-macro-parentheses,-warnings-as-errors]"
  "check-tidy: clang-tidy 19 reports findings in 5 of 7 product sources:")
said_all=1
for e in "${expected[@]}"; do
  grep -qF -- "$e" <<<"$out" || { said_all=0; fail "check-tidy did not say: $e"; }
done
if [ "$status" -ne 0 ] && [ "$said_all" -eq 1 ]; then
  ok "check-tidy fails on a planted fault of each family, naming each:"
  for e in "${expected[@]}"; do [[ $e == \[* ]] || echo "    $e"; done
elif [ "$status" -eq 0 ]; then
  fail "check-tidy passed the planted faults"
fi
for quiet in planted_clean.cpp planted_nolint.cpp planted_test.cpp; do
  if grep -qF "$quiet" <<<"$out"; then fail "check-tidy reported $quiet: $out"; fi
done

make_db filter/com/planted_clean.cpp setup/planted_nolint.cpp setup/tests/planted_test.cpp
if out=$(tidy); then
  ok "check-tidy passes a clean product source, one with a reasoned NOLINT and a test's fault:" \
    "$(tail -1 <<<"$out")"
else
  fail "check-tidy failed on clean product sources and a test: $out"
fi

exit $((failures > 0))
