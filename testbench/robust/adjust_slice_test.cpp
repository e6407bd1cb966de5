// A short seeded slice of the AdjustImage campaign, run with Wine's heap
// checking on (the test's environment sets WINEDEBUG=warn+heap), plus the
// checks that make its verdict mean something.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "adjust_campaign.h"
#include "bmp_pages.h"
#include "fault_stream.h"
#include "heap_check.h"
#include "known_faults.h"

#ifndef ROBUST_BIN_DIR
#error ROBUST_BIN_DIR must name the folder of the built programs
#endif

namespace robust {
namespace {

// Runs a program of the build, returns its exit code and standard error.
DWORD RunProgram(const std::wstring& name, std::string& errors) {
  wchar_t path[MAX_PATH];
  wsprintfW(path, L"%hs\\%s", ROBUST_BIN_DIR, name.c_str());
  wchar_t errFile[MAX_PATH], dir[MAX_PATH];
  GetTempPathW(MAX_PATH, dir);
  GetTempFileNameW(dir, L"rob", 0, errFile);
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE err = CreateFileW(errFile, GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  STARTUPINFOW si = {};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdError = err;
  si.hStdOutput = err;
  PROCESS_INFORMATION pi = {};
  std::wstring command = L"\"" + std::wstring(path) + L"\"";
  DWORD code = 0xFFFFFFFF;
  if (CreateProcessW(path, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
    WaitForSingleObject(pi.hProcess, 60000);
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  }
  CloseHandle(err);
  HANDLE in = CreateFileW(errFile, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, 0, nullptr);
  char buf[4096];
  DWORD got = 0;
  while (in != INVALID_HANDLE_VALUE && ReadFile(in, buf, sizeof buf, &got, nullptr) && got > 0)
    errors.append(buf, got);
  if (in != INVALID_HANDLE_VALUE) CloseHandle(in);
  DeleteFileW(errFile);
  return code;
}

TEST(HeapChecking, IsOnSoThatACleanSliceMeansSomething) {
  EXPECT_TRUE(HeapTailCheckingActive()) << "run under WINEDEBUG=warn+heap";
  EXPECT_EQ(ValidateAllHeaps(), "");
}

TEST(HeapChecking, AnInjectedOverrunIsDetectedAndReportedOnStandardError) {
  std::string errors;
  EXPECT_EQ(RunProgram(L"robust_heap_canary.exe", errors), 0u) << errors;
  EXPECT_NE(errors.find("err:heap"), std::string::npos) << errors;
}

TEST(FaultStream, FailsExactlyTheChosenCallAndCountsReferences) {
  const char data[] = "abcdef";
  auto s = ::ComRef<FaultStream>::adopt(FaultStream::Create(data, 6));
  ASSERT_TRUE(s);
  s->FailCall(2, InjectedFailure(2));
  LARGE_INTEGER zero = {};
  char buf[6];
  ULONG got = 99;
  EXPECT_EQ(s->Seek(zero, STREAM_SEEK_SET, nullptr), S_OK);
  EXPECT_EQ(s->Read(buf, 6, &got), InjectedFailure(2));
  EXPECT_EQ(got, 0u);
  EXPECT_STREQ(s->FailedCall(), "Read");
  EXPECT_EQ(s->Read(buf, 6, &got), S_OK);
  EXPECT_EQ(std::string(buf, got), "abcdef");
  EXPECT_EQ(s->Calls(), 3u);
  IStream* extra = nullptr;
  ASSERT_EQ(s->QueryInterface(IID_IStream, reinterpret_cast<void**>(&extra)), S_OK);
  EXPECT_EQ(s->Refs(), 2);
  extra->Release();
  EXPECT_EQ(s->Refs(), 1);
  EXPECT_NE(InjectedFailure(1), InjectedFailure(257));
}

// Every 6th systematic page (all families, all depths) and 600 random ones.
class AdjustSlice : public ::testing::TestWithParam<int> {};

TEST_P(AdjustSlice, EveryCallEndsWellOrFailsCleanly) {
  PageGenerator generator(1);
  const uint64_t systematic = generator.SystematicCount();
  std::vector<uint64_t> indexes;
  const int part = GetParam();
  for (uint64_t i = part; i < systematic; i += 6 * 4) indexes.push_back(i);
  for (uint64_t i = systematic + part; i < systematic + 600; i += 4) indexes.push_back(i);
  int skipped = 0;
  for (uint64_t i : indexes) {
    const PageCase page = generator.Make(i);
    if (!KnownAdjustFault(page).empty()) {
      ++skipped;
      continue;
    }
    const CaseOutcome outcome = RunAdjustCase(page);
    EXPECT_EQ(outcome.problem, "") << "case " << i << " [" << page.family << "] " << page.label;
  }
  RecordProperty("skipped_known_faults", skipped);
}

INSTANTIATE_TEST_SUITE_P(Quarters, AdjustSlice, ::testing::Range(0, 4));

TEST(AdjustFaults, EveryFailingStreamCallOfASmallPageEndsCleanly) {
  for (const PageCase& page : FaultPages(1)) {
    if (page.bytes.size() > 2000 || !KnownAdjustFault(page).empty()) continue;
    const FaultSummary s = RunAdjustFaults(page);
    EXPECT_GT(s.injected, 0u);
    for (const std::string& p : s.problems) ADD_FAILURE() << page.label << ": " << p;
  }
}

}  // namespace
}  // namespace robust
