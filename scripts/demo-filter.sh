#!/usr/bin/env bash
# Scans the bundled sample pages (8-bit grey, 24-bit colour, 1-bit) through the
# real Vantrel.dll with the transfer host, at a brightness and contrast that
# visibly change them, and converts every page before and after to PNG.
# Results land in out/filter (or $DEMO_OUT): <page>-before.png, <page>-after.png,
# <page>-compare.png (before | after), the received BMPs and the host's output.
# Brightness and contrast (thousandths) can be set with DEMO_BRIGHTNESS and
# DEMO_CONTRAST.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
out=${DEMO_OUT:-$root/out/filter}
brightness=${DEMO_BRIGHTNESS:-250}
contrast=${DEMO_CONTRAST:-400}
samples=(grey8 colour24 mono1)

if [ ! -f "$build/bin/wiahost.exe" ] || [ ! -f "$build/bin/Vantrel.dll" ]; then
  BUILD_DIR=$build "$root/scripts/build.sh"
else
  "$root/scripts/install-deps.sh"
  cmake --build "$build" -j"$(nproc)" >/dev/null
fi

rm -rf "$out"
mkdir -p "$out"
pages=()
for name in "${samples[@]}"; do
  pages+=("Z:$root/testbench/samples/$name.bmp")
done

echo "Scanning ${#samples[@]} sample pages through Vantrel.dll" \
     "(brightness $brightness, contrast $contrast)..."
export WINEPREFIX="$build/wineprefix"
status=0
"$root/scripts/wine-run.sh" "$build/bin/wiahost.exe" --activation cocreate \
  --brightness "$brightness" --contrast "$contrast" --piece 65536 --time \
  --streams file --out "Z:$out" "${pages[@]}" >"$out/host.txt" || status=$?
cat "$out/host.txt"
if [ "$status" -ne 0 ]; then
  echo "the transfer host failed (exit code $status)" >&2
  exit "$status"
fi

for i in "${!samples[@]}"; do
  name=${samples[$i]}
  mv "$out/page$((i + 1)).bmp" "$out/$name-after.bmp"
  convert "BMP:$root/testbench/samples/$name.bmp" "$out/$name-before.png"
  convert "BMP:$out/$name-after.bmp" "$out/$name-after.png"
  convert "$out/$name-before.png" "$out/$name-after.png" +append "$out/$name-compare.png"
done

echo
echo "Before and after, as PNG, in $out:"
for name in "${samples[@]}"; do
  echo "  $name-before.png  $name-after.png  $name-compare.png (before | after)"
done
echo "The 1-bit page is delivered unchanged: brightness and contrast do not apply to it."
echo
echo "Time per page (from the application's GetNextStream to its answer to the page's"
echo "end-of-stream message), as the host measured it:"
for i in "${!samples[@]}"; do
  ms=$(sed -n "s/^time: page $((i + 1)): \(.*\)\r\?$/\1/p" "$out/host.txt" | tr -d '\r')
  echo "  ${samples[$i]}: ${ms:-not measured}"
done
sed -n 's/^time: transfer: \(.*\)$/  whole transfer: \1/p' "$out/host.txt" | tr -d '\r'
