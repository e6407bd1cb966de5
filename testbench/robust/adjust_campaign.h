// Runs generated pages through AdjustImage and judges each call.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "bmp_pages.h"

namespace robust {

// Marks a kept working-stream reference that the platform's own GDI+ decoder
// keeps too, when given the same bytes directly (a defect of Wine's gdiplus:
// a failed decode does not release its stream).
constexpr const char PlatformDecoderLeak[] = "[Wine's GDI+ decoder keeps it as well]";

// Whether the platform's GDI+ decoder, given these bytes the way the
// colour path gives them (the stream just after the info header), keeps a
// reference to the stream once the bitmap is gone.
bool DecoderKeepsStreamReference(const std::vector<uint8_t>& bytes);

struct CaseOutcome {
  HRESULT hr = S_OK;
  std::string problem;  // empty when the call behaved
  double seconds = 0;
};

// One AdjustImage call on the page, checked: S_OK with a well-formed BMP in
// the destination whose size is the byte count, or a failure HRESULT; the
// working stream unchanged; every stream reference returned; heaps sound.
CaseOutcome RunAdjustCase(const PageCase& page);

// Fault injection on one page: the working stream, then the destination
// stream, fails its k-th call for every k the clean call makes. Each
// injected failure must end in a failure HRESULT (a destination failure
// exactly unchanged) or in the clean call's own result and output; no
// reference may be kept. Returns one problem line per bad k.
struct FaultSummary {
  unsigned workingCalls = 0;
  unsigned destinationCalls = 0;
  unsigned injected = 0;
  std::vector<std::string> problems;
};
FaultSummary RunAdjustFaults(const PageCase& page);

// Tallies of a campaign run, printed by the campaign program.
struct Tally {
  uint64_t cases = 0;
  uint64_t ok = 0;
  uint64_t failed = 0;
  uint64_t problems = 0;
  double slowest = 0;
  uint64_t slowestIndex = 0;
  std::map<std::string, uint64_t> byFamily;
  std::map<HRESULT, uint64_t> byResult;
  void Add(const PageCase& page, const CaseOutcome& outcome);
  std::string Report() const;
};

// "0x80004005": an HRESULT as the campaigns report it.
std::string Hex(HRESULT hr);

// Distinct failure codes for injection: the k-th gets its own value so that
// "returned unchanged" can be checked exactly.
inline HRESULT InjectedFailure(unsigned k) {
  return static_cast<HRESULT>(0x80040200u + (k & 0xFFu) + ((k >> 8) << 16));
}

}  // namespace robust
