// The setup tool's campaign: hostile command lines and environments, each a
// run of the real Drelmo.exe. Every run must end by itself (or, when it asks
// the user, after its box and window are closed) with exit code 0, log what
// its action logs, and write nothing outside the log, the registry record
// and the driver store.
//
// Run with --full for the whole campaign (every current-directory length
// from 3 to 300, every status of the stand-in); without it a seeded slice
// runs, as the test suite does.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "device_bench.h"
#include "drelmo_process.h"
#include "owner.h"
#include "process_start.h"
#include "sti_ci_control.h"
#include "utf8.h"

namespace fs = std::filesystem;

namespace {

bool FullCampaign() { return wcsstr(GetCommandLineW(), L"--full") != nullptr; }

constexpr DWORD RunLimitMs = 60000;

// Files and their sizes and times under C:\, outside the places the tool may
// write (the log directory) and the system's own folders (Wine keeps its
// profile, registry and driver store there).
using FileSnapshot = std::map<std::wstring, std::pair<uintmax_t, fs::file_time_type>>;

FileSnapshot SnapshotDriveC() {
  FileSnapshot files;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(
           L"C:\\", fs::directory_options::skip_permission_denied, ec);
       it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (ec) break;
    const std::wstring path = it->path().wstring();
    if (it.depth() == 0) {
      const std::wstring top = it->path().filename().wstring();
      if (_wcsicmp(top.c_str(), L"windows") == 0 || _wcsicmp(top.c_str(), L"log") == 0 ||
          _wcsicmp(top.c_str(), L"users") == 0 || _wcsicmp(top.c_str(), L"ProgramData") == 0) {
        it.disable_recursion_pending();
        continue;
      }
    }
    std::error_code ignored;
    files[path] = {it->is_regular_file(ignored) ? it->file_size(ignored) : 0,
                   it->last_write_time(ignored)};
  }
  return files;
}

std::string Differences(const FileSnapshot& before, const FileSnapshot& after) {
  std::string out;
  for (const auto& f : after) {
    auto b = before.find(f.first);
    if (b == before.end() || b->second != f.second)
      out += (b == before.end() ? "created " : "changed ") + testbench::Utf8(f.first) + "; ";
  }
  for (const auto& f : before)
    if (!after.count(f.first)) out += "removed " + testbench::Utf8(f.first) + "; ";
  return out;
}

std::wstring LogNameOf(const std::wstring& keyword) {
  if (keyword == L"UnInstallUSB") return L"UninstallUSB";
  if (keyword == L"UnInstallNET") return L"UninstallNET";
  return keyword;
}

struct DrelmoOutcome {
  bool started = false;
  bool ended = false;  // ended by itself, or after we closed what it showed
  DWORD exitCode = 0xFFFFFFFF;
  bool sawErrorBox = false;
  int buttons = -1;                     // buttons of the main window, when it was waited for
  std::string written;                  // files written outside the allowed places
  DWORD launcherExitCode = 0xFFFFFFFF;  // of the launcher, when one started it
};

BOOL CALLBACK CountChild(HWND, LPARAM param) {
  ++*reinterpret_cast<int*>(param);
  return TRUE;
}

enum class Expect { Action, UnknownCommand, Interactive };

// Starts the build's Drelmo.exe (the stand-in is in the system folder) with
// `arguments` in `directory`, after `whileSuspended` when one is given;
// answers the error box and closes the window when the program waits for the
// user.
DrelmoOutcome Start(const std::wstring& arguments, const std::wstring& directory, Expect expect,
                    const std::function<void()>& whileSuspended = nullptr) {
  DrelmoOutcome run;
  const FileSnapshot before = SnapshotDriveC();
  {
    drelmo_test::DrelmoProcess process(arguments, directory, nullptr,
                                       whileSuspended ? CREATE_SUSPENDED : 0);
    run.started = process.started();
    if (!run.started) return run;
    if (whileSuspended) whileSuspended();
    if (whileSuspended) ResumeThread(process.thread());
    if (expect == Expect::UnknownCommand) {
      HWND box = process.WaitForWindow(L"#32770", L"Error", 20000);
      run.sawErrorBox = box != nullptr;
      if (box) PostMessageW(box, WM_COMMAND, IDOK, 0);
    }
    if (expect != Expect::Action) {
      if (HWND main = process.WaitForMainWindow(20000)) {
        if (expect == Expect::Interactive) {
          Sleep(200);
          run.buttons = 0;
          EnumChildWindows(main, CountChild, reinterpret_cast<LPARAM>(&run.buttons));
        }
        PostMessageW(main, WM_CLOSE, 0, 0);
      }
    }
    run.ended = process.WaitForExit(RunLimitMs, &run.exitCode);
  }
  run.written = Differences(before, SnapshotDriveC());
  return run;
}

