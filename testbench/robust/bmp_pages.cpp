#include "bmp_pages.h"

#include <algorithm>
#include <climits>
#include <cstdio>

namespace robust {

uint64_t Rng::Next() {
  uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

uint32_t Rng::Below(uint32_t bound) { return static_cast<uint32_t>(Next() % bound); }

uint64_t MixSeed(uint64_t seed, uint64_t index) {
  Rng rng(seed * 0x100000001B3ull ^ (index + 0x51ED2701ull));
  rng.Next();
  return rng.Next();
}

uint64_t RowStride(int64_t width, uint32_t bitCount) {
  if (width <= 0 || bitCount == 0) return 0;
  uint64_t bits = static_cast<uint64_t>(width) * bitCount;
  return ((bits + 31) / 32) * 4;
}

namespace {

uint64_t Magnitude(int32_t v) {
  return v < 0 ? static_cast<uint64_t>(-static_cast<int64_t>(v)) : static_cast<uint64_t>(v);
}

}  // namespace

bool DeclaresHeavyImage(const PageFields& f) {
  const uint64_t image = RowStride(f.width, f.bitCount) * Magnitude(f.height);
  return image > HeavyImageBytes && image <= 0xFFFFFFFFull;
}

namespace {

void Put16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

void Put32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void Patch32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// Header bytes actually written for a declared biSize: the real layouts for
// 12, 40, 52, 56, 108 and 124; 40 bytes padded up to the declared size for
// other sizes up to 256; 40 bytes for sizes that are nonsense beyond that.
uint32_t WrittenHeaderBytes(uint32_t headerSize) {
  if (headerSize == 12) return 12;
  if (headerSize > 40 && headerSize <= 256) return headerSize;
  return 40;
}

bool IsCore(const PageFields& f) { return f.headerSize == 12; }

uint32_t AutoPaletteEntries(const PageFields& f) {
  if (f.paletteEntries >= 0) return static_cast<uint32_t>(f.paletteEntries);
  if (f.bitCount > 0 && f.bitCount <= 8) {
    uint32_t implied = 1u << f.bitCount;
    uint32_t n = f.clrUsed != 0 ? f.clrUsed : implied;
    return std::min<uint32_t>(n, 256);
  }
  if (f.compression == 3 && f.headerSize == 40) return 3;  // bit-field masks
  return std::min<uint32_t>(f.clrUsed, 256);
}

}  // namespace

PageFields Sized(uint16_t bitCount, int32_t width, int32_t height) {
  PageFields f;
  f.bitCount = bitCount;
  f.width = width;
  f.height = height;
  return f;
}

std::vector<uint8_t> BuildPage(const PageFields& f, uint64_t payloadSeed) {
  std::vector<uint8_t> out;
  out.reserve(1024);
  const bool core = IsCore(f);
  const uint64_t stride = RowStride(f.width, f.bitCount);
  const uint64_t imageBytes = stride * Magnitude(f.height);
  const uint32_t sizeImage = f.explicitSizeImage ? f.sizeImage : static_cast<uint32_t>(imageBytes);

  // File header; size and offset are patched once the layout is known.
  Put16(out, f.type);
  Put32(out, 0);
  Put16(out, 0);
  Put16(out, 0);
  Put32(out, 0);

  const size_t headerStart = out.size();
  if (core) {
    Put32(out, 12);
    Put16(out, static_cast<uint16_t>(f.width));
    Put16(out, static_cast<uint16_t>(f.height));
    Put16(out, f.planes);
    Put16(out, f.bitCount);
  } else {
    Put32(out, f.headerSize);
    Put32(out, static_cast<uint32_t>(f.width));
    Put32(out, static_cast<uint32_t>(f.height));
    Put16(out, f.planes);
    Put16(out, f.bitCount);
    Put32(out, f.compression);
    Put32(out, sizeImage);
    Put32(out, static_cast<uint32_t>(f.xPelsPerMeter));
    Put32(out, static_cast<uint32_t>(f.yPelsPerMeter));
    Put32(out, f.clrUsed);
    Put32(out, f.clrImportant);
    const uint32_t extra = WrittenHeaderBytes(f.headerSize) - 40;
    if (f.headerSize == 108 || f.headerSize == 124) {
      // Masks (red, green, blue, alpha), colour space "sRGB", then zeroed
      // end points, gammas and (for 124) intent and profile fields.
      Put32(out, 0x00FF0000u);
      Put32(out, 0x0000FF00u);
      Put32(out, 0x000000FFu);
      Put32(out, 0xFF000000u);
      Put32(out, 0x73524742u);
      while (out.size() - headerStart < f.headerSize) out.push_back(0);
    } else {
      out.insert(out.end(), extra, 0);
    }
  }

  const uint32_t palette = AutoPaletteEntries(f);
  if (!core && f.compression == 3 && f.headerSize == 40 && f.paletteEntries < 0 && f.bitCount > 8) {
    const uint32_t masks16[3] = {0xF800, 0x07E0, 0x001F};
    const uint32_t masks32[3] = {0xFF0000, 0x00FF00, 0x0000FF};
    for (uint32_t i = 0; i < 3; ++i) Put32(out, f.bitCount == 16 ? masks16[i] : masks32[i]);
  } else {
    for (uint32_t i = 0; i < palette; ++i) {
      // A grey ramp spread over the entries.
      uint8_t level = static_cast<uint8_t>(palette > 1 ? i * 255 / (palette - 1) : 0);
      out.push_back(level);
      out.push_back(level);
      out.push_back(level);
      if (!core) out.push_back(0);
    }
  }

  const uint32_t offBits = f.explicitOffBits ? f.offBits : static_cast<uint32_t>(out.size());
  Patch32(out, 10, offBits);

  uint64_t pixels = f.pixelBytes >= 0 ? static_cast<uint64_t>(f.pixelBytes)
                                      : std::min<uint64_t>(imageBytes, MaxPixelPayload);
  pixels = std::min<uint64_t>(pixels, MaxPageBytes - std::min(out.size(), MaxPageBytes));
  Rng rng(payloadSeed);
  uint64_t word = 0;
  for (uint64_t i = 0; i < pixels; ++i) {
    if (i % 8 == 0) word = rng.Next();
    out.push_back(static_cast<uint8_t>(word >> (8 * (i % 8))));
  }

  const uint32_t fileSize = f.explicitFileSize ? f.fileSize : static_cast<uint32_t>(out.size());
  Patch32(out, 2, fileSize);

  if (f.truncateTo >= 0 && static_cast<uint64_t>(f.truncateTo) < out.size())
    out.resize(static_cast<size_t>(f.truncateTo));
  return out;
}

std::string DescribeFields(const PageFields& f) {
  char buf[512];
  std::snprintf(buf, sizeof buf,
                "type=0x%04X bfSize=%s offBits=%s biSize=%u w=%d h=%d planes=%u "
                "bpp=%u comp=%u sizeImage=%s clrUsed=%u palette=%d pixels=%lld trunc=%lld",
                f.type, f.explicitFileSize ? std::to_string(f.fileSize).c_str() : "auto",
                f.explicitOffBits ? std::to_string(f.offBits).c_str() : "auto", f.headerSize,
                f.width, f.height, f.planes, f.bitCount, f.compression,
                f.explicitSizeImage ? std::to_string(f.sizeImage).c_str() : "auto", f.clrUsed,
                f.paletteEntries, static_cast<long long>(f.pixelBytes),
                static_cast<long long>(f.truncateTo));
  return buf;
}

std::string DescribeArgs(const AdjustArgs& a) {
  char buf[160];
  std::snprintf(buf, sizeof buf, "brightness=%d contrast=%d crop=(%d,%d,%d,%d)", a.brightness,
                a.contrast, a.left, a.top, a.width, a.height);
  return buf;
}

const std::vector<int32_t>& DimensionPool() {
  static const std::vector<int32_t> pool = {
      0,      1,          2,          3,          5,          7,         31,          33,
      -1,     -2,         -3,         -7,         65536,      65537,     46341,       -46341,
      -65537, 0x10000001, 0x20000001, 0x40000001, 0x7FFFFFFF, INT32_MIN, -0x7FFFFFFF, 0x01000000};
  return pool;
}

const std::vector<uint32_t>& HugeSizePool() {
  static const std::vector<uint32_t> pool = {0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu,
                                             0xFFFFFFFCu, 0x40000000u, 0x10000000u};
  return pool;
}

const std::vector<uint32_t>& ClrUsedPool() {
  static const std::vector<uint32_t> pool = {
      0,    1,       2,           3,           16,          255,         256,        257,
      1000, 0x10000, 0x3FFFFFFFu, 0x40000000u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu};
  return pool;
}

const std::vector<uint32_t>& HeaderSizePool() {
  static const std::vector<uint32_t> pool = {0,  1,  12,  16,  39,  40,   41,          52,
                                             56, 64, 108, 124, 125, 1000, 0x7FFFFFFFu, 0xFFFFFFFFu};
  return pool;
}

std::vector<PageFields> PageGenerator::SmallValidFiles() {
  std::vector<PageFields> files;
  auto add = [&](uint16_t bpp, int32_t w, int32_t h, uint32_t clr) {
    PageFields f = Sized(bpp, w, h);
    f.clrUsed = clr;
    files.push_back(f);
  };
  add(8, 3, 2, 256);
  add(8, 2, -2, 256);
  add(24, 3, 2, 0);
  add(1, 9, 3, 2);
  add(4, 5, 3, 16);
  add(16, 3, 2, 0);
  add(32, 2, 2, 0);
  add(48, 2, 2, 0);
  return files;
}

PageGenerator::PageGenerator(uint64_t seed) : seed_(seed) { AddSystematic(); }

void PageGenerator::AddSystematic() {
  const AdjustArgs brighter{200, 0, 0, 0, 0, 0};
  const AdjustArgs mixed{-300, 400, 0, 0, 0, 0};
  auto add = [&](const char* family, const PageFields& f, const AdjustArgs& a) {
    systematic_.push_back({family, f, a});
  };

  // Every depth from 0 to 64 on a few small geometries.
  const int32_t geometries[][2] = {{1, 1}, {3, 2}, {5, -3}, {17, 4}};
  for (uint16_t bpp = 0; bpp <= 64; ++bpp) {
    int g = 0;
    for (const auto& wh : geometries) {
      add("depth", Sized(bpp, wh[0], wh[1]), (g++ % 2) ? mixed : brighter);
    }
  }

  // Widths and heights: zero, negative, one, odd and huge, with products
  // that overflow 32 bits; sizeImage is the 64-bit product cut to 32 bits.
  for (uint16_t bpp : {1, 8, 24, 32}) {
    for (int32_t w : DimensionPool()) {
      for (int32_t h : DimensionPool()) {
        const PageFields f = Sized(bpp, w, h);
        if (!DeclaresHeavyImage(f)) add("geometry", f, brighter);
      }
    }
  }

  // sizeImage: 0, short, exact, long and huge.
  const int32_t sizeGeometries[][2] = {{3, 2}, {64, 64}, {1, 1}, {5, -3}};
  for (uint16_t bpp : {1, 4, 8, 16, 24, 32, 48}) {
    for (const auto& wh : sizeGeometries) {
      const uint64_t exact = RowStride(wh[0], bpp) * Magnitude(wh[1]);
      std::vector<uint32_t> sizes = {0,
                                     1,
                                     static_cast<uint32_t>(exact - 1),
                                     static_cast<uint32_t>(exact / 2),
                                     static_cast<uint32_t>(exact),
                                     static_cast<uint32_t>(exact + 4),
                                     static_cast<uint32_t>(exact * 2)};
      for (uint32_t huge : HugeSizePool()) sizes.push_back(huge);
      for (uint32_t s : sizes) {
        PageFields f = Sized(bpp, wh[0], wh[1]);
        f.sizeImage = s;
        f.explicitSizeImage = true;
        add("sizeimage", f, brighter);
      }
    }
  }

  // bfOffBits inside the headers, at their edges, past the end, huge.
  for (uint16_t bpp : {1, 8, 24, 32}) {
    for (const auto& wh : {std::pair<int32_t, int32_t>{7, 3}, {2, -5}}) {
      const PageFields probe = Sized(bpp, wh.first, wh.second);
      const std::vector<uint8_t> built = BuildPage(probe, 0);
      const uint32_t size = static_cast<uint32_t>(built.size());
      const uint32_t correct =
          built[10] | built[11] << 8 | built[12] << 16 | static_cast<uint32_t>(built[13]) << 24;
      for (uint32_t off :
           {0u, 1u, 2u, 13u, 14u, 15u, 53u, 54u, 55u, correct - 1, correct, correct + 1, size - 1,
            size, size + 1, size + 1000, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
        PageFields f = probe;
        f.offBits = off;
        f.explicitOffBits = true;
        add("offbits", f, brighter);
      }
    }
  }

  // biClrUsed from 0 to huge, with the palette written as declared (capped).
  for (uint16_t bpp : {1, 4, 8, 16, 24, 32}) {
    for (uint32_t clr : ClrUsedPool()) {
      PageFields f = Sized(bpp, 6, 3);
      f.clrUsed = clr;
      add("clrused", f, mixed);
    }
  }

  // biCompression 0 to 6 and beyond.
  for (uint16_t bpp : {1, 4, 8, 16, 24, 32}) {
    for (uint32_t comp : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 11u, 0xFFFFFFFFu}) {
      PageFields f = Sized(bpp, 9, 4);
      f.compression = comp;
      add("compression", f, brighter);
    }
  }

  // biSize: the core header, the real larger ones and nonsense.
  for (uint16_t bpp : {1, 4, 8, 24, 32}) {
    for (uint32_t hs : HeaderSizePool()) {
      PageFields f = Sized(bpp, 4, 3);
      f.headerSize = hs;
      add("headersize", f, mixed);
    }
  }

  // Every truncation length of the small valid files.
  for (const PageFields& base : SmallValidFiles()) {
    const size_t full = BuildPage(base, 0).size();
    for (size_t len = 0; len <= full; ++len) {
      PageFields f = base;
      f.truncateTo = static_cast<int64_t>(len);
      add("truncate", f, (len % 2) ? mixed : brighter);
    }
  }

  // Extreme brightness and contrast, and crops, on valid pages.
  const int32_t levels[] = {INT32_MIN, -1001, -1000, -999, -1, 0, 1, 999, 1000, 1001, INT32_MAX};
  const int32_t crops[][4] = {{0, 0, 1, 1},
                              {1, 1, 2, 2},
                              {5, 5, 5000, 5000},
                              {-5, -5, 2, 2},
                              {0, 0, -1, -1},
                              {0, 0, INT32_MAX, INT32_MAX},
                              {0, 0, INT32_MIN, 1},
                              {INT32_MAX, INT32_MAX, 1, 1},
                              {INT32_MIN, INT32_MIN, 1, 1},
                              {100, 100, 1, 1},
                              {0, 0, 3, 0},
                              {7, 0, 1, 1},
                              {0, 7, 1, 1},
                              {-1, 0, 4, 2}};
  for (const PageFields& base : SmallValidFiles()) {
    if (base.height < 0 || base.bitCount == 48) continue;
    for (int32_t b : levels) {
      for (int32_t c : levels) add("levels", base, AdjustArgs{b, c, 0, 0, 0, 0});
    }
    for (const auto& c : crops) add("crop", base, AdjustArgs{100, -100, c[0], c[1], c[2], c[3]});
  }
}

PageCase PageGenerator::Finish(uint64_t index, const std::string& family, const PageFields& fields,
                               const AdjustArgs& args) const {
  PageCase c;
  c.index = index;
  c.family = family;
  c.fields = fields;
  c.args = args;
  c.bytes = BuildPage(fields, MixSeed(seed_, index));
  c.label = DescribeFields(fields) + " " + DescribeArgs(args);
  return c;
}

PageCase PageGenerator::Make(uint64_t index) const {
  if (index < systematic_.size()) {
    const Recipe& r = systematic_[index];
    return Finish(index, r.family, r.fields, r.args);
  }
  return MakeRandom(index);
}

PageCase PageGenerator::MakeRandom(uint64_t index) const {
  Rng rng(MixSeed(seed_, index));
  static const std::vector<uint16_t> usualDepths = {1, 4, 8, 8, 16, 24, 24, 32};
  PageFields f;
  f.bitCount = rng.Chance(80) ? rng.Pick(usualDepths) : static_cast<uint16_t>(rng.Below(65));
  f.width = rng.Chance(85) ? static_cast<int32_t>(1 + rng.Below(40)) : rng.Pick(DimensionPool());
  f.height = rng.Chance(85) ? static_cast<int32_t>(1 + rng.Below(24)) : rng.Pick(DimensionPool());
  if (rng.Chance(20)) f.height = -f.height;
  if (f.bitCount == 1) f.clrUsed = 2;
  if (f.bitCount == 8 || f.bitCount == 4) f.clrUsed = rng.Chance(50) ? 0 : (1u << f.bitCount);

  const uint32_t mutations = rng.Below(5);
  for (uint32_t m = 0; m < mutations; ++m) {
    switch (rng.Below(12)) {
      case 0: f.bitCount = static_cast<uint16_t>(rng.Below(65)); break;
      case 1: f.width = rng.Pick(DimensionPool()); break;
      case 2: f.height = rng.Pick(DimensionPool()); break;
      case 3: {
        f.explicitSizeImage = true;
        const uint64_t exact = RowStride(f.width, f.bitCount) * Magnitude(f.height);
        switch (rng.Below(5)) {
          case 0: f.sizeImage = 0; break;
          case 1: f.sizeImage = static_cast<uint32_t>(exact) - 1 - rng.Below(64); break;
          case 2: f.sizeImage = rng.Pick(HugeSizePool()); break;
          case 3: f.sizeImage = static_cast<uint32_t>(exact / (2 + rng.Below(8))); break;
          default: f.sizeImage = static_cast<uint32_t>(rng.Next()); break;
        }
        break;
      }
      case 4:
        f.explicitOffBits = true;
        f.offBits = rng.Chance(50) ? rng.Below(200) : static_cast<uint32_t>(rng.Next());
        break;
      case 5: f.clrUsed = rng.Pick(ClrUsedPool()); break;
      case 6:
        f.compression = rng.Chance(80) ? rng.Below(7) : static_cast<uint32_t>(rng.Next());
        break;
      case 7: f.headerSize = rng.Pick(HeaderSizePool()); break;
      case 8: f.planes = static_cast<uint16_t>(rng.Below(4)); break;
      case 9:
        f.explicitFileSize = true;
        f.fileSize = rng.Chance(50) ? rng.Below(4096) : static_cast<uint32_t>(rng.Next());
        break;
      case 10: f.pixelBytes = rng.Below(static_cast<uint32_t>(MaxPixelPayload)); break;
      default: f.type = rng.Chance(50) ? 0x4142 : static_cast<uint16_t>(rng.Next()); break;
    }
  }
  // Too heavy to run many of: keep the huge side, make the other one small,
  // and failing that the huge side too.
  if (DeclaresHeavyImage(f))
    f.height = (f.height < 0 ? -1 : 1) * static_cast<int32_t>(1 + Magnitude(f.height) % 24);
  if (DeclaresHeavyImage(f)) f.width = static_cast<int32_t>(1 + Magnitude(f.width) % 40);
  if (rng.Chance(15)) f.truncateTo = rng.Below(2048);

  AdjustArgs a;
  do {
    a.brightness = static_cast<int32_t>(rng.Below(2001)) - 1000;
    a.contrast = static_cast<int32_t>(rng.Below(2001)) - 1000;
  } while (a.brightness == 0 && a.contrast == 0);
  if (rng.Chance(5)) a.brightness = static_cast<int32_t>(rng.Next());
  if (rng.Chance(5)) a.contrast = static_cast<int32_t>(rng.Next());
  if (rng.Chance(8)) {
    a.left = static_cast<int32_t>(rng.Below(20)) - 5;
    a.top = static_cast<int32_t>(rng.Below(20)) - 5;
    a.width = static_cast<int32_t>(rng.Below(60)) - 10;
    a.height = static_cast<int32_t>(rng.Below(60)) - 10;
  }

  PageCase c = Finish(index, "random", f, a);
  // A few bytes of the headers flipped at random.
  if (rng.Chance(10) && !c.bytes.empty()) {
    const uint32_t flips = 1 + rng.Below(4);
    const uint32_t span = static_cast<uint32_t>(std::min<size_t>(c.bytes.size(), 64));
    for (uint32_t i = 0; i < flips; ++i)
      c.bytes[rng.Below(span)] ^= static_cast<uint8_t>(1 + rng.Below(255));
    c.label += " +flipped header bytes";
  }
  return c;
}

std::vector<PageCase> FaultPages(uint64_t seed) {
  std::vector<PageFields> bases = PageGenerator::SmallValidFiles();
  PageFields grey = Sized(8, 64, 64);
  grey.clrUsed = 256;
  bases.push_back(grey);
  bases.push_back(Sized(24, 40, -30));
  std::vector<PageCase> pages;
  for (const PageFields& f : bases) {
    for (const AdjustArgs& a :
         {AdjustArgs{200, 0, 0, 0, 0, 0}, AdjustArgs{-300, 400, 0, 0, 0, 0}}) {
      PageCase c;
      c.index = pages.size();
      c.family = "fault";
      c.fields = f;
      c.args = a;
      c.bytes = BuildPage(f, MixSeed(seed, c.index));
      c.label = DescribeFields(f) + " " + DescribeArgs(a);
      pages.push_back(c);
    }
  }
  return pages;
}

}  // namespace robust
