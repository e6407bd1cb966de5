// Runs one program, waits for it and records its exit code in a file.
//
//   set WINE_RUN_EXIT_FILE=<file>
//   program_runner.exe <program> [arguments...]
//
// Under Wine the exit status a Unix caller sees for a Windows process is only
// the process's own: a process ended from outside (by the debugger that Wine
// starts for an unhandled exception, by TerminateProcess, or when the Wine
// server goes away) leaves status 0, so a crashed test program can look like
// one that passed. The exit code that Windows keeps for the process is
// reliable, and only another Windows process can read it: this one.
//
// The file gets one line: "exit 0x<code>" once the program has ended, or
// "not started <error>" when it could not be started. No file means that
// this process itself was ended from outside. The program inherits the
// standard handles, the current directory and the environment (without
// WINE_RUN_EXIT_FILE); this process writes nothing to them except a line on
// standard error when the program could not be started (or was refused by
// the platform once and is tried again: process_start.h).
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "command_line.h"
#include "owner.h"
#include "process_start.h"

namespace {

const wchar_t kExitFileVariable[] = L"WINE_RUN_EXIT_FILE";

std::wstring TakeExitFileName() {
  wchar_t name[MAX_PATH];
  const DWORD length = GetEnvironmentVariableW(kExitFileVariable, name, MAX_PATH);
  SetEnvironmentVariableW(kExitFileVariable, nullptr);
  if (length == 0 || length >= MAX_PATH) return std::wstring();
  return std::wstring(name, length);
}

// Writes the one line; returns false when the file could not be written.
bool WriteExitFile(const std::wstring& fileName, const char* line) {
  const HandleOwner file(CreateFileW(fileName.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  const DWORD size = static_cast<DWORD>(std::strlen(line));
  return file && WriteFile(file.get(), line, size, &written, nullptr) && written == size;
}

// Makes a standard handle inheritable, so that the program writes where this
// process would.
void InheritStandardHandle(DWORD which) {
  HANDLE handle = GetStdHandle(which);
  if (handle && handle != INVALID_HANDLE_VALUE)
    SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
}

}  // namespace

int main() {
  const std::wstring exitFile = TakeExitFileName();
  // The program's command line is this one's without its first argument; the
  // program's path is quoted, as Wine quotes it when it starts a program itself.
  std::wstring program;
  const wchar_t* rest =
      testbench::SkipArgument(testbench::SkipArgument(GetCommandLineW(), nullptr), &program);
  std::wstring commandLine = L"\"" + program + L"\"";
  if (*rest) commandLine += L" " + std::wstring(rest);
  if (exitFile.empty() || program.empty()) {
    std::fprintf(stderr,
                 "usage: WINE_RUN_EXIT_FILE=<file> program_runner.exe <program> [arguments...]\n");
    return 64;
  }
  InheritStandardHandle(STD_INPUT_HANDLE);
  InheritStandardHandle(STD_OUTPUT_HANDLE);
  InheritStandardHandle(STD_ERROR_HANDLE);
  testbench::ProcessStart start;
  start.commandLine = commandLine;
  start.inheritHandles = true;
  start.startup.dwFlags = STARTF_USESTDHANDLES;
  start.startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  start.startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  start.startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process = {};
  if (const DWORD error = testbench::StartProcess(start, &process)) {
    std::fprintf(stderr, "program_runner: could not start %ls: error %lu\n", commandLine.c_str(),
                 error);
    char line[64];
    std::snprintf(line, sizeof line, "not started %lu\n", error);
    WriteExitFile(exitFile, line);
    return 65;
  }
  const HandleOwner thread(process.hThread);
  const HandleOwner started(process.hProcess);
  WaitForSingleObject(started.get(), INFINITE);
  DWORD exitCode = 0;
  if (!GetExitCodeProcess(started.get(), &exitCode)) {
    std::fprintf(stderr, "program_runner: the program's exit code could not be read: error %lu\n",
                 GetLastError());
    return 66;
  }
  char line[32];
  std::snprintf(line, sizeof line, "exit 0x%08lX\n", exitCode);
  if (!WriteExitFile(exitFile, line)) {
    std::fprintf(stderr, "program_runner: could not write the exit code (0x%08lX): error %lu\n",
                 exitCode, GetLastError());
    return 67;
  }
  return static_cast<int>(exitCode);
}
