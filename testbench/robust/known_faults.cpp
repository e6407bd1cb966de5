#include "known_faults.h"

#include <cstring>

namespace robust {

namespace {

uint32_t Get32(const std::vector<uint8_t>& b, size_t at) {
  uint32_t v;
  std::memcpy(&v, b.data() + at, 4);
  return v;
}

// Whether `problems` (a list of "...; " items) consists only of items that
// start with one of the given texts.
bool OnlyKnown(const std::string& problems, std::initializer_list<const char*> known) {
  size_t start = 0;
  while (start < problems.size()) {
    size_t end = problems.find("; ", start);
    if (end == std::string::npos) end = problems.size();
    const std::string item = problems.substr(start, end - start);
    bool matched = false;
    for (const char* k : known) matched = matched || item.find(k) != std::string::npos;
    if (!matched) return false;
    start = end + 2;
  }
  return true;
}

}  // namespace

std::string KnownCrash(const PageCase& page) {
  const std::vector<uint8_t>& b = page.bytes;
  if (b.size() < 30 || Get32(b, 14) == 12) return std::string();
  const int32_t width = static_cast<int32_t>(Get32(b, 18));
  const int32_t height = static_cast<int32_t>(Get32(b, 22));
  const uint16_t bitCount = static_cast<uint16_t>(b[28] | b[29] << 8);
  if (bitCount != 1 || width <= 0) return std::string();
  const uint64_t rows = height < 0 ? static_cast<uint64_t>(-static_cast<int64_t>(height)) : static_cast<uint64_t>(height);
  return RowStride(width, 1) * rows > 0xFFFFFFFFull ? OneBitOverflowCrash : std::string();
}

std::string KnownAdjustFault(const CaseOutcome& outcome) {
  const std::string& p = outcome.problem;
  if (p.empty()) return std::string();
  if (!OnlyKnown(p, {PlatformDecoderLeak, "read from past the working stream", "biPlanes"})) return std::string();
  if (p.find(PlatformDecoderLeak) != std::string::npos) return FailedDecodeLeak;
  if (p.find("read from past") != std::string::npos) return ReadPastEnd;
  return PlanesCopied;
}

}  // namespace robust
