#include "adjust_campaign.h"

#include <gdiplus.h>

#include <chrono>
#include <cstdio>

#include "adjust.h"
#include "bmp_check.h"
#include "fault_stream.h"
#include "heap_check.h"

namespace robust {

namespace {

constexpr double SlowCaseSeconds = 5.0;
constexpr ULONG64 UnsetCount = 0xC0FFEE00C0FFEEull;

struct CallResult {
  HRESULT hr = E_FAIL;
  ULONG64 count = UnsetCount;
  std::vector<unsigned char> output;
  unsigned workingCalls = 0;
  unsigned destinationCalls = 0;
  const char* failedCall = nullptr;
  std::string problem;
};

// One call with fresh streams; `failWorking`/`failDestination` name the call
// to fail (0: none).
CallResult Call(const PageCase& page, unsigned failWorking, unsigned failDestination) {
  CallResult r;
  ComRef<FaultStream> working = FaultStream::Create(page.bytes);
  ComRef<FaultStream> destination = FaultStream::Create();
  if (!working || !destination) {
    r.problem = "test equipment: no memory stream";
    return r;
  }
  working->Fail(StreamCall::Any, failWorking, InjectedFailure(failWorking));
  destination->Fail(StreamCall::Any, failDestination, InjectedFailure(failDestination));

  const AdjustArgs& a = page.args;
  r.hr = AdjustImage(a.brightness, a.contrast, working.get(), destination.get(), &r.count, a.left,
                     a.top, a.width, a.height);

  r.workingCalls = working->Calls();
  r.destinationCalls = destination->Calls();
  r.failedCall = working->FailedCall() ? working->FailedCall() : destination->FailedCall();
  if (working->Refs() != 1 || destination->Refs() != 1) {
    r.problem += "stream references kept (working " + std::to_string(working->Refs() - 1) +
                 ", destination " + std::to_string(destination->Refs() - 1) + ")";
    if (working->Refs() == 2 && destination->Refs() == 1 && DecoderKeepsStreamReference(page.bytes))
      r.problem += std::string(" ") + PlatformDecoderLeak;
    r.problem += "; ";
  }
  if (working->Contents() != page.bytes) r.problem += "working stream changed; ";
  if (working->ReadsPastEnd() != 0)
    r.problem +=
        "read from past the working stream's end (out of bounds in Wine's memory stream); ";
  r.output = destination->Contents();
  return r;
}

// Judges a finished call: S_OK with a well-formed file, or a failure.
void JudgeResult(CallResult& r) {
  if (SUCCEEDED(r.hr)) {
    if (r.hr != S_OK) r.problem += "success code " + Hex(r.hr) + " other than S_OK; ";
    const std::string bad = BmpProblem(r.output.data(), r.output.size());
    if (!bad.empty()) r.problem += "S_OK with a malformed BMP: " + bad + "; ";
    if (r.count != r.output.size())
      r.problem += "byte count " + std::to_string(r.count) + " for a file of " +
                   std::to_string(r.output.size()) + " bytes; ";
  }
}

}  // namespace

std::string Hex(HRESULT hr) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08lX", static_cast<unsigned long>(hr));
  return buf;
}

bool DecoderKeepsStreamReference(const std::vector<uint8_t>& bytes) {
  ULONG_PTR token = 0;
  Gdiplus::GdiplusStartupInput input;
  if (Gdiplus::GdiplusStartup(&token, &input, nullptr) != Gdiplus::Ok) return false;
  bool kept = false;
  {
    ComRef<FaultStream> stream = FaultStream::Create(bytes);
    LARGE_INTEGER at;
    at.QuadPart = 54;
    if (stream && SUCCEEDED(stream->Seek(at, STREAM_SEEK_SET, nullptr))) {
      Gdiplus::GpBitmap* bitmap = nullptr;
      Gdiplus::DllExports::GdipCreateBitmapFromStreamICM(stream.get(), &bitmap);
      if (bitmap) Gdiplus::DllExports::GdipDisposeImage(bitmap);
      kept = stream->Refs() > 1;
    }
  }
  Gdiplus::GdiplusShutdown(token);
  return kept;
}

