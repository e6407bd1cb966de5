// Starts one program in a given current directory, waits for it and ends
// with its exit code.
//
//   robust_start_in.exe <directory> <command line of the program>
//
// The setup tool's campaign starts Drelmo.exe in every current directory
// through this process, because Wine 8 cannot give a program a current
// directory of 259 characters or more, and from 260 on it damages the
// process that asks for such a start. The process parameters keep MAX_PATH
// characters for the directory, so a longer one is stored without its
// terminating null; the Unix side of NtCreateUserProcess copies it up to the
// next null it finds into a C heap buffer sized by the directory's length,
// overrunning that buffer. The asking process then aborts in malloc or free
// ("malloc(): corrupted top size", "invalid size (unsorted)", "unaligned
// tcache chunk detected") or runs on with a corrupt heap. Asked from here,
// the damage stays in this process. (At 259 characters the program's path
// arrives with its first character overwritten and the start fails with
// status 0xC0000033.)
#include <windows.h>

#include <cstdio>
#include <string>

#include "command_line.h"
#include "owner.h"
#include "process_start.h"

using testbench::SkipArgument;

int main() {
  std::wstring directory;
  const wchar_t* rest = SkipArgument(GetCommandLineW(), nullptr);
  rest = SkipArgument(rest, &directory);
  std::wstring commandLine = rest;
  if (directory.empty() || commandLine.empty()) {
    std::fprintf(stderr, "usage: robust_start_in.exe <directory> <command line>\n");
    return 64;
  }
  testbench::ProcessStart start;
  start.commandLine = commandLine;
  start.directory = directory;
  PROCESS_INFORMATION process = {};
  if (const DWORD error = testbench::StartProcess(start, &process)) {
    std::printf("CreateProcess failed, error %lu\n", error);
    return 65;
  }
  const HandleOwner thread(process.hThread);
  const HandleOwner program(process.hProcess);
  WaitForSingleObject(program.get(), INFINITE);
  DWORD exitCode = 0;
  GetExitCodeProcess(program.get(), &exitCode);
  return static_cast<int>(exitCode);
}
