// Drelmo.exe runs elevated from a folder an ordinary user may write to: a
// "sti_ci.dll" planted beside it or in its current directory must never be
// loaded, whether or not the system folder holds the platform's library.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "device_bench.h"
#include "drelmo_process.h"
#include "system_library.h"
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

// The platform's own libraries load others by bare name too, with the
// process's search: after the tool's start-up, a bare name is looked for in
// the system folder only, never beside the program. (This changes the
// search of the whole test process, so it runs last.)
TEST_F(DeviceActionTest, AfterStartUpBareNamesAreLookedForInTheSystemFolderOnly) {
  wchar_t self[MAX_PATH] = {};
  ASSERT_NE(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
  const std::filesystem::path beside =
      std::filesystem::path(self).parent_path() / L"drelmo_search_probe.dll";
  std::filesystem::copy_file(
      std::filesystem::path(drelmo_test::StandInDirectory()) / L"planted" / L"sti_ci.dll", beside,
      std::filesystem::copy_options::overwrite_existing);

  RestrictLibrarySearch();
  const HMODULE planted = LoadLibraryW(L"drelmo_search_probe.dll");
  const DWORD plantedError = GetLastError();
  if (planted != nullptr) FreeLibrary(planted);
  const HMODULE platform = LoadLibraryW(L"sti_ci.dll");  // the stand-in in the system folder
  if (platform != nullptr) FreeLibrary(platform);
  std::filesystem::remove(beside);

  EXPECT_EQ(planted, nullptr) << "a library beside the program was loaded by its bare name";
  EXPECT_EQ(plantedError, static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  EXPECT_NE(platform, nullptr) << "the system folder's library was not found by its bare name";
}

}  // namespace
