// The whole-filter campaign program.
//
//   robust_filter.exe [--seed S] [--start A] [--count N] [--case I]
//                     [--faults] [--hang-seconds T] [--allow-unchecked-heap]
//
// Transfers generated pages A .. A+N-1 through Vantrel.dll (beside this
// program), loaded the way COM loads it. With --faults, the application's
// stream fails its k-th call, for every k a clean transfer makes, on the
// fault pages in each mode; then the same filter, initialised again, must
// transfer a healthy page. Exit codes as robust_adjust.exe.
#include <windows.h>

#include <cstdio>

#include "campaign_options.h"
#include "com_initializer.h"
#include "crash_guard.h"
#include "filter_campaign.h"
#include "heap_check.h"

namespace {

const char* ModeName(robust::TransferMode mode) {
  switch (mode) {
    case robust::TransferMode::Adjusted: return "adjusted";
    case robust::TransferMode::CountOnly: return "count-only";
    default: return "pass-through";
  }
}

void Report(const char* verdict, uint64_t index, const robust::PageCase& page,
            const robust::TransferSetup& setup, const std::string& problem) {
  std::printf("%s case %llu [%s] %s b=%ld c=%ld piece=%lu fail=%u: %s| %s\n", verdict,
              static_cast<unsigned long long>(index), page.family.c_str(), ModeName(setup.mode),
              setup.brightness, setup.contrast, setup.pieceSize, setup.failAppCall, problem.c_str(),
              page.label.c_str());
}

int RunPages(const robust::CampaignOptions& o, robust::CampaignLibrary& library) {
  robust::PageGenerator generator(o.seed);
  uint64_t problems = 0, done = 0, setAside = 0;
  for (uint64_t i = o.start; i < o.start + o.count; ++i) {
    const robust::PageCase page = generator.Make(i);
    const robust::TransferSetup setup = robust::SetupFor(page);
    robust::BeginCase(i, page.label);
    robust::TransferOutcome outcome = robust::RunTransfer(library, page, setup, nullptr);
    robust::EndCase();
    const std::string heaps = robust::ValidateAllHeaps();
    if (!heaps.empty()) outcome.problem += "heap corruption: " + heaps;
    ++done;
    setAside += outcome.setAside;
    if (!outcome.problem.empty() || o.single) {
      Report(outcome.problem.empty() ? "OK" : "PROBLEM", i, page, setup, outcome.problem);
      problems += !outcome.problem.empty();
    }
  }
  std::printf("transfers %llu (cases %llu..%llu, seed %llu), problems %llu\n",
              static_cast<unsigned long long>(done), static_cast<unsigned long long>(o.start),
              static_cast<unsigned long long>(o.start + o.count - 1),
              static_cast<unsigned long long>(o.seed), static_cast<unsigned long long>(problems));
  std::printf(
      "libraries set aside because Wine's GDI+ decoder kept the filter's page wrapper: %llu\n",
      static_cast<unsigned long long>(setAside));
  return problems == 0 ? 0 : 1;
}

int RunFaults(const robust::CampaignOptions& o, robust::CampaignLibrary& library) {
  const std::vector<robust::PageCase> pages = robust::FaultPages(o.seed);
  const robust::PageCase& healthy = pages.front();
  uint64_t transfers = 0, injected = 0, problems = 0, index = 0;
  for (const robust::PageCase& page : pages) {
    for (robust::TransferMode mode :
         {robust::TransferMode::Adjusted, robust::TransferMode::CountOnly}) {
      robust::TransferSetup setup = robust::SetupFor(page);
      setup.mode = mode;
      setup.pieceSize = 1000;
      if (setup.brightness == 0 && setup.contrast == 0) setup.brightness = 200;
      robust::BeginCase(index, page.label);
      const robust::TransferOutcome clean = robust::RunTransfer(library, page, setup, nullptr);
      ++transfers;
      if (!clean.problem.empty()) {
        Report("PROBLEM", index, page, setup, "clean transfer: " + clean.problem);
        ++problems;
      }
      for (unsigned k = 1; k <= clean.appStreamCalls; ++k) {
        setup.failAppCall = k;
        robust::TransferOutcome outcome = robust::RunTransfer(library, page, setup, &healthy);
        ++transfers;
        injected += outcome.injected;
        const std::string heaps = robust::ValidateAllHeaps();
        if (!heaps.empty()) outcome.problem += "heap corruption: " + heaps;
        if (!outcome.problem.empty()) {
          Report("PROBLEM", index, page, setup, outcome.problem);
          ++problems;
        }
      }
      robust::EndCase();
      std::printf("page %llu %s: application stream calls %u, each failed in turn\n",
                  static_cast<unsigned long long>(index), ModeName(mode), clean.appStreamCalls);
    }
    ++index;
  }
  std::printf("fault transfers %llu, injected failures %llu, problems %llu\n",
              static_cast<unsigned long long>(transfers), static_cast<unsigned long long>(injected),
              static_cast<unsigned long long>(problems));
  return problems == 0 ? 0 : 1;
}

std::wstring BesideProgram(const wchar_t* name) {
  wchar_t path[MAX_PATH] = {};
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, n);
  return folder.substr(0, folder.find_last_of(L"\\/") + 1) + name;
}

}  // namespace

int main(int argc, char** argv) {
  robust::CampaignOptions o;
  if (!robust::ParseCampaignOptions(argc, argv, "robust_filter", o)) return 64;
  const ComInitializer com;
  if (FAILED(com.result())) return 5;
  robust::CampaignLibrary library(BesideProgram(L"Vantrel.dll"));
  if (!library.Loaded()) {
    std::printf("cannot load Vantrel.dll\n");
    return 5;
  }
  if (!robust::PrepareCampaign(o)) return 2;
  return o.faults ? RunFaults(o, library) : RunPages(o, library);
}
