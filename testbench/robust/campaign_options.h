// Command line shared by the campaign programs:
//   [--seed S] [--start A] [--count N] [--case I] [--faults]
//   [--hang-seconds T] [--allow-unchecked-heap]
#pragma once

#include <cstdint>

namespace robust {

struct CampaignOptions {
  uint64_t seed = 1;
  uint64_t start = 0;
  uint64_t count = 1000;
  bool single = false;  // --case: one case, reported whatever its outcome
  bool faults = false;
  bool allowUncheckedHeap = false;
  double hangSeconds = 60;
};

// False (after printing the usage of `program`) when the line is not valid.
bool ParseCampaignOptions(int argc, char** argv, const char* program, CampaignOptions& o);

// Unbuffered output, heap checking required (exit code 2 without it, unless
// allowed), and the crash guard installed. False when the campaign must not
// run.
bool PrepareCampaign(const CampaignOptions& o);

}  // namespace robust
