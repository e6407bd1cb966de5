// Drelmo.exe run from its command line, as a user or an installer runs it:
// started as a process from the directory holding the driver packages.
#include <windows.h>
#include <setupapi.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "drelmo_process.h"

namespace {

using namespace drelmo_test;
using testing::ElementsAre;
using testing::StartsWith;

constexpr DWORD RunTimeout = 60000;

// The run of one command line: the program must close its window by itself
// and end with exit code 0.
void RunToEnd(const std::wstring& arguments, const std::wstring& directory) {
  DrelmoProcess drelmo(arguments, directory);
  ASSERT_TRUE(drelmo.started());
  DWORD exitCode = 1;
  ASSERT_TRUE(drelmo.WaitForExit(RunTimeout, &exitCode))
      << "Drelmo " << std::string(arguments.begin(), arguments.end()) << " did not end by itself";
  EXPECT_EQ(exitCode, 0u);
}

std::wstring SizeOf(const std::wstring& directory) { return std::to_wstring(directory.size()); }

std::wstring StagedName(const RegistryString& record) {
  return std::wstring(reinterpret_cast<const wchar_t*>(record.data.data()),
                      record.data.size() / sizeof(wchar_t) - 1);
}

class CommandLine : public testing::Test {
 protected:
  void SetUp() override {
    DeleteAllLogs();
    DeleteDriverRecord();
    RemoveStagedCopies(L"QZV01SCN_USB.INF");
  }
};

TEST_F(CommandLine, InstallUsbWithLogStagesThePackageAndRecordsItsStagedName) {
  const std::wstring directory = PackageDirectory();
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Orvane");
  RunToEnd(L"InstallUSB LOG", directory);
  // The keys it made are the Administrators', whatever owner its token gives.
  for (const wchar_t* key :
       {L"SOFTWARE\\Orvane", L"SOFTWARE\\Orvane\\QzPrinter\\Tarvel\\Mgr\\Driver"})
    EXPECT_EQ(KeySecurity(key),
              L"O:BAD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KA;;;S-1-5-80-956008885-3418522649-"
              L"1831038044-1853292631-2271478464)");

  const RegistryString record = ReadDriverRecord();
  ASSERT_TRUE(record.present);
  EXPECT_EQ(record.type, static_cast<DWORD>(REG_SZ));
  ASSERT_GE(record.data.size(), 4u);
  ASSERT_EQ(record.data.size() % 2, 0u);
  EXPECT_EQ(record.data[record.data.size() - 1], 0);
  EXPECT_EQ(record.data[record.data.size() - 2], 0) << "the value keeps its terminating NUL";
  const std::wstring staged = StagedName(record);
  EXPECT_EQ(staged.find(L'\\'), std::wstring::npos) << "only the file-name part is recorded";

  // The staged copy is the package itself, under the name SetupAPI chose.
  EXPECT_EQ(ReadBytes(InfDirectory() + L"\\" + staged),
            ReadBytes(PackageFile(L"QZV01SCN_USB.INF")));

  EXPECT_THAT(LastRunMessages(L"InstallUSB"),
              ElementsAre(L"Thread function enter!",
                          L"currentDirectory: " + directory + L"; size = " + SizeOf(directory),
                          L"Install USB WIA driver!",
                          L"INF File Path: " + directory + L"\\QZV01SCN_USB.INF",
                          L"SetupCopyOEMInf Result = 1", L"oeminf = " + staged));
}

TEST_F(CommandLine, NewLogFileBeginsWithTheRunSeparator) {
  RunToEnd(L"InstallUSB LOG", PackageDirectory());
  const std::vector<unsigned char> bytes = ReadBytes(LogPath(L"InstallUSB"));
  ASSERT_GE(bytes.size(), 68u);
  const std::vector<unsigned char> start(bytes.begin(), bytes.begin() + 68);
  EXPECT_EQ(start, RunSeparatorBytes());
  EXPECT_EQ(std::vector<unsigned char>(start.begin(), start.begin() + 6),
            (std::vector<unsigned char>{0x0D, 0, 0x0A, 0, '*', 0}));
}

TEST_F(CommandLine, SecondRunAppendsToTheSameLog) {
  RunToEnd(L"InstallUSB LOG", PackageDirectory());
  const std::vector<unsigned char> first = ReadBytes(LogPath(L"InstallUSB"));
  RunToEnd(L"InstallUSB LOG", PackageDirectory());
  const std::vector<unsigned char> both = ReadBytes(LogPath(L"InstallUSB"));
  ASSERT_GT(both.size(), first.size());
  EXPECT_TRUE(std::equal(first.begin(), first.end(), both.begin()))
      << "the earlier run is kept as it was";
  EXPECT_EQ(LastRunMessages(L"InstallUSB").back().rfind(L"oeminf = ", 0), 0u);
}

TEST_F(CommandLine, FailedStagingLogsTheSetupApiErrorAndKeepsTheRecord) {
  WriteDriverRecord(L"earlier.inf");
  // A directory without the packages: the copy cannot find its source.
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  std::wstring empty = std::wstring(temp) + L"drelmo-empty";
  CreateDirectoryW(empty.c_str(), nullptr);
  DeleteFileW((empty + L"\\QZV01SCN_USB.INF").c_str());
  wchar_t full[MAX_PATH] = {};
  GetFullPathNameW(empty.c_str(), MAX_PATH, full, nullptr);
  empty = full;
  if (empty.back() == L'\\') empty.pop_back();

  // The same call in this process gives the error the log must show.
  const std::wstring infPath = empty + L"\\QZV01SCN_USB.INF";
  wchar_t staged[MAX_PATH] = {};
  ASSERT_FALSE(SetupCopyOEMInfW(infPath.c_str(), empty.c_str(), SPOST_PATH, 0, staged, MAX_PATH,
                                nullptr, nullptr));
  const DWORD expectedError = GetLastError();
  ASSERT_NE(expectedError, 0u);

  RunToEnd(L"InstallUSB LOG", empty);
  EXPECT_THAT(LastRunMessages(L"InstallUSB"),
              ElementsAre(L"Thread function enter!",
                          L"currentDirectory: " + empty + L"; size = " + SizeOf(empty),
                          L"Install USB WIA driver!", L"INF File Path: " + infPath,
                          L"SetupCopyOEMInf Result = 0",
                          L"SetupCopyOEMInf Failed: " + std::to_wstring(expectedError) + L"."));
  const RegistryString record = ReadDriverRecord();
  ASSERT_TRUE(record.present);
  EXPECT_EQ(StagedName(record), L"earlier.inf");
}

TEST_F(CommandLine, LowerCaseLogSwitchLogsUninstallUnderItsLogName) {
  const std::wstring directory = PackageDirectory();
  RunToEnd(L"UnInstallUSB log", directory);
  WIN32_FIND_DATAW found = {};
  const HANDLE search = FindFirstFileW(LogPath(L"UninstallUSB").c_str(), &found);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  FindClose(search);
  EXPECT_STREQ(found.cFileName, L"UninstallUSB.log") << "the log name, not the keyword";
  const std::vector<std::wstring> lines = LastRunMessages(L"UninstallUSB");
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[0], L"Thread function enter!");
  EXPECT_EQ(lines[1], L"currentDirectory: " + directory + L"; size = " + SizeOf(directory));
  EXPECT_EQ(lines[2], L"Uninstall USB WIA driver!");
  EXPECT_THAT(lines.back(), StartsWith(L"Remove Service Result = "));
}

