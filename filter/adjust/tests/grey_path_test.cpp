// The 8-bit path end to end: AdjustImage on real HGLOBAL streams, the grey
// writer's file layout, and failing streams.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "adjust.h"
#include "adjust_gdiplus.h"
#include "adjust_internal.h"
#include "bmp_output.h"
#include "bmp_test_support.h"

using namespace bmptest;

namespace {

constexpr ULONG64 kUntouched = kUntouchedCount;

// A driver's 8-bit page (negative height: stored top-down): image row y,
// counted from the top, column j holds valueAt(y, j) whatever the storage
// order; padding bytes hold 0xEE so that copying them would show.
BmpFile GreyPage(LONG width, LONG height, BYTE (*valueAt)(UINT32, UINT32),
                 std::vector<RGBQUAD> table = GreyPalette()) {
  const UINT32 rows = static_cast<UINT32>(height < 0 ? -height : height);
  return MakeBmp(
      width, height, 8,
      [&](UINT32 r, UINT32 b) -> BYTE {
        const UINT32 y = height < 0 ? r : rows - 1 - r;
        return b < static_cast<UINT32>(width) ? valueAt(y, b) : 0xEE;
      },
      std::move(table));
}

BYTE Ramp(UINT32 r, UINT32 j) { return static_cast<BYTE>((r * 7 + j * 3) % 200); }

// A level as brightness +1000 with contrast 0 leaves it: doubled and clipped.
BYTE Doubled(BYTE level) { return static_cast<BYTE>(level > 127 ? 255 : 2 * level); }

// The grey file the writer must produce, built field by field: `rows` holds
// the output rows (rowBytes each), in file order.
std::vector<BYTE> ExpectedGreyFile(const BITMAPINFOHEADER& in, LONG width, LONG height,
                                   const std::vector<BYTE>& rows) {
  const DWORD imageBytes = static_cast<DWORD>(rows.size());
  std::vector<BYTE> f;
  Put16(f, 0x4D42);
  Put32(f, 1078 + imageBytes);
  Put16(f, 0);
  Put16(f, 0);
  Put32(f, 1078);
  Put32(f, 40);
  Put32(f, static_cast<DWORD>(width));
  Put32(f, static_cast<DWORD>(-height));
  Put16(f, in.biPlanes);
  Put16(f, in.biBitCount);
  Put32(f, in.biCompression);
  Put32(f, imageBytes);
  Put32(f, static_cast<DWORD>(in.biXPelsPerMeter));
  Put32(f, static_cast<DWORD>(in.biYPelsPerMeter));
  Put32(f, 256);
  Put32(f, in.biClrImportant);
  for (int i = 0; i < 256; ++i) f.insert(f.end(), {BYTE(i), BYTE(i), BYTE(i), 0});
  f.insert(f.end(), rows.begin(), rows.end());
  return f;
}

// Output rows of a whole-image adjustment with brightness +1000, contrast 0:
// every level doubled and clipped, whatever the mean; the image's top row
// first, whatever the page's storage order.
std::vector<BYTE> DoubledRows(const BmpFile& page) {
  const LONG width = page.info.biWidth;
  const bool bottomUp = page.info.biHeight > 0;
  const UINT32 rows =
      static_cast<UINT32>(page.info.biHeight < 0 ? -page.info.biHeight : page.info.biHeight);
  const UINT32 inStride = BmpStride(width, 8);
  const UINT32 outStride = (static_cast<UINT32>(width) + 3) & ~3u;
  std::vector<BYTE> out(static_cast<size_t>(outStride) * rows, 0);
  for (UINT32 r = 0; r < rows; ++r) {
    const UINT32 stored = bottomUp ? rows - 1 - r : r;
    for (LONG j = 0; j < width; ++j) {
      const int v = 2 * page.pixels[stored * inStride + j];
      out[r * outStride + j] = static_cast<BYTE>(v > 255 ? 255 : v);
    }
  }
  return out;
}

TEST(GreyPath, Page100x50IsTheExactFile) {
  const BmpFile page = GreyPage(100, 50, Ramp);
  const AdjustOutcome run = RunAdjustImage(page.Bytes(), 1000, 0);
  ASSERT_EQ(run.hr, S_OK);
  EXPECT_EQ(run.byteCount, 6078u);
  ASSERT_EQ(run.output.size(), 6078u);
  EXPECT_EQ(run.output, ExpectedGreyFile(page.info, 100, 50, DoubledRows(page)));
}

TEST(GreyPath, Page101x50HasRowsOf104BytesWithZeroPadding) {
  const BmpFile page = GreyPage(101, 50, Ramp);
  const AdjustOutcome run = RunAdjustImage(page.Bytes(), 1000, 0);
  ASSERT_EQ(run.hr, S_OK);
  EXPECT_EQ(run.byteCount, 6278u);
  EXPECT_EQ(I32At(run.output, 34), 5200);
  EXPECT_EQ(run.output, ExpectedGreyFile(page.info, 101, 50, DoubledRows(page)));
}

TEST(GreyPath, BottomUpAndTopDownPagesComeOutUprightInATopDownFile) {
  // The same image stored both ways: output row r is image row r from the
  // top, also for a crop, whose top counts from the image's top.
  for (LONG height : {50, -50}) {
    const BmpFile page = GreyPage(100, height, Ramp);
    std::vector<BYTE> whole(100 * 50), crop(20 * 10);
    for (UINT32 r = 0; r < 50; ++r) {
      for (UINT32 j = 0; j < 100; ++j) whole[r * 100 + j] = Doubled(Ramp(r, j));
    }
    for (UINT32 r = 0; r < 10; ++r) {
      for (UINT32 j = 0; j < 20; ++j) crop[r * 20 + j] = Doubled(Ramp(5 + r, 10 + j));
    }
    const AdjustOutcome run = RunAdjustImage(page.Bytes(), 1000, 0);
    ASSERT_EQ(run.hr, S_OK);
    EXPECT_EQ(I32At(run.output, 22), -50) << height;
    EXPECT_EQ(run.output, ExpectedGreyFile(page.info, 100, 50, whole)) << height;
    const AdjustOutcome cropped = RunAdjustImage(page.Bytes(), 1000, 0, 10, 5, 20, 10);
    ASSERT_EQ(cropped.hr, S_OK);
    EXPECT_EQ(cropped.output, ExpectedGreyFile(page.info, 20, 10, crop)) << height;
  }
}

TEST(GreyPath, ColouredInputPaletteIsReplacedByGreyAndLevelsKept) {
  BmpFile page = GreyPage(8, 2, Ramp);
  for (RGBQUAD& q : page.palette) q = RGBQUAD{0, 0, 255, 0};  // all red
  page.info.biClrImportant = 17;
  const AdjustOutcome run =
      RunAdjustImage(page.Bytes(), -999, 0);  // table: n / 1000 -> 0 for every level
  ASSERT_EQ(run.hr, S_OK);
  const std::vector<BYTE> zeros(16, 0);
  EXPECT_EQ(run.output, ExpectedGreyFile(page.info, 8, 2, zeros));
}

TEST(GreyPath, ContrastMinus1000GivesTheTruncatedMeanEverywhere) {
  // Levels 127, 128, 128, 127, 128: mean 127.6.
  const BYTE levels[5] = {127, 128, 128, 127, 128};
  BmpFile page = MakeBmp(
      5, 1, 8, [&](UINT32, UINT32 b) -> BYTE { return b < 5 ? levels[b] : 0; }, GreyPalette());
  const AdjustOutcome run = RunAdjustImage(page.Bytes(), 0, -1000);
  ASSERT_EQ(run.hr, S_OK);
  const std::vector<BYTE> row = {127, 127, 127, 127, 127, 0, 0, 0};
  EXPECT_EQ(run.output, ExpectedGreyFile(page.info, 5, 1, row));
}

TEST(GreyPath, WritesFromPositionZeroAndLeavesTheDestinationsTailAlone) {
  const BmpFile page = GreyPage(4, 2, Ramp);
  ComRef<IStream> working = StreamOf(page.Bytes());
  ComRef<IStream> destination = StreamOf(std::vector<BYTE>(2000, 0xCD));
  LARGE_INTEGER at;
  at.QuadPart = 1500;
  destination->Seek(at, STREAM_SEEK_SET, nullptr);
  ULONG64 count = kUntouched;
  ASSERT_EQ(AdjustImage(1000, 0, working.get(), destination.get(), &count, 0, 0, 0, 0), S_OK);
  EXPECT_EQ(count, 1086u);
  const std::vector<BYTE> out = StreamBytes(destination.get());
  ASSERT_EQ(out.size(), 2000u);
  EXPECT_EQ(std::vector<BYTE>(out.begin(), out.begin() + 1086),
            ExpectedGreyFile(page.info, 4, 2, DoubledRows(page)));
  EXPECT_EQ(std::vector<BYTE>(out.begin() + 1086, out.end()), std::vector<BYTE>(914, 0xCD));
}

TEST(GreyPath, BiSizeImageZeroUsesRowsPaddedToFourBytes) {
  BmpFile page = GreyPage(101, 7, Ramp);
  const AdjustOutcome filled = RunAdjustImage(page.Bytes(), 1000, 0);
  page.info.biSizeImage = 0;
  const AdjustOutcome zero = RunAdjustImage(page.Bytes(), 1000, 0);
  ASSERT_EQ(zero.hr, S_OK);
  EXPECT_EQ(zero.output, filled.output);
  EXPECT_EQ(zero.byteCount, filled.byteCount);
}

TEST(GreyPath, LargerInfoHeaderIsReadAndTheOutputDeclaresForty) {
  BmpFile page = GreyPage(8, 4, Ramp);
  const AdjustOutcome plain = RunAdjustImage(page.Bytes(), 1000, 0);
  page.info.biSize = 124;
  page.extraHeader.assign(124 - 40, 0);
  const AdjustOutcome large = RunAdjustImage(page.Bytes(), 1000, 0);
  ASSERT_EQ(large.hr, S_OK);
  EXPECT_EQ(U32At(large.output, 14), 40u);
  EXPECT_EQ(large.output, plain.output);
}

TEST(GreyPath, CropIsClippedInSizeAndTakenFromItsOrigin) {
  // (10, 10, 5000, 5000) on 100 x 50 gives the rectangle (10, 10, 110, 60):
  // output pixel (j, r) is image pixel (10 + j, 10 + r), 0 beyond the image.
  const BmpFile page = GreyPage(100, 50, Ramp);
  const AdjustOutcome run = RunAdjustImage(page.Bytes(), 1000, 0, 10, 10, 5000, 5000);
  ASSERT_EQ(run.hr, S_OK);
  std::vector<BYTE> rows(100 * 50, 0);
  for (UINT32 r = 0; r + 10 < 50; ++r) {
    for (UINT32 j = 0; j + 10 < 100; ++j) {
      const int v = 2 * Ramp(r + 10, j + 10);
      rows[r * 100 + j] = static_cast<BYTE>(v > 255 ? 255 : v);
    }
  }
  EXPECT_EQ(run.output, ExpectedGreyFile(page.info, 100, 50, rows));
}

TEST(GreyPath, CropWithNegativeOriginLeavesTheUncoveredPartBlack) {
  const BmpFile page = GreyPage(4, 2, Ramp);
  const AdjustOutcome run = RunAdjustImage(page.Bytes(), 1000, 0, -2, -1, 4, 2);
  ASSERT_EQ(run.hr, S_OK);
  // Rectangle (-2, -1, 2, 1): only the image's top row, columns 0 and 1, are inside.
  const std::vector<BYTE> rows = {0, 0, 0, 0, 0, 0, BYTE(2 * Ramp(0, 0)), BYTE(2 * Ramp(0, 1))};
  EXPECT_EQ(run.output, ExpectedGreyFile(page.info, 4, 2, rows));
}

TEST(GreyPath, ZeroWidthOrHeightMeansTheWholeImageWhateverTheOrigin) {
  const BmpFile page = GreyPage(10, 6, Ramp);
  const AdjustOutcome whole = RunAdjustImage(page.Bytes(), 1000, 0);
  EXPECT_EQ(RunAdjustImage(page.Bytes(), 1000, 0, 3, 4, 0, 2).output, whole.output);
  EXPECT_EQ(RunAdjustImage(page.Bytes(), 1000, 0, 3, 4, 5, 0).output, whole.output);
}

// 8-bit pages read as the platform reads them: GDI+ decodes each page, and
// at brightness and contrast 0 (levels unchanged) every output pixel is the
// grey of the colour GDI+ gives it, weighted 299, 587, 114 per 1000 and
// rounded. Values beyond a short table are black: GDI+ leaves their colour
// undefined (Wine's decoder reads past its table). A page with no room for a table
// keeps its values as levels, where GDI+ makes up a palette of its own.
struct PlatformCase {
  std::string name;
  BmpFile page;
  UINT32 entries;  // values below this have a colour table entry
  bool tableless;
};

void PrintTo(const PlatformCase& c, std::ostream* os) { *os << c.name; }

BYTE WeightedGrey(BYTE red, BYTE green, BYTE blue) {
  return static_cast<BYTE>((299 * red + 587 * green + 114 * blue + 500) / 1000);
}

std::vector<RGBQUAD> TableOf(UINT32 count, RGBQUAD (*entry)(UINT32)) {
  std::vector<RGBQUAD> table;
  for (UINT32 i = 0; i < count; ++i) table.push_back(entry(i));
  return table;
}

std::vector<PlatformCase> PlatformCases() {
  auto inverted = [](UINT32 i) {
    const BYTE v = static_cast<BYTE>(255 - i);
    return RGBQUAD{v, v, v, 0};
  };
  auto steps = [](UINT32 i) {
    const BYTE v = static_cast<BYTE>(17 * i);
    return RGBQUAD{v, v, v, 0};
  };
  auto colours = [](UINT32 i) {
    return RGBQUAD{static_cast<BYTE>(i * 37), static_cast<BYTE>(i * 91 + 5),
                   static_cast<BYTE>(i * 53 + 200), static_cast<BYTE>(i)};
  };
  auto ascending = [](UINT32 i) { return RGBQUAD{BYTE(i), BYTE(i), BYTE(i), 0}; };
  auto any = [](UINT32 y, UINT32 x) { return static_cast<BYTE>(x * 7 + y * 11); };
  auto sixteen = [](UINT32 y, UINT32 x) { return static_cast<BYTE>((x + 3 * y) % 16); };
  auto ten = [](UINT32 y, UINT32 x) { return static_cast<BYTE>((x + y) % 10); };

  std::vector<PlatformCase> cases;
  cases.push_back({"InvertedGrey", GreyPage(37, 23, any, TableOf(256, inverted)), 256, false});
  cases.push_back({"SixteenStepsOf17", GreyPage(21, -9, sixteen, TableOf(16, steps)), 16, false});
  cases.push_back({"Colours", GreyPage(13, 7, any, TableOf(256, colours)), 256, false});
  cases.push_back({"FiveColoursValuesToNine", GreyPage(10, 6, ten, TableOf(5, colours)), 5, false});
  {
    BmpFile page = GreyPage(37, 23, any, TableOf(256, ascending));
    page.info.biSizeImage = 37 * 23;  // the pixels without their row padding
    cases.push_back({"SizeImageWithoutPadding", page, 256, false});
  }
  {
    BmpFile page = GreyPage(38, 5, any, TableOf(256, inverted));
    page.info.biSizeImage += 4000;
    cases.push_back({"SizeImageBeyondThePixels", page, 256, false});
  }
  {
    BmpFile page = GreyPage(23, -4, sixteen, TableOf(16, steps));
    page.info.biSizeImage = 0;
    cases.push_back({"SizeImageZero", page, 16, false});
  }
  {
    BmpFile page = GreyPage(9, 4, any, TableOf(300, inverted));
    page.info.biClrUsed = 300;  // only 256 count
    cases.push_back({"MoreEntriesThanValues", page, 256, false});
  }
  cases.push_back({"NoTable", GreyPage(15, 3, any, {}), 0, true});
  return cases;
}

class GreyPathAgainstGdiplus : public ::testing::TestWithParam<PlatformCase> {
 protected:
  void SetUp() override {
    Gdiplus::GdiplusStartupInput input;
    ASSERT_EQ(Gdiplus::GdiplusStartup(&token_, &input, nullptr), Gdiplus::Ok);
  }
  void TearDown() override { Gdiplus::GdiplusShutdown(token_); }

