// A short seeded slice of the whole-filter campaign (Wine's heap checking on
// through the test's environment): transfers of generated pages through
// Vantrel.dll, and the application's stream failing each of its calls.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>

#include "com_initializer.h"
#include "filter_campaign.h"
#include "heap_check.h"

#ifndef ROBUST_BIN_DIR
#error ROBUST_BIN_DIR must name the folder of the built programs
#endif

namespace robust {
namespace {

std::wstring FilterPath() {
  wchar_t path[MAX_PATH];
  wsprintfW(path, L"%hs\\Vantrel.dll", ROBUST_BIN_DIR);
  return path;
}

// Pages whose pixels would start past their end: the filter's memory stream
// is read out of bounds there and the process faults (known fault).
bool PixelsPastTheEnd(const PageCase& page) {
  if (page.bytes.size() < 14) return false;
  uint32_t offBits;
  std::memcpy(&offBits, page.bytes.data() + 10, 4);
  return offBits > page.bytes.size();
}

class FilterSlice : public ::testing::Test {
 protected:
  const ComInitializer com_;
};

TEST_F(FilterSlice, TransfersEndWellOrFailCleanlyAndLeaveNothingLoaded) {
  CampaignLibrary library(FilterPath());
  ASSERT_TRUE(library.Loaded());
  PageGenerator generator(1);
  int run = 0;
  for (uint64_t i = 3; i < generator.SystematicCount() + 300;
       i += (i < generator.SystematicCount() ? 29 : 3)) {
    const PageCase page = generator.Make(i);
    const TransferSetup setup = SetupFor(page);
    const TransferOutcome outcome = RunTransfer(library, page, setup, nullptr);
    ++run;
    EXPECT_EQ(outcome.problem, "") << "case " << i << " [" << page.family << "] " << page.label;
  }
  EXPECT_EQ(ValidateAllHeaps(), "");
  RecordProperty("transfers", run);
}

TEST_F(FilterSlice, EveryFailingCallOfTheApplicationsStreamComesBackAndALaterPageWorks) {
  CampaignLibrary library(FilterPath());
  ASSERT_TRUE(library.Loaded());
  const std::vector<PageCase> pages = FaultPages(1);
  for (const PageCase* page : {&pages[0], &pages[5]}) {
    for (TransferMode mode : {TransferMode::Adjusted, TransferMode::CountOnly}) {
      TransferSetup setup = SetupFor(*page);
      setup.mode = mode;
      setup.pieceSize = 1000;
      const TransferOutcome clean = RunTransfer(library, *page, setup, nullptr);
      ASSERT_EQ(clean.problem, "") << page->label;
      ASSERT_GT(clean.appStreamCalls, 0u);
      for (unsigned k = 1; k <= clean.appStreamCalls; ++k) {
        setup.failAppCall = k;
        const TransferOutcome outcome = RunTransfer(library, *page, setup, &pages[0]);
        EXPECT_TRUE(outcome.injected) << k;
        EXPECT_EQ(outcome.problem, "") << page->label << " call " << k;
      }
    }
  }
  EXPECT_EQ(ValidateAllHeaps(), "");
}

// Case 6967 of seed 1: a 16-bit page whose bfOffBits (1377074387) lies far
// past its end. Wine's BMP decoder seeks there in the filter's own memory
// stream and reads; Wine's memory stream copies from beyond its buffer and
// the process faults in combase's stream Read. The filter must not hand the
// decoder (or read itself) pixels that start past the page's end.
TEST_F(FilterSlice, PageWithPixelsPastItsEndDoesNotCrashTheFilter) {
  CampaignLibrary library(FilterPath());
  ASSERT_TRUE(library.Loaded());
  PageGenerator generator(1);
  const PageCase page = generator.Make(6967);
  ASSERT_TRUE(PixelsPastTheEnd(page));
  TransferSetup setup = SetupFor(page);
  setup.mode = TransferMode::Adjusted;
  const TransferOutcome outcome = RunTransfer(library, page, setup, nullptr);
  EXPECT_EQ(outcome.problem, "");
}

}  // namespace
}  // namespace robust
