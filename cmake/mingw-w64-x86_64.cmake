# Cross-compiles x86-64 Windows binaries with clang and lld, against
# MinGW-w64's headers, C runtime and libstdc++ (its posix thread variant, as
# the GCC cross compiler of the same name uses). lld writes each binary's
# debug information to a PDB beside it, which Windows debuggers read.
# Every LLVM program of the build is named with the one LLVM version in
# cmake/llvm-version (clang-19, ld.lld-19, llvm-ar-19 ...), as are those the
# scripts run, so the build does not depend on which LLVM the unversioned
# names happen to point to.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TOOLCHAIN_PREFIX x86_64-w64-mingw32)
set(MINGW_SYSROOT /usr/${TOOLCHAIN_PREFIX})

file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/llvm-version LLVM_VERSION LIMIT_COUNT 1)
find_program(LLD_LINKER ld.lld-${LLVM_VERSION})
if(NOT LLD_LINKER)
  message(FATAL_ERROR "No ld.lld-${LLVM_VERSION}: install lld-${LLVM_VERSION} (scripts/install-deps.sh)")
endif()

# clang takes no GCC installation with the sysroot below, and without it
# picks Debian's "12-win32" folder, whose libstdc++ has no threads
# (--gcc-install-dir does not apply to MinGW targets), so the posix
# variant's libstdc++ is named here.
file(GLOB MINGW_GCC_DIRS LIST_DIRECTORIES true /usr/lib/gcc/${TOOLCHAIN_PREFIX}/*-posix)
list(SORT MINGW_GCC_DIRS COMPARE NATURAL ORDER DESCENDING)
set(MINGW_GCC_DIR "")
if(MINGW_GCC_DIRS)
  list(GET MINGW_GCC_DIRS 0 MINGW_GCC_DIR)
endif()
if(NOT MINGW_GCC_DIR OR NOT EXISTS "${MINGW_GCC_DIR}/include/c++")
  message(FATAL_ERROR "No MinGW-w64 libstdc++ (posix threads) under /usr/lib/gcc/${TOOLCHAIN_PREFIX}")
endif()

set(CMAKE_C_COMPILER clang-${LLVM_VERSION})
set(CMAKE_CXX_COMPILER clang++-${LLVM_VERSION})
set(CMAKE_C_COMPILER_TARGET ${TOOLCHAIN_PREFIX})
set(CMAKE_CXX_COMPILER_TARGET ${TOOLCHAIN_PREFIX})
set(CMAKE_RC_COMPILER ${TOOLCHAIN_PREFIX}-windres)
# MinGW-w64's message compiler, for the message tables of event sources.
find_program(MINGW_MESSAGE_COMPILER ${TOOLCHAIN_PREFIX}-windmc)
if(NOT MINGW_MESSAGE_COMPILER)
  message(FATAL_ERROR "No ${TOOLCHAIN_PREFIX}-windmc: install binutils-mingw-w64-x86-64 (scripts/install-deps.sh)")
endif()
set(CMAKE_AR llvm-ar-${LLVM_VERSION})
set(CMAKE_RANLIB llvm-ranlib-${LLVM_VERSION})
set(CMAKE_SYSROOT ${MINGW_SYSROOT})

set(libstdcxx_include
    "-stdlib++-isystem ${MINGW_GCC_DIR}/include/c++"
    "-stdlib++-isystem ${MINGW_GCC_DIR}/include/c++/${TOOLCHAIN_PREFIX}"
    "-stdlib++-isystem ${MINGW_GCC_DIR}/include/c++/backward")
list(JOIN libstdcxx_include " " libstdcxx_include)
set(CMAKE_CXX_FLAGS_INIT "${libstdcxx_include}")
# --ld-path names lld of the same version (with -fuse-ld=lld alone, clang
# falls back to whichever ld.lld is on the PATH when its own is missing).
# -B finds GCC's crtbegin.o and crtend.o, which go with its libgcc (without
# it, MinGW-w64's own are taken), -L libstdc++ and libgcc; -pthread links
# winpthreads, which that libstdc++ is built on.
set(toolchain_link_flags
    "-fuse-ld=lld --ld-path=${LLD_LINKER} -B${MINGW_GCC_DIR} -L${MINGW_GCC_DIR} -pthread")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${toolchain_link_flags}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${toolchain_link_flags}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${toolchain_link_flags}")

set(CMAKE_FIND_ROOT_PATH ${MINGW_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
