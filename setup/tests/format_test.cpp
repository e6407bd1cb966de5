// FormatBounded: the conversions the setup tool uses, and its contract of
// "characters written, or -1 with an empty string".
#include <gtest/gtest.h>

#include <string>

#include "format.h"

namespace {

TEST(FormatBounded, TextOneShortOfTheCapacityFits) {
  wchar_t buffer[8];
  EXPECT_EQ(FormatBounded(buffer, 8, L"%s", L"1234567"), 7);
  EXPECT_STREQ(buffer, L"1234567");
}

TEST(FormatBounded, TextAsLongAsTheCapacityFailsWithAnEmptyString) {
  wchar_t buffer[8];
  EXPECT_EQ(FormatBounded(buffer, 8, L"%s", L"12345678"), -1);
  EXPECT_STREQ(buffer, L"");
  EXPECT_EQ(FormatBounded(buffer, 8, L"abcd%dxyz", 5), -1);
  EXPECT_STREQ(buffer, L"");
}

TEST(FormatBounded, NeverWritesBehindTheCapacity) {
  wchar_t buffer[12];
  std::fill(std::begin(buffer), std::end(buffer), L'#');
  EXPECT_EQ(FormatBounded(buffer, 4, L"%s", L"too long for four"), -1);
  EXPECT_EQ(buffer[0], L'\0');
  for (int i = 4; i < 12; ++i) EXPECT_EQ(buffer[i], L'#') << i;
}

TEST(FormatBounded, ZeroCapacityAndMissingFormatFail) {
  wchar_t buffer[4] = {L'x', L'\0'};
  EXPECT_EQ(FormatBounded(buffer, 0, L"a"), -1);
  EXPECT_EQ(buffer[0], L'x') << "nothing is written into a buffer of capacity 0";
  EXPECT_EQ(FormatBounded(buffer, 4, nullptr), -1);
  EXPECT_STREQ(buffer, L"");
}

struct FormatCase {
  const wchar_t* format;
  int number;
  const wchar_t* expected;
};

class IntegerConversions : public testing::TestWithParam<FormatCase> {};

TEST_P(IntegerConversions, FormatAsPrintfDoes) {
  wchar_t buffer[64];
  const FormatCase& c = GetParam();
  EXPECT_EQ(FormatBounded(buffer, 64, c.format, c.number), static_cast<int>(wcslen(c.expected)));
  EXPECT_STREQ(buffer, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IntegerConversions,
    testing::Values(FormatCase{L"%02d", 3, L"03"}, FormatCase{L"%02d", 12, L"12"},
                    FormatCase{L"%02d", 123, L"123"}, FormatCase{L"%03d", 5, L"005"},
                    FormatCase{L"%03d", 45, L"045"}, FormatCase{L"%03d", 999, L"999"},
                    FormatCase{L"%d", 0, L"0"}, FormatCase{L"%d", -1, L"-1"},
                    FormatCase{L"%d", 2147483647, L"2147483647"},
                    FormatCase{L"%d", -2147483647 - 1, L"-2147483648"},
                    FormatCase{L"%03d", -5, L"-05"}, FormatCase{L"%u", -1, L"4294967295"},
                    FormatCase{L"[%d%%]", 7, L"[7%]"}));

TEST(FormatBounded, SAndWsBothTakeUtf16Text) {
  wchar_t buffer[64];
  EXPECT_EQ(FormatBounded(buffer, 64, L"%s|%ws|%d", L"wide", L"ws", 5), 9);
  EXPECT_STREQ(buffer, L"wide|ws|5");
}

TEST(FormatBounded, NonAsciiTextIsCopiedUnchanged) {
  // Greek, Japanese and a character outside the BMP (a surrogate pair).
  const wchar_t text[] = L"\u0394\u03b9\u03ac \u30b9\u30ad\u30e3\u30ca \U0001F5A8";
  wchar_t buffer[64];
  EXPECT_EQ(FormatBounded(buffer, 64, L"<%s><%ws>", text, text),
            static_cast<int>(2 * wcslen(text) + 4));
  EXPECT_EQ(std::wstring(buffer), L"<" + std::wstring(text) + L"><" + text + L">");
}

TEST(FormatBounded, TimestampPrefixOfTheLog) {
  wchar_t buffer[64];
  EXPECT_EQ(
      FormatBounded(buffer, 64, L"%d-%02d-%02d %02d:%02d:%02d.%03d  ", 2024, 3, 5, 9, 7, 2, 45),
      25);
  EXPECT_STREQ(buffer, L"2024-03-05 09:07:02.045  ");
}

TEST(FormatBounded, UnknownConversionsAreErrors) {
  wchar_t buffer[16];
  EXPECT_EQ(FormatBounded(buffer, 16, L"%x", 5), -1);
  EXPECT_STREQ(buffer, L"");
  EXPECT_EQ(FormatBounded(buffer, 16, L"ends in %"), -1);
  EXPECT_EQ(FormatBounded(buffer, 16, L"%999999d", 1), -1);
}

TEST(FormatCut, KeepsWhatFitsSaysItWasCutAndNeverSplitsASurrogatePair) {
  wchar_t buffer[8];
  bool cut = false;
  EXPECT_EQ(FormatCut(buffer, 8, &cut, L"%s", L"1234567890"), 7);
  EXPECT_STREQ(buffer, L"1234567");
  EXPECT_TRUE(cut);
  EXPECT_EQ(FormatCut(buffer, 8, &cut, L"%d", 42), 2);
  EXPECT_FALSE(cut);
  // "abcdef" and a pair: the high half would be the last character kept.
  EXPECT_EQ(FormatCut(buffer, 8, &cut, L"abcdef%s", L"\U0001F5A8"), 6);
  EXPECT_STREQ(buffer, L"abcdef");
  EXPECT_TRUE(cut);
}

}  // namespace