TEST_F(CommandLine, NetworkActionsLogTheirStepsInOrder) {
  const std::wstring directory = PackageDirectory();
  RunToEnd(L"InstallNET LOG", directory);
  std::vector<std::wstring> lines = LastRunMessages(L"InstallNET");
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[0], L"Thread function enter!");
  EXPECT_EQ(lines[1], L"currentDirectory: " + directory + L"; size = " + SizeOf(directory));
  EXPECT_EQ(lines[2], L"INF File Path: " + directory + L"\\QZV01SCN_NET.inf");
  EXPECT_EQ(lines[3], L"Install NET WIA driver!");

  RunToEnd(L"UnInstallNET LOG", directory);
  lines = LastRunMessages(L"UninstallNET");
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[2], L"UnInstall NET WIA driver!");
  EXPECT_THAT(lines.back(), StartsWith(L"Remove Service Result = "));
}

TEST_F(CommandLine, ExtraArgumentsAreIgnored) {
  RunToEnd(L"InstallUSB LOG extra \"and more\"", PackageDirectory());
  const std::vector<std::wstring> lines = LastRunMessages(L"InstallUSB");
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[4], L"SetupCopyOEMInf Result = 1");
}

// Creates (with every missing parent) a directory whose full path has the
// given length and puts copies of both packages into it.
std::wstring PackageDirectoryOfLength(size_t length) {
  std::wstring path = L"C:\\drelmo-long";
  CreateDirectoryW(path.c_str(), nullptr);
  while (path.size() + 1 < length) {
    // Parts of at most 40 characters, never leaving a remainder of one.
    const size_t remaining = length - path.size();
    const size_t part = remaining <= 41 ? remaining - 1 : (remaining == 42 ? 38 : 40);
    path += L"\\" + std::wstring(part, L'd');
    CreateDirectoryW((L"\\\\?\\" + path).c_str(), nullptr);
  }
  for (const wchar_t* name : {L"QZV01SCN_USB.INF", L"QZV01SCN_NET.inf"}) {
    CopyFileW(PackageFile(name).c_str(), (L"\\\\?\\" + path + L"\\" + name).c_str(), FALSE);
  }
  return path;
}

