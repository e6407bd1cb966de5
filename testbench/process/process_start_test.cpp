// The one start of the tests: only a refusal before the program ran (error
// 1359) is tried again, at most twice; everything else passes through as
// the create call gave it. And the ends: a process or a job ended here has
// no process left when the call returns.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "owner.h"
#include "process_start.h"
#include "stress_figures.h"

namespace {

using testbench::ProcessStart;
using testbench::StartPlatform;

// Published values of the errors, typed here rather than taken from the
// headers the code under test uses.
constexpr DWORD InternalError = 1359;
constexpr DWORD FileNotFound = 2;
constexpr DWORD AccessDenied = 5;
constexpr DWORD BadExeFormat = 193;
constexpr DWORD GenFailure = 31;

const HANDLE FakeProcess = reinterpret_cast<HANDLE>(0x1234);
const HANDLE FakeThread = reinterpret_cast<HANDLE>(0x5678);

// A platform whose create call fails with the given errors, one per call,
// and then reports a start; it records what every call was given.
struct ScriptedPlatform {
  struct Call {
    const wchar_t* application;
    std::wstring commandLine;
    BOOL inheritHandles;
    DWORD flags;
    void* environment;
    const wchar_t* directory;
    DWORD startupSize;
    HANDLE output;
  };
  std::vector<DWORD> errors;
  std::vector<Call> calls;
  std::vector<DWORD> pauses;
  std::vector<std::string> reports;
  std::vector<std::string> counted;

