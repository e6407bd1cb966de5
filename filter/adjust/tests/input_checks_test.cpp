// Malformed pages and arguments: rejected with a result that says what was
// wrong, before anything is written.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include <windows.h>
#include <psapi.h>
#include <functional>
#include <string>
#include <vector>

#include "adjust.h"
#include "bmp_test_support.h"

using namespace bmptest;

namespace {

constexpr ULONG64 kUntouched = kUntouchedCount;
const HRESULT kInvalidData = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
const HRESULT kNotSupported = HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED);
const HRESULT kOverflow = HRESULT_FROM_WIN32(ERROR_ARITHMETIC_OVERFLOW);

struct BadInput {
  std::string name;
  WORD bitCount;
  std::function<void(BmpFile&)> spoil;
  HRESULT expected;
  LONG crop[4];  // left, top, width, height
};

class RejectedInput : public ::testing::TestWithParam<BadInput> {};

TEST_P(RejectedInput, TouchesNeitherDestinationNorCount) {
  const BadInput& c = GetParam();
  BmpFile page = MakeBmp(
      16, 8, c.bitCount, [](UINT32 r, UINT32 b) -> BYTE { return static_cast<BYTE>(r + b); },
      c.bitCount == 8 ? GreyPalette() : std::vector<RGBQUAD>{});
  c.spoil(page);
  const std::vector<BYTE> before = {1, 2, 3, 4, 5};
  ComRef<IStream> destination = StreamOf(before);
  const AdjustOutcome outcome = RunAdjustImageInto(destination.get(), page.Bytes(), 500, 250,
                                                   c.crop[0], c.crop[1], c.crop[2], c.crop[3]);
  EXPECT_EQ(outcome.hr, c.expected);
  EXPECT_EQ(outcome.byteCount, kUntouched);
  EXPECT_EQ(outcome.output, before);
}

