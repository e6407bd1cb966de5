// End to end: the transfer host (wiahost.exe) drives the real Vantrel.dll,
// obtained through CoCreateInstance or through DllGetClassObject, over the
// bundled sample pages; the received pages and reported byte counts are
// checked against the pages and against AdjustImage itself.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "adjusted_copy.h"
#include "host_run.h"
#include "host_support.h"
#include "utf8.h"

namespace {

const std::wstring kSamples = std::wstring(WIN_SOURCE_DIR) + L"/testbench/samples/";

std::vector<BYTE> ReadFile(const std::wstring& path) {
  std::vector<BYTE> bytes;
  EXPECT_EQ(S_OK, ReadWholeFile(path, &bytes)) << testbench::Utf8(path);
  return bytes;
}

struct Activation {
  const wchar_t* arguments;
  const char* name;
};

class HostTest : public ::testing::TestWithParam<Activation> {
 protected:
  void SetUp() override {
    out_ = CurrentTestFolder(std::wstring(WIN_BINARY_DIR) + L"/e2e");
    for (int i = 1; i <= 4; ++i) DeleteFileW(Page(i).c_str());
  }

  HostRun Run(const std::wstring& arguments) {
    HostRun run =
        RunHost(std::wstring(GetParam().arguments) + L" --out \"" + out_ + L"\" " + arguments,
                out_ + L"/host.txt");
    // Whatever happened in the transfer, everything is released at the end.
    EXPECT_TRUE(run.Contains("test doubles released: yes")) << run.output;
    EXPECT_TRUE(run.Contains("DllCanUnloadNow: S_OK")) << run.output;
    return run;
  }
  std::wstring Page(int number) const {
    return out_ + L"/page" + std::to_wstring(number) + L".bmp";
  }
  static std::wstring Sample(const wchar_t* name) { return L"\"" + kSamples + name + L"\""; }

