#!/usr/bin/env bash
# Checks a release's bill of materials (CycloneDX 1.5 JSON) against the
# format's published JSON schema, offline, and against the release: the two
# binaries in BIN_DIR with their SHA-256, the components of the notices, the
# toolchain (scripts/validate_sbom.py says how).
#   bash scripts/check-sbom.sh BIN_DIR LIB_DIR [SBOM NOTICES]
# Without SBOM and NOTICES both are made from the binaries' link maps first
# (scripts/third_party.py), as a release makes them.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bin_dir=${1:?usage: check-sbom.sh BIN_DIR LIB_DIR [SBOM NOTICES]}
lib_dir=${2:?usage: check-sbom.sh BIN_DIR LIB_DIR [SBOM NOTICES]}
sbom=${3:-}
notices=${4:-}
llvm=$(<"$root/cmake/llvm-version")
schema=$("$root/scripts/fetch-sbom-schema.sh")

if [ -z "$sbom" ]; then
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  sbom=$work/sbom.cdx.json
  notices=$work/THIRD-PARTY-NOTICES.txt
  common=(--map "Vantrel.dll=$bin_dir/Vantrel.map" --map "Drelmo.exe=$bin_dir/Drelmo.map"
    --own-lib-dir "$lib_dir" --product-version 0.0.0.0)
  commit=$(git -C "$root" rev-parse HEAD 2>/dev/null || printf '0%.0s' {1..40})
  /usr/bin/python3 "$root/scripts/third_party.py" notices "${common[@]}" >"$notices"
  /usr/bin/python3 "$root/scripts/third_party.py" sbom "${common[@]}" --binaries "$bin_dir" \
    --commit "$commit" --commit-time 0 --llvm "$llvm" >"$sbom"
fi
/usr/bin/python3 "$root/scripts/validate_sbom.py" --schema-archive "$schema" \
  --binaries "$bin_dir" --notices "${notices:?NOTICES goes with SBOM}" --llvm "$llvm" "$sbom"
