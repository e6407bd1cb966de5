// Malformed pages and arguments: rejected with a result that says what was
// wrong, before anything is written.
#include <gtest/gtest.h>

#include <climits>
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

TEST_P(RejectedInput, TouchesNeitherDestinationNorCount)
{
    const BadInput& c = GetParam();
    BmpFile page = MakeBmp(16, 8, c.bitCount, [](UINT32 r, UINT32 b) -> BYTE { return static_cast<BYTE>(r + b); },
                           c.bitCount == 8 ? GreyPalette() : std::vector<RGBQUAD>{});
    c.spoil(page);
    const std::vector<BYTE> before = {1, 2, 3, 4, 5};
    ComRef<IStream> destination = StreamOf(before);
    const AdjustOutcome outcome = RunAdjustImageInto(destination.Get(), page.Bytes(), 500, 250, c.crop[0],
                                                     c.crop[1], c.crop[2], c.crop[3]);
    EXPECT_EQ(outcome.hr, c.expected);
    EXPECT_EQ(outcome.byteCount, kUntouched);
    EXPECT_EQ(outcome.output, before);
}

std::vector<BadInput> BadInputs()
{
    const LONG none[4] = {0, 0, 0, 0};
    std::vector<BadInput> cases;
    auto add = [&](const std::string& name, WORD bits, std::function<void(BmpFile&)> spoil, HRESULT hr,
                   const LONG* crop) {
        BadInput c{name, bits, std::move(spoil), hr, {crop[0], crop[1], crop[2], crop[3]}};
        cases.push_back(c);
    };
    for (WORD bits : {WORD(8), WORD(24)}) {
        const std::string d = std::to_string(bits);
        add("HeightZero" + d, bits, [](BmpFile& p) { p.info.biHeight = 0; }, kInvalidData, none);
        add("HeightMin" + d, bits, [](BmpFile& p) { p.info.biHeight = LONG_MIN; }, kInvalidData, none);
        add("WidthZero" + d, bits, [](BmpFile& p) { p.info.biWidth = 0; }, kInvalidData, none);
        add("WidthNegative" + d, bits, [](BmpFile& p) { p.info.biWidth = -16; }, kInvalidData, none);
        add("RunLengthCompressed" + d, bits, [](BmpFile& p) { p.info.biCompression = BI_RLE8; }, kNotSupported, none);
        add("BitFields" + d, bits, [](BmpFile& p) { p.info.biCompression = BI_BITFIELDS; }, kNotSupported, none);
        add("CoreHeader" + d, bits, [](BmpFile& p) { p.info.biSize = 12; }, kInvalidData, none);
        const LONG negativeWidth[4] = {0, 0, -4, 4};
        add("NegativeCropWidth" + d, bits, [](BmpFile&) {}, E_INVALIDARG, negativeWidth);
        const LONG negativeHeight[4] = {0, 0, 4, -4};
        add("NegativeCropHeight" + d, bits, [](BmpFile&) {}, E_INVALIDARG, negativeHeight);
        const LONG farRight[4] = {LONG_MAX - 2, 0, 8, 8};
        add("CropRightOverflows" + d, bits, [](BmpFile&) {}, E_INVALIDARG, farRight);
        const LONG farDown[4] = {0, LONG_MAX, 8, 8};
        add("CropBottomOverflows" + d, bits, [](BmpFile&) {}, E_INVALIDARG, farDown);
    }
    add("SizeImageTooSmall", 8, [](BmpFile& p) { p.info.biSizeImage = 16 * 8 - 1; }, kInvalidData, none);
    add("SizeImageOneRowShort", 8, [](BmpFile& p) { p.info.biSizeImage = 16 * 7; }, kInvalidData, none);
    add("ImageSizeOverflows", 8, [](BmpFile& p) { p.info.biWidth = 70000; p.info.biHeight = 70000; p.info.biSizeImage = 0; },
        kOverflow, none);
    add("ImageSizeJustOverflows", 8,
        [](BmpFile& p) { p.info.biWidth = 65536; p.info.biHeight = -65536; p.info.biSizeImage = 0; }, kOverflow, none);
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Cases, RejectedInput, ::testing::ValuesIn(BadInputs()),
                         [](const ::testing::TestParamInfo<BadInput>& info) { return info.param.name; });

TEST(AdjustImageArguments, MissingStreamsOrCountAreRefused)
{
    const BmpFile page = MakeBmp(4, 4, 8, [](UINT32, UINT32) -> BYTE { return 1; }, GreyPalette());
    ComRef<IStream> working = StreamOf(page.Bytes());
    ComRef<IStream> destination = StreamOf({});
    ULONG64 count = kUntouched;
    EXPECT_EQ(AdjustImage(1, 1, nullptr, destination.Get(), &count, 0, 0, 0, 0), E_INVALIDARG);
    EXPECT_EQ(AdjustImage(1, 1, working.Get(), nullptr, &count, 0, 0, 0, 0), E_INVALIDARG);
    EXPECT_EQ(AdjustImage(1, 1, working.Get(), destination.Get(), nullptr, 0, 0, 0, 0), E_POINTER);
    EXPECT_EQ(count, kUntouched);
    EXPECT_TRUE(StreamBytes(destination.Get()).empty());
}

TEST(AdjustImageArguments, StreamTooShortForTheInfoHeaderIsInvalidData)
{
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
