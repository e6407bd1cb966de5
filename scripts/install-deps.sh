#!/usr/bin/env bash
# Installs what the build, the tests and the demo need, from Debian's packages.
# Does nothing when everything is already there.
set -euo pipefail

need=()
have_cmd() { command -v "$1" >/dev/null 2>&1; }
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

have_cmd x86_64-w64-mingw32-g++-posix || need+=(g++-mingw-w64-x86-64 mingw-w64)
have_cmd wine        || need+=(wine wine64)
have_pkg wine64      || need+=(wine64)
have_cmd Xvfb        || need+=(xvfb)
have_cmd xauth       || need+=(xauth)
have_cmd xdpyinfo    || need+=(x11-utils)
have_cmd xdotool     || need+=(xdotool)
have_cmd import      || need+=(imagemagick)
have_pkg fonts-wine  || need+=(fonts-wine)
have_cmd cmake       || need+=(cmake)
have_cmd ninja       || need+=(ninja-build)
have_cmd python3     || need+=(python3)
have_cmd clang-format || need+=(clang-format)
# The compiler and linker of every binary (clang and lld, on MinGW-w64's
# headers and libraries above) and the tools that read binaries and PDBs, all
# of the LLVM version in cmake/llvm-version, and what release.sh signs with.
llvm=$(<"$(dirname "$0")/../cmake/llvm-version")
have_cmd "clang-$llvm" || need+=("clang-$llvm")
have_cmd "ld.lld-$llvm" || need+=("lld-$llvm")
# The static checks of the product's code (scripts/check-tidy.sh).
have_cmd "clang-tidy-$llvm" || need+=("clang-tidy-$llvm")
for tool in llvm-ar llvm-ranlib llvm-readobj llvm-objdump llvm-pdbutil llvm-symbolizer; do
  have_cmd "$tool-$llvm" || need+=("llvm-$llvm")
done
have_cmd osslsigncode || need+=(osslsigncode)
have_cmd openssl     || need+=(openssl)
# Signing with a key on a PKCS#11 token: OpenSSL's PKCS#11 engine, and for
# the test command's software token SoftHSM2 and OpenSC's pkcs11-tool.
have_pkg libengine-pkcs11-openssl || need+=(libengine-pkcs11-openssl)
have_cmd softhsm2-util || need+=(softhsm2)
have_cmd pkcs11-tool || need+=(opensc)
# The release's bill of materials is checked with Debian's Python and its
# jsonschema against CycloneDX's published schema, which npm fetches once.
[ -x /usr/bin/python3 ] || need+=(python3)
have_pkg python3-jsonschema || need+=(python3-jsonschema)
# Debian's readers of PE files (scripts/binary_facts.py,
# cmake/complete_guard_table.py) and of copyright files (scripts/third_party.py).
have_pkg python3-pefile || need+=(python3-pefile)
have_pkg python3-debian || need+=(python3-debian)
have_cmd npm         || need+=(npm)
[ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)

if [ ${#need[@]} -gt 0 ]; then
  echo "Installing: ${need[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${need[@]}"
fi

# The schema of the bill of materials, pinned by version and checksum, kept
# in a cache folder (fetched only when missing).
"$(dirname "$0")/fetch-sbom-schema.sh" >/dev/null