CaseOutcome RunAdjustCase(const PageCase& page) {
  const auto start = std::chrono::steady_clock::now();
  CallResult r = Call(page, 0, 0);
  JudgeResult(r);
  CaseOutcome out;
  out.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const std::string heaps = ValidateAllHeaps();
  if (!heaps.empty()) r.problem += "heap corruption after the call: " + heaps;
  if (out.seconds > SlowCaseSeconds) r.problem += "slow: " + std::to_string(out.seconds) + " s; ";
  out.hr = r.hr;
  out.problem = r.problem;
  return out;
}

FaultSummary RunAdjustFaults(const PageCase& page) {
  FaultSummary summary;
  CallResult clean = Call(page, 0, 0);
  JudgeResult(clean);
  summary.workingCalls = clean.workingCalls;
  summary.destinationCalls = clean.destinationCalls;
  if (!clean.problem.empty()) {
    summary.problems.push_back("clean call: " + clean.problem);
    return summary;
  }
  auto check = [&](unsigned k, bool onWorking) {
    CallResult r = onWorking ? Call(page, k, 0) : Call(page, 0, k);
    ++summary.injected;
    const HRESULT injected = InjectedFailure(k);
    std::string what = std::string(onWorking ? "working" : "destination") + " call " +
                       std::to_string(k) + " (" + (r.failedCall ? r.failedCall : "not reached") +
                       ") failed: ";
    if (!r.failedCall) {
      // The call made fewer calls this time: nothing was injected, so it
      // must behave exactly like the clean call.
      if (r.hr != clean.hr || r.output != clean.output)
        r.problem += "differs from the clean call; ";
    } else if (SUCCEEDED(r.hr)) {
      // The destination's Stat and SetSize only make room for the file
      // ahead: a stream that refuses them is written as it is.
      const bool roomOnly = !onWorking && (std::string(r.failedCall) == "Stat" ||
                                           std::string(r.failedCall) == "SetSize");
      if (!onWorking && !roomOnly)
        r.problem += "a failed destination call still gave " + Hex(r.hr) + "; ";
      else if (r.hr != clean.hr || r.output != clean.output || r.count != clean.count)
        r.problem += "success " + Hex(r.hr) + " with output unlike the clean call's; ";
    } else if (!onWorking && r.hr != injected) {
      r.problem += "result " + Hex(r.hr) + " instead of the injected " + Hex(injected) + "; ";
    }
    const std::string heaps = ValidateAllHeaps();
    if (!heaps.empty()) r.problem += "heap corruption: " + heaps;
    if (!r.problem.empty()) summary.problems.push_back(what + r.problem);
  };
  for (unsigned k = 1; k <= clean.workingCalls; ++k) check(k, true);
  for (unsigned k = 1; k <= clean.destinationCalls; ++k) check(k, false);
  return summary;
}

void Tally::Add(const PageCase& page, const CaseOutcome& outcome) {
  ++cases;
  ++byFamily[page.family];
  ++byResult[outcome.hr];
  if (SUCCEEDED(outcome.hr)) ++ok;
  else ++failed;
  if (!outcome.problem.empty()) ++problems;
  if (outcome.seconds > slowest) {
    slowest = outcome.seconds;
    slowestIndex = page.index;
  }
}

std::string Tally::Report() const {
  std::string out;
  char buf[200];
  std::snprintf(
      buf, sizeof buf,
      "cases %llu: S_OK %llu, failure HRESULT %llu, problems %llu; slowest %.3f s (case %llu)\n",
      static_cast<unsigned long long>(cases), static_cast<unsigned long long>(ok),
      static_cast<unsigned long long>(failed), static_cast<unsigned long long>(problems), slowest,
      static_cast<unsigned long long>(slowestIndex));
  out += buf;
  out += "by family:";
  for (const auto& f : byFamily) out += " " + f.first + "=" + std::to_string(f.second);
  out += "\nby result:";
  for (const auto& r : byResult) out += " " + Hex(r.first) + "=" + std::to_string(r.second);
  out += "\n";
  return out;
}

}  // namespace robust