bool HasEnded(HANDLE process) { return WaitForSingleObject(process, 0) == WAIT_OBJECT_0; }

// Starts the build's Drelmo.exe in `directory` for an action that needs no
// answer from the user, through a process of its own (robust_start_in.exe):
// Wine damages the C heap of the process that asks for a start in a
// directory it cannot name, and that must not be this one. The launcher and
// everything it starts belong to a job, whose messages name the program's
// process; the outcome is the program's own (started, ended, exit code) and
// what it left behind. A start the platform refuses is a result here, not a
// failure: the caller judges it.
DrelmoOutcome StartInDirectory(const std::wstring& arguments, const std::wstring& directory) {
  DrelmoOutcome run;
  const FileSnapshot before = SnapshotDriveC();
  HandleOwner job(CreateJobObjectW(nullptr, nullptr));
  HandleOwner port(CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1));
  JOBOBJECT_ASSOCIATE_COMPLETION_PORT association = {};
  association.CompletionKey = job.get();
  association.CompletionPort = port.get();
  if (!job.get() || !port.get() ||
      !SetInformationJobObject(job.get(), JobObjectAssociateCompletionPortInformation, &association,
                               sizeof association)) {
    ADD_FAILURE() << "cannot make a job for the launcher (" << GetLastError() << ")";
    return run;
  }
  testbench::ProcessStart start;
  start.commandLine = L"\"" ROBUST_BIN_DIR L"\\robust_start_in.exe\" \"" + directory + L"\" \"" +
                      drelmo_test::DrelmoExe() + L"\" " + arguments;
  start.flags = CREATE_SUSPENDED;
  PROCESS_INFORMATION launched = {};
  if (const DWORD error = testbench::StartProcess(start, &launched)) {
    ADD_FAILURE() << "cannot start the launcher (" << error << ")";
    return run;
  }
  HandleOwner launcher(launched.hProcess);
  HandleOwner launcherThread(launched.hThread);
  if (!AssignProcessToJobObject(job.get(), launcher.get())) {
    ADD_FAILURE() << "cannot put the launcher in a job (" << GetLastError() << ")";
    EXPECT_TRUE(testbench::EndProcess(launcher.get(), 1)) << "the launcher did not end";
    return run;
  }
  ResumeThread(launcherThread.get());

  // The first process the launcher starts is the program. Waits until every
  // process of the job has ended, or the program has and the launcher is
  // left hanging in the damage Wine did to it, or the time is up.
  HandleOwner program;
  const ULONGLONG deadline = GetTickCount64() + RunLimitMs;
  ULONGLONG programEndSeen = 0;
  for (;;) {
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) break;
    if (program.get() && HasEnded(program.get())) {
      if (programEndSeen == 0) programEndSeen = now;
      if (now - programEndSeen > 5000) break;
    }
    DWORD message = 0;
    ULONG_PTR key = 0;
    LPOVERLAPPED detail = nullptr;
    if (!GetQueuedCompletionStatus(port.get(), &message, &key, &detail, 200)) continue;
    const DWORD processId = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(detail));
    if (message == JOB_OBJECT_MSG_NEW_PROCESS && processId != launched.dwProcessId &&
        !program.get())
      program = HandleOwner(
          OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    if (message == JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO) break;
  }
  run.started = program.get() != nullptr;
  if (run.started) {
    run.ended = HasEnded(program.get());
    if (run.ended) GetExitCodeProcess(program.get(), &run.exitCode);
  }
  // Whatever is left of the start (a hanging program or launcher) ends here,
  // and is gone before the next start.
  EXPECT_TRUE(testbench::EndJob(job.get(), 1))
      << "a process of the launcher's job was still there " << testbench::EndLimitMs
      << " ms after the job was ended";
  GetExitCodeProcess(launcher.get(), &run.launcherExitCode);
  run.written = Differences(before, SnapshotDriveC());
  return run;
}

