// The setup log, written by this process into C:\log under a name of the
// test's own (the real action names belong to the command-line tests).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "drelmo_process.h"
#include "setup.h"

namespace {

constexpr wchar_t TestLogName[] = L"ShellLogTest";
constexpr wchar_t TestLogPath[] = L"C:\\log\\ShellLogTest.log";
constexpr size_t SeparatorBytes = 68;
constexpr size_t PrefixLength = 25;

std::vector<unsigned char> ReadLog() { return drelmo_test::ReadBytes(TestLogPath); }

using drelmo_test::RunSeparatorBytes;
using drelmo_test::Utf16Bytes;
using drelmo_test::Utf16Text;

class SetupLog : public testing::Test {
 protected:
  void SetUp() override {
    LogEnabled = false;
    ZeroMemory(LogFilePath, sizeof(LogFilePath));
    DeleteFileW(TestLogPath);
  }
  void TearDown() override {
    LogEnabled = false;
    DeleteFileW(TestLogPath);
  }

  // The text written after the run separator of a fresh log.
  std::wstring LinesAfterSeparator() { return Utf16Text(ReadLog(), SeparatorBytes); }
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
    const HANDLE file = CreateFileW(TestLogPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0,
                                    nullptr);
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

TEST_F(SetupLog, LineThatCannotOpenTheFileIsLostAndLaterLinesAreWritten) {
  OpenSetupLog(TestLogName);
  const HANDLE locker = CreateFileW(TestLogPath, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                                    nullptr);
  ASSERT_NE(locker, INVALID_HANDLE_VALUE);
  WriteSetupLog(L"lost\r\n");
  CloseHandle(locker);
  WriteSetupLog(L"kept\r\n");
  EXPECT_EQ(LinesAfterSeparator().substr(PrefixLength), L"kept\r\n");
}

}  // namespace
