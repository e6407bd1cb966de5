// Drelmo.exe InstallNET (and its UnInstallNET counterpart) against the
// "sti_ci.dll" stand-in, run as a real process under Wine.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "device_bench.h"
#include "sti_ci_control.h"

using namespace devbench;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

std::wstring NetInfPath() { return WorkFolder() + L"\\QZV01SCN_NET.inf"; }

std::vector<std::wstring> InstallNetLines() {
  return Concat(WorkerStart(), {L"INF File Path: " + NetInfPath(), L"Install NET WIA driver!"});
}

std::vector<std::wstring> UninstallNetStart() {
  return Concat(WorkerStart(), {L"UnInstall NET WIA driver!"});
}

// One text field of the install record: the text, then zeros to its end.
void ExpectField(const std::vector<BYTE>& record, size_t offset, size_t capacity,
                 const std::wstring& text) {
  ASSERT_LT(text.size(), capacity);
  std::wstring field(capacity, L'\0');
  std::memcpy(&field[0], record.data() + offset, capacity * sizeof(wchar_t));
  EXPECT_EQ(field.substr(0, text.size()), text) << "field at " << offset;
  EXPECT_EQ(field.find_first_not_of(L'\0', text.size()), std::wstring::npos)
      << "bytes behind the NUL of the field at " << offset << " are not zero";
}

TEST_F(DeviceActionTest, NetworkInstallAddsTheDeviceAndUninstallRemovesItWithItsPackage) {
  const DrelmoRun install = RunDrelmo(L"InstallNET");
  ExpectCleanEnd(install);
  // A successful install adds no line of its own.
  EXPECT_EQ(install.log, InstallNetLines());

  const std::vector<Device> devices = Devices();
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0].friendlyName, L"Orvane Scanner NW");
  EXPECT_EQ(devices[0].deviceId, L"QZScnDrv_ID");
  EXPECT_EQ(devices[0].connection, L"NW");
  const std::wstring staged = Track(devices[0].infPath);
  ASSERT_TRUE(IsStaged(staged)) << "the network package was not staged";
  SetPackageMarker(L"NET");

  const DrelmoRun uninstall = RunDrelmo(L"UnInstallNET");
  ExpectCleanEnd(uninstall);
  EXPECT_EQ(uninstall.log,
            Concat(UninstallNetStart(),
                   {L"WiaDevice[0]: Orvane Scanner NW", L"UninstallWiaDevice[0] Success!!",
                    L"GetWiaDeviceProperty(FriendlyName) Failed!! ErrorNo[ERROR_NO_MORE_ITEMS]",
                    L"oeminf: " + staged, L"Delete Cmd: QZUninstall.NT 132 " + staged,
                    L"Remove Service Result = 1"}));
  EXPECT_THAT(Devices(), IsEmpty());
  EXPECT_FALSE(IsStaged(staged)) << "the staged network package is still there";
  EXPECT_FALSE(HasPackageMarker(L"NET")) << "the package's uninstall section did not run";
}

TEST_F(DeviceActionTest, InstallRecordHoldsEachFieldAtItsOffsetAndZerosElsewhere) {
  ExpectCleanEnd(RunDrelmo(L"InstallNET"));
  const std::vector<BYTE> record = LastInstallRecord();
  ASSERT_EQ(record.size(), 1824u);
  DWORD size = 0;
  std::memcpy(&size, record.data(), sizeof(size));
  EXPECT_EQ(size, 1824u);
  EXPECT_THAT(std::vector<BYTE>(record.begin() + 4, record.begin() + 8), ::testing::Each(BYTE{0}));
  ExpectField(record, 8, 260, NetInfPath());
  ExpectField(record, 528, 260, L"QZScnDrv_ID");
  ExpectField(record, 1048, 260, L"NW");
  ExpectField(record, 1568, 64, L"Orvane Scanner NW");
  EXPECT_THAT(std::vector<BYTE>(record.begin() + 1696, record.end()), ::testing::Each(BYTE{0}));
  for (const Device& device : Devices()) Track(device.infPath);
}

