// Pure arithmetic: tone table, mean grey level, colour matrix, status mapping.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "adjust_gdiplus.h"
#include "adjust_internal.h"

namespace {

std::vector<BYTE> FromHex(const std::string& hex) {
  std::vector<BYTE> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<BYTE>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

std::vector<BYTE> Table(float mean, LONG brightness, LONG contrast) {
  BYTE table[256];
  BuildToneTable(mean, brightness, contrast, table);
  return std::vector<BYTE>(table, table + 256);
}

UINT32 Bits(float value) {
  UINT32 bits;
  std::memcpy(&bits, &value, sizeof(bits));
  return bits;
}

TEST(ToneTable, BrightnessMinus1000IsBlackWhateverTheContrast) {
  for (LONG contrast : {-1000, -300, 0, 450, 1000}) {
    EXPECT_EQ(Table(97.25f, -1000, contrast), std::vector<BYTE>(256, 0)) << contrast;
  }
}

TEST(ToneTable, Brightness1000DoublesEveryLevelAndClips) {
  const std::vector<BYTE> table = Table(140.0f, 1000, 0);
  EXPECT_EQ(table[100], 200);
  EXPECT_EQ(table[128], 255);
  for (int i = 0; i < 256; ++i) EXPECT_EQ(table[i], i < 128 ? 2 * i : 255) << i;
}

TEST(ToneTable, ContrastMinus1000MapsEveryLevelToTheTruncatedMean) {
  EXPECT_EQ(Table(127.6f, 0, -1000), std::vector<BYTE>(256, 127));
}

TEST(ToneTable, Contrast1000StretchesAboutTheMean) {
  const std::vector<BYTE> table = Table(128.0f, 0, 1000);
  for (int i = 0; i < 256; ++i) {
    const int expected = 2 * i - 128;
    EXPECT_EQ(table[i], expected < 0 ? 0 : (expected > 255 ? 255 : expected)) << i;
  }
  EXPECT_EQ(table[64], 0);
  EXPECT_EQ(table[65], 2);
  EXPECT_EQ(table[191], 254);
  EXPECT_EQ(table[192], 255);
}

TEST(ToneTable, NoChangeIsTheIdentity) {
  for (float mean : {0.3f, 127.6f, 254.9f}) {
    const std::vector<BYTE> table = Table(mean, 0, 0);
    for (int i = 0; i < 256; ++i) EXPECT_EQ(table[i], i) << mean;
  }
}

TEST(ToneTable, ExtremeSettingsDoNotOverflow) {
  EXPECT_EQ(Table(128.0f, LONG_MAX, 0)[1], 255);
  EXPECT_EQ(Table(128.0f, LONG_MAX, 0)[0], 0);
  EXPECT_EQ(Table(128.0f, LONG_MIN, 0), std::vector<BYTE>(256, 0));
  const std::vector<BYTE> steep = Table(128.0f, 0, LONG_MAX);
  EXPECT_EQ(steep[127], 0);
  EXPECT_EQ(steep[129], 255);
}

// Tables worked out separately with every step rounded to single precision,
// including cases where double-precision arithmetic gives other entries.
struct ToneCase {
  float mean;
  LONG brightness;
  LONG contrast;
  const char* hex;
};

class ToneTableBits : public ::testing::TestWithParam<ToneCase> {};

TEST_P(ToneTableBits, MatchesSinglePrecisionReference) {
  const ToneCase& c = GetParam();
  EXPECT_EQ(Table(c.mean, c.brightness, c.contrast), FromHex(c.hex));
}

INSTANTIATE_TEST_SUITE_P(
    Worked, ToneTableBits,
    ::testing::Values(
        ToneCase{
            100.3f, -300, 250,
            "0000000000000000000000000000000000000000000001020204040506070809090b0b0c0d0e0f10101212"
            "13141516171719191a1b1c1d1e1e2020212223242525272728292a2b2c2c2e2e2f30313233333535363738"
            "393a3a3c3c3d3e3f40414143434445464748484a4a4b4c4d4e4f4f51515253545556565858595a5b5c5d5d"
            "5f5f60616263646466666768696a6b6b6d6d6e6f7071727274747576777879797b7b7c7d7e7f8080828283"
            "848586878789898a8b8c8d8e8e9090919293949595979798999a9b9c9c9e9e9fa0a1a2a3a3a5a5a6a7a8a9"
            "aaaaacacadaeafb0b1b1b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2"},
        ToneCase{
            83.17f, 421, -337,
            "2727292a2a2c2d2d2e2e303131333434353737383a3a3b3d3d3e3f3f414242444545474848494b4b4c4e4e"
            "4f50505253535556565859595a5c5c5d5f5f606262636464666767696a6a6b6d6d6e707071737374757577"
            "78787a7b7b7d7e7e7f81818284848585868888898b8b8c8e8e8f90909293939596969899999a9c9c9d9f9f"
            "a0a1a1a3a4a4a6a7a7a9aaaaabadadaeb0b0b1b3b3b4b5b5b7b8b8babbbbbcbebebfc1c1c2c4c4c5c6c6c8"
            "c9c9cbcccccecfcfd0d2d2d3d5d5d6d7d7d9d9dadcdcdddfdfe0e1e1e3e4e4e6e7e7e9eaeaebededeef0f0"
            "f1f2f2f4f5f5f7f8f8fafbfbfcfefeffffffffffffffffffffffffffffffffffffffffffffffffffff"},
        ToneCase{
            214.0f, 0, -440,
            "5e5e5f5f6060616262636364646566666767686869696a6b6b6c6c6d6d6e6e6f7070717172727374747575"
            "767677777879797a7a7b7b7c7c7d7e7e7f7f8080818282838384848585868787888889898a8a8b8c8c8d8d"
            "8e8e8f9090919192929393949595969697979898999a9a9b9b9c9c9d9e9e9f9fa0a0a1a1a2a3a3a4a4a5a5"
            "a6a6a7a8a8a9a9aaaaabacacadadaeaeafafb0b1b1b2b2b3b3b4b4b5b6b6b7b7b8b8b9bababbbbbcbcbdbd"
            "bebfbfc0c0c1c1c2c2c3c4c4c5c5c6c6c7c8c8c9c9cacacbcbcccdcdcececfcfd0d0d1d2d2d3d3d4d4d5d6"
            "d6d7d7d8d8d9d9dadbdbdcdcdddddededfe0e0e1e1e2e2e3e4e4e5e5e6e6e7e7e8e9e9eaeaebebecec"},
        ToneCase{
            96.53f, 0, -183,
            "11121314141516171819191a1b1c1d1d1e1f2021222223242526262728292a2a2b2c2d2e2f2f3031323333"
            "343536373838393a3b3c3c3d3e3f4041414243444545464748494a4a4b4c4d4e4e4f505152535354555657"
            "5758595a5b5c5c5d5e5f606061626364646566676869696a6b6c6d6d6e6f7071727273747576767778797a"
            "7b7b7c7d7e7f7f8081828384848586878888898a8b8c8d8d8e8f9091919293949596969798999a9a9b9c9d"
            "9e9f9fa0a1a2a3a3a4a5a6a7a7a8a9aaabacacadaeafb0b0b1b2b3b4b5b5b6b7b8b9b9babbbcbdbebebfc0"
            "c1c2c2c3c4c5c6c7c7c8c9cacbcbcccdcecfd0d0d1d2d3d4d4d5d6d7d8d9d9dadbdcdddddedfe0e1e2"}));

// The mean of `rows` rows of `width` levels, `stride` bytes apart.
float MeanGreyLevel(const BYTE* pixels, UINT32 width, UINT32 rows, UINT32 stride) {
  BYTE levels[256];
  for (int i = 0; i < 256; ++i) levels[i] = static_cast<BYTE>(i);
  GreyMean mean(levels);
  for (UINT32 k = 0; k < rows; ++k) mean.AddRow(pixels + static_cast<size_t>(k) * stride, width);
  return mean.Mean(width, rows);
}

TEST(MeanGreyLevel, AveragesTheFirstWidthBytesOfEveryRow) {
  // Two rows of 5 pixels in a stride of 8; the padding must not count.
  const BYTE pixels[16] = {127, 128, 128, 127, 128, 250, 250, 250,
                           127, 128, 128, 127, 128, 250, 250, 250};
  EXPECT_EQ(MeanGreyLevel(pixels, 5, 2, 8), 127.6f);
}

TEST(MeanGreyLevel, IsTheDoubleQuotientRoundedToSingle) {
  // 1 + 1 + 2 over 3 pixels: 4/3 in double, then rounded to single.
  const BYTE pixels[3] = {1, 1, 2};
  EXPECT_EQ(Bits(MeanGreyLevel(pixels, 3, 1, 3)), Bits(static_cast<float>(4.0 / 3.0)));
}

TEST(MeanGreyLevel, SumsWideRowsExactlyWithoutTheirPadding) {
  // Widths around the 16-pixel groups of the row sum, with padding bytes of
  // 255 that must not count; the reference adds pixel by pixel in double.
  for (UINT32 width : {1u, 15u, 16u, 17u, 31u, 33u, 1001u}) {
    const UINT32 rows = 3;
    const UINT32 stride = width + 7;
    std::vector<BYTE> pixels(static_cast<size_t>(stride) * rows, 255);
    UINT32 seed = width;
    double sum = 0.0;
    for (UINT32 k = 0; k < rows; ++k) {
      for (UINT32 j = 0; j < width; ++j) {
        seed = seed * 1103515245u + 12345u;
        const BYTE level = static_cast<BYTE>(seed >> 24);
        pixels[static_cast<size_t>(k) * stride + j] = level;
        sum += level;
      }
    }
    const float expected =
        static_cast<float>(sum / static_cast<double>(static_cast<float>(width * rows)));
    EXPECT_EQ(Bits(MeanGreyLevel(pixels.data(), width, rows, stride)), Bits(expected))
        << "width " << width;
  }
}

// Colour matrix: S on the diagonal, O in the bottom row, as bit patterns.
struct MatrixCase {
  LONG brightness;
  LONG contrast;
  UINT32 scale;
  UINT32 offset;
};

class ColourMatrixBits : public ::testing::TestWithParam<MatrixCase> {};

TEST_P(ColourMatrixBits, HoldsExactlyScaleAndOffset) {
  const MatrixCase& c = GetParam();
  const Gdiplus::ColorMatrix m = BuildColourMatrix(c.brightness, c.contrast);
  for (int row = 0; row < 5; ++row) {
    for (int col = 0; col < 5; ++col) {
      UINT32 expected = 0;
      if (row == col && row < 3) expected = c.scale;
      else if (row == 4 && col < 3) expected = c.offset;
      else if (row == col) expected = 0x3F800000;  // 1.0 for alpha and the last cell
      EXPECT_EQ(Bits(m.m[row][col]), expected) << "row " << row << " col " << col;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Worked, ColourMatrixBits,
    ::testing::Values(
        MatrixCase{0, 0, 0x3F800000, 0x3727C5AC},      // O of 0 becomes 0.00001
        MatrixCase{0, 1, 0x3F800000, 0x3727C5AC},      // integer halving: as contrast 0
        MatrixCase{1000, 0, 0x3F800000, 0x3F000000},   // O = 0.5
        MatrixCase{-1000, 0, 0x3F800000, 0xBEE66666},  // B capped at 0.95
        MatrixCase{-899, 0, 0x3F800000, 0xBEE66666}, MatrixCase{-5000, 0, 0x3F800000, 0xBEE66666},
        MatrixCase{500, 500, 0x40000000, 0x3727C5AC}, MatrixCase{0, 500, 0x40000000, 0xBF000000},
        MatrixCase{0, -500, 0x3F000000, 0x3E800000}, MatrixCase{0, -1000, 0x3B03126F, 0x3EFF7CEE},
        MatrixCase{0, 999, 0x43FA00D3, 0xC37980D3},
        MatrixCase{0, 1000, 0x459C395D, 0xC51C315D},  // C = 0.9999 guard
        MatrixCase{0, 5000, 0x459C395D, 0xC51C315D}, MatrixCase{300, -200, 0x3F4CCCCD, 0x3E6147AE},
        MatrixCase{-250, 700, 0x40555558, 0xBFCAAAAE}));

TEST(ColourMatrix, ExtremeSettingsDoNotOverflow) {
  const Gdiplus::ColorMatrix high = BuildColourMatrix(LONG_MAX, LONG_MAX);
  EXPECT_EQ(Bits(high.m[0][0]), 0x459C395Du);
  const Gdiplus::ColorMatrix low = BuildColourMatrix(LONG_MIN, LONG_MIN);
  EXPECT_EQ(Bits(low.m[0][0]), Bits(0.002f));
  EXPECT_EQ(Bits(low.m[4][0]), Bits(0.5f - 0.95f * 0.002f));
}

struct StatusCase {
  Gdiplus::Status status;
  HRESULT expected;
};

class StatusMapping : public ::testing::TestWithParam<StatusCase> {};

TEST_P(StatusMapping, MapsToItsHresult) {
  SetLastError(ERROR_ACCESS_DENIED);  // must not matter outside Win32Error
  EXPECT_EQ(GdiplusStatusToHresult(GetParam().status), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    AllStatuses, StatusMapping,
    ::testing::Values(
        StatusCase{Gdiplus::Ok, S_OK},
        StatusCase{Gdiplus::GenericError, static_cast<HRESULT>(0x80004005)},
        StatusCase{Gdiplus::InvalidParameter, static_cast<HRESULT>(0x80070057)},
        StatusCase{Gdiplus::OutOfMemory, static_cast<HRESULT>(0x8007000E)},
        StatusCase{Gdiplus::ObjectBusy, static_cast<HRESULT>(0x8000000A)},
        StatusCase{Gdiplus::InsufficientBuffer, static_cast<HRESULT>(0x8007007A)},
        StatusCase{Gdiplus::NotImplemented, static_cast<HRESULT>(0x80004001)},
        StatusCase{Gdiplus::WrongState, static_cast<HRESULT>(0x80004005)},
        StatusCase{Gdiplus::Aborted, static_cast<HRESULT>(0x80004004)},
        StatusCase{Gdiplus::FileNotFound, static_cast<HRESULT>(0x80070002)},
        StatusCase{Gdiplus::ValueOverflow, static_cast<HRESULT>(0x80004005)},
        StatusCase{Gdiplus::AccessDenied, static_cast<HRESULT>(0x80070005)},
        StatusCase{Gdiplus::UnknownImageFormat, static_cast<HRESULT>(0x800707D0)},
        StatusCase{static_cast<Gdiplus::Status>(14), static_cast<HRESULT>(0x80004005)},
        StatusCase{static_cast<Gdiplus::Status>(-1), static_cast<HRESULT>(0x80004005)}));

TEST(StatusMapping, Win32ErrorUsesTheThreadsLastError) {
  SetLastError(0);
  EXPECT_EQ(GdiplusStatusToHresult(Gdiplus::Win32Error), S_OK);
  SetLastError(ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(GdiplusStatusToHresult(Gdiplus::Win32Error), static_cast<HRESULT>(0x80070002));
  SetLastError(0x12345);  // only the low 16 bits are kept
  EXPECT_EQ(GdiplusStatusToHresult(Gdiplus::Win32Error), static_cast<HRESULT>(0x80072345));
  SetLastError(0x8007000E);  // already an HRESULT: negative, returned unchanged
  EXPECT_EQ(GdiplusStatusToHresult(Gdiplus::Win32Error), static_cast<HRESULT>(0x8007000E));
}

TEST(StatusMapping, AFailureNeverReadsAsSuccess) {
  SetLastError(0);
  EXPECT_EQ(GdiplusFailureToHresult(Gdiplus::Win32Error), E_FAIL);
  SetLastError(ERROR_ACCESS_DENIED);
  EXPECT_EQ(GdiplusFailureToHresult(Gdiplus::Win32Error), E_ACCESSDENIED);
  EXPECT_EQ(GdiplusFailureToHresult(Gdiplus::OutOfMemory), E_OUTOFMEMORY);
}

}  // namespace
