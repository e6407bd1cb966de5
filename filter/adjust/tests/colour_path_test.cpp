// The colour-matrix path and the bitmap writer with real GDI+.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "adjust.h"
#include "adjust_gdiplus.h"
#include "bmp_test_support.h"

using namespace bmptest;

namespace {

constexpr ULONG64 kUntouched = kUntouchedCount;

// Channel value of image pixel (x, y) (y from the top), channel 0..2 = B, G, R.
BYTE Channel(UINT32 x, UINT32 y, UINT32 channel) {
  switch (channel) {
    case 0: return static_cast<BYTE>((x * 5 + y) % 256);
    case 1: return static_cast<BYTE>((x * 3 + y * 11 + 40) % 256);
    default: return static_cast<BYTE>((255 - x * 2 - y * 3) & 0xFF);
  }
}

// A colour page; image row y is stored at row y (top-down) or height-1-y.
BmpFile ColourPage(LONG width, LONG height, WORD bitCount) {
  const UINT32 rows = static_cast<UINT32>(height < 0 ? -height : height);
  const UINT32 bytesPerPixel = bitCount / 8;
  return MakeBmp(width, height, bitCount, [=](UINT32 r, UINT32 b) -> BYTE {
    const UINT32 x = b / bytesPerPixel;
    const UINT32 channel = b % bytesPerPixel;
    if (x >= static_cast<UINT32>(width)) return 0;
    if (channel == 3) return 0;
    const UINT32 y = height < 0 ? r : rows - 1 - r;
    return Channel(x, y, channel);
  });
}

// round(255 x clamp(S x c / 255 + O)).
int ExpectedChannel(const Gdiplus::ColorMatrix& m, BYTE c) {
  double v = static_cast<double>(m.m[0][0]) * c / 255.0 + m.m[4][0];
  if (v < 0.0) v = 0.0;
  if (v > 1.0) v = 1.0;
  return static_cast<int>(std::floor(255.0 * v + 0.5));
}

// GDI+ for tests that use wrappers themselves.
class WithGdiplus : public ::testing::Test {
 protected:
  void SetUp() override {
    Gdiplus::GdiplusStartupInput input;
    ASSERT_EQ(Gdiplus::GdiplusStartup(&token_, &input, nullptr), Gdiplus::Ok);
  }
  void TearDown() override { Gdiplus::GdiplusShutdown(token_); }

  Gdiplus::PixelFormat DecodedFormat(const std::vector<BYTE>& bytes) {
    ComRef<IStream> stream = StreamOf(bytes);
    Gdiplus::Bitmap bitmap(stream.get(), FALSE);
    if (bitmap.GetLastStatus() != Gdiplus::Ok) return PixelFormatUndefined;
    return bitmap.GetPixelFormat();
  }

