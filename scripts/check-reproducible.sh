#!/usr/bin/env bash
# Shows that a release is reproducible: clones the repository twice, into two
# folders of different names and depths, checks out the same commit in both,
# runs scripts/release.sh in each (the second one later, in another time zone
# and with another umask), and compares the two dist/ folders file by file.
#   bash scripts/check-reproducible.sh [COMMIT]      (default: HEAD)
# Exits non-zero when any file differs. Takes two release builds' time.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
commit=$(git -C "$root" rev-parse "${1:-HEAD}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
first=$work/a/scanner
second=$work/second-clone/somewhere/deeper/checkout

release_in() {
  local dir=$1
  shift
  git clone --quiet --no-hardlinks "$root" "$dir"
  git -C "$dir" checkout --quiet "$commit"
  echo "== release of ${commit:0:12} in $dir (started $(date -u '+%H:%M:%S UTC'))"
  (cd "$dir" && env "$@" bash scripts/release.sh) >"$dir.log" 2>&1 || {
    tail -40 "$dir.log"
    echo "check-reproducible: the release in $dir failed" >&2
    exit 1
  }
}

release_in "$first" TZ=UTC
sleep 5
(umask 077 && release_in "$second" TZ=Asia/Tokyo)

echo
echo "== comparing $first/dist and $second/dist"
status=0
files=$(cd "$first/dist" && find . -type f | sort)
if [ "$files" != "$(cd "$second/dist" && find . -type f | sort)" ]; then
  echo "the two dist/ folders hold different files"
  status=1
fi
while read -r file; do
  a=$(sha256sum <"$first/dist/$file" | cut -d' ' -f1)
  b=$(sha256sum <"$second/dist/$file" | cut -d' ' -f1)
  if [ "$a" = "$b" ]; then
    echo "identical  $a  ${file#./}"
  else
    echo "DIFFERENT  ${file#./}: $a / $b"
    status=1
  fi
done <<<"$files"
echo
if [ "$status" -eq 0 ]; then
  echo "check-reproducible: the two releases of ${commit:0:12} are byte-identical"
else
  echo "check-reproducible: the two releases of ${commit:0:12} differ"
fi
exit $status