// A source directory of 242 characters still gives a complete INF path of
// 259; from 243 on the path does not fit, and no install is attempted.
class LongDirectory : public CommandLine, public testing::WithParamInterface<size_t> {};

TEST_P(LongDirectory, InstallsOnlyWhenTheWholeInfPathFits) {
  const std::wstring directory = PackageDirectoryOfLength(GetParam());
  ASSERT_EQ(directory.size(), GetParam());
  WriteDriverRecord(L"earlier.inf");
  RunToEnd(L"InstallUSB LOG", directory);
  const std::vector<std::wstring> lines = LastRunMessages(L"InstallUSB");
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[1], L"currentDirectory: " + directory + L"; size = " + SizeOf(directory));
  EXPECT_EQ(lines[2], L"Install USB WIA driver!");
  if (GetParam() <= 242) {
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[3], L"INF File Path: " + directory + L"\\QZV01SCN_USB.INF");
    EXPECT_EQ(lines[3].size() - wcslen(L"INF File Path: "), 259u);
    EXPECT_NE(StagedName(ReadDriverRecord()), L"earlier.inf");
  } else {
    EXPECT_THAT(lines, ElementsAre(lines[0], lines[1], lines[2],
                                   L"currentDirectory too long for the INF path; size = " +
                                       SizeOf(directory) + L", at most 242"));
    EXPECT_EQ(StagedName(ReadDriverRecord()), L"earlier.inf");
  }

  RunToEnd(L"InstallNET LOG", directory);
  const std::vector<std::wstring> net = LastRunMessages(L"InstallNET");
  ASSERT_GE(net.size(), 3u);
  if (GetParam() <= 242) {
    EXPECT_EQ(net[2], L"INF File Path: " + directory + L"\\QZV01SCN_NET.inf");
  } else {
    EXPECT_THAT(net, ElementsAre(net[0], net[1],
                                 L"currentDirectory too long for the INF path; size = " +
                                     SizeOf(directory) + L", at most 242"));
  }
}

INSTANTIATE_TEST_SUITE_P(Lengths, LongDirectory, testing::Values(242u, 243u, 258u));

// A drive root: the trailing backslash is dropped from the source directory.
TEST_F(CommandLine, DriveRootGivesTheDriveAsSourceDirectory) {
  wchar_t system[MAX_PATH] = {};
  GetSystemDirectoryW(system, MAX_PATH);
  const std::wstring root = std::wstring(system, 2) + L"\\";
  const std::wstring package = root + L"QZV01SCN_USB.INF";
  ASSERT_TRUE(CopyFileW(PackageFile(L"QZV01SCN_USB.INF").c_str(), package.c_str(), FALSE));
  RunToEnd(L"InstallUSB LOG", root);
  DeleteFileW(package.c_str());
  EXPECT_THAT(LastRunMessages(L"InstallUSB"),
              ElementsAre(L"Thread function enter!", L"currentDirectory: " + root + L"; size = 3",
                          L"Install USB WIA driver!", L"INF File Path: " + package,
                          L"SetupCopyOEMInf Result = 1", StartsWith(L"oeminf = ")));
}

// Runs without the log switch: the action runs (the window closes by itself)
// but no log directory entry is created or changed.
class RunWithoutLog : public CommandLine, public testing::WithParamInterface<const wchar_t*> {};