TEST_F(DeviceActionTest, InfPathOf259CharactersFillsItsFieldWithTheNul) {
  // C:\devtest\<231 characters> is 242 characters; with "\QZV01SCN_NET.inf", 259.
  UseWorkFolder(std::wstring(231, L'p'));
  PrepareWorkFolder();
  ASSERT_EQ(NetInfPath().size(), 259u);

  const DrelmoRun run = RunDrelmo(L"InstallNET");
  ExpectCleanEnd(run);
  EXPECT_EQ(run.log, InstallNetLines());
  const std::vector<BYTE> record = LastInstallRecord();
  ASSERT_EQ(record.size(), 1824u);
  ExpectField(record, 8, 260, NetInfPath());
  ASSERT_EQ(Devices().size(), 1u);
  Track(Devices()[0].infPath);
}

TEST_F(DeviceActionTest, SecondNetworkInstallIsNumberedAndUninstallRemovesBoth) {
  ExpectCleanEnd(RunDrelmo(L"InstallNET"));
  ExpectCleanEnd(RunDrelmo(L"InstallNET"));
  EXPECT_THAT(DeviceNames(), ElementsAre(L"Orvane Scanner NW", L"Orvane Scanner NW #2"));
  const std::wstring staged = Track(Devices().at(0).infPath);

  const DrelmoRun uninstall = RunDrelmo(L"UnInstallNET");
  ExpectCleanEnd(uninstall);
  EXPECT_EQ(uninstall.log,
            Concat(UninstallNetStart(),
                   {L"WiaDevice[0]: Orvane Scanner NW", L"UninstallWiaDevice[0] Success!!",
                    L"WiaDevice[1]: Orvane Scanner NW #2", L"UninstallWiaDevice[1] Success!!",
                    L"GetWiaDeviceProperty(FriendlyName) Failed!! ErrorNo[ERROR_NO_MORE_ITEMS]",
                    L"oeminf: " + staged, L"Delete Cmd: QZUninstall.NT 132 " + staged,
                    L"Remove Service Result = 1"}));
  EXPECT_THAT(Devices(), IsEmpty());
  EXPECT_FALSE(IsStaged(staged));
}

struct InstallFailure {
  const char* name;
  StandIn standIn;
  DWORD forcedStatus;  // InstallWiaDevice's status, 0 for none forced
  std::wstring line;
};

class NetworkInstallFailure : public DeviceActionTest,
                              public ::testing::WithParamInterface<InstallFailure> {};

TEST_P(NetworkInstallFailure, LogsOneLineInstallsNothingAndStillCloses) {
  const InstallFailure& failure = GetParam();
  if (failure.forcedStatus != 0) SetControl(L"InstallWiaDevice", failure.forcedStatus);
  const DrelmoRun run = RunDrelmo(L"InstallNET", failure.standIn);
  ExpectCleanEnd(run);
  EXPECT_EQ(run.log, Concat(InstallNetLines(), {failure.line}));
  EXPECT_THAT(Devices(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Failures, NetworkInstallFailure,
    ::testing::Values(InstallFailure{"LibraryMissing", StandIn::None(), 0,
                                     L"LoadLibrary(sti_ci.dll) Failed: 126."},
                      InstallFailure{"ExportMissing", StandIn::Without(L"InstallWiaDevice"), 0,
                                     L"GetProcAddress(InstallWiaDevice) Failed: 127."},
                      InstallFailure{"InstallRefused", StandIn::Full(), 1603,
                                     L"InstallWiaDevice Failed: 1603."},
                      InstallFailure{"NegativeStatus", StandIn::Full(), 0x80070005u,
                                     L"InstallWiaDevice Failed: -2147024891."}),
    [](const ::testing::TestParamInfo<InstallFailure>& info) { return info.param.name; });

}  // namespace
