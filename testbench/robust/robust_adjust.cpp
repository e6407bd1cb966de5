// The AdjustImage campaign program.
//
//   robust_adjust.exe [--seed S] [--start A] [--count N] [--case I]
//                     [--faults] [--hang-seconds T] [--allow-unchecked-heap]
//
// Runs generated pages A .. A+N-1 of seed S through AdjustImage (or, with
// --faults, injects a failure into every stream call of the fault pages).
// Prints one PROBLEM line per misbehaving case and a summary. Exit code 0:
// all cases behaved; 1: problems; 2: heap checking is off; 3: a crash; 4: a
// hang (the CRASH or HANG line names the case).
#include <windows.h>

#include <cstdio>
#include <string>

#include "adjust_campaign.h"
#include "bmp_pages.h"
#include "campaign_options.h"
#include "crash_guard.h"
#include "heap_check.h"

namespace {

int RunPages(const robust::CampaignOptions& o) {
  robust::PageGenerator generator(o.seed);
  robust::Tally tally;
  uint64_t baseline = 0;
  for (uint64_t i = o.start; i < o.start + o.count; ++i) {
    const robust::PageCase page = generator.Make(i);
    robust::BeginCase(i, page.label);
    const robust::CaseOutcome outcome = robust::RunAdjustCase(page);
    robust::EndCase();
    tally.Add(page, outcome);
    if (!outcome.problem.empty() || o.single) {
      std::printf("%s case %llu [%s] hr=0x%08lX %.3fs: %s| %s\n",
                  outcome.problem.empty() ? "OK" : "PROBLEM", static_cast<unsigned long long>(i),
                  page.family.c_str(), static_cast<unsigned long>(outcome.hr), outcome.seconds,
                  outcome.problem.c_str(), page.label.c_str());
      std::fflush(stdout);
    }
    if (i == o.start + 200) baseline = robust::BusyHeapBytes();
  }
  std::printf("seed %llu, cases %llu..%llu (systematic below %llu)\n",
              static_cast<unsigned long long>(o.seed), static_cast<unsigned long long>(o.start),
              static_cast<unsigned long long>(o.start + o.count - 1),
              static_cast<unsigned long long>(generator.SystematicCount()));
  std::printf("%s", tally.Report().c_str());
  if (baseline != 0)
    std::printf("busy heap bytes after case %llu: %llu, at the end: %llu\n",
                static_cast<unsigned long long>(o.start + 200),
                static_cast<unsigned long long>(baseline),
                static_cast<unsigned long long>(robust::BusyHeapBytes()));
  return tally.problems == 0 ? 0 : 1;
}

int RunFaults(const robust::CampaignOptions& o) {
  uint64_t injected = 0, problems = 0, index = 0;
  for (const robust::PageCase& page : robust::FaultPages(o.seed)) {
    robust::BeginCase(index, page.label);
    const robust::FaultSummary s = robust::RunAdjustFaults(page);
    robust::EndCase();
    injected += s.injected;
    std::printf("page %llu [%s]: working calls %u, destination calls %u, %zu problems | %s\n",
                static_cast<unsigned long long>(index), page.family.c_str(), s.workingCalls,
                s.destinationCalls, s.problems.size(), page.label.c_str());
    for (const std::string& p : s.problems) std::printf("  PROBLEM %s\n", p.c_str());
    problems += s.problems.size();
    ++index;
  }
  std::printf("fault pages %llu, injected failures %llu, problems %llu\n",
              static_cast<unsigned long long>(index), static_cast<unsigned long long>(injected),
              static_cast<unsigned long long>(problems));
  return problems == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  robust::CampaignOptions o;
  if (!robust::ParseCampaignOptions(argc, argv, "robust_adjust", o)) return 64;
  if (!robust::PrepareCampaign(o)) return 2;
  return o.faults ? RunFaults(o) : RunPages(o);
}
