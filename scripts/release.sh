#!/usr/bin/env bash
# Builds the shipped binaries of the commit checked out, as a scanner maker
# ships them, into dist/ (DIST_DIR overrides it):
#
#   dist/Vantrel.dll, dist/Drelmo.exe      optimised, hardened, no debug
#                                          information inside
#   dist/symbols/                          their PDBs as a symbol store:
#                                          <name>.pdb/<GUID><age>/<name>.pdb
#   dist/THIRD-PARTY-NOTICES.txt           the components linked into each
#                                          binary, their versions and licences
#   dist/sbom.cdx.json                     bill of materials (CycloneDX 1.5)
#   dist/BUILD.txt                         version, commit, compiler and linker
#   dist/Vantrel-fragment.inf              the lines a scanner driver package
#                                          adds to install the filter
#   dist/README.txt                        for the maker: every file and where
#                                          it goes, whether the build is signed
#   dist/SHA256SUMS                        of all the above
#
#   bash scripts/release.sh [--test-sign]
#   bash scripts/release.sh --sign-key KEY.pem --sign-cert CERTS.pem [--sign-pass-file FILE]
#                           [--sign-ca CA.pem] [--timestamp-url URL]
#   bash scripts/release.sh --sign-pkcs12 FILE.pfx [--sign-pass-file FILE] [...]
#   bash scripts/release.sh --sign-pkcs11-module MODULE.so --sign-key-uri 'pkcs11:...'
#                           --sign-cert CERTS.pem [--sign-pass-file PIN-FILE] [...]
#   ... [--run-signed]
#
# The commit is exported (git archive) into build-release/src (RELEASE_DIR
# overrides build-release) and built there from nothing, with the same
# toolchain and settings as the test command's build, so the binaries are
# those the tests run: a warning stops it (-Werror), and so does a finding
# of the static checks in the commit's product code (scripts/check-tidy.sh).
# Uncommitted changes are not part of a release.
#
# --test-sign signs both binaries with a throwaway certificate made on the
# spot, verifies both signatures, and runs the signed binaries under Wine: a
# page adjusted through COM activation of dist/Vantrel.dll by the transfer
# host, the same through the registration that the release's fragment,
# installed in a driver package with dist/Vantrel.dll, makes, and
# dist/Drelmo.exe InstallUSB LOG then UnInstallUSB LOG against the
# class-installer stand-in.
# --sign-key/--sign-cert (PEM or DER key, certificate chain) or --sign-pkcs12
# sign with the maker's own certificate; --sign-pass-file names a file that
# holds the key's password, --sign-ca the root to verify the signatures
# against (default: the system's CA bundle), --timestamp-url a time-stamping
# service (RFC 3161) to countersign with.
# --sign-pkcs11-module and --sign-key-uri sign with a key that stays on a
# hardware token or HSM: MODULE.so is the token's PKCS#11 library, the URI
# (RFC 7512) names the private key on it, --sign-cert the key's certificate
# chain, --sign-pass-file a file holding the token's PIN. osslsigncode reaches
# the token through OpenSSL's PKCS#11 engine (libengine-pkcs11-openssl).
# --run-signed runs the signed binaries under Wine as --test-sign does.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dist=${DIST_DIR:-$root/dist}
work=${RELEASE_DIR:-$root/build-release}

usage() {
  sed -n '/^#   bash scripts\/release.sh/,/^$/p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 64
}

