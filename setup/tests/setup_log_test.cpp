// The setup log, written by this process into C:\log under a name of the
// test's own (the real action names belong to the command-line tests).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <sddl.h>

#include <atomic>
#include <memory>
#include <optional>
#include <ostream>
#include <set>
#include <thread>
#include <string>
#include <vector>

#include "drelmo_process.h"
#include "process_start.h"
#include "format.h"
#include "event_log.h"
#include "log_folder.h"
#include "setup_log.h"

namespace {

constexpr wchar_t TestLogName[] = L"ShellLogTest";
constexpr wchar_t TestLogPath[] = L"C:\\log\\ShellLogTest.log";
constexpr size_t SeparatorBytes = 68;
constexpr size_t PrefixLength = 25;
// Where names planted in C:\log lead: a file and a folder of someone else's.
constexpr wchar_t OtherFile[] = L"C:\\drelmo-other.txt";
constexpr wchar_t OtherFolder[] = L"C:\\drelmo-other";
constexpr wchar_t LogFolderAsideName[] = L"C:\\drelmo-log-aside";
// A second name of the log inside the log folder, as a backup tool makes.
constexpr wchar_t SecondLogName[] = L"C:\\log\\ShellLogTest-copy.log";

std::vector<unsigned char> ReadLog() { return drelmo_test::ReadBytes(TestLogPath); }

using drelmo_test::RunSeparatorBytes;
using drelmo_test::Utf16Bytes;
using drelmo_test::Utf16Text;

using OwnedHandle = std::unique_ptr<void, BOOL(WINAPI*)(HANDLE)>;
OwnedHandle Own(HANDLE handle) { return OwnedHandle(handle, CloseHandle); }

// A folder of its own: not a file, nor a link to a folder elsewhere.
bool IsFolder(const wchar_t* path) {
  const DWORD attributes = GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
             FILE_ATTRIBUTE_DIRECTORY;
}

// Puts C:\log back from aside. A file a test left in its place goes first;
// when C:\log is a folder again (made since by a run that found none), the
// one aside is an older copy and goes.
void BringBackLogFolder() {
  if (!IsFolder(LogFolderAsideName)) return;
  if (!IsFolder(L"C:\\log")) {
    DeleteFileW(L"C:\\log");
    EXPECT_TRUE(MoveFileW(LogFolderAsideName, L"C:\\log")) << "error " << GetLastError();
    return;
  }
  WIN32_FIND_DATAW found = {};
  const std::wstring aside(LogFolderAsideName);
  const HANDLE search = FindFirstFileW((aside + L"\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      DeleteFileW((aside + L"\\" + found.cFileName).c_str());
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  EXPECT_TRUE(RemoveDirectoryW(LogFolderAsideName)) << "error " << GetLastError();
}

// C:\log moved aside while a test puts something else in its place, and put
// back when the test ends.
class LogFolderAside {
 public:
  LogFolderAside() : moved_(MoveFileW(L"C:\\log", LogFolderAsideName) != FALSE) {
    // Nothing there is as good as moved; anything else would test the wrong thing.
    if (!moved_ && GetFileAttributesW(L"C:\\log") != INVALID_FILE_ATTRIBUTES)
      ADD_FAILURE() << "C:\\log could not be moved aside, error " << GetLastError();
  }
  ~LogFolderAside() {
    if (moved_) BringBackLogFolder();
  }
  LogFolderAside(const LogFolderAside&) = delete;
  LogFolderAside& operator=(const LogFolderAside&) = delete;

 private:
  bool moved_;
};

// A started setup_log_writer; ended by force if the test leaves it running.
class LogWriter {
 public:
  LogWriter(const wchar_t* tag, int count) {
    testbench::ProcessStart start;
    start.commandLine = L"\"" + drelmo_test::BinaryFile(L"setup_log_writer.exe") + L"\" " +
                        TestLogName + L" " + tag + L" " + std::to_wstring(count);
    PROCESS_INFORMATION info = {};
    if (testbench::StartProcess(start, &info) == ERROR_SUCCESS) {
      CloseHandle(info.hThread);
      process_.reset(info.hProcess);
    }
  }
  ~LogWriter() {
    if (started())
      EXPECT_TRUE(testbench::EndProcess(process_.get(), 99)) << "the writer did not end when ended";
  }
  LogWriter(const LogWriter&) = delete;
  LogWriter& operator=(const LogWriter&) = delete;

  bool started() const { return process_ != nullptr; }
  // The exit code once the writer has ended, or STILL_ACTIVE.
  DWORD Finish(DWORD milliseconds) const {
    DWORD exitCode = STILL_ACTIVE;
    if (WaitForSingleObject(process_.get(), milliseconds) == WAIT_OBJECT_0)
      GetExitCodeProcess(process_.get(), &exitCode);
    return exitCode;
  }

 private:
  OwnedHandle process_{nullptr, CloseHandle};
};

ULONGLONG LogSize() {
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  if (!GetFileAttributesExW(TestLogPath, GetFileExInfoStandard, &data)) return 0;
  return (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// Holds the log turn's mutex as a process out to slow the tool down would:
// holdMs at a time, letting go only for a moment. Counts the bytes the log
// grew by while it held the mutex: those were written without a turn.
class TurnHolder {
 public:
  explicit TurnHolder(DWORD holdMs)
      : mutex_(Own(CreateMutexW(nullptr, FALSE, L"DrelmoSetupLogTurn"))),
        holding_(Own(CreateEventW(nullptr, TRUE, FALSE, nullptr))),
        thread_([this, holdMs] { Hold(holdMs); }) {}
  ~TurnHolder() { Stop(); }
  TurnHolder(const TurnHolder&) = delete;
  TurnHolder& operator=(const TurnHolder&) = delete;

  bool Holding() const { return WaitForSingleObject(holding_.get(), 10000) == WAIT_OBJECT_0; }
  // Ends the holding; gives the bytes written while it held the mutex.
  ULONGLONG Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    return writtenWhileHeld_;
  }

 private:
  void Hold(DWORD holdMs) {
    if (mutex_.get() == nullptr || WaitForSingleObject(mutex_.get(), 0) != WAIT_OBJECT_0) return;
    SetEvent(holding_.get());
    while (!stop_) {
      const ULONGLONG before = LogSize();
      Sleep(holdMs);
      writtenWhileHeld_ += LogSize() - before;
      ReleaseMutex(mutex_.get());
      WaitForSingleObject(mutex_.get(), INFINITE);
    }
    ReleaseMutex(mutex_.get());
  }

  OwnedHandle mutex_;
  OwnedHandle holding_;
  std::atomic<bool> stop_{false};
  std::atomic<ULONGLONG> writtenWhileHeld_{0};
  std::thread thread_;
};

// Where the tool logs when C:\log cannot be used: its folder under the
// Windows folder.
std::wstring FallbackFolder() {
  wchar_t windows[MAX_PATH] = {};
  GetSystemWindowsDirectoryW(windows, MAX_PATH);
  return std::wstring(windows) + L"\\Logs\\Drelmo";
}
std::wstring FallbackLogPath() { return FallbackFolder() + L"\\ShellLogTest.log"; }

// Removes every name the tests plant, so that each test starts alike
// whatever an earlier one, or a run that ended half-way, left behind.
void RemovePlantedNames() {
  DeleteFileW(TestLogPath);
  DeleteFileW(SecondLogName);
  DeleteFileW(OtherFile);
  DeleteFileW((std::wstring(OtherFolder) + L"\\ShellLogTest.log").c_str());
  RemoveDirectoryW(OtherFolder);
  DeleteFileW(FallbackLogPath().c_str());
  RemoveDirectoryW(FallbackFolder().c_str());
}

// The tool's event log entries, as its event writer hands them over.
struct Event {
  DWORD id;
  std::wstring user;  // the account named, as text
  std::wstring text;
};
std::vector<Event> events;
// The error the event writer gives for event 1, as an event log that does not
// take it would.
DWORD eventOneRefusedWith = ERROR_SUCCESS;

std::wstring SidText(PSID sid) {
  wchar_t* text = nullptr;
  if (sid == nullptr || !ConvertSidToStringSidW(sid, &text)) return L"(none)";
  const std::wstring result(text);
  LocalFree(text);
  return result;
}

DWORD RecordEvent(WORD type, DWORD id, PSID user, const wchar_t* text) {
  EXPECT_EQ(type, EVENTLOG_WARNING_TYPE);
  events.push_back({id, SidText(user), text});
  return id == 1 ? eventOneRefusedWith : ERROR_SUCCESS;
}

// The account this process runs as, from its token.
std::wstring ProcessUser() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return L"";
  const OwnedHandle held = Own(token);
  alignas(8) BYTE buffer[256] = {};
  DWORD size = 0;
  if (!GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size)) return L"";
  return SidText(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
}

class SetupLog : public testing::Test {
 protected:
  void SetUp() override {
    LogEnabled = false;
    ZeroMemory(LogFilePath, sizeof(LogFilePath));
    BringBackLogFolder();
    RemovePlantedNames();
    events.clear();
    eventOneRefusedWith = ERROR_SUCCESS;
    SetupEventSink = RecordEvent;
  }
  void TearDown() override {
    FinishSetupLog();  // the next test starts without this one's count
    SetupEventSink = nullptr;
    LogEnabled = false;
    RemovePlantedNames();
  }

  // The text written after the run separator of a fresh log.
  std::wstring LinesAfterSeparator(const std::wstring& path = TestLogPath) {
    return Utf16Text(drelmo_test::ReadBytes(path), SeparatorBytes);
  }
};

TEST_F(SetupLog, OpenCreatesTheFileWithTheRunSeparatorOnTheSystemDrive) {
  OpenSetupLog(TestLogName);
  EXPECT_TRUE(LogEnabled);
  wchar_t system[MAX_PATH] = {};
  GetSystemDirectoryW(system, MAX_PATH);
  EXPECT_EQ(std::wstring(LogFilePath),
            std::wstring(1, system[0]) + L":\\log\\" + TestLogName + L".log");
  EXPECT_EQ(ReadLog(), RunSeparatorBytes());
}

TEST_F(SetupLog, ExistingContentIsKeptAndTheRunFollowsIt) {
  CreateDirectoryW(L"C:\\log", nullptr);
  const std::vector<unsigned char> earlier = Utf16Bytes(L"an earlier run\r\n");
  {
    const HANDLE file =
        CreateFileW(TestLogPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(file, earlier.data(), static_cast<DWORD>(earlier.size()), &written, nullptr);
    CloseHandle(file);
  }
  OpenSetupLog(TestLogName);
  WriteSetupLog(L"first\r\n");
  WriteSetupLog(L"second %d\r\n", 2);

  const std::vector<unsigned char> bytes = ReadLog();
  std::vector<unsigned char> expectedStart = earlier;
  const std::vector<unsigned char> separator = RunSeparatorBytes();
  expectedStart.insert(expectedStart.end(), separator.begin(), separator.end());
  ASSERT_GE(bytes.size(), expectedStart.size());
  EXPECT_EQ(std::vector<unsigned char>(bytes.begin(), bytes.begin() + expectedStart.size()),
            expectedStart);
  const std::wstring lines = Utf16Text(bytes, expectedStart.size());
  ASSERT_EQ(lines.size(), 2 * PrefixLength + 7 + 10);
  EXPECT_EQ(lines.substr(PrefixLength, 7), L"first\r\n");
  EXPECT_EQ(lines.substr(2 * PrefixLength + 7), L"second 2\r\n");
}

TEST_F(SetupLog, LineIsTheLocalTimePrefixAndTheFormattedMessage) {
  OpenSetupLog(TestLogName);
  SYSTEMTIME before = {};
  GetLocalTime(&before);
  WriteSetupLog(L"currentDirectory: %ws; size = %d\r\n", L"C:\\pkg \u00e9\u4e2d", 8);
  const std::wstring line = LinesAfterSeparator();
  const std::wstring message = L"currentDirectory: C:\\pkg \u00e9\u4e2d; size = 8\r\n";
  ASSERT_EQ(line.size(), PrefixLength + message.size());
  wchar_t date[16];
  FormatBounded(date, 16, L"%d-%02d-%02d ", before.wYear, before.wMonth, before.wDay);
  EXPECT_EQ(line.substr(0, 11), date);
  EXPECT_EQ(line[13], L':');
  EXPECT_EQ(line[16], L':');
  EXPECT_EQ(line[19], L'.');
  EXPECT_EQ(line.substr(23, 2), L"  ");
  EXPECT_EQ(line.substr(PrefixLength), message);
}

TEST_F(SetupLog, WhileOffNothingIsWritten) {
  OpenSetupLog(TestLogName);
  LogEnabled = false;  // as before any successful open
  DeleteFileW(TestLogPath);
  WriteSetupLog(L"dropped %d\r\n", 1);
  EXPECT_EQ(GetFileAttributesW(TestLogPath), INVALID_FILE_ATTRIBUTES);
}

TEST_F(SetupLog, MessageFillingTheLineExactlyIsKeptWhole) {
  OpenSetupLog(TestLogName);
  // 1023 characters in all: the prefix, 996 characters and "\r\n".
  const std::wstring value(LineCapacity - 1 - PrefixLength - 2, L'v');
  WriteSetupLog(L"%s\r\n", value.c_str());
  EXPECT_EQ(LinesAfterSeparator().substr(PrefixLength), value + L"\r\n");
}

TEST_F(SetupLog, TooLongMessageIsCutAndMarkedAndKeepsItsLineEnd) {
  OpenSetupLog(TestLogName);
  const std::wstring value(1023, L'p');  // a device property of full length
  WriteSetupLog(L"WiaDevice[%d]: %ws\r\n", 3, value.c_str());
  WriteSetupLog(L"next\r\n");
  const std::wstring text = LinesAfterSeparator();
  const std::wstring first = text.substr(0, LineCapacity - 1);
  EXPECT_EQ(first.substr(PrefixLength, 14), L"WiaDevice[3]: ");
  EXPECT_EQ(first.substr(first.size() - 5), L"...\r\n");
  EXPECT_EQ(first.find_first_not_of(L'p', PrefixLength + 14), first.size() - 5);
  EXPECT_EQ(text.substr(LineCapacity - 1 + PrefixLength), L"next\r\n");
}

TEST_F(SetupLog, CutNeverLeavesHalfASurrogatePair) {
  OpenSetupLog(TestLogName);
  std::wstring value;
  while (value.size() < 1100) value += L"\U0001F5A8";
  WriteSetupLog(L"x%s\r\n", value.c_str());
  const std::wstring line = LinesAfterSeparator();
  ASSERT_GE(line.size(), 6u);
  EXPECT_EQ(line.substr(line.size() - 5), L"...\r\n");
  const wchar_t last = line[line.size() - 6];
  EXPECT_TRUE(last >= 0xDC00 && last <= 0xDFFF) << "the last kept unit ends a pair";
}

TEST_F(SetupLog, UnformattableMessageIsWrittenAsItStands) {
  OpenSetupLog(TestLogName);
  WriteSetupLog(L"odd %q conversion\r\n", 5);
  EXPECT_EQ(LinesAfterSeparator().substr(PrefixLength), L"odd %q conversion\r\n");
}

TEST_F(SetupLog, ReadersMayHoldTheFileOpenWhileLinesAreAppended) {
  OpenSetupLog(TestLogName);
  const HANDLE reader = CreateFileW(TestLogPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  WriteSetupLog(L"while read\r\n");
  CloseHandle(reader);
  EXPECT_EQ(LinesAfterSeparator().substr(PrefixLength), L"while read\r\n");
}

// Lines that cannot be written (here while a reader holds the log without
// sharing write access) are counted; the end of the run says how many and
// why the first was not, in one event naming the tool's account and, where
// it can be written, in the log itself.
TEST_F(SetupLog, LinesNotWrittenAreCountedAndReportedAtTheEnd) {
  OpenSetupLog(TestLogName);
  const HANDLE reader =
      CreateFileW(TestLogPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  WriteSetupLog(L"lost\r\n");
  WriteSetupLog(L"lost too\r\n");
  CloseHandle(reader);
  WriteSetupLog(L"kept\r\n");
  EXPECT_TRUE(events.empty()) << "reported before the run ended";
  FinishSetupLog();

  const std::wstring summary =
      L"Lines of the setup log C:\\log\\ShellLogTest.log not written in this run: 2. The first "
      L"was not written because C:\\log\\ShellLogTest.log could not be opened (error 32).";
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].id, 2u);
  EXPECT_EQ(events[0].text, summary);
  EXPECT_EQ(events[0].user, ProcessUser());
  const std::wstring lines = LinesAfterSeparator();
  ASSERT_EQ(lines.size(), 2 * PrefixLength + 6 + summary.size() + 2);
  EXPECT_EQ(lines.substr(PrefixLength, 6), L"kept\r\n");
  EXPECT_EQ(lines.substr(2 * PrefixLength + 6), summary + L"\r\n");
}

// With no folder for the log at all, every line is counted as lost, and so
// is the warning that says so when the event log does not take it.
TEST_F(SetupLog, RunWithoutAnyLogFolderCountsEveryLine) {
  const LogFolderAside aside;
  eventOneRefusedWith = ERROR_LOG_FILE_FULL;
  drelmo_test::WriteBytes(L"C:\\log", Utf16Bytes(L"a file"));
  CreateDirectoryW(FallbackFolder().c_str(), nullptr);
  CreateDirectoryW((FallbackLogPath()).c_str(), nullptr);  // a folder where the log should be
  OpenSetupLog(TestLogName);
  for (int n = 0; n < 3; ++n) WriteSetupLog(L"line %d\r\n", n);
  FinishSetupLog();
  DeleteFileW(L"C:\\log");
  RemoveDirectoryW(FallbackLogPath().c_str());

  EXPECT_FALSE(LogEnabled);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].id, 1u);
  EXPECT_EQ(events[0].text,
            L"Drelmo writes no setup log in this run: C:\\log is not a folder of "
            L"its own (a link, a mount point or a file); " +
                FallbackLogPath() +
                L" is not a file of its own (a link, a mount point, a folder or a file with more "
                L"than one name).");
  EXPECT_EQ(events[1].text,
            L"Lines of the setup log C:\\log\\ShellLogTest.log not written in this run: 4. The "
            L"first was not written because the Application event log did not take the warning "
            L"(error 1502).");
}

// What keeps the run's log out of C:\log. Its log then goes to the tool's
// folder under the Windows folder and begins with why, in the words of the
// one event that says so too; whatever was in the way keeps its content.
enum class InTheWay {
  FolderIsAFile,
  FolderIsALink,
  LogHeldWithoutWriteSharing,
  LogHasANameOutside,  // planted as a link to another file, or linked to erase the log
  LogIsALink,          // to another file (under Wine, a Unix link it follows)
};

struct MovedCase {
  const char* name;
  InTheWay what;
  const wchar_t* why;
};

void PrintTo(const MovedCase& c, std::ostream* os) { *os << c.name; }

class LogMoved : public SetupLog, public testing::WithParamInterface<MovedCase> {};

TEST_P(LogMoved, ToTheToolsWindowsFolderWithOneEventAndWhatWasInTheWayKept) {
  const InTheWay what = GetParam().what;
  const std::vector<unsigned char> history = Utf16Bytes(L"an earlier run\r\n");
  std::optional<LogFolderAside> aside;
  std::optional<drelmo_test::SymbolicLink> link;
  if (what == InTheWay::FolderIsAFile || what == InTheWay::FolderIsALink) aside.emplace();
  if (what == InTheWay::FolderIsALink) {
    ASSERT_TRUE(CreateDirectoryW(OtherFolder, nullptr));
    link.emplace(L"C:\\log", OtherFolder, true);
  } else if (what != InTheWay::FolderIsAFile) {
    CreateDirectoryW(L"C:\\log", nullptr);
  }
  // For a link, the file behind it.
  const std::wstring kept = what == InTheWay::FolderIsAFile ? L"C:\\log"
                            : what == InTheWay::LogIsALink  ? OtherFile
                                                            : TestLogPath;
  drelmo_test::WriteBytes(kept, history);
  if (what == InTheWay::LogIsALink) {
    link.emplace(TestLogPath, OtherFile, false);
    ASSERT_TRUE(link->made());
  }
  OwnedHandle reader = Own(what == InTheWay::LogHeldWithoutWriteSharing
                               ? CreateFileW(TestLogPath, GENERIC_READ, FILE_SHARE_READ, nullptr,
                                             OPEN_EXISTING, 0, nullptr)
                               : nullptr);
  if (what == InTheWay::LogHasANameOutside)
    ASSERT_TRUE(CreateHardLinkW(OtherFile, TestLogPath, nullptr));

  OpenSetupLog(TestLogName);
  WriteSetupLog(L"moved\r\n");
  reader.reset();
  EXPECT_EQ(drelmo_test::ReadBytes(kept), history) << "what was in the way lost its content";
  if (what == InTheWay::FolderIsAFile) DeleteFileW(L"C:\\log");

  EXPECT_TRUE(LogEnabled);
  EXPECT_EQ(std::wstring(LogFilePath), FallbackLogPath());
  const std::wstring why = L"Drelmo writes the setup log of this run to " + FallbackLogPath() +
                           L", not to C:\\log\\ShellLogTest.log: " + GetParam().why + L".";
  EXPECT_THAT(drelmo_test::LastRunMessagesIn(FallbackLogPath()),
              testing::ElementsAre(why, L"moved"));
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].id, 1u);
  EXPECT_EQ(events[0].text, why);
  EXPECT_EQ(events[0].user, ProcessUser());
}