 private:
  ULONG_PTR token_ = 0;
};

struct Settings {
  LONG brightness;
  LONG contrast;
};

struct ColourCase {
  WORD bitCount;
  LONG height;  // negative: top-down input
  Settings settings;
};

class ColourPath : public WithGdiplus, public ::testing::WithParamInterface<ColourCase> {};

TEST_P(ColourPath, EveryChannelFollowsTheMatrixAndTheFormatIsKept) {
  const ColourCase& c = GetParam();
  const LONG width = 37;  // rows with padding at 24 bits
  const UINT32 rows = static_cast<UINT32>(c.height < 0 ? -c.height : c.height);
  const BmpFile page = ColourPage(width, c.height, c.bitCount);
  const AdjustOutcome run =
      RunAdjustImage(page.Bytes(), c.settings.brightness, c.settings.contrast);
  ASSERT_EQ(run.hr, S_OK);

  const UINT32 bytesPerPixel = c.bitCount / 8;
  const UINT32 stride = BmpStride(width, c.bitCount);
  const ParsedBmp out(run.output);
  ASSERT_TRUE(out.Valid());
  EXPECT_EQ(run.byteCount, run.output.size());
  EXPECT_EQ(out.file.bfOffBits, 54u);
  EXPECT_EQ(out.file.bfSize, 54u + stride * rows);
  EXPECT_EQ(out.info.biBitCount, c.bitCount);
  EXPECT_EQ(out.info.biWidth, width);
  EXPECT_EQ(out.info.biHeight, static_cast<LONG>(rows));
  EXPECT_EQ(out.info.biSizeImage, stride * rows);
  EXPECT_EQ(DecodedFormat(run.output), DecodedFormat(page.Bytes()));

  const Gdiplus::ColorMatrix m = BuildColourMatrix(c.settings.brightness, c.settings.contrast);
  int worst = 0;
  for (UINT32 k = 0; k < rows; ++k) {
    const UINT32 y = rows - 1 - k;  // the file is bottom-up
    for (UINT32 x = 0; x < static_cast<UINT32>(width); ++x) {
      for (UINT32 ch = 0; ch < 3; ++ch) {
        const int got = out.Pixel(stride, k, x * bytesPerPixel + ch);
        const int diff = std::abs(got - ExpectedChannel(m, Channel(x, y, ch)));
        if (diff > worst) worst = diff;
        ASSERT_LE(diff, 1) << "x " << x << " y " << y << " channel " << ch;
      }
    }
  }
  RecordProperty("worst", worst);
}

std::vector<ColourCase> ColourCases() {
  const Settings settings[] = {{1000, 0},   {-1000, 0},  {0, 500},   {0, -500},
                               {300, -200}, {-250, 700}, {200, 300}, {0, -1000}};
  std::vector<ColourCase> cases;
  for (const Settings& s : settings) {
    cases.push_back({24, 20, s});
    cases.push_back({32, 20, s});
  }
  cases.push_back({24, -20, {1000, 0}});
  cases.push_back({32, -20, {300, -200}});
  return cases;
}

std::string ColourCaseName(const ::testing::TestParamInfo<ColourCase>& info) {
  const ColourCase& c = info.param;
  auto number = [](LONG v) { return (v < 0 ? "Minus" : "") + std::to_string(v < 0 ? -v : v); };
  return "Bits" + std::to_string(c.bitCount) + (c.height < 0 ? "TopDown" : "BottomUp") +
         "Brightness" + number(c.settings.brightness) + "Contrast" + number(c.settings.contrast);
}

INSTANTIATE_TEST_SUITE_P(Pages, ColourPath, ::testing::ValuesIn(ColourCases()), ColourCaseName);

TEST(ColourPathLayout, Page100x50IsBottomUpWithTheDeclaredSizes) {
  const BmpFile page = ColourPage(100, 50, 24);
  const AdjustOutcome run = RunAdjustImage(page.Bytes(), 1000, 0);
  ASSERT_EQ(run.hr, S_OK);
  EXPECT_EQ(run.byteCount, 15054u);
  ASSERT_EQ(run.output.size(), 15054u);
  EXPECT_EQ(U16At(run.output, 0), 0x4D42);
  EXPECT_EQ(U32At(run.output, 2), 15054u);
  EXPECT_EQ(U32At(run.output, 10), 54u);
  EXPECT_EQ(U32At(run.output, 34), 15000u);
  EXPECT_EQ(I32At(run.output, 22), 50);
  // 300 dpi in, 11811 pels per metre out.
  EXPECT_EQ(I32At(run.output, 38), 11811);
  EXPECT_EQ(I32At(run.output, 42), 11811);
  // First stored row is the image's bottom row (y = 49); brightness +1000
  // adds half of full scale.
  const Gdiplus::ColorMatrix m = BuildColourMatrix(1000, 0);
  EXPECT_NEAR(run.output[54], ExpectedChannel(m, Channel(0, 49, 0)), 1);
  EXPECT_NEAR(run.output[54 + 49 * 300], ExpectedChannel(m, Channel(0, 0, 0)), 1);
}

TEST(ColourPathLayout, LargerInfoHeaderIsDecodedAndTheOutputDeclaresForty) {
  BmpFile page = ColourPage(12, 5, 24);
  const AdjustOutcome plain = RunAdjustImage(page.Bytes(), 300, -200);
  page.info.biSize = 124;
  page.extraHeader.assign(124 - 40, 0);
  const AdjustOutcome large = RunAdjustImage(page.Bytes(), 300, -200);
  ASSERT_EQ(large.hr, S_OK);
  EXPECT_EQ(U32At(large.output, 14), 40u);
  EXPECT_EQ(U32At(large.output, 10), 54u);
  EXPECT_EQ(large.output, plain.output);
}

TEST(ColourPathLayout, CropShowsTheSourceFromItsOrigin) {
  const BmpFile page = ColourPage(40, 30, 24);
  const AdjustOutcome run = RunAdjustImage(page.Bytes(), 1000, 0, 10, 5, 5000, 5000);
  ASSERT_EQ(run.hr, S_OK);
  const ParsedBmp out(run.output);
  EXPECT_EQ(out.info.biWidth, 40);
  EXPECT_EQ(out.info.biHeight, 30);
  const Gdiplus::ColorMatrix m = BuildColourMatrix(1000, 0);
  const UINT32 stride = 120;
  for (UINT32 y = 0; y < 30; ++y) {
    const UINT32 k = 29 - y;
    for (UINT32 x = 0; x < 40; ++x) {
      const int got = out.Pixel(stride, k, x * 3 + 2);
      if (x + 10 < 40 && y + 5 < 30) {
        ASSERT_NEAR(got, ExpectedChannel(m, Channel(x + 10, y + 5, 2)), 1) << x << "," << y;
      } else {
        ASSERT_EQ(got, 0) << x << "," << y;  // nothing drawn there
      }
    }
  }
}

// 1-bit pages are written unchanged, with their own two colours.
const RGBQUAD kWhite = {255, 255, 255, 0};
const RGBQUAD kBlack = {0, 0, 0, 0};

BmpFile OneBitPage(LONG width, LONG height, DWORD colours,
                   const std::vector<RGBQUAD>& table = {kWhite, kBlack}) {
  BmpFile page = MakeBmp(
      width, height, 1,
      [=](UINT32 r, UINT32 b) -> BYTE {
        return b < static_cast<UINT32>(width + 7) / 8 ? static_cast<BYTE>(r * 37 + b * 11) : 0;
      },
      table);
  page.info.biClrUsed = colours;
  page.info.biXPelsPerMeter = 1234;
  page.info.biYPelsPerMeter = 4321;
  return page;
}

bool SameColour(const RGBQUAD& a, const RGBQUAD& b) {
  return a.rgbBlue == b.rgbBlue && a.rgbGreen == b.rgbGreen && a.rgbRed == b.rgbRed &&
         a.rgbReserved == b.rgbReserved;
}

class OneBitPath : public ::testing::TestWithParam<LONG> {};

TEST_P(OneBitPath, PixelsAndColoursUnchangedResolutionKept) {
  const LONG width = GetParam();
  const UINT32 stride = BmpStride(width, 1);
  // White, black (common for bilevel scans), black, white, and two colours.
  const std::vector<std::vector<RGBQUAD>> tables = {
      {kWhite, kBlack}, {kBlack, kWhite}, {RGBQUAD{0, 0, 128, 0}, RGBQUAD{200, 220, 240, 0}}};
  for (const std::vector<RGBQUAD>& table : tables) {
    const BmpFile page = OneBitPage(width, 20, 2, table);
    const AdjustOutcome run = RunAdjustImage(page.Bytes(), 500, 500);
    ASSERT_EQ(run.hr, S_OK);
    const ParsedBmp out(run.output);
    EXPECT_EQ(out.file.bfOffBits, 62u);
    EXPECT_EQ(out.file.bfSize, 62u + stride * 20);
    EXPECT_EQ(run.byteCount, 62u + stride * 20);
    EXPECT_EQ(out.info.biBitCount, 1);
    EXPECT_EQ(out.info.biWidth, width);
    EXPECT_EQ(out.info.biHeight, 20);
    EXPECT_EQ(out.info.biClrUsed, 2u);
    EXPECT_EQ(out.info.biXPelsPerMeter, 1234);
    EXPECT_EQ(out.info.biYPelsPerMeter, 4321);
    EXPECT_TRUE(SameColour(out.PaletteEntry(0), table[0]) &&
                SameColour(out.PaletteEntry(1), table[1]))
        << "the page's own colours are kept";
    // Every pixel bit is copied unchanged.
    ASSERT_EQ(run.output.size(), 62u + page.pixels.size());
    for (UINT32 r = 0; r < 20; ++r) {
      for (LONG x = 0; x < width; ++x) {
        const BYTE mask = static_cast<BYTE>(0x80 >> (x % 8));
        const size_t at = static_cast<size_t>(r) * stride + x / 8;
        ASSERT_EQ(run.output[62 + at] & mask, page.pixels[at] & mask) << "row " << r << " x " << x;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Widths, OneBitPath, ::testing::Values(96, 100, 7));

TEST(OneBitPage, ColourCountBelowTwoIsWrittenAsTwo) {
  // 0 declares the depth's two colours, the table's own; 1 declares fewer
  // than two, which gives black, white.
  for (DWORD colours : {0u, 1u}) {
    const BmpFile page = OneBitPage(96, 4, colours);
    const AdjustOutcome run = RunAdjustImage(page.Bytes(), 500, 0);
    ASSERT_EQ(run.hr, S_OK) << colours;
    const ParsedBmp out(run.output);
    EXPECT_EQ(out.info.biClrUsed, 2u);
    EXPECT_EQ(out.file.bfOffBits, 62u);
    EXPECT_TRUE(SameColour(out.PaletteEntry(0), colours == 0 ? kWhite : kBlack)) << colours;
    EXPECT_TRUE(SameColour(out.PaletteEntry(1), colours == 0 ? kBlack : kWhite)) << colours;
    EXPECT_EQ(std::vector<BYTE>(run.output.begin() + 62, run.output.end()), page.pixels);
  }
}

TEST(OneBitPage, WholeImageCropIsAcceptedAndARealCropRefused) {
  const BmpFile page = OneBitPage(96, 20, 2);
  EXPECT_EQ(RunAdjustImage(page.Bytes(), 500, 0, 0, 0, 5000, 5000).hr, S_OK);
  for (const RECT& r : {RECT{8, 0, 16, 20}, RECT{0, 0, 32, 10}, RECT{0, 2, 96, 20}}) {
    const AdjustOutcome run =
        RunAdjustImage(page.Bytes(), 500, 0, r.left, r.top, r.right, r.bottom);
    EXPECT_EQ(run.hr, E_INVALIDARG);
    EXPECT_EQ(run.byteCount, kUntouched);
    EXPECT_TRUE(run.output.empty());
  }
}

TEST(ColourPathFailures, UndecodablePageTouchesNothing) {
  BmpFile page = ColourPage(16, 4, 24);
  std::vector<BYTE> bytes = page.Bytes();
  bytes[0] = 'X';  // no longer a BMP file to GDI+
  bytes[1] = 'X';
  ComRef<IStream> destination = StreamOf({7, 7});
  const AdjustOutcome outcome = RunAdjustImageInto(destination.get(), bytes, 300, 300);
  EXPECT_TRUE(FAILED(outcome.hr)) << std::hex << outcome.hr;
  EXPECT_EQ(outcome.byteCount, kUntouched);
  EXPECT_EQ(outcome.output, (std::vector<BYTE>{7, 7}));
}

TEST(ColourPathFailures, DepthsWithAColourTableOtherThanOneBitAreRefused) {
  for (WORD bits : {WORD(2), WORD(4), WORD(7)}) {
    const BmpFile page = MakeBmp(
        16, 4, bits, [](UINT32, UINT32) -> BYTE { return 0x12; },
        std::vector<RGBQUAD>(bits == 7 ? 0 : (1u << bits), RGBQUAD{1, 2, 3, 0}));
    const AdjustOutcome outcome = RunAdjustImage(page.Bytes(), 300, 300);
    EXPECT_EQ(outcome.hr, HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED)) << bits;
    EXPECT_EQ(outcome.byteCount, kUntouched);
    EXPECT_TRUE(outcome.output.empty());
  }
}

TEST_F(WithGdiplus, SixteenBitPageKeepsItsFormat) {
  const BmpFile page =
      MakeBmp(20, 6, 16, [](UINT32 r, UINT32 b) -> BYTE { return static_cast<BYTE>(r * 40 + b); });
  const AdjustOutcome outcome = RunAdjustImage(page.Bytes(), 300, 300);
  ASSERT_EQ(outcome.hr, S_OK);
  const ParsedBmp out(outcome.output);
  EXPECT_EQ(out.info.biBitCount, 16);
  EXPECT_EQ(out.info.biSizeImage, 40u * 6);
  EXPECT_EQ(DecodedFormat(outcome.output), DecodedFormat(page.Bytes()));
  EXPECT_EQ(outcome.byteCount, outcome.output.size());
}

TEST(ColourPathFailures, FailingDestinationWriteGivesItsCodeAndCountsWhatArrived) {
  ComRef<FaultStream> destination = MakeFailingStream(StreamCall::Write, 10, STG_E_WRITEFAULT);
  const AdjustOutcome outcome =
      RunAdjustImageInto(destination.get(), ColourPage(100, 50, 24).Bytes(), 1000, 0);
  EXPECT_EQ(outcome.hr, STG_E_WRITEFAULT);
  EXPECT_EQ(outcome.byteCount, 54u + 6 * 300);
  EXPECT_EQ(outcome.output.size(), 54u + 6 * 300);
}

// The resolution the colour path writes, from the one GDI+ decoded.
class PelsPerMetreTest : public ::testing::TestWithParam<std::pair<double, LONG>> {};

TEST_P(PelsPerMetreTest, ComesFromTheResolution) {
  EXPECT_EQ(PelsPerMetre(GetParam().first), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(Dpi, PelsPerMetreTest,
                         ::testing::Values(std::make_pair(300.0, 11811L),
                                           std::make_pair(200.0, 7874L),
                                           std::make_pair(600.0, 23622L),
                                           std::make_pair(96.0, 3780L), std::make_pair(0.0, 0L),
                                           std::make_pair(-5.0, 0L), std::make_pair(1e12, 0L)));

// Bands against the whole page. The colour path draws a band of rows at a
// time; the whole-page path it replaced decoded the page with GDI+ and drew
// it into one bitmap of the crop's size. GDI+ applies the colour matrix pixel
// by pixel, so the rows must be the same to the byte whatever the bands:
// bands of one row, a page one row longer than a band, crops that start
// inside a band, both storage orders, every depth. The 8-bit path reads its
// rows in bands too; its whole-page reference takes the tone curve over the
// mean of the whole image.
struct BandCase {
  WORD bitCount;
  LONG height;      // negative: stored top-down
  UINT32 bandRows;  // rows a band holds
  LONG crop[4];     // left, top, width, height (0, 0, 0, 0: the whole page)
};

class BandedPath : public WithGdiplus, public ::testing::WithParamInterface<BandCase> {
 protected:
  // The pixel rows of the file the whole-page path writes.
  static std::vector<BYTE> WholePageRows(const BmpFile& page, const CropRect& crop) {
    const LONG width = crop.right - crop.left;
    const LONG height = crop.bottom - crop.top;
    std::vector<BYTE> rows;
    if (page.info.biBitCount == 8) {
      // Grey levels as stored (a grey palette), the mean of the whole image.
      const UINT32 stride = BmpStride(page.info.biWidth, 8);
      const LONG imageRows = page.info.biHeight < 0 ? -page.info.biHeight : page.info.biHeight;
      double sum = 0.0;
      for (LONG r = 0; r < imageRows; ++r) {
        for (LONG j = 0; j < page.info.biWidth; ++j) sum += page.pixels[r * stride + j];
      }
      BYTE table[256];
      const UINT32 count = static_cast<UINT32>(page.info.biWidth * imageRows);
      BuildToneTable(static_cast<float>(sum / static_cast<double>(static_cast<float>(count))),
                     kBrightness, kContrast, table);
      const UINT32 outStride = (static_cast<UINT32>(width) + 3) & ~3u;
      for (LONG r = 0; r < height; ++r) {
        std::vector<BYTE> row(outStride, 0);
        const LONG y = crop.top + r;
        for (LONG j = 0; j < width && y >= 0 && y < imageRows; ++j) {
          const LONG x = crop.left + j;
          if (x < 0 || x >= page.info.biWidth) continue;
          const LONG stored = page.info.biHeight < 0 ? y : imageRows - 1 - y;
          row[j] = table[page.pixels[stored * stride + x]];
        }
        rows.insert(rows.end(), row.begin(), row.end());
      }
      return rows;
    }
    ComRef<IStream> stream = StreamOf(page.Bytes());
    Gdiplus::Bitmap source(stream.get(), TRUE);
    const Gdiplus::PixelFormat format = source.GetPixelFormat();
    Gdiplus::Bitmap target(width, height, format);
    Gdiplus::Bitmap* written = &source;
    if (page.info.biBitCount != 1) {
      Gdiplus::Graphics graphics(&target);
      graphics.TranslateTransform(static_cast<Gdiplus::REAL>(-crop.left),
                                  static_cast<Gdiplus::REAL>(-crop.top));
      Gdiplus::ImageAttributes attributes;
      const Gdiplus::ColorMatrix matrix = BuildColourMatrix(kBrightness, kContrast);
      attributes.SetColorMatrix(&matrix);
      const INT w = static_cast<INT>(source.GetWidth());
      const INT h = static_cast<INT>(source.GetHeight());
      EXPECT_EQ(graphics.DrawImage(&source, Gdiplus::Rect(0, 0, w, h), 0, 0, w, h,
                                   Gdiplus::UnitPixel, &attributes),
                Gdiplus::Ok);
      written = &target;
    }
    Gdiplus::BitmapData data = {};
    Gdiplus::Rect all(0, 0, width, height);
    EXPECT_EQ(written->LockBits(&all, Gdiplus::ImageLockModeRead, format, &data), Gdiplus::Ok);
    const BYTE* scan0 = static_cast<const BYTE*>(data.Scan0);
    for (LONG k = height - 1; k >= 0; --k) {  // bottom row first
      const BYTE* row = scan0 + static_cast<std::ptrdiff_t>(k) * data.Stride;
      rows.insert(rows.end(), row, row + (data.Stride < 0 ? -data.Stride : data.Stride));
    }
    written->UnlockBits(&data);
    return rows;
  }

  static constexpr LONG kBrightness = 300;
  static constexpr LONG kContrast = 400;
};

TEST_P(BandedPath, GivesTheWholePagesBytes) {
  const BandCase& c = GetParam();
  const BmpFile page =
      c.bitCount == 8
          ? MakeBmp(
                37, c.height, 8,
                [](UINT32 r, UINT32 b) -> BYTE { return static_cast<BYTE>(r * 13 + b * 7); },
                GreyPalette())
      : c.bitCount == 1 ? MakeBmp(37, c.height, 1,
                                  [](UINT32 r, UINT32 b) -> BYTE {
                                    return static_cast<BYTE>(0x5A ^ (r * 17 + b * 3));
                                  },
                                  {RGBQUAD{255, 255, 255, 0}, RGBQUAD{0, 0, 0, 0}})
                        : ColourPage(37, c.height, c.bitCount);
  const std::vector<BYTE> bytes = page.Bytes();
  ComRef<IStream> working = StreamOf(bytes);
  PageGeometry geometry;
  ASSERT_EQ(ReadPageGeometry(working.get(), bytes.size(), &geometry), S_OK);
  CropRect crop;
  ASSERT_EQ(MakeCropRect(geometry, c.crop[0], c.crop[1], c.crop[2], c.crop[3], &crop), S_OK);
  const std::string name = std::to_string(c.bitCount) + " bits, height " +
                           std::to_string(c.height) + ", bands of " + std::to_string(c.bandRows);

  std::vector<BYTE> files[2];
  const UINT32 bandBytes[2] = {c.bandRows * geometry.rowBytes, BandBytesFor(geometry)};
  for (int i = 0; i < 2; ++i) {
    ComRef<IStream> destination = StreamOf({});
    ULONG64 count = 0;
    ASSERT_EQ(AdjustPage(kBrightness, kContrast, working.get(), geometry, crop, bandBytes[i],
                         destination.get(), &count),
              S_OK)
        << name;
    files[i] = StreamBytes(destination.get());
    EXPECT_EQ(count, files[i].size()) << name;
  }
  EXPECT_EQ(files[0], files[1]) << name << ": the file depends on the bands";
  const ParsedBmp out(files[0]);
  ASSERT_TRUE(out.Valid()) << name;
  const std::vector<BYTE> rows(files[0].begin() + out.file.bfOffBits, files[0].end());
  EXPECT_EQ(rows, WholePageRows(page, crop)) << name;
}

std::vector<BandCase> BandCases() {
  std::vector<BandCase> cases;
  for (WORD bits : {WORD(1), WORD(8), WORD(16), WORD(24), WORD(32)}) {
    for (LONG sign : {1L, -1L}) {
      cases.push_back({bits, sign * 10, 1, {0, 0, 0, 0}});      // bands of one row
      cases.push_back({bits, sign * 4, 3, {0, 0, 0, 0}});       // one row longer than a band
      if (bits == 1) continue;                                  // 1-bit pages are written whole
      cases.push_back({bits, sign * 10, 3, {5, 2, 20, 7}});     // a crop inside a band
      cases.push_back({bits, sign * 10, 4, {-3, -2, 30, 20}});  // beyond the image
    }
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Pages, BandedPath, ::testing::ValuesIn(BandCases()));

}  // namespace