test_sign=0
sign_key=""
sign_cert=""
sign_pkcs12=""
sign_pass_file=""
sign_ca=""
timestamp_url=""
pkcs11_module=""
key_uri=""
run_signed=0
while [ $# -gt 0 ]; do
  case $1 in
    --test-sign) test_sign=1; shift ;;
    --sign-key) sign_key=$(realpath "$2"); shift 2 ;;
    --sign-cert) sign_cert=$(realpath "$2"); shift 2 ;;
    --sign-pkcs12) sign_pkcs12=$(realpath "$2"); shift 2 ;;
    --sign-pass-file) sign_pass_file=$(realpath "$2"); shift 2 ;;
    --sign-ca) sign_ca=$(realpath "$2"); shift 2 ;;
    --timestamp-url) timestamp_url=$2; shift 2 ;;
    --sign-pkcs11-module) pkcs11_module=$(realpath "$2"); shift 2 ;;
    --sign-key-uri) key_uri=$2; shift 2 ;;
    --run-signed) run_signed=1; shift ;;
    *) usage ;;
  esac
done
refuse() { echo "release: $*" >&2; exit 64; }
if [ -n "$pkcs11_module$key_uri" ]; then
  [ -n "$pkcs11_module" ] && [ -n "$key_uri" ] && [ -n "$sign_cert" ] ||
    refuse "--sign-pkcs11-module, --sign-key-uri and --sign-cert go together"
  [[ $key_uri == pkcs11:* ]] || refuse "--sign-key-uri takes a pkcs11: URI, not $key_uri"
elif [ -n "$sign_key$sign_cert" ] && { [ -z "$sign_key" ] || [ -z "$sign_cert" ]; }; then
  refuse "--sign-key and --sign-cert go together"
