// Room for the completed table of valid call targets of a shipped binary.
//
// lld lists as valid call targets the functions whose address the project's
// own objects take (clang records them) and the exports and entry point. Of
// the prebuilt runtime libraries (MinGW-w64's CRT, winpthreads, libstdc++,
// libgcc, all compiled by GCC without the guard) it lists only functions
// referred to by name; GCC refers to most functions, the CRT's TLS callbacks
// and libstdc++'s virtual functions among them, through their section, and
// those are left out. On a system that enforces the guard, a checked call
// to one of them (the loader calling a TLS callback, the project's code
// calling a virtual function of the C++ library) would end the process.
//
// After the link, cmake/complete_guard_table.py writes into this room the
// table lld wrote plus every code address the binary keeps in relocated
// data and every function of the prebuilt libraries, and points the load
// configuration to it. The room is found by its tag; its size is counted in
// entries of four bytes.

#if defined(__MINGW32__) && defined(__x86_64__)

asm(R"(
  .section .rdata,"dr"
  .p2align 4
guard_fids_spare:
  .ascii "GuardFidTableRm\0"
  .long 2048
  .long 0, 0, 0
  .space 2048 * 4
)");

#endif