  std::wstring out_;
};

TEST_P(HostTest, GreyAndColourPagesArriveAdjustedWithTheirFileSizes) {
  const HostRun run = Run(L"--streams file --brightness 200 --piece 4096 " + Sample(L"grey8.bmp") +
                          L" " + Sample(L"colour24.bmp"));
  ASSERT_EQ(0u, run.exitCode) << run.output;
  const std::vector<BYTE> grey = ReadFile(kSamples + L"grey8.bmp");
  const std::vector<BYTE> colour = ReadFile(kSamples + L"colour24.bmp");
  const std::vector<BYTE> first = ReadFile(Page(1));
  const std::vector<BYTE> second = ReadFile(Page(2));
  EXPECT_NE(grey, first);
  EXPECT_NE(colour, second);
  EXPECT_EQ(AdjustedCopy(200, 0, grey), first);
  EXPECT_EQ(AdjustedCopy(200, 0, colour), second);
  const std::vector<ULONG64> expected = {first.size(), second.size()};
  EXPECT_EQ(expected, run.endOfStream) << run.output;
  ASSERT_FALSE(run.status.empty());
  EXPECT_EQ(4096u, run.status.front());
}

TEST_P(HostTest, ZeroAdjustmentsDeliverTheDriversBytesUnchanged) {
  for (const wchar_t* options : {L"--streams file", L"--streams memory --no-count --piece 1000"}) {
    const HostRun run = Run(std::wstring(options) + L" --brightness 0 --contrast 0 " +
                            Sample(L"grey8.bmp") + L" " + Sample(L"colour24.bmp"));
    ASSERT_EQ(0u, run.exitCode) << run.output;
    const std::vector<BYTE> grey = ReadFile(kSamples + L"grey8.bmp");
    const std::vector<BYTE> colour = ReadFile(kSamples + L"colour24.bmp");
    EXPECT_EQ(grey, ReadFile(Page(1)));
    EXPECT_EQ(colour, ReadFile(Page(2)));
    const std::vector<ULONG64> expected = {grey.size(), colour.size()};
    EXPECT_EQ(expected, run.endOfStream) << run.output;
  }
}

TEST_P(HostTest, MultiPageTransferAdjustsEveryPage) {
  const HostRun run = Run(L"--streams memory --contrast 300 --brightness -100 --piece 777 " +
                          Sample(L"colour24.bmp") + L" " + Sample(L"mono1.bmp") + L" " +
                          Sample(L"grey8.bmp") + L" " + Sample(L"colour24.bmp"));
  ASSERT_EQ(0u, run.exitCode) << run.output;
  const wchar_t* names[] = {L"colour24.bmp", L"mono1.bmp", L"grey8.bmp", L"colour24.bmp"};
  std::vector<ULONG64> sizes;
  for (int i = 0; i < 4; ++i) {
    const std::vector<BYTE> received = ReadFile(Page(i + 1));
    EXPECT_EQ(AdjustedCopy(-100, 300, ReadFile(kSamples + names[i])), received) << i;
    sizes.push_back(received.size());
  }
  EXPECT_EQ(sizes, run.endOfStream);
  EXPECT_TRUE(run.Contains("END_OF_TRANSFER")) << run.output;
}

TEST_P(HostTest, RawFormatPassesThroughWithTheDriversCounts) {
  const HostRun run =
      Run(L"--streams file --format raw --brightness 200 --piece 5000 " + Sample(L"grey8.bmp"));
  ASSERT_EQ(0u, run.exitCode) << run.output;
  const std::vector<BYTE> grey = ReadFile(kSamples + L"grey8.bmp");
  EXPECT_EQ(grey, ReadFile(Page(1)));
  EXPECT_EQ(std::vector<ULONG64>{grey.size()}, run.endOfStream);
  const std::vector<ULONG64> status = {5000, 10000, 15000, 20000, 25000, grey.size()};
  EXPECT_EQ(status, run.status);
}

TEST_P(HostTest, CancelledTransferDropsBufferedPagesAndReleasesEverything) {
  const HostRun run = Run(L"--streams memory --brightness 200 --app-answer 1:S_FALSE " +
                          Sample(L"grey8.bmp") + L" " + Sample(L"colour24.bmp"));
  // Pages that did not arrive are refused, and the host says so in its exit code.
  EXPECT_EQ(3u, run.exitCode) << run.output;
  EXPECT_TRUE(run.Contains("page 1: refused: ")) << run.output;
  EXPECT_TRUE(run.Contains("page 2: refused: ")) << run.output;
  EXPECT_TRUE(run.Contains("received page 1: 0 bytes")) << run.output;
  EXPECT_TRUE(run.Contains("received page 2: 0 bytes")) << run.output;
  EXPECT_EQ((std::vector<ULONG64>{0, 0}), run.endOfStream) << run.output;
}

TEST_P(HostTest, ApplicationRefusingAStreamEndsTheTransfer) {
  const HostRun run = Run(L"--streams memory --brightness 200 --app-next 2:S_FALSE:stream " +
                          Sample(L"grey8.bmp") + L" " + Sample(L"colour24.bmp"));
  EXPECT_EQ(0u, run.exitCode) << run.output;
  EXPECT_TRUE(run.Contains("page 1: delivered, ")) << run.output;
  EXPECT_TRUE(run.Contains("driver: page 2: GetNextStream -> 0x00000001")) << run.output;
  EXPECT_TRUE(run.Contains("driver: transfer -> 0x00000001")) << run.output;
  EXPECT_EQ(1u, run.endOfStream.size());
}

TEST_P(HostTest, FailingApplicationAndRefusedItemLeaveNothingBehind) {
  HostRun run = Run(L"--streams memory --app-next 1:80004005 " + Sample(L"grey8.bmp"));
  EXPECT_TRUE(run.Contains("driver: transfer -> 0x80004005")) << run.output;
  run = Run(L"--streams memory --item-category root " + Sample(L"grey8.bmp"));
  EXPECT_TRUE(run.Contains("InitializeFilter -> 0x80004001")) << run.output;
}

INSTANTIATE_TEST_SUITE_P(
    Activations, HostTest,
    ::testing::Values(Activation{L"--activation cocreate --clsid first", "CoCreateFirst"},
                      Activation{L"--activation cocreate --clsid second", "CoCreateSecond"},
                      Activation{L"--activation classobject --clsid first", "ClassObjectFirst"},
                      Activation{L"--activation classobject --clsid second", "ClassObjectSecond"}),
    [](const ::testing::TestParamInfo<Activation>& info) { return std::string(info.param.name); });

}  // namespace
