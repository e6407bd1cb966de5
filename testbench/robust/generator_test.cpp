// The page generator and the BMP checker: what the campaign's figures rest on.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "bmp_check.h"
#include "bmp_pages.h"

namespace robust {
namespace {

// Header fields read back from the built bytes (not from the recipe), so the
// coverage checks see what the code under test will see.
struct Parsed {
  bool complete = false;  // at least the 14 + 40 header bytes are present
  uint32_t offBits = 0, headerSize = 0, compression = 0, sizeImage = 0, clrUsed = 0;
  int32_t width = 0, height = 0;
  uint16_t bitCount = 0;
};

uint32_t At32(const std::vector<uint8_t>& b, size_t at) {
  uint32_t v;
  std::memcpy(&v, b.data() + at, 4);
  return v;
}

Parsed Parse(const std::vector<uint8_t>& b) {
  Parsed p;
  if (b.size() < 54) return p;
  p.complete = true;
  p.offBits = At32(b, 10);
  p.headerSize = At32(b, 14);
  p.width = static_cast<int32_t>(At32(b, 18));
  p.height = static_cast<int32_t>(At32(b, 22));
  p.bitCount = static_cast<uint16_t>(b[28] | b[29] << 8);
  p.compression = At32(b, 30);
  p.sizeImage = At32(b, 34);
  p.clrUsed = At32(b, 46);
  return p;
}

class GeneratorTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    generator = new PageGenerator(1);
    for (uint64_t i = 0; i < generator->SystematicCount(); ++i) pages.push_back(generator->Make(i));
  }
  static void TearDownTestSuite() {
    delete generator;
    pages.clear();
  }
  template <typename Pred>
  static bool Any(Pred pred) {
    return std::any_of(pages.begin(), pages.end(),
                       [&](const PageCase& c) { return pred(c, Parse(c.bytes)); });
  }
  static PageGenerator* generator;
  static std::vector<PageCase> pages;
};
PageGenerator* GeneratorTest::generator = nullptr;
std::vector<PageCase> GeneratorTest::pages;

TEST_F(GeneratorTest, SameSeedAndIndexGiveTheSamePageAndSeedsDiffer) {
  PageGenerator again(1), other(2);
  const uint64_t random = generator->SystematicCount() + 17;
  EXPECT_EQ(generator->Make(5).bytes, again.Make(5).bytes);
  EXPECT_EQ(generator->Make(random).bytes, again.Make(random).bytes);
  EXPECT_EQ(generator->Make(random).label, again.Make(random).label);
  int differing = 0;
  for (uint64_t i = random; i < random + 20; ++i)
    differing += generator->Make(i).bytes != other.Make(i).bytes;
  EXPECT_GE(differing, 15);
}

TEST_F(GeneratorTest, EveryPageStaysSmallWhateverItsHeadersDeclare) {
  size_t largest = 0;
  for (const PageCase& c : pages) largest = std::max(largest, c.bytes.size());
  for (uint64_t i = generator->SystematicCount(); i < generator->SystematicCount() + 5000; ++i)
    largest = std::max(largest, generator->Make(i).bytes.size());
  EXPECT_LE(largest, MaxPageBytes);
  // ... while some declare images far beyond 32-bit sizes.
  EXPECT_TRUE(Any([](const PageCase&, const Parsed& p) {
    return p.complete && RowStride(p.width, p.bitCount) *
                                 static_cast<uint64_t>(std::abs(static_cast<int64_t>(p.height))) >
                             0xFFFFFFFFull;
  }));
}

TEST_F(GeneratorTest, CoversEveryDepthFromZeroToSixtyFour) {
  std::set<uint16_t> depths;
  for (const PageCase& c : pages) {
    const Parsed p = Parse(c.bytes);
    if (p.complete && p.headerSize == 40) depths.insert(p.bitCount);
  }
  for (uint16_t d = 0; d <= 64; ++d) EXPECT_TRUE(depths.count(d)) << "depth " << d;
}

TEST_F(GeneratorTest, CoversZeroNegativeOneOddAndHugeDimensions) {
  for (int32_t v : {0, -1, 1, 3, 33, 65537, 0x7FFFFFFF, INT32_MIN}) {
    EXPECT_TRUE(Any([v](const PageCase&, const Parsed& p) { return p.complete && p.width == v; }))
        << v;
    EXPECT_TRUE(Any([v](const PageCase&, const Parsed& p) { return p.complete && p.height == v; }))
        << v;
  }
  // A 32-bit product of width and height that wraps to a small value.
  EXPECT_TRUE(Any([](const PageCase&, const Parsed& p) {
    const uint64_t product =
        static_cast<uint64_t>(static_cast<uint32_t>(p.width)) * static_cast<uint32_t>(p.height);
    return p.complete && p.width > 0 && p.height > 0 && product > 0xFFFFFFFFull &&
           static_cast<uint32_t>(product) < 0x10000000u;
  }));
}