std::vector<BadInput> BadInputs() {
  const LONG none[4] = {0, 0, 0, 0};
  std::vector<BadInput> cases;
  auto add = [&](const std::string& name, WORD bits, std::function<void(BmpFile&)> spoil,
                 HRESULT hr, const LONG* crop) {
    BadInput c{name, bits, std::move(spoil), hr, {crop[0], crop[1], crop[2], crop[3]}};
    cases.push_back(c);
  };
  // The image declared width x height, with no biSizeImage.
  auto declares = [](LONG width, LONG height) {
    return [width, height](BmpFile& p) {
      p.info.biWidth = width;
      p.info.biHeight = height;
      p.info.biSizeImage = 0;
    };
  };
  for (WORD bits : {WORD(8), WORD(24)}) {
    const std::string d = std::to_string(bits);
    add(
        "HeightZero" + d, bits, [](BmpFile& p) { p.info.biHeight = 0; }, kInvalidData, none);
    add(
        "HeightMin" + d, bits, [](BmpFile& p) { p.info.biHeight = LONG_MIN; }, kInvalidData, none);
    add(
        "WidthZero" + d, bits, [](BmpFile& p) { p.info.biWidth = 0; }, kInvalidData, none);
    add(
        "WidthNegative" + d, bits, [](BmpFile& p) { p.info.biWidth = -16; }, kInvalidData, none);
    add(
        "RunLengthCompressed" + d, bits, [](BmpFile& p) { p.info.biCompression = BI_RLE8; },
        kNotSupported, none);
    add(
        "BitFields" + d, bits, [](BmpFile& p) { p.info.biCompression = BI_BITFIELDS; },
        kNotSupported, none);
    add(
        "CoreHeader" + d, bits, [](BmpFile& p) { p.info.biSize = 12; }, kInvalidData, none);
    add(
        "NoPlanes" + d, bits, [](BmpFile& p) { p.info.biPlanes = 0; }, kInvalidData, none);
    add(
        "TwoPlanes" + d, bits, [](BmpFile& p) { p.info.biPlanes = 2; }, kInvalidData, none);
    const LONG negativeWidth[4] = {0, 0, -4, 4};
    add(
        "NegativeCropWidth" + d, bits, [](BmpFile&) {}, E_INVALIDARG, negativeWidth);
    const LONG negativeHeight[4] = {0, 0, 4, -4};
    add(
        "NegativeCropHeight" + d, bits, [](BmpFile&) {}, E_INVALIDARG, negativeHeight);
    const LONG farRight[4] = {LONG_MAX - 2, 0, 8, 8};
    add(
        "CropRightOverflows" + d, bits, [](BmpFile&) {}, E_INVALIDARG, farRight);
    const LONG farDown[4] = {0, LONG_MAX, 8, 8};
    add(
        "CropBottomOverflows" + d, bits, [](BmpFile&) {}, E_INVALIDARG, farDown);
  }
  for (WORD bits : {WORD(1), WORD(8), WORD(24)}) {
    const std::string d = std::to_string(bits);
    // A tiny page must not make an enormous one: the output's size comes
    // from the header, so the header must be borne out by the page.
    add("DeclaresMoreRowsThanItHolds" + d, bits, declares(20000, 20000), kInvalidData, none);
    add(
        "LastPixelByteMissing" + d, bits, [](BmpFile& p) { p.pixels.pop_back(); }, kInvalidData,
        none);
  }
  add(
      "SizeImageTooSmall", 8, [](BmpFile& p) { p.info.biSizeImage = 16 * 8 - 1; }, kInvalidData,
      none);
  add(
      "SizeImageOneRowShort", 8, [](BmpFile& p) { p.info.biSizeImage = 16 * 7; }, kInvalidData,
      none);
  // More colours than a table of the depth holds.
  add(
      "ColourTableTooLong24", 24, [](BmpFile& p) { p.info.biClrUsed = 257; }, kInvalidData, none);
  add(
      "ColourTableTooLong1", 1, [](BmpFile& p) { p.info.biClrUsed = 3; }, kInvalidData, none);
  add("ImageSizeOverflows", 8, declares(70000, 70000), kOverflow, none);
  add("ImageSizeJustOverflows", 8, declares(65536, -65536), kOverflow, none);
  // Decoders are never handed a page whose stored image cannot be sized in 32 bits.
  add("OneBitImageOverflows", 1, declares(1 << 20, 1 << 15), kOverflow, none);
  add("ColourImageOverflows", 24, declares(40000, -40000), kOverflow, none);
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Cases, RejectedInput, ::testing::ValuesIn(BadInputs()),
                         [](const ::testing::TestParamInfo<BadInput>& info) {
                           return info.param.name;
                         });

TEST(AdjustImageArguments, MissingStreamsOrCountAreRefused) {
  const BmpFile page = MakeBmp(
      4, 4, 8, [](UINT32, UINT32) -> BYTE { return 1; }, GreyPalette());
  ComRef<IStream> working = StreamOf(page.Bytes());
  ComRef<IStream> destination = StreamOf({});
  ULONG64 count = kUntouched;
  EXPECT_EQ(AdjustImage(1, 1, nullptr, destination.get(), &count, 0, 0, 0, 0), E_INVALIDARG);
  EXPECT_EQ(AdjustImage(1, 1, working.get(), nullptr, &count, 0, 0, 0, 0), E_INVALIDARG);
  EXPECT_EQ(AdjustImage(1, 1, working.get(), destination.get(), nullptr, 0, 0, 0, 0), E_POINTER);
  EXPECT_EQ(count, kUntouched);
  EXPECT_TRUE(StreamBytes(destination.get()).empty());
}

