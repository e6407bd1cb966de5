#include "process_start.h"

#include <cstdio>
#include <vector>

#include "command_line.h"
#include "owner.h"
#include "utf8.h"

namespace testbench {

namespace {

// The build's record of starts, which the test command counts at its end;
// the environment may name another file.
std::wstring RecordFile() {
  wchar_t name[MAX_PATH];
  const DWORD length = GetEnvironmentVariableW(L"TESTBENCH_START_RECORD", name, MAX_PATH);
  if (length > 0 && length < MAX_PATH) return std::wstring(name, length);
#ifdef TESTBENCH_START_RECORD
  return TESTBENCH_START_RECORD;
#else
  return std::wstring();
#endif
}

// Appends one line to the record.
void Record(const std::string& line) {
  const std::wstring record = RecordFile();
  if (record.empty()) return;
  const HandleOwner file(CreateFileW(record.c_str(), FILE_APPEND_DATA,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  const std::string text = line + "\n";
  const bool recorded =
      file &&
      WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
      written == text.size();
  const DWORD error = GetLastError();
  if (!recorded)
    std::fprintf(stderr, "testbench: a line of the record of starts is not in %ls (error %lu)\n",
                 record.c_str(), error);
}

void ReportAndRecord(const std::string& line) {
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
  Record(line);
}

}  // namespace

const StartPlatform& RealPlatform() {
  static const StartPlatform platform = {
      [](const wchar_t* application, wchar_t* commandLine, BOOL inheritHandles, DWORD flags,
         void* environment, const wchar_t* directory, STARTUPINFOW* startup,
         PROCESS_INFORMATION* started) {
        return CreateProcessW(application, commandLine, nullptr, nullptr, inheritHandles, flags,
                              environment, directory, startup, started);
      },
      [](DWORD milliseconds) { Sleep(milliseconds); },
      ReportAndRecord,
      [](const std::string& program) { Record("start " + program); },
  };
  return platform;
}

std::wstring ProgramName(const ProcessStart& start) {
  std::wstring path = start.application;
  if (path.empty()) SkipArgument(start.commandLine.c_str(), &path);
  const size_t separator = path.find_last_of(L"\\/");
  return separator == std::wstring::npos ? path : path.substr(separator + 1);
}

DWORD StartOnce(const ProcessStart& start, PROCESS_INFORMATION* started,
                const CreateProcessCall& create) {
  std::vector<wchar_t> commandLine(start.commandLine.begin(), start.commandLine.end());
  commandLine.push_back(L'\0');
  STARTUPINFOW startup = start.startup;
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  *started = {};
  if (!create(start.application.empty() ? nullptr : start.application.c_str(), commandLine.data(),
              start.inheritHandles ? TRUE : FALSE, start.flags, start.environment,
              start.directory.empty() ? nullptr : start.directory.c_str(), &startup, &process)) {
    const DWORD error = GetLastError();
    // A failure must never read as a start.
    return error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
  }
  *started = process;
  return ERROR_SUCCESS;
}

DWORD StartProcess(const ProcessStart& start, PROCESS_INFORMATION* started) {
  return StartProcess(start, started, RealPlatform());
}

DWORD StartProcess(const ProcessStart& start, PROCESS_INFORMATION* started,
                   const StartPlatform& platform) {
  platform.count(Utf8(ProgramName(start)));
  for (int tryNumber = 1;; ++tryNumber) {
    const DWORD error = StartOnce(start, started, platform.create);
    if (error != RefusedBeforeItRan || tryNumber > TriesAgainAtMost) {
      SetLastError(error);
      return error;
    }
    char line[512];
    std::snprintf(line, sizeof line,
                  "testbench: the platform refused to start %s before it ran (CreateProcessW "
                  "error %lu, ERROR_INTERNAL_ERROR); trying again in %lu ms, try %d of %d",
                  Utf8(ProgramName(start)).c_str(), error, PauseBeforeTryingAgainMs, tryNumber + 1,
                  TriesAgainAtMost + 1);
    platform.report(line);
    platform.pause(PauseBeforeTryingAgainMs);
  }
}

DWORD RunWithOutputFile(ProcessStart start, const std::wstring& outputPath, DWORD limitMs,
                        DWORD* exitCode, std::string* output) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  const HandleOwner file(CreateFileW(outputPath.c_str(), GENERIC_READ | GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return GetLastError();
  start.inheritHandles = true;
  start.startup.dwFlags |= STARTF_USESTDHANDLES;
  start.startup.hStdOutput = file.get();
  start.startup.hStdError = file.get();
  PROCESS_INFORMATION started = {};
  if (const DWORD error = StartProcess(start, &started)) return error;
  const HandleOwner thread(started.hThread);
  const HandleOwner process(started.hProcess);
  DWORD result = ERROR_SUCCESS;
  if (WaitForSingleObject(process.get(), limitMs) != WAIT_OBJECT_0) {
    EndProcess(process.get(), 1);
    result = ERROR_TIMEOUT;
  }
  GetExitCodeProcess(process.get(), exitCode);
  // The program wrote through a handle that shares this one's file position.
  SetFilePointer(file.get(), 0, nullptr, FILE_BEGIN);
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) {
    output->append(buffer, got);
  }
  return result;
}

bool EndProcess(HANDLE process, UINT exitCode, DWORD limitMs) {
  if (WaitForSingleObject(process, 0) == WAIT_TIMEOUT) TerminateProcess(process, exitCode);
  return WaitForSingleObject(process, limitMs) == WAIT_OBJECT_0;
}

long ActiveProcesses(HANDLE job) {
  JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info = {};
  if (!QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &info, sizeof info,
                                 nullptr))
    return -1;
  return static_cast<long>(info.ActiveProcesses);
}

bool WaitUntilJobIsEmpty(HANDLE job, DWORD limitMs) {
  const ULONGLONG start = GetTickCount64();
  for (;;) {
    const long active = ActiveProcesses(job);
    if (active == 0) return true;
    if (active < 0 || GetTickCount64() - start >= limitMs) return false;
    Sleep(10);
  }
}

bool EndJob(HANDLE job, UINT exitCode, DWORD limitMs) {
  TerminateJobObject(job, exitCode);
  return WaitUntilJobIsEmpty(job, limitMs);
}

}  // namespace testbench
