// The load configuration directory of every binary the project links, and the
// two pointers through which Control Flow Guard's checked calls go.
//
// clang's -mguard=cf makes every indirect call go through
// __guard_dispatch_icall_fptr (on x86-64: the target in RAX, the call's own
// arguments in place), and lld's --guard-cf writes the table of valid call
// targets and the guard flags. The Windows loader finds both through the load
// configuration directory, the structure named _load_config_used: when the
// process enforces the guard, the loader replaces the two pointers with its
// own checking routines; otherwise the defaults below stay, which check
// nothing and call the target. MinGW-w64's runtime of this toolchain brings
// no load configuration, so it is here.
//
// The structure is written in assembly because its 32-bit GuardFlags field
// holds the value of lld's absolute symbol __guard_flags, which no C++
// constant initialiser can truncate to 32 bits. The layout is the 64-bit load
// configuration of the PE format, field by field, up to
// GuardMemcpyFunctionPointer (0x140 bytes): fields the project does not use
// are zero, as a linker writes them for a binary without those features.
// The pointers sit in the read-only section .00cfg (lld merges it into
// .rdata), which the loader makes writable only while it installs its
// routines.

#if defined(__MINGW32__) && defined(__x86_64__)

asm(R"(
  .section .00cfg,"dr"
  .p2align 3
  .globl __guard_check_icall_fptr
__guard_check_icall_fptr:
  .quad guard_check_icall_accept
  .globl __guard_dispatch_icall_fptr
__guard_dispatch_icall_fptr:
  .quad guard_dispatch_icall_call

  .text
  .p2align 4
  # void guard_check_icall_accept(void* target): every target is accepted.
guard_check_icall_accept:
  ret
  .p2align 4
  # Calls the target in RAX with the caller's arguments and stack as they are.
guard_dispatch_icall_call:
  jmp *%rax

  .section .rdata,"dr"
  .p2align 3
  .globl _load_config_used
_load_config_used:
  .long 0x140                  # 0x000 Size
  .long 0                      # 0x004 TimeDateStamp
  .short 0, 0                  # 0x008 MajorVersion, MinorVersion
  .long 0, 0                   # 0x00c GlobalFlagsClear, GlobalFlagsSet
  .long 0                      # 0x014 CriticalSectionDefaultTimeout
  .quad 0, 0                   # 0x018 DeCommitFreeBlockThreshold, DeCommitTotalFreeThreshold
  .quad 0                      # 0x028 LockPrefixTable
  .quad 0, 0                   # 0x030 MaximumAllocationSize, VirtualMemoryThreshold
  .quad 0                      # 0x040 ProcessAffinityMask
  .long 0                      # 0x048 ProcessHeapFlags
  .short 0, 0                  # 0x04c CSDVersion, DependentLoadFlags
  .quad 0                      # 0x050 EditList
  .quad 0                      # 0x058 SecurityCookie (the stack protector keeps its own guard)
  .quad 0, 0                   # 0x060 SEHandlerTable, SEHandlerCount (32-bit images only)
  .quad __guard_check_icall_fptr     # 0x070 GuardCFCheckFunctionPointer
  .quad __guard_dispatch_icall_fptr  # 0x078 GuardCFDispatchFunctionPointer
  .quad __guard_fids_table     # 0x080 GuardCFFunctionTable
  .quad __guard_fids_count     # 0x088 GuardCFFunctionCount
  .long __guard_flags          # 0x090 GuardFlags
  .short 0, 0                  # 0x094 CodeIntegrity.Flags, .Catalog
  .long 0, 0                   # 0x098 CodeIntegrity.CatalogOffset, .Reserved
  .quad __guard_iat_table      # 0x0a0 GuardAddressTakenIatEntryTable
  .quad __guard_iat_count      # 0x0a8 GuardAddressTakenIatEntryCount
  .quad __guard_longjmp_table  # 0x0b0 GuardLongJumpTargetTable
  .quad __guard_longjmp_count  # 0x0b8 GuardLongJumpTargetCount
  .quad 0                      # 0x0c0 DynamicValueRelocTable
  .quad 0                      # 0x0c8 CHPEMetadataPointer
  .quad 0, 0                   # 0x0d0 GuardRFFailureRoutine, GuardRFFailureRoutineFunctionPointer
  .long 0                      # 0x0e0 DynamicValueRelocTableOffset
  .short 0, 0                  # 0x0e4 DynamicValueRelocTableSection, Reserved2
  .quad 0                      # 0x0e8 GuardRFVerifyStackPointerFunctionPointer
  .long 0, 0                   # 0x0f0 HotPatchTableOffset, Reserved3
  .quad 0                      # 0x0f8 EnclaveConfigurationPointer
  .quad 0                      # 0x100 VolatileMetadataPointer
  .quad 0, 0                   # 0x108 GuardEHContinuationTable, GuardEHContinuationCount
  .quad 0, 0, 0                # 0x118 GuardXFGCheck/Dispatch/TableDispatchFunctionPointer
  .quad 0                      # 0x130 CastGuardOsDeterminedFailureMode
  .quad 0                      # 0x138 GuardMemcpyFunctionPointer
)");

#endif
