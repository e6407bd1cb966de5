// Ends in the way its command line asks, for the test of scripts/wine-run.sh:
//
//   end_probe.exe exit <code>         ends itself with <code>
//   end_probe.exe crash               faults on a second thread, unhandled
//   end_probe.exe ended-by-child <code>
//                                     starts a copy of itself that ends this
//                                     process from outside with <code>
//   end_probe.exe end <pid> <code>    (that copy)
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

#include "owner.h"
#include "process_start.h"

namespace {

DWORD WINAPI Fault(void*) {
  volatile int* nowhere = nullptr;
  *nowhere = 1;
  return 0;
}

DWORD ParseCode(const wchar_t* text) { return std::wcstoul(text, nullptr, 0); }

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring mode = argc > 1 ? argv[1] : L"";
  std::printf("end_probe: %ls\n", mode.c_str());
  std::fflush(stdout);
  if (mode == L"exit" && argc == 3) ExitProcess(ParseCode(argv[2]));
  if (mode == L"crash") {
    const HandleOwner thread(CreateThread(nullptr, 0, Fault, nullptr, 0, nullptr));
    if (thread) WaitForSingleObject(thread.get(), INFINITE);
    return 0;  // not reached: the fault ends the process
  }
  if (mode == L"ended-by-child" && argc == 3) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring commandLine = L"\"" + std::wstring(self) + L"\" end " +
                               std::to_wstring(GetCurrentProcessId()) + L" " + argv[2];
    testbench::ProcessStart start;
    start.commandLine = commandLine;
    PROCESS_INFORMATION child = {};
    if (testbench::StartProcess(start, &child) != ERROR_SUCCESS) return 70;
    const HandleOwner thread(child.hThread);
    const HandleOwner process(child.hProcess);
    WaitForSingleObject(process.get(), INFINITE);  // ended before the child returns
    return 71;
  }
  if (mode == L"end" && argc == 4) {
    const HandleOwner parent(
        OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, ParseCode(argv[2])));
    if (!parent) return 72;
    // The parent has ended when this copy ends: the runner's next start
    // never meets it half torn down.
    const bool ended = TerminateProcess(parent.get(), ParseCode(argv[3])) &&
                       WaitForSingleObject(parent.get(), testbench::EndLimitMs) == WAIT_OBJECT_0;
    return ended ? 0 : 73;
  }
  std::fprintf(stderr, "usage: end_probe.exe exit <code> | crash | ended-by-child <code>\n");
  return 64;
}