void ExpectCleanEnd(const DrelmoOutcome& run, const std::string& what) {
  ASSERT_TRUE(run.started) << what << ": cannot start Drelmo.exe (" << GetLastError() << ")";
  EXPECT_TRUE(run.ended) << what << ": did not end (a crash or hang)";
  EXPECT_EQ(run.exitCode, 0u) << what;
  EXPECT_EQ(run.written, "") << what << ": wrote outside the log, record and driver store";
  EXPECT_EQ(devbench::ControlValue(STI_CONTROL_LOADS), devbench::ControlValue(STI_CONTROL_FREES))
      << what;
  EXPECT_EQ(devbench::ControlValue(STI_CONTROL_LISTS_OPEN), 0u) << what;
}

std::vector<std::wstring> LogOf(const std::wstring& logName) {
  if (!drelmo_test::FileExists(drelmo_test::LogPath(logName))) return {};
  return drelmo_test::LastRunMessages(logName);
}

bool Contains(const std::vector<std::wstring>& lines, const std::wstring& line) {
  for (const auto& l : lines)
    if (l == line) return true;
  return false;
}

class SetupCampaign : public ::testing::Test {
 protected:
  void SetUp() override {
    devbench::ResetState(staged_);
    devbench::PrepareWorkFolder();
    devbench::PlaceStandIn(devbench::StandIn::Full());
  }
  void TearDown() override {
    SetFileAttributesW(L"C:\\log\\InstallNET.log", FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(L"C:\\log");  // in case it was made a file
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Orvane\\QzPrinter\\Tarvel\\Mgr");
    devbench::ResetState(staged_);
    for (const wchar_t* name : {L"QZV01SCN_USB.INF", L"QZV01SCN_NET.inf"})
      drelmo_test::RemoveStagedCopies(name);
  }
  // Runs a keyword with LOG (or the given arguments) and returns its log.
  std::vector<std::wstring> RunAction(const std::wstring& arguments, const std::wstring& logName,
                                      const std::wstring& directory, const std::string& what) {
    drelmo_test::DeleteLog(logName);
    const DrelmoOutcome run = Start(arguments, directory, Expect::Action);
    ExpectCleanEnd(run, what);
    return LogOf(logName);
  }
  std::vector<std::wstring> staged_ = {L"QZV01SCN_USB.INF", L"QZV01SCN_NET.inf"};
  int refusedByPlatform_ = 0;
};

// The log switch in every letter case: only "LOG" and "log" switch it on.
std::vector<std::wstring> Casings(const std::wstring& word) {
  std::vector<std::wstring> out;
  for (unsigned mask = 0; mask < (1u << word.size()); ++mask) {
    std::wstring w = word;
    for (size_t i = 0; i < w.size(); ++i) w[i] = (mask >> i & 1) ? towupper(w[i]) : towlower(w[i]);
    out.push_back(w);
  }
  return out;
}

TEST_F(SetupCampaign, EveryKeywordWithEveryCasingOfTheLogSwitch) {
  const std::vector<std::wstring> keywords =
      FullCampaign() ? std::vector<std::wstring>{L"InstallNET", L"UnInstallNET", L"InstallUSB",
                                                 L"UnInstallUSB"}
                     : std::vector<std::wstring>{L"InstallNET"};
  for (const std::wstring& keyword : keywords) {
    std::vector<std::wstring> switches = Casings(L"log");
    switches.push_back(L"");
    for (const std::wstring& logSwitch : switches) {
      if (!FullCampaign() && logSwitch != L"LOG" && logSwitch != L"lOg" && !logSwitch.empty())
        continue;
      const std::wstring logName = LogNameOf(keyword);
      const std::string what = testbench::Utf8(keyword + L" " + logSwitch);
      const std::vector<std::wstring> log =
          RunAction(keyword + (logSwitch.empty() ? L"" : L" " + logSwitch), logName,
                    devbench::WorkFolder(), what);
      const bool logged = logSwitch == L"LOG" || logSwitch == L"log";
      if (!logged) {
        EXPECT_FALSE(drelmo_test::FileExists(drelmo_test::LogPath(logName)))
            << what << ": logged without the switch";
        continue;
      }
      ASSERT_GE(log.size(), 3u) << what;
      EXPECT_EQ(log[0], L"Thread function enter!") << what;
      EXPECT_EQ(log[1], L"currentDirectory: " + devbench::WorkFolder() + L"; size = " +
                            std::to_wstring(devbench::WorkFolder().size()))
          << what;
    }
  }
}

TEST_F(SetupCampaign, OddCommandLinesEndWithExitZero) {
  struct Case {
    std::wstring arguments;
    Expect expect;
    const wchar_t* logName;  // log that must be written, or null for none
  };
  const std::wstring longArgument(10000, L'x');
  std::wstring many = L"InstallNET LOG";
  for (int i = 0; i < 2000; ++i) many += L" a" + std::to_wstring(i);
  std::vector<Case> cases = {
      {L"", Expect::Interactive, nullptr},
      {L"     ", Expect::Interactive, nullptr},
      {L"\t", Expect::Interactive, nullptr},
      {L"\"InstallNET\" \"LOG\"", Expect::Action, L"InstallNET"},
      {L"\"Install NET\" LOG", Expect::UnknownCommand, nullptr},
      {L"\"\"", Expect::UnknownCommand, nullptr},
      {L"installnet LOG", Expect::UnknownCommand, nullptr},
      {L"UninstallUSB LOG", Expect::UnknownCommand, nullptr},
      {longArgument, Expect::UnknownCommand, nullptr},
      {L"InstallNET " + longArgument, Expect::Action, nullptr},
      {L"InstallNET LOG " + longArgument, Expect::Action, L"InstallNET"},
      {L"\x0418\x043D\x0441\x0442\x0430\x043B\x043B LOG", Expect::UnknownCommand, nullptr},
      {L"InstallNET \xFF2C\xFF2F\xFF27", Expect::Action, nullptr},  // fullwidth LOG
      {L"InstallNET L\x00D6G", Expect::Action, nullptr},
      {L"\xD83D\xDE00 \xD800", Expect::UnknownCommand, nullptr},
      {many, Expect::Action, L"InstallNET"},
  };
  if (!FullCampaign()) {
    // The slice: one of each kind.
    cases = {cases[0], cases[4], cases[10], cases[15]};
  }
  for (const Case& c : cases) {
    const std::string what = c.arguments.size() > 60
                                 ? testbench::Utf8(c.arguments.substr(0, 40)) + "... (" +
                                       std::to_string(c.arguments.size()) + " characters)"
                                 : testbench::Utf8(c.arguments);
    drelmo_test::DeleteAllLogs();
    const DrelmoOutcome run = Start(c.arguments, devbench::WorkFolder(), c.expect);
    ExpectCleanEnd(run, what);
    if (c.expect == Expect::UnknownCommand) {
      EXPECT_TRUE(run.sawErrorBox) << what;
    }
    if (c.expect == Expect::Interactive) {
      EXPECT_EQ(run.buttons, 4) << what;
    }
    for (const wchar_t* name : {L"InstallNET", L"InstallUSB", L"UninstallNET", L"UninstallUSB"}) {
      const bool expected = c.logName && wcscmp(c.logName, name) == 0;
      EXPECT_EQ(drelmo_test::FileExists(drelmo_test::LogPath(name)), expected)
          << what << ": log " << testbench::Utf8(name);
    }
    if (c.logName) {
      const auto log = LogOf(c.logName);
      EXPECT_TRUE(Contains(log, L"Install NET WIA driver!")) << what;
    }
  }
}

// A directory C:\rob\... of exactly `length` characters (3 is C:\ itself).
std::wstring DirectoryOfLength(size_t length) {
  if (length == 3) return L"C:\\";
  std::wstring path = L"C:\\r";
  while (path.size() < length) {
    const size_t room = length - path.size();
    // Components of at most 100 characters; never end on a separator.
    if (room >= 3 && path.size() % 100 == 99) {
      path += L"\\";
    } else {
      path += static_cast<wchar_t>(L'a' + path.size() % 26);
    }
  }
  std::wstring partial;
  for (size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || (path[i] == L'\\' && i > 2))
      CreateDirectoryW((L"\\\\?\\" + path.substr(0, i)).c_str(), nullptr);
  }
  return path;
}

