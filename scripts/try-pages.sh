#!/usr/bin/env bash
# Your own pages through the real filter, as a scan delivers them:
#   bash scripts/try-pages.sh PAGE.bmp... [--brightness N] [--contrast N] [--out DIR]
# Each page goes, in a transfer of its own, through Vantrel.dll created with COM by the
# transfer host (wiahost.exe, which plays the WIA service, the driver and the
# application) at the brightness and contrast given (thousandths, 250 and 400
# unless given). In DIR (out/pages unless given), for each page NAME.bmp:
# NAME-before.png, and when the page was delivered the received
# NAME-after.bmp, NAME-after.png and NAME-compare.png (before | after); and
# NAME-host.txt, what the host printed. One line per page says what happened:
# delivered with its size, or refused with the reason. Exits with 1 when any
# page was refused, 2 when the transfer itself failed.
# Options after "--" go to wiahost.exe as they are (wiahost.exe without
# pages lists them). It builds what it runs first (the output in
# <build>/try-pages-build.log), unless SKIP_BUILD=1 says a caller just did.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
out=$root/out/pages
brightness=250
contrast=400
pages=()
host_options=()
usage() { sed -n '2,3p' "$0" | sed 's/^# \{0,1\}/usage: /' >&2; exit 64; }
while [ $# -gt 0 ]; do
  case $1 in
    --brightness) [ $# -ge 2 ] || usage; brightness=$2; shift 2 ;;
    --contrast) [ $# -ge 2 ] || usage; contrast=$2; shift 2 ;;
    --out) [ $# -ge 2 ] || usage; out=$(realpath -m "$2"); shift 2 ;;
    --) shift; host_options=("$@"); break ;;
    -*) usage ;;
    *) [ -f "$1" ] || { echo "try-pages: no file $1" >&2; exit 64; }
       pages+=("$(realpath "$1")"); shift ;;
  esac
done
[ ${#pages[@]} -gt 0 ] || usage

[ "${SKIP_BUILD:-}" = 1 ] ||
  BUILD_LOG=$build/try-pages-build.log "$root/scripts/build.sh" Vantrel wiahost program_runner
export WINEPREFIX="$build/wineprefix"
export WINEDEBUG="${WINEDEBUG:--all}"
"$root/scripts/wine-prefix.sh"
rm -rf "$out"
mkdir -p "$out"
win() { local path=$1; printf 'Z:%s' "${path//\//\\}"; }

echo "Pages through Vantrel.dll at brightness $brightness, contrast $contrast, in $out:"
names=()
refused=0
for page in "${pages[@]}"; do
  name=$(basename "$page" .bmp)
  # A second page of the same name gets its number.
  [[ " ${names[*]} " != *" $name "* ]] || name=$name-${#names[@]}
  names+=("$name")
  # Each page is a transfer of its own: in one transfer of several pages, a
  # refused page would stop the pages after it.
  status=0
  "$root/scripts/wine-run.sh" "$build/bin/wiahost.exe" --activation cocreate \
    --brightness "$brightness" --contrast "$contrast" --piece 65536 --streams file \
    --out "$(win "$out")" "${host_options[@]}" "$(win "$page")" 2>&1 |
    tr -d '\r' >"$out/$name-host.txt" || status=$?
  if [ "$status" -ne 0 ] && [ "$status" -ne 3 ]; then
    cat "$out/$name-host.txt" >&2
    echo "try-pages: the transfer of $page failed (wiahost.exe exit code $status)" >&2
    exit 2
  fi
  verdict=$(sed -n 's/^page 1: //p' "$out/$name-host.txt")
  convert "BMP:$page" "$out/$name-before.png" 2>/dev/null ||
    verdict="$verdict (ImageMagick cannot show the page: no PNG)"
  case $verdict in
    delivered*)
      mv "$out/page1.bmp" "$out/$name-after.bmp"
      convert "BMP:$out/$name-after.bmp" "$out/$name-after.png"
      [ ! -f "$out/$name-before.png" ] ||
        convert "$out/$name-before.png" "$out/$name-after.png" +append "$out/$name-compare.png"
      ;;
    *)
      rm -f "$out/page1.bmp"
      refused=$((refused + 1))
      ;;
  esac
  echo "  $(basename "$page"): ${verdict:-no verdict from the host (see $name-host.txt)}"
done
if [ "$refused" -gt 0 ]; then
  echo "$refused of ${#pages[@]} pages refused (docs/page-rules.md lists what the filter refuses)"
  exit 1
fi
