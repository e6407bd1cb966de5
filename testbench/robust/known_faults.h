// Faults the campaign found in code it does not own, reported and not yet
// fixed where they lie. Each is shown by a regression test (kept disabled
// until the fault is fixed, so the suite stays green); the slices skip the
// cases that show only these faults, and count them.
#pragma once

#include <string>

#include "adjust_campaign.h"
#include "bmp_pages.h"

namespace robust {

// Regression tests, by fault.
constexpr const char OneBitOverflowCrash[] = "AdjustRegression.DISABLED_OneBitPageBeyond32BitsIsRefusedWithoutCrashing";
constexpr const char FailedDecodeLeak[] = "AdjustRegression.DISABLED_PageGdiplusCannotDecodeKeepsNoStreamReference";
constexpr const char ReadPastEnd[] = "AdjustRegression.DISABLED_PageEndingBeforeItsPixelsIsNotReadPastItsEnd";
constexpr const char PlanesCopied[] = "AdjustRegression.DISABLED_OutputDeclaresOnePlane";

// Pages that crash the process in AdjustImage (they cannot run in a test
// process): 1-bit pages whose image, stride times rows, exceeds 32 bits.
// Returns the regression test, or an empty string.
std::string KnownCrash(const PageCase& page);

// The regression test that covers every problem of this outcome, or an
// empty string when any problem is not a known one.
std::string KnownAdjustFault(const CaseOutcome& outcome);

}  // namespace robust