// Wine gives no program a current directory this long or longer.
constexpr size_t ShortestDirectoryWineCannotGive = 259;

TEST_F(SetupCampaign, CurrentDirectoriesOfEveryLength) {
  std::vector<size_t> lengths;
  if (FullCampaign()) {
    for (size_t n = 3; n <= 300; ++n) lengths.push_back(n);
  } else {
    lengths = {3, 242, 243, 259, 260};
  }
  for (size_t n : lengths) {
    const std::wstring dir = DirectoryOfLength(n);
    ASSERT_EQ(dir.size(), n);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, STI_STANDIN_DEVICES);
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, STI_STANDIN_CONTROL, STI_CONTROL_LAST_RECORD);
    const std::string what = "current directory of " + std::to_string(n) + " characters";
    drelmo_test::DeleteLog(L"InstallNET");
    // The stand-in installs only from a package that exists.
    const std::wstring package = (n == 3 ? L"C:" : dir) + L"\\QZV01SCN_NET.inf";
    CopyFileW(drelmo_test::PackageFile(L"QZV01SCN_NET.inf").c_str(), (L"\\\\?\\" + package).c_str(),
              FALSE);
    const DrelmoOutcome run = StartInDirectory(L"InstallNET LOG", dir);
    DeleteFileW((L"\\\\?\\" + package).c_str());
    if (n >= ShortestDirectoryWineCannotGive && (!run.started || run.exitCode == 0xC0000033u) &&
        !drelmo_test::FileExists(drelmo_test::LogPath(L"InstallNET"))) {
      // Wine did not start the program: at 259 characters it garbles the
      // program's path (status 0xC0000033), from 260 on the launcher dies of
      // the heap damage (start_in.cpp). Drelmo.exe never ran.
      ++refusedByPlatform_;
      RecordProperty("refused_by_platform_" + std::to_string(n), static_cast<int>(run.exitCode));
      std::printf(
          "%s: not given to the program by the platform (program %s, exit code 0x%08lX; "
          "launcher exit code 0x%08lX)\n",
          what.c_str(), run.started ? "started" : "not started", run.exitCode,
          run.launcherExitCode);
      continue;
    }
    ExpectCleanEnd(run, what);
    const auto log = LogOf(L"InstallNET");
    ASSERT_GE(log.size(), 2u) << what;
    EXPECT_EQ(log[0], L"Thread function enter!") << what;
    if (n >= 260 && log[1] == L"currentDirectory: C:\\windows; size = 10") {
      // Wine starts a program asked to run in a directory it cannot name in
      // C:\windows instead (Windows refuses to start it): the program never
      // sees the directory, and acts where it is.
      ++refusedByPlatform_;
      RecordProperty("started_elsewhere_by_platform_" + std::to_string(n), "C:\\windows");
      continue;
    }
    const std::wstring source = n == 3 ? L"C:" : dir;
    const std::vector<BYTE> record = devbench::LastInstallRecord();
    if (n <= 242) {
      EXPECT_EQ(log[1], L"currentDirectory: " + dir + L"; size = " + std::to_wstring(n)) << what;
      const std::wstring inf = source + L"\\QZV01SCN_NET.inf";
      EXPECT_TRUE(Contains(log, L"INF File Path: " + inf)) << what;
      EXPECT_EQ(log.back(), L"Install NET WIA driver!") << what;
      ASSERT_EQ(record.size(), 1824u) << what;
      EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(record.data() + 8)), inf) << what;
    } else if (n < 260) {
      // The INF path cannot hold the directory and the file name: either no
      // install is attempted, or the path handed over is complete.
      if (record.size() == 1824) {
        const std::wstring handed(reinterpret_cast<const wchar_t*>(record.data() + 8));
        EXPECT_EQ(handed, source + L"\\QZV01SCN_NET.inf")
            << what << ": a cut INF path was installed";
      }
    } else {
      std::wstring all;
      for (const auto& l : log) all += l + L" | ";
      EXPECT_EQ(record.size(), 0u)
          << what << ": installed from a directory it cannot name; log: " << testbench::Utf8(all);
      bool failedLine = false;
      for (const auto& l : log)
        failedLine |= l.rfind(L"GetCurrentDirectory failed; error = ", 0) == 0;
      EXPECT_TRUE(failedLine) << what;
    }
  }
  std::error_code ignored;
  fs::remove_all(L"\\\\?\\C:\\r", ignored);
  std::printf("current directories tried: %zu, not given to the program by the platform: %d\n",
              lengths.size(), refusedByPlatform_);
}