TEST_P(RunWithoutLog, RunsAndTouchesNoLogFile) {
  CreateDirectoryW(L"C:\\log", nullptr);
  RunToEnd(GetParam(), PackageDirectory());
  for (const wchar_t* name : {L"InstallUSB", L"UninstallUSB", L"InstallNET", L"UninstallNET"}) {
    EXPECT_FALSE(FileExists(LogPath(name))) << "log written for " << testing::PrintToString(name);
  }
}

INSTANTIATE_TEST_SUITE_P(SwitchMissingOrInOtherCase, RunWithoutLog,
                         testing::Values(L"InstallNET Log", L"InstallNET", L"InstallNET LoG",
                                         L"InstallUSB LOGS"));

TEST_F(CommandLine, InstallUsbWithoutLogStillStagesThePackage) {
  RunToEnd(L"InstallUSB", PackageDirectory());
  EXPECT_TRUE(ReadDriverRecord().present);
  EXPECT_FALSE(FileExists(LogPath(L"InstallUSB")));
}

// An unknown word: the error box, no buttons, no action, no log; the empty
// window waits until it is closed.
class UnknownCommand : public CommandLine, public testing::WithParamInterface<const wchar_t*> {};

TEST_P(UnknownCommand, ShowsTheErrorBoxAndRunsNothing) {
  DrelmoProcess drelmo(std::wstring(GetParam()) + L" LOG", PackageDirectory());
  ASSERT_TRUE(drelmo.started());

  const HWND box = drelmo.WaitForWindow(L"#32770", L"Error", 30000);
  ASSERT_NE(box, nullptr) << "no message box with the caption Error";
  std::vector<std::wstring> texts;
  HWND ok = nullptr;
  int buttons = 0;
  int icons = 0;
  // The box is shown once it is laid out (unused buttons hidden).
  for (int i = 0; i < 250 && !IsWindowVisible(box); ++i) Sleep(20);
  ASSERT_TRUE(IsWindowVisible(box));
  for (HWND child : ChildWindows(box)) {
    if (!IsWindowVisible(child)) continue;
    wchar_t className[32] = {};
    GetClassNameW(child, className, 32);
    if (_wcsicmp(className, L"Button") == 0) {
      ++buttons;
      if (GetDlgCtrlID(child) == IDOK) ok = child;
    } else if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
      ++icons;
    } else {
      texts.push_back(WindowText(child));
    }
  }
  EXPECT_EQ(icons, 1) << "the stop icon";
  EXPECT_THAT(texts, testing::Contains(L"Unknown Command!"));
  EXPECT_EQ(buttons, 1) << "only an OK button";
  ASSERT_NE(ok, nullptr);
  EXPECT_EQ(WindowText(ok), L"OK");

  const HWND main = drelmo.WaitForMainWindow(5000);
  ASSERT_NE(main, nullptr);
  EXPECT_EQ(GetWindow(box, GW_OWNER), main) << "the box is owned by the main window";

  PostMessageW(ok, BM_CLICK, 0, 0);
  for (int i = 0; i < 250 && IsWindow(box); ++i) Sleep(20);
  EXPECT_FALSE(IsWindow(box));

  // The empty window stays: no buttons, nothing ran, no log was opened.
  Sleep(300);
  EXPECT_TRUE(IsWindow(main));
  EXPECT_TRUE(ChildWindows(main).empty());
  EXPECT_EQ(WaitForSingleObject(drelmo.process(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  for (const wchar_t* name : {L"InstallUSB", L"UninstallUSB", L"InstallNET", L"UninstallNET"}) {
    EXPECT_FALSE(FileExists(LogPath(name)));
  }
  EXPECT_FALSE(ReadDriverRecord().present);

  PostMessageW(main, WM_CLOSE, 0, 0);
  DWORD exitCode = 1;
  ASSERT_TRUE(drelmo.WaitForExit(RunTimeout, &exitCode));
  EXPECT_EQ(exitCode, 0u);
}

INSTANTIATE_TEST_SUITE_P(Keywords, UnknownCommand,
                         testing::Values(L"installusb", L"UninstallUSB", L"INSTALLUSB",
                                         L"InstallUsb", L"UninstallNET", L"LOG"));

}  // namespace
