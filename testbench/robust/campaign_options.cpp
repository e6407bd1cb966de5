#include "campaign_options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "crash_guard.h"
#include "heap_check.h"

namespace robust {

bool ParseCampaignOptions(int argc, char** argv, const char* program, CampaignOptions& o) {
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (!std::strcmp(a, "--seed") && hasValue) {
      o.seed = std::strtoull(argv[++i], nullptr, 0);
    } else if (!std::strcmp(a, "--start") && hasValue) {
      o.start = std::strtoull(argv[++i], nullptr, 0);
    } else if (!std::strcmp(a, "--count") && hasValue) {
      o.count = std::strtoull(argv[++i], nullptr, 0);
    } else if (!std::strcmp(a, "--case") && hasValue) {
      o.start = std::strtoull(argv[++i], nullptr, 0);
      o.count = 1;
      o.single = true;
    } else if (!std::strcmp(a, "--hang-seconds") && hasValue) {
      o.hangSeconds = std::atof(argv[++i]);
    } else if (!std::strcmp(a, "--faults")) {
      o.faults = true;
    } else if (!std::strcmp(a, "--allow-unchecked-heap")) {
      o.allowUncheckedHeap = true;
    } else {
      std::fprintf(stderr,
                   "usage: %s [--seed S] [--start A] [--count N] [--case I] [--faults] "
                   "[--hang-seconds T] [--allow-unchecked-heap]\n",
                   program);
      return false;
    }
  }
  return true;
}

bool PrepareCampaign(const CampaignOptions& o) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);  // nothing is lost in a crash
  if (!HeapTailCheckingActive() && !o.allowUncheckedHeap) {
    std::printf("heap checking is off: run with WINEDEBUG=warn+heap\n");
    return false;
  }
  InstallCrashGuard(o.hangSeconds);
  return true;
}

}  // namespace robust