TEST(AdjustImageArguments, StreamTooShortForTheInfoHeaderIsInvalidData) {
  std::vector<BYTE> bytes = MakeBmp(4, 4, 24, [](UINT32, UINT32) -> BYTE { return 1; }).Bytes();
  for (size_t size : {size_t(0), size_t(14), size_t(30)}) {
    bytes.resize(size);
    const AdjustOutcome outcome = RunAdjustImage(bytes, 1, 1);
    EXPECT_EQ(outcome.hr, kInvalidData) << size;
    EXPECT_EQ(outcome.byteCount, kUntouched);
    EXPECT_TRUE(outcome.output.empty());
  }
}

}  // namespace

namespace {

// The page's bytes with bfOffBits pointing at `offset`, beyond what follows.
std::vector<BYTE> WithPixelsAt(const BmpFile& page, DWORD offset) {
  std::vector<BYTE> bytes = page.Bytes();
  std::memcpy(bytes.data() + 10, &offset, sizeof(offset));
  return bytes;
}

// References held on a stream, read without changing them.
ULONG References(IStream* stream) {
  stream->AddRef();
  return stream->Release();
}

}  // namespace

// A page must hold every row its header declares at its padded length, the
// last row's padding included, from bfOffBits on; a page short of that, or
// whose pixels lie 2 GB or more in, is refused before anything is written,
// however large the stream says it is.
TEST(PagePastTheStreamEnd, PageMustHoldItsPaddedRows) {
  struct Case {
    WORD bits;
    long long shortBy;  // bytes cut off the page's end
    DWORD offset;       // bfOffBits, 0 for the page's own
    bool taken;
    ULONGLONG statSize = 0;      // the size the stream reports, 0 for its own
    LONG width = 5, height = 3;  // declared
  };
  const Case cases[] = {
      {1, 0, 0, true},
      {8, 0, 0, true},
      {24, 0, 0, true},
      {1, 1, 0, false},
      {8, 1, 0, false},
      {24, 1, 0, false},
      {8, 0, 1u << 20, false},
      {24, 0, 1u << 20, false},
      {8, 0, 0x7FFFFFF0, false},
      {8, 0, 0x80000000, false},
      {24, 0, 0xFFFFFFFF, false},
      {8, 0, 0x80000000, false, 3ull << 30},
      {24, 0, 0x80000010, false, 3ull << 30},
      // Pixels from near the start that end at or past 2 GB.
      {24, 0, 0, false, 3ull << 30, 5, -(1 << 27)},
      {1, 0, 0, false, 3ull << 30, 5, -(1 << 29)},
      {8, 0, 0, false, 3ull << 30, 1 << 20, 2048},
  };
  for (const Case& c : cases) {
    // 5 pixels wide: every depth's rows end in padding.
    BmpFile page = MakeBmp(
        5, 3, c.bits, [](UINT32, UINT32) -> BYTE { return 200; },
        c.bits == 8 ? GreyPalette() : std::vector<RGBQUAD>{});
    page.info.biWidth = c.width;
    page.info.biHeight = c.height;
    if (c.height != 3) page.info.biSizeImage = 0;
    std::vector<BYTE> bytes = c.offset ? WithPixelsAt(page, c.offset) : page.Bytes();
    bytes.resize(bytes.size() - static_cast<size_t>(c.shortBy));
    ComRef<FaultStream> working = FaultStream::Create(bytes);
    working->ReportSize(c.statSize);
    AdjustOutcome outcome{E_UNEXPECTED, kUntouched, {}};
    ComRef<IStream> destination = StreamOf({});
    outcome.hr =
        AdjustImage(500, 0, working.get(), destination.get(), &outcome.byteCount, 0, 0, 0, 0);
    outcome.output = StreamBytes(destination.get());
    const std::string what = std::to_string(c.bits) + " bits, short by " +
                             std::to_string(c.shortBy) + ", offset " + std::to_string(c.offset) +
                             ", size said " + std::to_string(c.statSize) + ", height " +
                             std::to_string(c.height);
    if (c.taken) {
      EXPECT_EQ(outcome.hr, S_OK) << what;
      EXPECT_EQ(outcome.byteCount, outcome.output.size()) << what;
    } else {
      EXPECT_EQ(outcome.hr, kInvalidData) << what;
      EXPECT_EQ(outcome.byteCount, kUntouched) << what;
      EXPECT_TRUE(outcome.output.empty()) << what;
    }
  }
}