  StartPlatform Platform() {
    return {[this](const wchar_t* application, wchar_t* commandLine, BOOL inheritHandles,
                   DWORD flags, void* environment, const wchar_t* directory, STARTUPINFOW* startup,
                   PROCESS_INFORMATION* started) {
              calls.push_back({application, commandLine, inheritHandles, flags, environment,
                               directory, startup->cb, startup->hStdOutput});
              // As CreateProcessW may, the call writes to the command line.
              commandLine[0] = L'#';
              if (calls.size() <= errors.size()) {
                SetLastError(errors[calls.size() - 1]);
                return FALSE;
              }
              started->hProcess = FakeProcess;
              started->hThread = FakeThread;
              started->dwProcessId = 42;
              return TRUE;
            },
            [this](DWORD milliseconds) { pauses.push_back(milliseconds); },
            [this](const std::string& line) { reports.push_back(line); },
            [this](const std::string& program) { counted.push_back(program); }};
  }
};

struct RetryCase {
  const char* what;
  std::vector<DWORD> errors;  // of the create calls before a start
  DWORD result;
  size_t calls;
};

TEST(StartProcess, TriesAgainOnlyARefusalBeforeTheProgramRanAndAtMostTwice) {
  const RetryCase cases[] = {
      {"started at once", {}, ERROR_SUCCESS, 1},
      {"one refusal", {InternalError}, ERROR_SUCCESS, 2},
      {"two refusals", {InternalError, InternalError}, ERROR_SUCCESS, 3},
      {"three refusals: given up", {InternalError, InternalError, InternalError}, InternalError, 3},
      {"four refusals: the fourth call never made",
       {InternalError, InternalError, InternalError, InternalError},
       InternalError,
       3},
      {"program not found", {FileNotFound}, FileNotFound, 1},
      {"access denied", {AccessDenied}, AccessDenied, 1},
      {"not a program", {BadExeFormat}, BadExeFormat, 1},
      {"a refusal, then another error", {InternalError, FileNotFound}, FileNotFound, 2},
      {"another error, then what would be a refusal",
       {AccessDenied, InternalError},
       AccessDenied,
       1},
      {"a failure that left no error", {ERROR_SUCCESS}, GenFailure, 1},
  };
  for (const RetryCase& c : cases) {
    ScriptedPlatform platform;
    platform.errors = c.errors;
    ProcessStart start;
    start.commandLine = L"\"Z:\\build\\bin\\Drelmo.exe\" InstallNET LOG";
    PROCESS_INFORMATION started = {};
    SetLastError(ERROR_SUCCESS);
    const DWORD result = testbench::StartProcess(start, &started, platform.Platform());
    EXPECT_EQ(result, c.result) << c.what;
    EXPECT_EQ(GetLastError(), c.result) << c.what;
    EXPECT_EQ(platform.calls.size(), c.calls) << c.what;
    // One start, however often it was tried.
    EXPECT_EQ(platform.counted, std::vector<std::string>{"Drelmo.exe"}) << c.what;
    // Every try before the last was a refusal, reported once and paused for.
    const size_t triedAgain = c.calls - 1;
    ASSERT_EQ(platform.reports.size(), triedAgain) << c.what;
    EXPECT_EQ(platform.pauses, std::vector<DWORD>(triedAgain, 500)) << c.what;
    for (size_t i = 0; i < triedAgain; ++i) {
      const std::string& line = platform.reports[i];
      EXPECT_NE(line.find("refused to start Drelmo.exe"), std::string::npos) << line;
      EXPECT_NE(line.find("error 1359"), std::string::npos) << line;
      EXPECT_NE(line.find("try " + std::to_string(i + 2) + " of 3"), std::string::npos) << line;
    }
    // Each try got the command line whole, whatever the one before did to it.
    for (const auto& call : platform.calls)
      EXPECT_EQ(call.commandLine, start.commandLine) << c.what;
    EXPECT_EQ(started.hProcess, result == ERROR_SUCCESS ? FakeProcess : nullptr) << c.what;
    EXPECT_EQ(started.hThread, result == ERROR_SUCCESS ? FakeThread : nullptr) << c.what;
  }
}

TEST(StartProcess, HandsEveryPartOfTheStartToTheCreateCall) {
  struct Case {
    const wchar_t* application;
    const wchar_t* directory;
    bool inheritHandles;
    DWORD flags;
  };
  const Case cases[] = {
      {L"", L"", false, 0},
      {L"Z:\\bin\\ln", L"C:\\r\\a b", true, CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT},
      {L"C:\\x.exe", L"", false, DEBUG_ONLY_THIS_PROCESS},
  };
  wchar_t environment[] = L"A=1\0\0";
  for (const Case& c : cases) {
    ScriptedPlatform platform;
    ProcessStart start;
    start.application = c.application;
    start.commandLine = L"prog \"two words\"";
    start.inheritHandles = c.inheritHandles;
    start.flags = c.flags;
    start.environment = environment;
    start.directory = c.directory;
    start.startup.hStdOutput = FakeThread;
    PROCESS_INFORMATION started = {};
    ASSERT_EQ(testbench::StartProcess(start, &started, platform.Platform()), ERROR_SUCCESS);
    ASSERT_EQ(platform.calls.size(), 1u);
    const auto& call = platform.calls[0];
    // An empty application or directory is none at all.
    EXPECT_EQ(call.application == nullptr, *c.application == 0);
    if (call.application) EXPECT_STREQ(call.application, c.application);
    EXPECT_EQ(call.directory == nullptr, *c.directory == 0);
    if (call.directory) EXPECT_STREQ(call.directory, c.directory);
    EXPECT_EQ(call.commandLine, L"prog \"two words\"");
    EXPECT_EQ(call.inheritHandles, c.inheritHandles ? TRUE : FALSE);
    EXPECT_EQ(call.flags, c.flags);
    EXPECT_EQ(call.environment, static_cast<void*>(environment));
    EXPECT_EQ(call.startupSize, sizeof(STARTUPINFOW));
    EXPECT_EQ(call.output, FakeThread);
    EXPECT_EQ(started.dwProcessId, 42u);
  }
}

TEST(StartProcess, NamesTheProgramByItsFileName) {
  const struct {
    const wchar_t* application;
    const wchar_t* commandLine;
    const wchar_t* name;
  } cases[] = {
      {L"C:\\a\\b.exe", L"whatever.exe x", L"b.exe"},
      {L"", L"\"Z:\\x y\\Drelmo.exe\" InstallNET", L"Drelmo.exe"},
      {L"", L"Z:/bin/prog.exe arg", L"prog.exe"},
      {L"", L"  plain", L"plain"},
  };
  for (const auto& c : cases) {
    ProcessStart start;
    start.application = c.application;
    start.commandLine = c.commandLine;
    EXPECT_EQ(testbench::ProgramName(start), c.name);
  }
}

// The real count and report leave one line each in the record of starts the
// test command counts (here a file of the test's own).
TEST(StartProcess, TheRealCountAndReportAppendOneLineEachToTheRecord) {
  wchar_t folder[MAX_PATH];
  wchar_t record[MAX_PATH];
  GetTempPathW(MAX_PATH, folder);
  ASSERT_NE(GetTempFileNameW(folder, L"str", 0, record), 0u);
  ASSERT_TRUE(SetEnvironmentVariableW(L"TESTBENCH_START_RECORD", record));
  testbench::RealPlatform().count("Drelmo.exe");
  testbench::RealPlatform().report("tried again");
  testbench::RealPlatform().count("wiahost.exe");
  SetEnvironmentVariableW(L"TESTBENCH_START_RECORD", nullptr);
  std::string text;
  {
    const HandleOwner file(
        CreateFileW(record, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(file);
    char buffer[256];
    DWORD got = 0;
    while (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0)
      text.append(buffer, got);
  }
  DeleteFileW(record);
  EXPECT_EQ(text, "start Drelmo.exe\ntried again\nstart wiahost.exe\n");
}

// The real platform: a program that is not there is an error at once, never
// tried again.
TEST(StartProcess, AMissingProgramFailsOnce) {
  ProcessStart start;
  start.commandLine = L"\"" TESTBENCH_BIN_DIR L"/no-such-program.exe\"";
  PROCESS_INFORMATION started = {};
  const ULONGLONG began = GetTickCount64();
  EXPECT_EQ(testbench::StartProcess(start, &started), FileNotFound);
  EXPECT_LT(GetTickCount64() - began, 500u) << "no pause: it was not tried again";
  EXPECT_EQ(started.hProcess, nullptr);
}

// Owns the handles of a started child that sleeps for the given time.
struct Child {
  explicit Child(DWORD sleepMs, DWORD flags = 0) {
    ProcessStart start;
    start.commandLine =
        L"\"" TESTBENCH_BIN_DIR L"/start_stress.exe\" child " + std::to_wstring(sleepMs);
    start.flags = flags;
    PROCESS_INFORMATION started = {};
    error = testbench::StartProcess(start, &started);
    process.reset(started.hProcess);
    thread.reset(started.hThread);
  }
  ~Child() {
    if (process) testbench::EndProcess(process.get(), 1);
  }
  bool Ended() const { return WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0; }
  DWORD ExitCode() const {
    DWORD code = 0;
    GetExitCodeProcess(process.get(), &code);
    return code;
  }
  DWORD error;
  HandleOwner process;
  HandleOwner thread;
};

TEST(EndProcess, ReturnsOnceTheProcessHasEndedAndKeepsAnExitCodeItHad) {
  Child running(60000);
  ASSERT_EQ(running.error, ERROR_SUCCESS);
  EXPECT_FALSE(running.Ended());
  EXPECT_TRUE(testbench::EndProcess(running.process.get(), 7));
  EXPECT_TRUE(running.Ended());
  EXPECT_EQ(running.ExitCode(), 7u);

  Child done(0);
  ASSERT_EQ(done.error, ERROR_SUCCESS);
  ASSERT_EQ(WaitForSingleObject(done.process.get(), 30000), WAIT_OBJECT_0);
  EXPECT_TRUE(testbench::EndProcess(done.process.get(), 7));
  EXPECT_EQ(done.ExitCode(), 0u);
}

TEST(EndJob, ReturnsWhenNoProcessOfTheJobIsLeft) {
  const HandleOwner job(CreateJobObjectW(nullptr, nullptr));
  ASSERT_TRUE(job);
  Child first(60000, CREATE_SUSPENDED);
  Child second(60000, CREATE_SUSPENDED);
  ASSERT_EQ(first.error, ERROR_SUCCESS);
  ASSERT_EQ(second.error, ERROR_SUCCESS);
  for (const Child* child : {&first, &second}) {
    ASSERT_TRUE(AssignProcessToJobObject(job.get(), child->process.get()));
    ResumeThread(child->thread.get());
  }
  EXPECT_EQ(testbench::ActiveProcesses(job.get()), 2);
  // Still running: a short wait for the job to empty says so.
  EXPECT_FALSE(testbench::WaitUntilJobIsEmpty(job.get(), 100));
  EXPECT_TRUE(testbench::EndJob(job.get(), 9));
  EXPECT_EQ(testbench::ActiveProcesses(job.get()), 0);
  for (const Child* child : {&first, &second}) {
    EXPECT_TRUE(child->Ended());
    EXPECT_EQ(child->ExitCode(), 9u);
  }
  EXPECT_EQ(testbench::ActiveProcesses(nullptr), -1) << "no job, no count";
}

TEST(WaitUntilJobIsEmpty, WaitsForAProgramThatEndsByItself) {
  const HandleOwner job(CreateJobObjectW(nullptr, nullptr));
  ASSERT_TRUE(job);
  Child child(300, CREATE_SUSPENDED);
  ASSERT_EQ(child.error, ERROR_SUCCESS);
  ASSERT_TRUE(AssignProcessToJobObject(job.get(), child.process.get()));
  ResumeThread(child.thread.get());
  EXPECT_TRUE(testbench::WaitUntilJobIsEmpty(job.get()));
  EXPECT_TRUE(child.Ended());
  EXPECT_EQ(child.ExitCode(), 0u) << "ended by itself";
}

// Published values of the exact 95% interval of a Poisson mean.
TEST(StressFigures, PoissonIntervalOfACount) {
  const struct {
    unsigned count;
    double low, high;
  } cases[] = {
      {0, 0.0, 3.689},    {1, 0.0253, 5.572}, {2, 0.2422, 7.225},
      {3, 0.6187, 8.767}, {10, 4.795, 18.39},
  };
  for (const auto& c : cases) {
    const testbench::MeanInterval mean = testbench::PoissonInterval95(c.count);
    EXPECT_NEAR(mean.low, c.low, 0.001 + c.low * 0.001) << c.count;
    EXPECT_NEAR(mean.high, c.high, c.high * 0.001) << c.count;
  }
}

}  // namespace
