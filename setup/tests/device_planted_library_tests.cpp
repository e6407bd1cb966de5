// Drelmo.exe runs elevated from a folder an ordinary user may write to: a
// "sti_ci.dll" planted beside it or in its current directory must never be
// loaded, whether or not the system folder holds the platform's library.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "device_bench.h"
#include "drelmo_process.h"
#include "sti_ci_control.h"

using namespace devbench;
using ::testing::IsEmpty;

namespace {

struct Planting {
  const char* name;
  bool besideProgram;   // else only in the current directory, the program elsewhere
  bool inSystemFolder;  // the platform's library (the full stand-in) is installed
};

class PlantedLibrary : public DeviceActionTest, public ::testing::WithParamInterface<Planting> {};

TEST_P(PlantedLibrary, IsNeverLoaded) {
  const Planting& planting = GetParam();
  PlantLibrary(WorkFolder());
  const std::wstring program = planting.besideProgram ? L"" : drelmo_test::DrelmoExe();
  const StandIn standIn = planting.inSystemFolder ? StandIn::Full() : StandIn::None();

  const DrelmoRun install = RunDrelmo(L"InstallNET", standIn, program);
  ExpectCleanEnd(install);
  EXPECT_EQ(ControlValue(STI_CONTROL_PLANTED_LOADS), 0u) << "the planted library ran";
  std::vector<std::wstring> expected = Concat(
      WorkerStart(),
      {L"INF File Path: " + WorkFolder() + L"\\QZV01SCN_NET.inf", L"Install NET WIA driver!"});
  if (!planting.inSystemFolder) expected.push_back(L"LoadLibrary(sti_ci.dll) Failed: 126.");
  EXPECT_EQ(install.log, expected);

  const std::vector<Device> devices = Devices();
  ASSERT_EQ(devices.size(), planting.inSystemFolder ? 1u : 0u);
  const std::wstring staged = devices.empty() ? L"" : Track(devices[0].infPath);

  const DrelmoRun uninstall = RunDrelmo(L"UnInstallNET", standIn, program);
  ExpectCleanEnd(uninstall);
  EXPECT_EQ(ControlValue(STI_CONTROL_PLANTED_LOADS), 0u) << "the planted library ran";
  expected = Concat(WorkerStart(), {L"UnInstall NET WIA driver!"});
  if (planting.inSystemFolder) {
    expected = Concat(expected,
                      {L"WiaDevice[0]: Orvane Scanner NW", L"UninstallWiaDevice[0] Success!!",
                       L"GetWiaDeviceProperty(FriendlyName) Failed!! ErrorNo[ERROR_NO_MORE_ITEMS]",
                       L"oeminf: " + staged, L"Delete Cmd: QZUninstall.NT 132 " + staged,
                       L"Remove Service Result = 1"});
  } else {
    expected = Concat(
        expected, {L"LoadLibrary(sti_ci.dll) Failed!! ErrorNo[126]", L"Remove Service Result = 0"});
  }
  EXPECT_EQ(uninstall.log, expected);
  EXPECT_THAT(Devices(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Places, PlantedLibrary,
    ::testing::Values(Planting{"BesideTheProgram", true, true},
                      Planting{"BesideTheProgramNoneInTheSystem", true, false},
                      Planting{"InTheCurrentDirectory", false, true},
                      Planting{"InTheCurrentDirectoryNoneInTheSystem", false, false}),
    [](const ::testing::TestParamInfo<Planting>& info) { return info.param.name; });

}  // namespace