TEST_F(GeneratorTest, CoversImageSizesOffsetsColourCountsCompressionsAndHeaderSizes) {
  auto has = [&](auto pred, const char* what) { EXPECT_TRUE(Any(pred)) << what; };
  has([](const PageCase&,
         const Parsed& p) { return p.complete && p.sizeImage == 0 && p.width == 3; },
      "sizeImage 0");
  has(
      [](const PageCase&, const Parsed& p) {
        return p.complete && p.width > 0 && p.sizeImage != 0 &&
               p.sizeImage <
                   RowStride(p.width, p.bitCount) * static_cast<uint32_t>(std::abs(p.height));
      },
      "short sizeImage");
  has([](const PageCase&, const Parsed& p) { return p.complete && p.sizeImage == 0xFFFFFFFFu; },
      "huge sizeImage");
  has([](const PageCase&,
         const Parsed& p) { return p.complete && p.offBits < 54 && p.offBits > 14; },
      "offBits in headers");
  has([](const PageCase& c, const Parsed& p) { return p.complete && p.offBits > c.bytes.size(); },
      "offBits past the end");
  for (uint32_t clr : {0u, 2u, 256u, 0xFFFFFFFFu})
    has([clr](const PageCase&, const Parsed& p) { return p.complete && p.clrUsed == clr; },
        "clrUsed");
  for (uint32_t comp = 0; comp <= 6; ++comp)
    has([comp](const PageCase&,
               const Parsed& p) { return p.complete && p.compression == comp && p.width == 9; },
        "compression");
  for (uint32_t hs : {12u, 40u, 108u, 124u, 0u, 1000u, 0xFFFFFFFFu})
    has([hs](const PageCase&, const Parsed& p) { return p.complete && p.headerSize == hs; },
        "biSize");
}

TEST_F(GeneratorTest, TruncatesEverySmallValidFileAtEveryLength) {
  for (const PageFields& base : PageGenerator::SmallValidFiles()) {
    const std::vector<uint8_t> full = BuildPage(base, 0);
    std::set<size_t> lengths;
    for (const PageCase& c : pages) {
      if (c.family == "truncate" && c.fields.bitCount == base.bitCount &&
          c.fields.width == base.width && c.fields.height == base.height) {
        lengths.insert(c.bytes.size());
        // Each truncation is a prefix of the full file (pixel bytes aside).
        const size_t headers = std::min<size_t>(c.bytes.size(), 54);
        EXPECT_TRUE(std::equal(c.bytes.begin(), c.bytes.begin() + headers, full.begin()));
      }
    }
    EXPECT_EQ(lengths.size(), full.size() + 1) << DescribeFields(base);
  }
}

TEST(BuildPage, SmallValidFilesOfStandardDepthsPassTheChecker) {
  for (const PageFields& f : PageGenerator::SmallValidFiles()) {
    const std::vector<uint8_t> b = BuildPage(f, 7);
    const std::string problem = BmpProblem(b.data(), b.size());
    if (f.bitCount == 48) EXPECT_NE(problem, "") << "48 bits is no standard depth";
    else EXPECT_EQ(problem, "") << DescribeFields(f);
  }
}

TEST(BuildPage, CoreHeaderCarriesSixteenBitSizesAndThreeBytePalette) {
  PageFields f = Sized(1, 0x12345, 3);
  f.headerSize = 12;
  const std::vector<uint8_t> b = BuildPage(f, 0);
  ASSERT_GE(b.size(), 26u + 6u);
  EXPECT_EQ(At32(b, 14), 12u);
  EXPECT_EQ(b[18] | b[19] << 8, 0x2345);  // bcWidth: the low 16 bits
  EXPECT_EQ(At32(b, 10), 14u + 12u + 2u * 3u);
}

TEST(BmpProblem, NamesEachKindOfDamage) {
  PageFields f = Sized(8, 5, 2);
  f.clrUsed = 256;
  const std::vector<uint8_t> good = BuildPage(f, 3);
  ASSERT_EQ(BmpProblem(good.data(), good.size()), "");

  auto damaged = [&](size_t at, uint32_t value, size_t bytes = 4) {
    std::vector<uint8_t> b = good;
    std::memcpy(b.data() + at, &value, bytes);
    return BmpProblem(b.data(), b.size());
  };
  EXPECT_NE(damaged(2, static_cast<uint32_t>(good.size() + 1)), "");  // bfSize
  EXPECT_NE(damaged(10, 54), "");                                     // palette overlaps pixels
  EXPECT_NE(damaged(14, 12), "");                                     // biSize
  EXPECT_NE(damaged(18, 0), "");                                      // width 0
  EXPECT_NE(damaged(22, 3), "");                                      // rows beyond the file
  EXPECT_NE(damaged(28, 48, 2), "");                                  // depth
  EXPECT_NE(damaged(30, 1), "");                                      // RLE
  EXPECT_NE(damaged(46, 257), "");                                    // too many colours
  EXPECT_NE(damaged(34, 9), "");                                      // sizeImage short of the rows
  EXPECT_NE(BmpProblem(good.data(), good.size() - 1), "");            // truncated
}

}  // namespace
}  // namespace robust
