// Measures how often the platform refuses to start a program, in the way the
// tests start and end programs: a small program (a copy of this one) is
// started suspended, put in a job of its own and resumed, and then
//
//   wait      is waited for until it ends by itself (at once)
//   end       has its job ended while it still runs; the next start follows
//             at once
//   end-wait  has its job ended, and the next start waits until no process
//             of the job is left (as the tests do)
//
// Every start is tried once: a refusal is counted and named with its number,
// never tried again (the start after it shows whether the next one goes
// through). Run by hand, never by the test command (docs/testing.md keeps
// the figures):
//
//   WINEPREFIX=build/wineprefix scripts/wine-run.sh build/bin/start_stress.exe
//       [--starts N] [--run-ms MS] [wait] [end] [end-wait]
//
// N starts per pattern (1000), each program ended MS milliseconds after it
// was resumed (50; 0 ends it at once, while Wine may still be starting it);
// all three patterns when none is named.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <map>
#include <string>
#include <vector>

#include "owner.h"
#include "process_start.h"
#include "stress_figures.h"

namespace {

using testbench::ProcessStart;

struct Counts {
  unsigned starts = 0;
  unsigned refused = 0;
  std::map<DWORD, unsigned> byError;
  unsigned notEnded = 0;  // job or program still there after the limit
  unsigned inARow = 0;    // refusals since the last start that went through
  unsigned mostInARow = 0;
};

std::wstring Self() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  return std::wstring(path, length);
}

// One start of the pattern; counts what happened.
void StartOne(const std::wstring& pattern, DWORD runMs, Counts& counts) {
  const bool ending = pattern != L"wait";
  ProcessStart start;
  start.commandLine = L"\"" + Self() + L"\" child " + (ending ? L"60000" : L"0");
  start.flags = CREATE_SUSPENDED;
  HandleOwner job(CreateJobObjectW(nullptr, nullptr));
  PROCESS_INFORMATION started = {};
  ++counts.starts;
  const DWORD error = testbench::StartOnce(start, &started, testbench::RealPlatform().create);
  if (error != ERROR_SUCCESS) {
    ++counts.refused;
    ++counts.byError[error];
    counts.mostInARow = std::max(counts.mostInARow, ++counts.inARow);
    std::printf("  %ls: start %u refused, error %lu\n", pattern.c_str(), counts.starts, error);
    return;
  }
  counts.inARow = 0;
  HandleOwner process(started.hProcess);
  HandleOwner thread(started.hThread);
  if (!AssignProcessToJobObject(job.get(), process.get())) {
    std::fprintf(stderr, "start_stress: cannot put the program in a job (error %lu)\n",
                 GetLastError());
    testbench::EndProcess(process.get(), 1);
    return;
  }
  ResumeThread(thread.get());
  if (!ending) {
    if (WaitForSingleObject(process.get(), testbench::EndLimitMs) != WAIT_OBJECT_0) {
      ++counts.notEnded;
      testbench::EndJob(job.get(), 1);
    }
    return;
  }
  Sleep(runMs);
  if (pattern == L"end") {
    TerminateJobObject(job.get(), 1);
  } else if (!testbench::EndJob(job.get(), 1)) {
    ++counts.notEnded;
  }
}

void Report(const std::wstring& pattern, const Counts& counts, ULONGLONG milliseconds) {
  const testbench::MeanInterval mean = testbench::PoissonInterval95(counts.refused);
  const double perThousand = 1000.0 / counts.starts;
  std::printf(
      "%-8ls %6u starts, %4u refused: %.2f per 1000 (95%% interval %.2f to %.2f), "
      "%.0f ms per start",
      pattern.c_str(), counts.starts, counts.refused, counts.refused * perThousand,
      mean.low * perThousand, mean.high * perThousand,
      static_cast<double>(milliseconds) / counts.starts);
  for (const auto& error : counts.byError)
    std::printf("; error %lu: %u", error.first, error.second);
  if (counts.refused) std::printf("; at most %u refused in a row", counts.mostInARow);
  if (counts.notEnded) std::printf("; not ended within the limit: %u", counts.notEnded);
  std::printf("\n");
  std::fflush(stdout);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 3 && std::wcscmp(argv[1], L"child") == 0) {
    Sleep(std::wcstoul(argv[2], nullptr, 10));
    return 0;
  }
  unsigned starts = 1000;
  DWORD runMs = 50;
  std::vector<std::wstring> patterns;
  for (int i = 1; i < argc; ++i) {
    const std::wstring argument = argv[i];
    if (argument == L"--starts" && i + 1 < argc) {
      starts = std::wcstoul(argv[++i], nullptr, 10);
    } else if (argument == L"--run-ms" && i + 1 < argc) {
      runMs = std::wcstoul(argv[++i], nullptr, 10);
    } else if (argument == L"wait" || argument == L"end" || argument == L"end-wait") {
      patterns.push_back(argument);
    } else {
      std::fprintf(stderr,
                   "usage: start_stress.exe [--starts N] [--run-ms MS] [wait] [end] [end-wait]\n");
      return 64;
    }
  }
  if (starts == 0) return 64;
  if (patterns.empty()) patterns = {L"wait", L"end", L"end-wait"};
  std::printf(
      "start_stress: %u starts per pattern, programs ended %lu ms after they were resumed\n",
      starts, runMs);
  for (const std::wstring& pattern : patterns) {
    Counts counts;
    const ULONGLONG began = GetTickCount64();
    for (unsigned i = 0; i < starts; ++i) {
      StartOne(pattern, runMs, counts);
      if ((i + 1) % 500 == 0 && i + 1 < starts) {
        std::printf("  %ls: %u starts, %u refused\n", pattern.c_str(), counts.starts,
                    counts.refused);
        std::fflush(stdout);
      }
    }
    Report(pattern, counts, GetTickCount64() - began);
  }
  return 0;
}