fi
ways=$((test_sign + (${#sign_key} > 0) + (${#sign_pkcs12} > 0) + (${#pkcs11_module} > 0)))
[ "$ways" -le 1 ] || refuse "one way of signing at a time"
makers_sign=$((ways - test_sign))
[ "$run_signed" -eq 0 ] || [ "$ways" -eq 1 ] || refuse "--run-signed runs signed binaries: sign them"
[ "$test_sign" -eq 0 ] || run_signed=1

"$root/scripts/install-deps.sh"

commit=$(git -C "$root" rev-parse HEAD)
commit_time=$(git -C "$root" log -1 --format=%ct HEAD)
if [ -n "$(git -C "$root" status --porcelain --untracked-files=no)" ]; then
  echo "release: uncommitted changes in $root are not part of the release of ${commit:0:12}" >&2
fi

echo "== building ${commit:0:12} in $work"
rm -rf "$work"
mkdir -p "$work/src"
git -C "$root" archive --format=tar "$commit" | tar -x -C "$work/src"
build=$work/src/build
SOURCE_DATE_EPOCH=$commit_time cmake -S "$work/src" -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$work/src/cmake/mingw-w64-x86_64.cmake" >"$work/configure.log"
targets=(Vantrel Drelmo)
# What the end-to-end check runs besides the two: the transfer host, the
# program runner of scripts/wine-run.sh, the stand-in, the packages, the
# filter's test driver package and what installs it.
[ "$run_signed" -eq 1 ] &&
  targets+=(wiahost program_runner sti_ci driver_packages filter_package infinstall)
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"
# The commit's product code passes its static checks, as in the test
# command (the build above already stops on any warning: -Werror).
"$work/src/scripts/check-tidy.sh" "$build"

rm -rf "$dist"
mkdir -p "$dist"
binaries=(Vantrel.dll Drelmo.exe)
for binary in "${binaries[@]}"; do
  cp "$build/bin/$binary" "$dist/$binary"
done
# The lines a driver package adds for the filter, as the commit holds them,
# with the release's version.
cp "$build/packaging/Vantrel-fragment.inf" "$dist/Vantrel-fragment.inf"
# The PDBs in a symbol store's layout, by the GUID and age inside each.
"$root/scripts/symbol-store.sh" "$dist/symbols" "$build/bin/Vantrel.pdb" "$build/bin/Drelmo.pdb" \
  >/dev/null

# The release's version (the file VERSION), which both binaries' version
# resources must hold (VS_FIXEDFILEINFO's file version).
file_version() { /usr/bin/python3 "$root/scripts/binary_facts.py" version "$1"; }
version=$(head -1 "$work/src/VERSION")
for binary in "${binaries[@]}"; do
  if [ "$(file_version "$dist/$binary")" != "$version" ]; then
    echo "release: $binary is version $(file_version "$dist/$binary"), VERSION says $version" >&2
    exit 1
  fi
done

# What each binary links of third-party code, from the links' maps: the
# notices, and (once the binaries are signed) the bill of materials.
third_party=(--map "Vantrel.dll=$build/bin/Vantrel.map" --map "Drelmo.exe=$build/bin/Drelmo.map"
  --own-lib-dir "$build/lib" --product-version "$version")
/usr/bin/python3 "$root/scripts/third_party.py" notices "${third_party[@]}" >"$dist/THIRD-PARTY-NOTICES.txt"

sign_dir=$work/signing
mkdir -p "$sign_dir"
signed_with="unsigned"
verify_ca=""
if [ "$test_sign" -eq 1 ]; then
  echo "== signing with a throwaway test certificate"
  openssl req -x509 -newkey rsa:3072 -sha256 -nodes -days 2 \
    -subj "/O=Orvane/CN=Orvane test signing (throwaway)" \
    -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" \
    -keyout "$sign_dir/test-key.pem" -out "$sign_dir/test-cert.pem" 2>/dev/null
  sign_key=$sign_dir/test-key.pem
  sign_cert=$sign_dir/test-cert.pem
  verify_ca=$sign_cert
  signed_with="test-signed with a throwaway certificate (not for distribution)"
elif [ "$makers_sign" -eq 1 ]; then
  verify_ca=${sign_ca:-/etc/ssl/certs/ca-certificates.crt}
  signed_with="signed"
  [ -z "$pkcs11_module" ] || signed_with="signed with a key on a PKCS#11 token"
fi
signer=""
if [ "$test_sign" -eq 1 ] || [ "$makers_sign" -eq 1 ]; then
  credentials=()
  if [ -n "$sign_pkcs12" ]; then
    credentials=(-pkcs12 "$sign_pkcs12")
  elif [ -n "$pkcs11_module" ]; then
    engine=$(openssl version -e | sed -n 's/^ENGINESDIR: "\(.*\)"$/\1/p')/pkcs11.so
    [ -f "$engine" ] || { echo "release: no PKCS#11 engine at $engine (libengine-pkcs11-openssl)" >&2; exit 1; }
    credentials=(-pkcs11engine "$engine" -pkcs11module "$pkcs11_module" -key "$key_uri" -certs "$sign_cert")
  else
    credentials=(-certs "$sign_cert" -key "$sign_key")
  fi
  [ -n "$sign_pass_file" ] && credentials+=(-readpass "$sign_pass_file")
  [ -n "$timestamp_url" ] && credentials+=(-ts "$timestamp_url")
  for binary in "${binaries[@]}"; do
    osslsigncode sign "${credentials[@]}" -h sha256 -n "Orvane Scanner Software" \
      -in "$dist/$binary" -out "$sign_dir/$binary" >"$sign_dir/sign-$binary.log" 2>&1 || {
      cat "$sign_dir/sign-$binary.log" >&2
      echo "release: signing $binary failed" >&2
      exit 1
    }
    mv "$sign_dir/$binary" "$dist/$binary"
    if osslsigncode verify -CAfile "$verify_ca" -in "$dist/$binary" >"$sign_dir/verify-$binary.log" 2>&1; then
      echo "ok: $binary: $(grep -m1 -E '^Signature verification: ok' "$sign_dir/verify-$binary.log" || echo 'signature verified')"
      signer=$(grep -m1 'Subject:' "$sign_dir/verify-$binary.log" | sed 's/.*Subject: *//')
    else
      cat "$sign_dir/verify-$binary.log" >&2
      echo "release: the signature of $binary does not verify" >&2
      exit 1
    fi
  done
fi

{
  echo "Orvane Scanner Software $version"
  echo
  echo "version:  $version (the file VERSION, as the binaries' version resources and the INF lines hold it)"
  echo "commit:   $commit"
  echo "date:     $(date -u -d "@$commit_time" '+%Y-%m-%d %H:%M:%S UTC') (the commit's; the binaries' time stamp)"
  # The compiler and linker of the LLVM version the commit builds with.
  llvm=$(<"$work/src/cmake/llvm-version")
  echo "compiler: $("clang++-$llvm" --version | head -1)"
  echo "linker:   $("ld.lld-$llvm" --version | head -1)"
  cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
  echo "runtime:  MinGW-w64 $(dpkg-query -W -f='${Version}' mingw-w64-x86-64-dev 2>/dev/null)," \
    "libstdc++ from $(dpkg-query -W -f='${Package} ${Version}' g++-mingw-w64-x86-64-posix 2>/dev/null)," \
    "linked statically"
  echo "resource: $(x86_64-w64-mingw32-windres --version | head -1)"
  build_type=$(cache_value CMAKE_BUILD_TYPE)
  build_type=${build_type:-RelWithDebInfo}
  echo "build:    $build_type ($(cache_value "CMAKE_CXX_FLAGS_${build_type^^}")" \
    "-gcodeview -gno-codeview-command-line, PDB by lld), cmake $(cmake --version | head -1 | awk '{print $3}')"
  echo "hardened: Control Flow Guard (-mguard=cf, --guard-cf), CET shadow-stack compatible," \
    "stack protector (-fstack-protector-strong, libssp linked statically)"
  echo "signing:  $signed_with${signer:+, by $signer}"
} >"$dist/BUILD.txt"

# The maker's README of the release: what each file is and where it goes,
# and whether this build is signed (an unsigned one says so at the top).
case $signed_with in
  unsigned) banner="UNSIGNED BUILD: sign both binaries before they go into a driver package (SIGNING, below)." ;;
  test-signed*) banner="TEST-SIGNED BUILD, with a throwaway certificate: not for distribution." ;;
  *) banner="" ;;
esac
readme=$(<"$work/src/packaging/dist-README.txt")
readme=${readme//@BANNER@/"$banner"}
readme=${readme//@VERSION@/"$version"}
readme=${readme//@COMMIT@/"$commit"}
readme=${readme//@SIGNED@/"$signed_with${signer:+, by $signer}"}
[ -n "$banner" ] || readme=${readme#$'\n\n'}
printf '%s\n' "$readme" >"$dist/README.txt"

/usr/bin/python3 "$root/scripts/third_party.py" sbom "${third_party[@]}" --binaries "$dist" \
  --commit "$commit" --commit-time "$commit_time" --llvm "$(<"$work/src/cmake/llvm-version")" \
  >"$dist/sbom.cdx.json"

(cd "$dist" && find . -type f ! -name SHA256SUMS -printf '%P\n' | LC_ALL=C sort |
  xargs sha256sum >SHA256SUMS)

echo "== checking the binaries in $dist"
"$root/scripts/check-binaries.sh" "$dist" "$dist/symbols"
echo "== checking the notices and the bill of materials"
"$root/scripts/check-notices.sh" "$build/bin" "$build/lib" "$dist/THIRD-PARTY-NOTICES.txt"
"$root/scripts/check-sbom.sh" "$dist" "$build/lib" "$dist/sbom.cdx.json" "$dist/THIRD-PARTY-NOTICES.txt"

if [ "$run_signed" -eq 1 ]; then
  echo "== running the signed binaries under Wine"
  BUILD_DIR=$build DIST_DIR=$dist "$root/scripts/check-dist-runs.sh"
fi

echo
echo "== $dist"
(cd "$dist" && find . -type f | sort | xargs ls -l | awk '{ printf "%10d  %s\n", $5, $9 }')
echo
cat "$dist/BUILD.txt"
