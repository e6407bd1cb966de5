#!/usr/bin/env bash
# Configures and builds into ./build (or $BUILD_DIR): everything, or only
# the targets named.
#   bash scripts/build.sh [TARGET...]
#   bash scripts/build.sh --shown     what the demo and try-pages.sh run: the
#                                     two binaries, the transfer host, the
#                                     package tools and the class-installer
#                                     stand-in, no test program
# With BUILD_LOG=FILE the configure and build output goes to FILE (its last
# lines are shown when the build fails).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
targets=("$@")
if [ "${1:-}" = --shown ]; then
  targets=(Vantrel Drelmo wiahost program_runner infinstall filter_package driver_packages sti_ci)
fi
[ -n "${BUILD_DEPS_CHECKED:-}" ] || "$root/scripts/install-deps.sh"
if [ -n "${BUILD_LOG:-}" ]; then
  mkdir -p "$(dirname "$BUILD_LOG")"
  : >"$BUILD_LOG"
  if ! BUILD_LOG="" BUILD_DEPS_CHECKED=1 "$0" "$@" >>"$BUILD_LOG" 2>&1; then
    tail -n 30 "$BUILD_LOG" >&2
    echo "build.sh: the build failed; its whole output is in $BUILD_LOG" >&2
    exit 1
  fi
  exit 0
fi
# CMake keeps the compiler a build folder was first configured with. A folder
# made with another compiler (an older toolchain) starts again from an empty
# cache rather than build with the wrong one.
want="set(CMAKE_CXX_COMPILER \"$(command -v "clang++-$(<"$root/cmake/llvm-version")")\")"
if [ -f "$build/CMakeCache.txt" ] &&
   ! cat "$build"/CMakeFiles/*/CMakeCXXCompiler.cmake 2>/dev/null | grep -qxF "$want"; then
  echo "build.sh: $build was configured with another compiler; configuring it afresh"
  rm -rf "$build/CMakeCache.txt" "$build/CMakeFiles"
fi
cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
cmake --build "$build" -j"$(nproc)" ${targets[@]:+--target "${targets[@]}"}
