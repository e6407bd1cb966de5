#!/usr/bin/env bash
# Makes the published JSON schema of CycloneDX 1.5 available offline and
# prints the path of the archive that holds it.
#
# The schemas come from the CycloneDX JavaScript library on the npm registry
# (res/schema/: bom-1.5, and the spdx and jsf schemas it refers to), one
# pinned version whose archive must have the SHA-256 below. The archive is
# kept in a cache folder (SBOM_SCHEMA_CACHE, by default
# ~/.cache/orvane-scanner) and checked again at every call; only when it is
# missing or differs is it fetched again, with npm. Nothing of it is kept in
# the repository.
#   bash scripts/fetch-sbom-schema.sh        (prints the archive's path)
set -euo pipefail
package=@cyclonedx/cyclonedx-library
version=10.3.0
sha256=9833bd949052eb18218dd64b13ad62d9246f7395eef01c66dad08fcbacf74f01
cache=${SBOM_SCHEMA_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/orvane-scanner}
archive=$cache/cyclonedx-cyclonedx-library-$version.tgz

matches() { [ -f "$1" ] && [ "$(sha256sum <"$1" | cut -d' ' -f1)" = "$sha256" ]; }

if ! matches "$archive"; then
  command -v npm >/dev/null 2>&1 || {
    echo "fetch-sbom-schema: npm is missing (scripts/install-deps.sh installs it)" >&2
    exit 1
  }
  mkdir -p "$cache"
  work=$(mktemp -d "$cache/fetch.XXXXXX")
  trap 'rm -rf "$work"' EXIT
  echo "fetch-sbom-schema: fetching $package@$version" >&2
  (cd "$work" && npm pack --silent "$package@$version" >/dev/null)
  fetched=$(find "$work" -maxdepth 1 -name '*.tgz' | head -1)
  if ! matches "$fetched"; then
    echo "fetch-sbom-schema: $package@$version has SHA-256" \
      "$(sha256sum <"${fetched:-/dev/null}" | cut -d' ' -f1), not $sha256" >&2
    exit 1
  fi
  mv "$fetched" "$archive"
fi
echo "$archive"