  // The colour of every pixel as GDI+ decodes the page, top row first.
  std::vector<Gdiplus::ARGB> Decode(const std::vector<BYTE>& bytes, UINT width, UINT height) {
    ComRef<IStream> stream = StreamOf(bytes);
    Gdiplus::Bitmap bitmap(stream.get(), FALSE);
    if (bitmap.GetLastStatus() != Gdiplus::Ok) return {};
    if (bitmap.GetWidth() != width || bitmap.GetHeight() != height) return {};
    std::vector<Gdiplus::ARGB> pixels(static_cast<size_t>(width) * height);
    Gdiplus::BitmapData data = {};
    data.Width = width;
    data.Height = height;
    data.Stride = static_cast<INT>(width * 4);
    data.PixelFormat = PixelFormat32bppARGB;
    data.Scan0 = pixels.data();
    Gdiplus::Rect all(0, 0, static_cast<INT>(width), static_cast<INT>(height));
    if (bitmap.LockBits(&all, Gdiplus::ImageLockModeRead | Gdiplus::ImageLockModeUserInputBuf,
                        PixelFormat32bppARGB, &data) != Gdiplus::Ok) {
      return {};
    }
    bitmap.UnlockBits(&data);
    return pixels;
  }

 private:
  ULONG_PTR token_ = 0;
};

TEST_P(GreyPathAgainstGdiplus, EveryPixelIsTheGreyOfItsDecodedColour) {
  const PlatformCase& c = GetParam();
  const std::vector<BYTE> bytes = c.page.Bytes();
  const UINT width = static_cast<UINT>(c.page.info.biWidth);
  const UINT height =
      static_cast<UINT>(c.page.info.biHeight < 0 ? -c.page.info.biHeight : c.page.info.biHeight);
  const std::vector<Gdiplus::ARGB> decoded = Decode(bytes, width, height);
  ASSERT_EQ(decoded.size(), static_cast<size_t>(width) * height) << "GDI+ could not decode it";

  const AdjustOutcome run = RunAdjustImage(bytes, 0, 0);
  ASSERT_EQ(run.hr, S_OK);
  const UINT outStride = (width + 3) & ~3u;
  ASSERT_EQ(run.output.size(), 1078u + outStride * height);
  const UINT inStride = BmpStride(static_cast<LONG>(width), 8);
  const bool bottomUp = c.page.info.biHeight > 0;
  for (UINT y = 0; y < height; ++y) {
    for (UINT x = 0; x < width; ++x) {
      const BYTE value = c.page.pixels[(bottomUp ? height - 1 - y : y) * inStride + x];
      const Gdiplus::ARGB colour = decoded[y * width + x];
      const BYTE expected = c.tableless ? value
                            : value < c.entries
                                ? WeightedGrey(BYTE(colour >> 16), BYTE(colour >> 8), BYTE(colour))
                                : 0;
      ASSERT_EQ(run.output[1078 + y * outStride + x], expected)
          << "pixel (" << x << ", " << y << ") value " << int(value);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Pages, GreyPathAgainstGdiplus, ::testing::ValuesIn(PlatformCases()),
                         [](const ::testing::TestParamInfo<PlatformCase>& info) {
                           return info.param.name;
                         });

// The one writer of both paths on its own: headers, colour table and the
// rows in the order pushed, each write with the write policy, the count what
// the stream took. In a row of the table, write k of (file header, info
// header, colour table, row 0, row 1) fails, or the seek to 0 (k = -1); a
// file of 4 GB or more (k = -2) is refused before anything is written.
TEST(BmpOutputTest, WritesHeadersTableAndRowsAsPushedAndCountsWhatArrived) {
  const BITMAPINFOHEADER info = {40, 3, -2, 1, 8, BI_RGB, 0, 3780, 3780, 256, 0};
  const std::vector<BYTE> grey = {1, 2, 3, 0, 4, 5, 6, 0};
  const std::vector<BYTE> file = ExpectedGreyFile(info, 3, 2, grey);
  RGBQUAD palette[256];
  for (int i = 0; i < 256; ++i) palette[i] = RGBQUAD{BYTE(i), BYTE(i), BYTE(i), 0};
  const size_t sizes[] = {14, 40, 1024, 4, 4};
  for (int k : {0, 1, 2, 3, 4, 5, -1, -2}) {
    ComRef<FaultStream> destination = FaultStream::Create();
    if (k > 0) destination->Fail(StreamCall::Write, k, STG_E_MEDIUMFULL);
    if (k == -1) destination->Fail(StreamCall::Seek, 1, E_ACCESSDENIED);
    BITMAPINFOHEADER header = info;
    if (k == -2) header.biWidth = header.biHeight = 70000;
    ULONG64 count = kUntouched;
    HRESULT hr;
    {
      BmpOutput out(destination.get(), &count);
      hr = out.Start(&header, palette);
      if (SUCCEEDED(hr)) hr = out.Push(grey.data(), 2, 4);
    }
    const HRESULT expected[] = {HRESULT_FROM_WIN32(ERROR_ARITHMETIC_OVERFLOW), E_ACCESSDENIED,
                                S_OK};
    EXPECT_EQ(hr, k > 0 ? STG_E_MEDIUMFULL : expected[k + 2]) << k;
    size_t written = 0;
    for (int w = 1; w < (k > 0 ? k : k == 0 ? 6 : 1); ++w) written += sizes[w - 1];
    EXPECT_EQ(count, k == -2 ? kUntouched : written) << k;
    EXPECT_EQ(destination->Calls(StreamCall::Write), k > 0 ? k : k == 0 ? 5 : 0) << k;
    EXPECT_EQ(destination->Contents(), std::vector<BYTE>(file.begin(), file.begin() + written))
        << k;
  }
}

// Failing working stream: the failing call's code comes back unchanged and
// the destination is never touched.
struct WorkingFailure {
  StreamCall call;
  int k;
};

class GreyPathFailingWorking : public ::testing::TestWithParam<WorkingFailure> {};

TEST_P(GreyPathFailingWorking, ReturnsTheStreamsCodeAndTouchesNothing) {
  const BmpFile page = GreyPage(16, 4, Ramp);
  const HRESULT failure = STG_E_READFAULT;
  ComRef<FaultStream> working =
      MakeFailingStream(GetParam().call, GetParam().k, failure, page.Bytes());
  ComRef<IStream> destination = StreamOf({9, 9, 9});
  ULONG64 count = kUntouched;
  EXPECT_EQ(AdjustImage(1000, 0, working.get(), destination.get(), &count, 0, 0, 0, 0), failure);
  EXPECT_EQ(count, kUntouched);
  EXPECT_EQ(StreamBytes(destination.get()), (std::vector<BYTE>{9, 9, 9}));
}

// Stat: the page's size. Seeks: file start, colour table, pixel data.
// Reads: file header, info header, colour table, pixel data.
INSTANTIATE_TEST_SUITE_P(
    EachCall, GreyPathFailingWorking,
    ::testing::Values(WorkingFailure{StreamCall::Stat, 1}, WorkingFailure{StreamCall::Seek, 1},
                      WorkingFailure{StreamCall::Seek, 2}, WorkingFailure{StreamCall::Seek, 3},
                      WorkingFailure{StreamCall::Read, 1}, WorkingFailure{StreamCall::Read, 2},
                      WorkingFailure{StreamCall::Read, 3}, WorkingFailure{StreamCall::Read, 4}));

// A write failing part-way: its code, and the count of what arrived. The
// stream, grown for the file, is set back to what it would hold without the
// growth: the larger of its old content and what arrived (an older, longer
// file keeps its tail), and a stream whose SetSize moves its position still
// gets the file from position 0.
TEST(GreyPath, FailingDestinationWriteGivesItsCodeAndCountsWhatArrived) {
  const size_t arrived = 14u + 40 + 1024 + 16 * 100;
  for (size_t old : {size_t(0), size_t(1000), size_t(3000)}) {
    ComRef<FaultStream> destination = FaultStream::Create(std::vector<BYTE>(old, 0xAB));
    destination->Fail(StreamCall::Write, 20, STG_E_WRITEFAULT);
    destination->MoveOnSetSize();
    const BmpFile page = GreyPage(100, 50, Ramp);
    const AdjustOutcome outcome = RunAdjustImageInto(destination.get(), page.Bytes(), 1000, 0);
    EXPECT_EQ(outcome.hr, STG_E_WRITEFAULT);
    EXPECT_EQ(outcome.byteCount, arrived);
    const std::vector<BYTE> file = ExpectedGreyFile(page.info, 100, 50, DoubledRows(page));
    ASSERT_EQ(outcome.output.size(), std::max(old, arrived)) << old;
    EXPECT_TRUE(std::equal(file.begin(), file.begin() + arrived, outcome.output.begin())) << old;
    EXPECT_EQ(std::vector<BYTE>(outcome.output.begin() + arrived, outcome.output.end()),
              std::vector<BYTE>(outcome.output.size() - arrived, 0xAB))
        << old;
  }
}

}  // namespace