TEST_F(SetupCampaign, LogDirectoryReplacedByAFileAndReadOnlyLog) {
  drelmo_test::DeleteAllLogs();
  RemoveDirectoryW(L"C:\\log");
  drelmo_test::WriteBytes(L"C:\\log", {'k', 'e', 'e', 'p'});
  // The log then goes to the tool's folder under the Windows folder, begins
  // with why, and the tool is registered as the source of its warning, with
  // a message file that gives Event Viewer the warning's text: its own, in
  // every row (0: nothing at its name; 1: the running program renamed away
  // and other bytes put at its path; 2: a file that is not a program at the
  // name; 3: a copy cut short; 4: a folder, so that it cannot be registered).
  wchar_t windows[MAX_PATH] = {};
  GetSystemWindowsDirectoryW(windows, MAX_PATH);
  const std::wstring fallback = std::wstring(windows) + L"\\Logs\\Drelmo\\InstallNET.log";
  const std::wstring messageFile = std::wstring(windows) + L"\\Logs\\Drelmo\\DrelmoMessages.dll";
  const std::wstring program = drelmo_test::DrelmoExe();
  const wchar_t source[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Drelmo";
  const std::function<void()> replaceProgram = [&] {
    EXPECT_TRUE(MoveFileW(program.c_str(), (program + L".aside").c_str())) << GetLastError();
    drelmo_test::WriteBytes(program, {'n', 'o', 't', ' ', 'D', 'r', 'e', 'l', 'm', 'o'});
  };
  for (int row = 0; row < 5; ++row) {
    const std::vector<unsigned char> tools = drelmo_test::ReadBytes(messageFile);
    DeleteFileW(messageFile.c_str());
    if (row == 2) drelmo_test::WriteBytes(messageFile, std::vector<unsigned char>(600, 'x'));
    if (row == 3)
      drelmo_test::WriteBytes(messageFile, {tools.begin(), tools.begin() + tools.size() / 2});
    if (row == 4) CreateDirectoryW(messageFile.c_str(), nullptr);
    DeleteFileW(fallback.c_str());
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, source);
    const DrelmoOutcome run = Start(L"InstallNET LOG", devbench::WorkFolder(), Expect::Action,
                                    row == 1 ? replaceProgram : std::function<void()>());
    if (row == 1)
      MoveFileExW((program + L".aside").c_str(), program.c_str(), MOVEFILE_REPLACE_EXISTING);
    RemoveDirectoryW(messageFile.c_str());
    ExpectCleanEnd(run, "log directory is a file, row " + std::to_string(row));
    EXPECT_EQ(drelmo_test::ReadBytes(L"C:\\log"), (std::vector<unsigned char>{'k', 'e', 'e', 'p'}));
    EXPECT_EQ(devbench::LastInstallRecord().size(), 1824u) << "the action runs without its log";
    const std::vector<std::wstring> moved = drelmo_test::LastRunMessagesIn(fallback);
    ASSERT_FALSE(moved.empty()) << "no log in the fallback";
    EXPECT_EQ(moved[0], L"Drelmo writes the setup log of this run to " + fallback +
                            L", not to C:\\log\\InstallNET.log: C:\\log is not a folder of its own "
                            L"(a link, a mount point or a file).");
    EXPECT_EQ(moved.back(), L"Install NET WIA driver!") << row << ": no line may be counted lost";
    if (row == 4) {
      EXPECT_EQ(moved[1], L"Drelmo could not register as an Application log source (error 5).");
      continue;
    }
    DWORD types = 0;
    DWORD size = sizeof(types);
    EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, source, L"TypesSupported", RRF_RT_REG_DWORD, nullptr,
                           &types, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(types, 7u);
    EXPECT_EQ(drelmo_test::KeySecurity(source),
              L"O:BAD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KA;;;S-1-5-80-956008885-3418522649-"
              L"1831038044-1853292631-2271478464)(A;CI;KR;;;LS)");
    wchar_t registered[MAX_PATH] = {};
    size = sizeof(registered);
    EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, source, L"EventMessageFile",
                           RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, registered, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(std::wstring(registered), L"%SystemRoot%\\Logs\\Drelmo\\DrelmoMessages.dll");
    const HMODULE messages = LoadLibraryExW(messageFile.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    EXPECT_NE(messages, nullptr) << row;
    wchar_t text[256] = {};
    const DWORD_PTR inserts[] = {reinterpret_cast<DWORD_PTR>(moved[0].c_str())};
    EXPECT_GT(
        FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, messages, 1, 0,
                       text, 256, reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(inserts))),
        0u);
    if (messages != nullptr) FreeLibrary(messages);
    EXPECT_EQ(std::wstring(text), moved[0] + L"\r\n") << row << ": Event Viewer's text of event 1";
  }
  DeleteFileW(fallback.c_str());
  DeleteFileW(L"C:\\log");

  CreateDirectoryW(L"C:\\log", nullptr);
  DrelmoOutcome run;
  const std::vector<unsigned char> old = {'o', 0, 'l', 0, 'd', 0};
  drelmo_test::WriteBytes(L"C:\\log\\InstallNET.log", old);
  SetFileAttributesW(L"C:\\log\\InstallNET.log", FILE_ATTRIBUTE_READONLY);
  RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, STI_STANDIN_CONTROL, STI_CONTROL_LAST_RECORD);
  run = Start(L"InstallNET LOG", devbench::WorkFolder(), Expect::Action);
  ExpectCleanEnd(run, "read-only log");
  // Wine lets root write a read-only file, so the log may have been written;
  // whatever was there stays in front of it.
  const std::vector<unsigned char> now = drelmo_test::ReadBytes(L"C:\\log\\InstallNET.log");
  ASSERT_GE(now.size(), old.size());
  EXPECT_TRUE(std::equal(old.begin(), old.end(), now.begin()));
  EXPECT_EQ(devbench::LastInstallRecord().size(), 1824u)
      << "the action runs whether or not it logs";
  SetFileAttributesW(L"C:\\log\\InstallNET.log", FILE_ATTRIBUTE_NORMAL);

  // A log held open without sharing cannot be opened at all.
  drelmo_test::WriteBytes(L"C:\\log\\InstallNET.log", old);
  HANDLE held =
      CreateFileW(L"C:\\log\\InstallNET.log", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, STI_STANDIN_CONTROL, STI_CONTROL_LAST_RECORD);
  run = Start(L"InstallNET LOG", devbench::WorkFolder(), Expect::Action);
  CloseHandle(held);
  ExpectCleanEnd(run, "log that cannot be opened");
  EXPECT_EQ(drelmo_test::ReadBytes(L"C:\\log\\InstallNET.log"), old);
  EXPECT_EQ(devbench::LastInstallRecord().size(), 1824u) << "the action runs without its log";
  DeleteFileW(fallback.c_str());
}

