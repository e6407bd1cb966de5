// A seeded, bounded generator of malformed and edge-case BMP pages.
//
// Every page is a byte string of at most MaxPageBytes, however large the
// image its headers declare: "huge" pages carry huge header values but only a
// capped slice of pixel bytes. Page i of seed s is always the same page, so a
// single case can be reproduced from (seed, index) alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace robust {

constexpr size_t MaxPageBytes = 72 * 1024;
constexpr size_t MaxPixelPayload = 16 * 1024;
// Images that fit the 32-bit size fields but exceed this are legitimate
// pages too heavy for a campaign of many cases (any correct reader must
// allocate and visit them); the generator does not make them.
constexpr uint64_t HeavyImageBytes = 64ull << 20;

// The fields a page is built from. Fields marked "auto" are computed from the
// others unless the matching flag says they were set explicitly.
struct PageFields {
  uint16_t type = 0x4D42;
  uint32_t fileSize = 0;     // auto: the length of the bytes written
  uint32_t offBits = 0;      // auto: 14 + header + palette
  uint32_t headerSize = 40;  // biSize; 12 writes a core header
  int32_t width = 1;
  int32_t height = 1;
  uint16_t planes = 1;
  uint16_t bitCount = 24;
  uint32_t compression = 0;
  uint32_t sizeImage = 0;  // auto: stride x |height|, wrapped to 32 bits
  int32_t xPelsPerMeter = 11811;
  int32_t yPelsPerMeter = 11811;
  uint32_t clrUsed = 0;
  uint32_t clrImportant = 0;
  bool explicitFileSize = false;
  bool explicitOffBits = false;
  bool explicitSizeImage = false;
  // Palette entries written after the header (auto: the colours the depth
  // implies, capped at 256).
  int32_t paletteEntries = -1;
  // Pixel bytes written (auto: the declared image size, capped at
  // MaxPixelPayload).
  int64_t pixelBytes = -1;
  // Keep only this many bytes of the built file (-1: all).
  int64_t truncateTo = -1;
};

// The fields of a page of this depth and size, the others as above.
PageFields Sized(uint16_t bitCount, int32_t width, int32_t height);

// What is passed to AdjustImage besides the page.
struct AdjustArgs {
  int32_t brightness = 0;
  int32_t contrast = 0;
  int32_t left = 0;
  int32_t top = 0;
  int32_t width = 0;
  int32_t height = 0;
};

struct PageCase {
  uint64_t index = 0;
  std::string family;  // which group of the generator made it
  std::string label;   // human-readable description of the fields
  PageFields fields;
  AdjustArgs args;
  std::vector<uint8_t> bytes;
};

// Bytes per row of an uncompressed image, rounded up to 4 bytes, computed in
// 64 bits (0 for a zero or negative width or depth).
uint64_t RowStride(int64_t width, uint32_t bitCount);

// Whether the declared image (64-bit stride x rows) is legitimate but heavy.
bool DeclaresHeavyImage(const PageFields& fields);

// Builds the file bytes from the fields (bounded by MaxPageBytes).
std::vector<uint8_t> BuildPage(const PageFields& fields, uint64_t payloadSeed);

std::string DescribeFields(const PageFields& fields);
std::string DescribeArgs(const AdjustArgs& args);

class PageGenerator {
 public:
  explicit PageGenerator(uint64_t seed);

  // Number of systematic cases: every listed value of every field, and every
  // truncation length of the small valid files. Cases at or above this
  // index are random combinations.
  uint64_t SystematicCount() const { return systematic_.size(); }

  PageCase Make(uint64_t index) const;

  // The small valid files whose every truncation is a systematic case.
  static std::vector<PageFields> SmallValidFiles();

 private:
  struct Recipe {
    std::string family;
    PageFields fields;
    AdjustArgs args;
  };
  void AddSystematic();
  PageCase Finish(uint64_t index, const std::string& family, const PageFields& fields,
                  const AdjustArgs& args) const;
  PageCase MakeRandom(uint64_t index) const;

  uint64_t seed_;
  std::vector<Recipe> systematic_;
};

// Valid pages for fault injection: the small valid files and two larger
// pages, each with two adjustments.
std::vector<PageCase> FaultPages(uint64_t seed);

// Value pools the generator draws from (also used by the tests that check
// its coverage).
const std::vector<int32_t>& DimensionPool();
const std::vector<uint32_t>& HugeSizePool();
const std::vector<uint32_t>& ClrUsedPool();
const std::vector<uint32_t>& HeaderSizePool();

// A small deterministic generator (splitmix64).
class Rng {
 public:
  explicit Rng(uint64_t seed) : state_(seed) {}
  uint64_t Next();
  uint32_t Below(uint32_t bound);  // 0 <= n < bound (bound > 0)
  bool Chance(uint32_t percent) { return Below(100) < percent; }
  template <typename T>
  const T& Pick(const std::vector<T>& pool) {
    return pool[Below(static_cast<uint32_t>(pool.size()))];
  }

 private:
  uint64_t state_;
};

uint64_t MixSeed(uint64_t seed, uint64_t index);

}  // namespace robust
