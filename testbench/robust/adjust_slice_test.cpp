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
#include "process_start.h"

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
  testbench::ProcessStart start;
  start.application = path;
  start.commandLine = L"\"" + std::wstring(path) + L"\"";
  start.flags = CREATE_UNICODE_ENVIRONMENT;
  // The child's environment: ours, with heap warnings on and error lines off.
  std::wstring environment;
  if (wchar_t* block = GetEnvironmentStringsW()) {
    for (const wchar_t* v = block; *v; v += wcslen(v) + 1)
      if (_wcsnicmp(v, L"WINEDEBUG=", 10) != 0) environment.append(v).push_back(L'\0');
    FreeEnvironmentStringsW(block);
  }
  environment.append(L"WINEDEBUG=-all,warn+heap").push_back(L'\0');
  environment.push_back(L'\0');
  start.environment = &environment[0];
  DWORD code = 0xFFFFFFFF;
  testbench::RunWithOutputFile(start, errFile, 60000, &code, &errors);
  DeleteFileW(errFile);
  return code;
}

TEST(HeapChecking, IsOnSoThatACleanSliceMeansSomething) {
  EXPECT_TRUE(HeapTailCheckingActive()) << "run under WINEDEBUG=warn+heap";
  EXPECT_EQ(ValidateAllHeaps(), "");
}

// The canary runs with Wine's heap warnings but without its error lines
// (which would go to this test's output, where they fail the test): its exit
// code tells whether the overrun was found. scripts/robustness.sh checks the
// "err:heap" line itself.
TEST(HeapChecking, AnInjectedOverrunIsDetected) {
  std::string errors;
  EXPECT_EQ(RunProgram(L"robust_heap_canary.exe", errors), 0u) << errors;
}

TEST(FaultStream, FailsExactlyTheChosenCallAndCountsReferences) {
  ComRef<FaultStream> s = FaultStream::Create({'a', 'b', 'c', 'd', 'e', 'f'});
  ASSERT_TRUE(s);
  s->Fail(StreamCall::Any, 2, InjectedFailure(2));
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
  for (uint64_t i : indexes) {
    const PageCase page = generator.Make(i);
    const CaseOutcome outcome = RunAdjustCase(page);
    EXPECT_EQ(outcome.problem, "") << "case " << i << " [" << page.family << "] " << page.label;
  }
  RecordProperty("cases", static_cast<int>(indexes.size()));
}

INSTANTIATE_TEST_SUITE_P(Quarters, AdjustSlice, ::testing::Range(0, 4));

TEST(AdjustFaults, EveryFailingStreamCallOfASmallPageEndsCleanly) {
  for (const PageCase& page : FaultPages(1)) {
    if (page.bytes.size() > 2000) continue;
    const FaultSummary s = RunAdjustFaults(page);
    EXPECT_GT(s.injected, 0u);
    for (const std::string& p : s.problems) ADD_FAILURE() << page.label << ": " << p;
  }
}

}  // namespace
}  // namespace robust

namespace robust {
namespace {

// Regression tests of faults the campaign found in AdjustImage: each failed
// (the first crashed) before its fault was fixed.
PageCase Page(uint16_t bitCount, int32_t width, int32_t height) {
  PageCase c;
  c.fields = Sized(bitCount, width, height);
  c.fields.clrUsed = bitCount == 1 ? 2 : bitCount == 8 ? 256 : 0;
  c.args = AdjustArgs{200, 0, 0, 0, 0, 0};
  c.bytes = BuildPage(c.fields, 1);
  return c;
}

// Case 301 of seed 1 (and 57 more of the 100,000): Wine's BMP decoder
// faults in memcpy on a 1-bit page of 4 x 1073741825 bytes that AdjustImage
// hands it; the page must be refused before the decoder sees it.
TEST(AdjustRegression, OneBitPageBeyond32BitsIsRefusedWithoutCrashing) {
  const CaseOutcome outcome = RunAdjustCase(Page(1, 1, 1073741825));
  EXPECT_TRUE(FAILED(outcome.hr));
  EXPECT_EQ(outcome.problem, "");
}

// Case 296 of seed 1: a 1-bit page of 1 x 65536 whose stream ends after 16 KiB
// of its 256 KiB of pixels. GDI+ cannot decode it and AdjustImage fails, as
// it may, but the working stream keeps a reference: Wine's decoder does not
// release its stream when a decode fails. In the filter that is the page's
// whole memory stream, once per such page.
TEST(AdjustRegression, PageGdiplusCannotDecodeKeepsNoStreamReference) {
  const CaseOutcome outcome = RunAdjustCase(Page(1, 1, 65536));
  EXPECT_TRUE(FAILED(outcome.hr));
  EXPECT_EQ(outcome.problem, "");
}

// A grey page cut off before its pixels: AdjustImage seeks to bfOffBits,
// past the stream's end, and reads. Wine's memory stream then reads out of
// bounds (far past the end it faults). 4,009 of 100,000 pages.
TEST(AdjustRegression, PageEndingBeforeItsPixelsIsNotReadPastItsEnd) {
  PageCase page = Page(8, 3, 2);
  page.bytes.resize(60);
  const CaseOutcome outcome = RunAdjustCase(page);
  EXPECT_EQ(outcome.problem, "");
}

// biPlanes is copied from the input: a page declaring 2 planes comes out as
// S_OK with a BMP declaring 2 planes, which no reader accepts. 1,874 of
// 100,000 pages.
TEST(AdjustRegression, OutputDeclaresOnePlane) {
  for (uint16_t bitCount : {8, 24}) {
    PageCase page = Page(bitCount, 5, 3);
    page.fields.planes = 2;
    page.bytes = BuildPage(page.fields, 1);
    const CaseOutcome outcome = RunAdjustCase(page);
    EXPECT_EQ(outcome.problem, "") << bitCount;
  }
}

// Fault injection on a 24-bit page: when the working stream's Seek or Read
// fails while GDI+ decodes it, AdjustImage fails as it should, but the
// decoder keeps its reference to the working stream (the same Wine defect).
TEST(AdjustRegression, FailingReadDuringDecodeKeepsNoStreamReference) {
  const FaultSummary s = RunAdjustFaults(Page(24, 3, 2));
  EXPECT_GT(s.injected, 0u);
  EXPECT_TRUE(s.problems.empty()) << s.problems.front();
}

// Case 37261 of seed 1: a 38 x 23 grey page of 3.5 KB whose biSizeImage says
// 3,986,270,065. AdjustImage allocates (and zero-fills) an input buffer of that
// size: 5 GB resident and about 10 s before it fails. A header field of a
// page must not make the filter take memory far beyond what the page holds.
TEST(AdjustRegression, HugeDeclaredImageSizeOfASmallPageIsNotAllocated) {
  PageCase page = Page(8, 38, -23);
  page.fields.sizeImage = 3986270065u;
  page.fields.explicitSizeImage = true;
  page.bytes = BuildPage(page.fields, 1);
  const CaseOutcome outcome = RunAdjustCase(page);
  EXPECT_EQ(outcome.problem, "");
}

}  // namespace
}  // namespace robust