TEST_F(SetupCampaign, UnwritableRegistryKeyOnlyLosesTheRecord) {
  // A volatile parent key: the record's non-volatile key cannot be made in it.
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Orvane\\QzPrinter\\Tarvel\\Mgr");
  HKEY parent = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Orvane\\QzPrinter\\Tarvel\\Mgr", 0,
                            nullptr, REG_OPTION_VOLATILE, KEY_WRITE, nullptr, &parent, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(parent);
  const auto log =
      RunAction(L"InstallUSB LOG", L"InstallUSB", devbench::WorkFolder(), "unwritable record key");
  EXPECT_FALSE(drelmo_test::ReadDriverRecord().present);
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[log.size() - 2], L"SetupCopyOEMInf Result = 1");
  EXPECT_EQ(log.back().rfind(L"oeminf = ", 0), 0u) << testbench::Utf8(log.back());
}

TEST_F(SetupCampaign, MissingAndMalformedPackages) {
  std::vector<std::pair<std::string, std::vector<unsigned char>>> packages = {
      {"missing", {}},
      {"empty", {0}},
      {"binary", {0xFF, 0xFE, 0x00, 0xD8, 0x01, 0x02, 0x5B, 0x00}},
      {"no version section", {'[', 'X', ']', '\r', '\n', 'a', '=', 'b', '\r', '\n'}},
      {"half a package", {}},
      {"unterminated section", std::vector<unsigned char>(20000, '[')},
  };
  const std::vector<unsigned char> real =
      drelmo_test::ReadBytes(drelmo_test::PackageFile(L"QZV01SCN_USB.INF"));
  packages[4].second.assign(real.begin(), real.begin() + real.size() / 2);
  packages[1].second.clear();
  const std::wstring inf = devbench::WorkFolder() + L"\\QZV01SCN_USB.INF";
  if (!FullCampaign()) packages = {packages[0], packages[2]};
  for (const auto& p : packages) {
    DeleteFileW(inf.c_str());
    if (p.first != "missing") drelmo_test::WriteBytes(inf, p.second);
    const auto log = RunAction(L"InstallUSB LOG", L"InstallUSB", devbench::WorkFolder(), p.first);
    ASSERT_GE(log.size(), 2u) << p.first;
    const std::wstring& result = log[log.size() - 2];
    if (result == L"SetupCopyOEMInf Result = 0") {
      EXPECT_EQ(log.back().rfind(L"SetupCopyOEMInf Failed: ", 0), 0u) << p.first;
      EXPECT_FALSE(drelmo_test::ReadDriverRecord().present) << p.first;
    } else {
      EXPECT_EQ(result, L"SetupCopyOEMInf Result = 1") << p.first;
      EXPECT_EQ(log.back().rfind(L"oeminf = ", 0), 0u) << p.first;
    }
    drelmo_test::DeleteDriverRecord();
    drelmo_test::RemoveStagedCopies(L"QZV01SCN_USB.INF");
  }
}

