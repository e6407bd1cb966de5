#!/usr/bin/env bash
# Checks the third-party notices against what the links of the shipped
# binaries really took: every static library and start-up object that gave
# Vantrel.dll or Drelmo.exe a symbol (their link maps, BIN_DIR/<name>.map),
# the project's own libraries (LIB_DIR/*.a) apart, must be named on that
# binary's "Libraries in <binary>:" line of a component's notice, and that
# notice must carry a version and a licence text from a Debian package's
# copyright file; libstdc++ and libgcc must carry GCC's runtime library
# exception.
#   bash scripts/check-notices.sh BIN_DIR LIB_DIR [NOTICES]
# Without NOTICES, the notices are made from the same maps first
# (scripts/third_party.py), as a release makes them.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bin_dir=${1:?usage: check-notices.sh BIN_DIR LIB_DIR [NOTICES]}
lib_dir=${2:?usage: check-notices.sh BIN_DIR LIB_DIR [NOTICES]}
notices=${3:-}
binaries=(Vantrel.dll Drelmo.exe)
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

if [ -z "$notices" ]; then
  notices=$(mktemp)
  trap 'rm -f "$notices"' EXIT
  maps=()
  for b in "${binaries[@]}"; do maps+=(--map "$b=$bin_dir/${b%.*}.map"); done
  /usr/bin/python3 "$root/scripts/third_party.py" notices "${maps[@]}" --own-lib-dir "$lib_dir" \
    --product-version check >"$notices"
fi

# What a map says each public symbol came from: "lib:member" for a library
# member, a file name for an object given to the link.
linked() {
  awk '$1 ~ /^[0-9a-f]+:[0-9a-f]+$/ && $3 ~ /^[0-9a-f]+$/ && length($3) == 16 && NF == 4 {
         print $4
       }' "$1" |
    awk -F: '$1 ~ /^</ { next }
             NF == 2 { print $1 ".a"; next }
             $1 !~ /\.(obj|res)$/ { print $1 }' | sort -u
}

# "section<TAB>binary<TAB>file" for every file a notice names for a binary.
named=$(awk '/^==========+$/ { rule = !rule; next }
             rule && /^[0-9]+\. / { section = $0 }
             /^Libraries in [^:]+:/ {
               binary = $3; sub(/:$/, "", binary)
               for (i = 4; i <= NF; i++) print section "\t" binary "\t" $i
             }' "$notices")

for b in "${binaries[@]}"; do
  map=$bin_dir/${b%.*}.map
  if [ ! -f "$map" ]; then
    fail "$b: no link map $map"
    continue
  fi
  count=0
  missing=0
  while read -r file; do
    [ -n "$file" ] || continue
    [ -f "$lib_dir/$file" ] && continue # the project's own library
    count=$((count + 1))
    if ! grep -qP "^[^\t]*\t\Q$b\E\t\Q$file\E$" <<<"$named"; then
      fail "$b links $file, which no notice names for it"
      missing=$((missing + 1))
    fi
  done < <(linked "$map")
  if [ "$count" -eq 0 ]; then
    fail "$b: its map names no third-party library (not a link map?)"
  elif [ "$missing" -eq 0 ]; then
    echo "ok: $b: the notices name all $count third-party libraries and objects of its link"
  fi
done

# Each component's part: its version, where its text comes from, the text.
while IFS= read -r section; do
  body=$(awk -v s="$section" '/^==========+$/ { rule = !rule; next }
                              rule { inside = ($0 == s) } inside' "$notices")
  grep -qE '^Version: +[0-9][0-9.]* \(Debian package ' <<<"$body" || fail "$section: no version"
  grep -qE '^From /usr/share/doc/[^/]+/copyright:$' <<<"$body" ||
    fail "$section: its text is not taken from a Debian package's copyright file"
  [ "$(wc -l <<<"$body")" -gt 20 ] || fail "$section: hardly any licence text"
done < <(cut -f1 <<<"$named" | sort -u)
for library in libstdc++.a libgcc.a; do
  section=$(awk -F'\t' -v f="$library" '$3 == f { print $1; exit }' <<<"$named")
  body=$(awk -v s="$section" '/^==========+$/ { rule = !rule; next }
                              rule { inside = ($0 == s) } inside' "$notices")
  if [ -z "$section" ]; then
    fail "no notice names $library"
  elif ! grep -q '^GCC RUNTIME LIBRARY EXCEPTION$' <<<"$body" ||
    ! grep -q '^Licence: .*WITH GCC-exception-3.1' <<<"$body"; then
    fail "$section (with $library) does not name GCC's runtime library exception"
  else
    echo "ok: $library: $section, under GCC's runtime library exception"
  fi
done

if [ "$failures" -gt 0 ]; then
  echo "check-notices: $failures problems in $notices"
  exit 1
fi
echo "check-notices: the notices cover every third-party library of both links"
