#include "crash_guard.h"

#include <windows.h>

#include <cstdio>

#include "owner.h"

namespace robust {

namespace {

// The case in progress; written by the campaign thread, read by the guard.
CRITICAL_SECTION lock;
bool active = false;
uint64_t currentIndex = 0;
ULONGLONG startedAt = 0;
char currentLabel[512];
double hangLimit = 60;
HANDLE campaignThread = nullptr;

// Names the module that holds an address ("name+0xoffset"), with wide calls
// only: the narrow ones convert through heap buffers.
void NameAddress(const void* address, char* out, size_t capacity) {
  HMODULE holder = nullptr;
  if (!address || !GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                          GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                      static_cast<LPCWSTR>(address), &holder)) {
    std::snprintf(out, capacity, "%p", address);
    return;
  }
  wchar_t wide[MAX_PATH] = L"";
  GetModuleFileNameW(holder, wide, MAX_PATH);
  const wchar_t* base = wide;
  for (const wchar_t* p = wide; *p; ++p)
    if (*p == L'\\' || *p == L'/') base = p + 1;
  char module[64];
  size_t i = 0;
  for (; base[i] && i + 1 < sizeof module; ++i)
    module[i] = base[i] < 128 ? static_cast<char>(base[i]) : '?';
  module[i] = 0;
  std::snprintf(out, capacity, "%s+0x%llx", module,
                static_cast<unsigned long long>(static_cast<const char*>(address) -
                                                reinterpret_cast<const char*>(holder)));
}

// Up to 12 return addresses, unwound from the faulting context.
void DescribeStack(const CONTEXT* faulting, char* out, size_t capacity) {
  CONTEXT context = *faulting;
  size_t used = 0;
  out[0] = 0;
  for (int frame = 0; frame < 12 && context.Rip != 0 && used + 1 < capacity; ++frame) {
    char name[96];
    NameAddress(reinterpret_cast<const void*>(context.Rip), name, sizeof name);
    const int n = std::snprintf(out + used, capacity - used, " %s", name);
    if (n < 0) break;
    used += static_cast<size_t>(n);
    DWORD64 imageBase = 0;
    PRUNTIME_FUNCTION entry = RtlLookupFunctionEntry(context.Rip, &imageBase, nullptr);
    if (!entry) {
      // A leaf function: the return address is at the stack pointer.
      context.Rip = *reinterpret_cast<DWORD64*>(context.Rsp);
      context.Rsp += 8;
    } else {
      void* handlerData = nullptr;
      DWORD64 establisher = 0;
      RtlVirtualUnwind(UNW_FLAG_NHANDLER, imageBase, context.Rip, entry, &context, &handlerData,
                       &establisher, nullptr);
    }
  }
}

// Writes one line without the C runtime or the heap: a crash may have left
// the heap locked or corrupt, and the first printf of a process allocates.
void WriteOut(const char* text, int n) {
  DWORD written = 0;
  if (n > 0)
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, static_cast<DWORD>(n), &written, nullptr);
}

void Describe(const char* what, unsigned long code, const void* address, const CONTEXT* context) {
  // The case first: walking a damaged stack may fault in its turn.
  char line[1024];
  int n = std::snprintf(line, sizeof line, "%s case %llu code=0x%08lX at %p: %s\n", what,
                        static_cast<unsigned long long>(currentIndex), code, address,
                        active ? currentLabel : "(between cases)");
  WriteOut(line, n < static_cast<int>(sizeof line) ? n : static_cast<int>(sizeof line) - 1);
  char where[96];
  NameAddress(address, where, sizeof where);
  char stack[1024] = "";
  if (context) DescribeStack(context, stack, sizeof stack);
  n = std::snprintf(line, sizeof line, "  in %s, stack:%s\n", where, stack);
  WriteOut(line, n < static_cast<int>(sizeof line) ? n : static_cast<int>(sizeof line) - 1);
}

LONG WINAPI OnUnhandled(EXCEPTION_POINTERS* info) {
  // A fault while reporting a fault ends the process at once.
  static LONG reporting = 0;
  if (InterlockedExchange(&reporting, 1) != 0) TerminateProcess(GetCurrentProcess(), ExitCrash);
  // Whatever the campaign printed so far is in the C runtime's buffer; it is
  // lost rather than risk the runtime's locks here.
  Describe("CRASH", info->ExceptionRecord->ExceptionCode, info->ExceptionRecord->ExceptionAddress,
           info->ContextRecord);
  TerminateProcess(GetCurrentProcess(), ExitCrash);
  return EXCEPTION_EXECUTE_HANDLER;
}

// Called before any frame's handler: a fault that corrupted the heap would
// otherwise take the process down in the frames' handlers, or hang it there.
LONG WINAPI OnFirstChance(EXCEPTION_POINTERS* info) {
  switch (info->ExceptionRecord->ExceptionCode) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_STACK_OVERFLOW:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case 0xC0000374:  // heap corruption
    case 0xC0000420:  // assertion failure
      return OnUnhandled(info);
    default: return EXCEPTION_CONTINUE_SEARCH;
  }
}

DWORD WINAPI Watchdog(LPVOID) {
  for (;;) {
    Sleep(250);
    EnterCriticalSection(&lock);
    const bool hung = active && (GetTickCount64() - startedAt) / 1000.0 > hangLimit;
    LeaveCriticalSection(&lock);
    if (hung) {
      // Where the campaign thread is stuck.
      CONTEXT context = {};
      context.ContextFlags = CONTEXT_FULL;
      if (campaignThread && SuspendThread(campaignThread) != static_cast<DWORD>(-1) &&
          GetThreadContext(campaignThread, &context))
        Describe("HANG", 0, reinterpret_cast<const void*>(context.Rip), &context);
      else Describe("HANG", GetLastError(), nullptr, nullptr);
      TerminateProcess(GetCurrentProcess(), ExitHang);
    }
  }
}

}  // namespace

void InstallCrashGuard(double hangSeconds) {
  InitializeCriticalSection(&lock);
  hangLimit = hangSeconds;
  DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &campaignThread, 0,
                  FALSE, DUPLICATE_SAME_ACCESS);
  SetUnhandledExceptionFilter(OnUnhandled);
  AddVectoredExceptionHandler(1, OnFirstChance);
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  const HandleOwner watchdog(CreateThread(nullptr, 0, Watchdog, nullptr, 0, nullptr));
}

void BeginCase(uint64_t index, const std::string& label) {
  EnterCriticalSection(&lock);
  active = true;
  currentIndex = index;
  startedAt = GetTickCount64();
  lstrcpynA(currentLabel, label.c_str(), sizeof currentLabel);
  LeaveCriticalSection(&lock);
}

void EndCase() {
  EnterCriticalSection(&lock);
  active = false;
  LeaveCriticalSection(&lock);
}

}  // namespace robust