TEST_F(SetupCampaign, EveryFailureStatusOfTheStandInIsLogged) {
  std::vector<DWORD> statuses = {0xFFFFFFFFu};
  if (FullCampaign())
    statuses = {1,    2,           5,           31,          87,          259,
                1223, 0x7FFFFFFFu, 0x80000000u, 0x80004005u, 0xFFFFFFFEu, 0xFFFFFFFFu};
  for (DWORD status : statuses) {
    const std::wstring d = std::to_wstring(static_cast<int>(status));
    const std::string what = "status " + testbench::Utf8(d);
    struct Probe {
      const wchar_t* exportName;
      const wchar_t* keyword;
      bool seed;
      std::wstring line;
    };
    const std::vector<Probe> probes = {
        {L"InstallWiaDevice", L"InstallNET", false, L"InstallWiaDevice Failed: " + d + L"."},
        {L"CreateWiaDeviceList", L"UnInstallNET", false,
         status == 259 ? L"CreateWiaDeviceList() Failed!! ErrorNo[ERROR_NO_MORE_ITEMS]"
                       : L"CreateWiaDeviceList() Failed!! ErrorNo[" + d + L"]"},
        {L"GetWiaDeviceProperty", L"UnInstallNET", true,
         status == 259 ? L"GetWiaDeviceProperty(FriendlyName) Failed!! ErrorNo[ERROR_NO_MORE_ITEMS]"
                       : L"GetWiaDeviceProperty(FriendlyName) Failed!! ErrorNo[" + d + L"]"},
        {L"UninstallWiaDevice", L"UnInstallNET", true,
         L"UninstallWiaDevice[0] Failed!! ErrorNo[" + d + L"]"},
    };
    for (const Probe& p : probes) {
      RegDeleteTreeW(HKEY_LOCAL_MACHINE, STI_STANDIN_ROOT);
      if (p.seed) devbench::SeedDevice(L"Orvane Scanner NW", L"oem1.inf");
      devbench::SetControl(p.exportName, status);
      const auto log =
          RunAction(std::wstring(p.keyword) + L" LOG", LogNameOf(p.keyword), devbench::WorkFolder(),
                    testbench::Utf8(p.exportName) + " " + what);
      EXPECT_TRUE(Contains(log, p.line)) << testbench::Utf8(p.exportName) << " " << what
                                         << ": no line " << testbench::Utf8(p.line);
    }
  }
}

}  // namespace