TEST(PagePastTheStreamEnd, EveryPathGivesTheStreamBack) {
  for (WORD bits : {WORD(1), WORD(8), WORD(24), WORD(32)}) {
    const BmpFile page = MakeBmp(
        16, 8, bits, [](UINT32 r, UINT32 b) -> BYTE { return static_cast<BYTE>(r * 7 + b); },
        bits == 8 ? GreyPalette() : std::vector<RGBQUAD>{});
    ComRef<IStream> working = StreamOf(WithPixelsAt(page, 0x7FFFFFF0));
    ComRef<IStream> destination = StreamOf({});
    const ULONG before = References(working.get());
    ULONG64 count = kUntouched;
    const HRESULT hr = AdjustImage(300, 300, working.get(), destination.get(), &count, 0, 0, 0, 0);
    EXPECT_TRUE(hr == S_OK || FAILED(hr)) << bits;
    EXPECT_EQ(References(working.get()), before) << bits << " bits: the page was kept";
    EXPECT_EQ(References(destination.get()), 1u) << bits;
  }
}

TEST(PagePastTheStreamEnd, UndecodablePageIsGivenBack) {
  // Pixels cut off: GDI+ cannot decode the page, and a failed decode must not
  // keep the page alive.
  BmpFile page =
      MakeBmp(64, 64, 24, [](UINT32 r, UINT32 b) -> BYTE { return static_cast<BYTE>(r + b); }, {});
  std::vector<BYTE> bytes = page.Bytes();
  bytes.resize(60);
  ComRef<IStream> working = StreamOf(bytes);
  ComRef<IStream> destination = StreamOf({});
  const ULONG before = References(working.get());
  ULONG64 count = kUntouched;
  const HRESULT hr = AdjustImage(300, 0, working.get(), destination.get(), &count, 0, 0, 0, 0);
  EXPECT_TRUE(FAILED(hr));
  EXPECT_EQ(count, kUntouched);
  EXPECT_EQ(References(working.get()), before);
}

// A small page whose header declares an image of almost 4 GB: only what the
// page holds is kept, the rest reads as 0, and memory stays near the page's size.
TEST(DeclaredImageSize, HugeDeclarationOfASmallPageTakesNoMoreMemoryThanThePage) {
  BmpFile page = MakeBmp(
      38, -23, 8, [](UINT32 r, UINT32 b) -> BYTE { return static_cast<BYTE>(r * 5 + b); },
      GreyPalette());
  page.info.biSizeImage = 3986270065u;
  PROCESS_MEMORY_COUNTERS before = {};
  before.cb = sizeof(before);
  ASSERT_TRUE(GetProcessMemoryInfo(GetCurrentProcess(), &before, sizeof(before)));

  const AdjustOutcome outcome = RunAdjustImage(page.Bytes(), 200, 0);

  PROCESS_MEMORY_COUNTERS after = {};
  after.cb = sizeof(after);
  ASSERT_TRUE(GetProcessMemoryInfo(GetCurrentProcess(), &after, sizeof(after)));
  ASSERT_EQ(outcome.hr, S_OK);
  // Rows lie at their padded length whatever biSizeImage says: the page
  // holds every one of them.
  ASSERT_EQ(outcome.output.size(), 1078u + 23 * 40);
  for (size_t row = 0; row < 23; ++row) {
    for (size_t j = 0; j < 38; ++j) {
      const int adjusted = page.pixels[row * 40 + j] * 1200 / 1000;
      ASSERT_EQ(outcome.output[1078 + row * 40 + j], adjusted > 255 ? 255 : adjusted) << row;
    }
  }
  EXPECT_LT(after.PeakWorkingSetSize - before.PeakWorkingSetSize, SIZE_T(64) << 20);
}
