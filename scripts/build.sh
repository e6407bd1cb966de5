#!/usr/bin/env bash
# Configures and builds everything into ./build (or $BUILD_DIR).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/install-deps.sh"
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
cmake --build "$build" -j"$(nproc)"