constexpr wchar_t NotAFileOfItsOwn[] =
    L"C:\\log\\ShellLogTest.log is not a file of its own (a link, a mount point, a folder or a "
    L"file with more than one name)";

INSTANTIATE_TEST_SUITE_P(
    Cases, LogMoved,
    testing::Values(
        MovedCase{"FolderIsAFile", InTheWay::FolderIsAFile,
                  L"C:\\log is not a folder of its own (a link, a mount point or a file)"},
        MovedCase{"FolderIsALink", InTheWay::FolderIsALink,
                  L"C:\\log is not a folder of its own (a link, a mount point or a file)"},
        MovedCase{"LogHeldWithoutWriteSharing", InTheWay::LogHeldWithoutWriteSharing,
                  L"C:\\log\\ShellLogTest.log could not be opened (error 32)"},
        MovedCase{"LogHasANameOutside", InTheWay::LogHasANameOutside, NotAFileOfItsOwn},
        MovedCase{"LogIsALink", InTheWay::LogIsALink, NotAFileOfItsOwn}),
    [](const testing::TestParamInfo<MovedCase>& info) { return info.param.name; });

// A file outside C:\log planted as the log, in a folder of thousands of
// names, while a second name of that file appears in C:\log and goes again
// as fast as it can: whichever moment a run looks at the file, it writes
// nothing into it.
TEST_F(SetupLog, NameAppearingDuringTheLookNeverLetsARunWriteIntoAFileOutside) {
  constexpr int Names = 2000;
  constexpr int Runs = 30;
  CreateDirectoryW(L"C:\\log", nullptr);
  const auto filler = [](int n) { return L"C:\\log\\filler-" + std::to_wstring(n); };
  for (int n = 0; n < Names; ++n)
    CloseHandle(
        CreateFileW(filler(n).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  const std::vector<unsigned char> other = Utf16Bytes(L"someone else's file\r\n");
  drelmo_test::WriteBytes(OtherFile, other);

  std::atomic<bool> stop{false};
  std::thread flicker([&stop] {
    while (!stop) {
      CreateHardLinkW(SecondLogName, OtherFile, nullptr);
      DeleteFileW(SecondLogName);
    }
  });
  for (int run = 0; run < Runs; ++run) {
    DeleteFileW(TestLogPath);
    CreateHardLinkW(TestLogPath, OtherFile, nullptr);
    OpenSetupLog(TestLogName);
    WriteSetupLog(L"run %d\r\n", run);
  }
  stop = true;
  flicker.join();
  for (int n = 0; n < Names; ++n) DeleteFileW(filler(n).c_str());
  EXPECT_EQ(Utf16Text(drelmo_test::ReadBytes(OtherFile)), Utf16Text(other));
}

// A log name that is a link whose target does not exist: opening it to
// append, or creating the log, must not create that target outside C:\log.
TEST_F(SetupLog, LogNameThatIsADanglingLinkCreatesNothingWhereItLeads) {
  CreateDirectoryW(L"C:\\log", nullptr);
  drelmo_test::WriteBytes(OtherFile, Utf16Bytes(L"gone soon\r\n"));
  const drelmo_test::SymbolicLink link(TestLogPath, OtherFile, false);
  ASSERT_TRUE(link.made());
  ASSERT_TRUE(DeleteFileW(OtherFile));
  ASSERT_FALSE(drelmo_test::FileExists(OtherFile));

  OpenSetupLog(TestLogName);
  WriteSetupLog(L"through the link\r\n");
  const bool created = drelmo_test::FileExists(OtherFile);
  // The link leads somewhere again, so that its removal can be waited for.
  drelmo_test::WriteBytes(OtherFile, Utf16Bytes(L"back\r\n"));
  EXPECT_FALSE(created) << "the log was created where the link leads";
}

// Two runs that find no log at once both open it: the create that comes
// second opens the file the first just made.
TEST_F(SetupLog, TwoOpensOfOneNewNameBothSucceed) {
  CreateDirectoryW(L"C:\\log", nullptr);
  LogFailure failure;
  const HandleOwner folder = OpenLogFolder(L"C:\\log", &failure);
  std::atomic<int> failed{0};
  for (int trial = 0; trial < 300; ++trial) {
    DeleteFileW(TestLogPath);
    std::atomic<int> ready{0};
    const auto open = [&] {
      LogFailure why;
      for (++ready; ready < 2;) continue;
      failed += OpenLogFile(folder.get(), L"ShellLogTest.log", TestLogPath, &why) ? 0 : 1;
    };
    std::thread other(open);
    open();
    other.join();
  }
  EXPECT_EQ(failed, 0) << "of 600 opens";
}

// Anyone may hold C:\log open, with delete access or without sharing
// anything: the run is still logged.
TEST_F(SetupLog, LogFolderHeldOpenByOthersIsStillWritten) {
  CreateDirectoryW(L"C:\\log", nullptr);
  struct Holder {
    const char* what;
    DWORD access;
    DWORD share;
  };
  for (const Holder& holder :
       {Holder{"held with delete access", DELETE | FILE_READ_ATTRIBUTES,
               FILE_SHARE_READ | FILE_SHARE_WRITE},
        Holder{"held without sharing", FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, 0}}) {
    DeleteFileW(TestLogPath);
    OwnedHandle held = Own(CreateFileW(L"C:\\log", holder.access, holder.share, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ASSERT_NE(held.get(), INVALID_HANDLE_VALUE) << holder.what;
    OpenSetupLog(TestLogName);
    WriteSetupLog(L"while held\r\n");
    held.reset();
    EXPECT_TRUE(LogEnabled) << holder.what;
    EXPECT_EQ(LinesAfterSeparator().substr(PrefixLength), L"while held\r\n") << holder.what;
  }
}

// Whoever holds the log turn costs the run one bounded wait in all, not one
// per line: here a holder that lets go for a moment every half second would
// otherwise take half a second from each of the 31 writes. Once the run has
// waited its share, it writes without turns, while the holder holds on.
TEST_F(SetupLog, HolderOfTheLogTurnCostsTheRunOneBoundedWait) {
  constexpr int Lines = 30;
  TurnHolder holder(500);
  ASSERT_TRUE(holder.Holding());
  OpenSetupLog(TestLogName);
  for (int n = 0; n < Lines; ++n) WriteSetupLog(L"line %d\r\n", n);
  const ULONGLONG writtenWhileHeld = holder.Stop();

  EXPECT_GT(writtenWhileHeld, 0u) << "every write waited for its turn";
  const std::wstring text = LinesAfterSeparator();
  size_t lines = 0;
  for (size_t end = text.find(L"\r\n"); end != std::wstring::npos;
       end = text.find(L"\r\n", end + 2))
    ++lines;
  EXPECT_EQ(lines, static_cast<size_t>(Lines));
}

// Each line is appended where the file ends at that moment, also while
// another process appends to the same log.
TEST_F(SetupLog, TwoProcessesAppendingAtOnceLoseNoLine) {
  constexpr int LinesEach = 3000;
  const OwnedHandle ready = Own(CreateSemaphoreW(nullptr, 0, 2, L"DrelmoLogWriterReady"));
  const OwnedHandle go = Own(CreateEventW(nullptr, TRUE, FALSE, L"DrelmoLogWriterGo"));
  ASSERT_NE(ready.get(), nullptr);
  ASSERT_NE(go.get(), nullptr);
  const LogWriter a(L"A", LinesEach);
  const LogWriter b(L"B", LinesEach);
  ASSERT_TRUE(a.started() && b.started());
  for (int writer = 0; writer < 2; ++writer)
    ASSERT_EQ(WaitForSingleObject(ready.get(), 60000), static_cast<DWORD>(WAIT_OBJECT_0));
  SetEvent(go.get());
  ASSERT_EQ(a.Finish(120000), 0u);
  ASSERT_EQ(b.Finish(120000), 0u);

  const std::wstring text = Utf16Text(ReadLog());
  std::set<std::wstring> messages;
  size_t lines = 0;
  size_t separators = 0;
  for (size_t start = 0; start < text.size();) {
    const size_t end = text.find(L"\r\n", start);
    ASSERT_NE(end, std::wstring::npos) << "the log ends inside a line";
    const std::wstring line = text.substr(start, end - start);
    start = end + 2;
    if (line.empty()) continue;
    if (line == std::wstring(30, L'*')) {
      ++separators;
      continue;
    }
    ++lines;
    messages.insert(line.size() > PrefixLength ? line.substr(PrefixLength) : line);
  }
  EXPECT_EQ(separators, 2u);
  EXPECT_EQ(lines, 2u * LinesEach);
  size_t missing = 0;
  for (const wchar_t* tag : {L"A ", L"B "})
    for (int n = 0; n < LinesEach; ++n) missing += messages.count(tag + std::to_wstring(n)) == 0;
  EXPECT_EQ(missing, 0u) << "of " << 2 * LinesEach << " lines";
}

// The handles this process holds, among the first few thousand values.
std::vector<HANDLE> HeldHandles() {
  std::vector<HANDLE> held;
  for (ULONG_PTR value = 4; value < 0x4000; value += 4) {
    DWORD flags = 0;
    if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags))
      held.push_back(reinterpret_cast<HANDLE>(value));
  }
  return held;
}

// Making and removing a link may start Unix programs; every handle this
// process held before, its standard output among them, is still open after.
// (Wine 8 keeps the handle it opened on each Unix program's file, so the
// process may hold more.)
TEST_F(SetupLog, MakingAndRemovingLinksLeavesEveryHandleOfThisProcessOpen) {
  CreateDirectoryW(L"C:\\log", nullptr);
  CreateDirectoryW(OtherFolder, nullptr);
  drelmo_test::WriteBytes(OtherFile, Utf16Bytes(L"x"));
  const std::vector<HANDLE> before = HeldHandles();
  ASSERT_THAT(before, testing::Contains(GetStdHandle(STD_OUTPUT_HANDLE)));
  for (int round = 0; round < 3; ++round) {
    const drelmo_test::SymbolicLink file(TestLogPath, OtherFile, false);
    const drelmo_test::SymbolicLink folder(L"C:\\log\\ShellLogTest-folder", OtherFolder, true);
    EXPECT_TRUE(file.made() && folder.made());
  }
  EXPECT_THAT(HeldHandles(), testing::IsSupersetOf(before));
}

}  // namespace
