// Starting and ending the processes of the tests. Every program that a test,
// a launcher, the runner or a benchmark starts is started by StartProcess,
// and every process or job they end is ended here and waited for.
//
// Wine 8 now and then refuses a start before the program has run any of its
// code: CreateProcessW fails with ERROR_INTERNAL_ERROR (1359). That refusal,
// and no other, is tried again: after a pause, at most twice more, each time
// with one line on standard error naming the program and the error. The
// build's record of starts (build/starts.txt) gets a line for every start and
// the same line for every start tried again; the test command counts both.
// Any other failure to start is handed back at once, and a program that
// started is never started again here, however it ended.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace testbench {

// What to start, as CreateProcessW takes it (without security attributes).
struct ProcessStart {
  std::wstring application;  // empty: the command line's first argument names the program
  std::wstring commandLine;  // copied for every try: CreateProcessW may write to it
  bool inheritHandles = false;
  DWORD flags = 0;              // creation flags: CREATE_SUSPENDED, DEBUG_ONLY_THIS_PROCESS, ...
  void* environment = nullptr;  // null: this process's environment
  std::wstring directory;       // empty: this process's current directory
  STARTUPINFOW startup = {};    // its cb is set by the start
};

// CreateProcessW's shape, without the two security attributes.
using CreateProcessCall =
    std::function<BOOL(const wchar_t* application, wchar_t* commandLine, BOOL inheritHandles,
                       DWORD flags, void* environment, const wchar_t* directory,
                       STARTUPINFOW* startup, PROCESS_INFORMATION* started)>;

// What a start takes from the platform; a test gives stand-ins. The real
// count appends "start <program>" to the build's record of starts
// (build/starts.txt, or the file the environment variable
// TESTBENCH_START_RECORD names), the real report writes its line to
// standard error and appends it to the record.
struct StartPlatform {
  CreateProcessCall create;                               // CreateProcessW
  std::function<void(DWORD milliseconds)> pause;          // Sleep
  std::function<void(const std::string& line)> report;    // a start tried again
  std::function<void(const std::string& program)> count;  // every start, once
};
const StartPlatform& RealPlatform();

// The one refusal tried again, how often and after how long a pause.
constexpr DWORD RefusedBeforeItRan = ERROR_INTERNAL_ERROR;
constexpr int TriesAgainAtMost = 2;
constexpr DWORD PauseBeforeTryingAgainMs = 500;

// The file name of the program a start names (its application, else its
// command line's first argument), for the lines about it.
std::wstring ProgramName(const ProcessStart& start);

// One try, never repeated: ERROR_SUCCESS with *started filled, or the error
// of the create call. The stress program measures refusals with it.
DWORD StartOnce(const ProcessStart& start, PROCESS_INFORMATION* started,
                const CreateProcessCall& create);

// Starts the program: ERROR_SUCCESS with *started filled (the caller owns
// both handles), or the error of the last try, also left in GetLastError.
DWORD StartProcess(const ProcessStart& start, PROCESS_INFORMATION* started);
DWORD StartProcess(const ProcessStart& start, PROCESS_INFORMATION* started,
                   const StartPlatform& platform);

// Starts the program with its standard output and error going to a new file
// at `outputPath` (rather than a pipe: helper processes that Wine starts on a
// program's behalf inherit its standard handles and may outlive it, so a pipe
// would never report its end), waits for it at most limitMs and ends it
// after that, and hands back its exit code and what it wrote. ERROR_SUCCESS;
// ERROR_TIMEOUT when it had to be ended (exit code and output are handed back
// all the same); or the error of the file or of the start.
DWORD RunWithOutputFile(ProcessStart start, const std::wstring& outputPath, DWORD limitMs,
                        DWORD* exitCode, std::string* output);

// How long an ending is waited for before it is reported as not done.
constexpr DWORD EndLimitMs = 30000;

// Ends a process (if it still runs) and waits until it has ended; false when
// it was still there after limitMs.
bool EndProcess(HANDLE process, UINT exitCode, DWORD limitMs = EndLimitMs);

// The processes of a job that have not ended yet, or -1 when the job cannot
// be asked.
long ActiveProcesses(HANDLE job);

// Waits until no process of the job is left; false when some still were
// after limitMs.
bool WaitUntilJobIsEmpty(HANDLE job, DWORD limitMs = EndLimitMs);

// Ends every process of a job and waits until none is left.
bool EndJob(HANDLE job, UINT exitCode, DWORD limitMs = EndLimitMs);

}  // namespace testbench
