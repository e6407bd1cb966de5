// Drelmo.exe UnInstallUSB and UnInstallNET against the "sti_ci.dll" stand-in,
// run as a real process under Wine: which devices go, which package is
// removed, the recorded-name fallback, and the line each failure leaves.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "device_bench.h"
#include "drelmo_process.h"
#include "sti_ci_control.h"

using namespace devbench;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

const std::wstring NoDevices = L"CreateWiaDeviceList() Failed!! ErrorNo[ERROR_NO_MORE_ITEMS]";
const std::wstring EndOfList =
    L"GetWiaDeviceProperty(FriendlyName) Failed!! ErrorNo[ERROR_NO_MORE_ITEMS]";

std::vector<std::wstring> UninstallUsbLines(const std::vector<std::wstring>& lines) {
  return Concat(Concat(WorkerStart(), {L"Uninstall USB WIA driver!"}), lines);
}

std::vector<std::wstring> UninstallNetLines(const std::vector<std::wstring>& lines) {
  return Concat(Concat(WorkerStart(), {L"UnInstall NET WIA driver!"}), lines);
}

// The lines of a removal of the package staged as infName that succeeds.
std::vector<std::wstring> Removed(const std::wstring& infName) {
  return {L"oeminf: " + infName, L"Delete Cmd: QZUninstall.NT 132 " + infName,
          L"Remove Service Result = 1"};
}

class UninstallTest : public DeviceActionTest {
 protected:
  // Stages a copy of the USB package under its own name; returns the staged
  // name. Its original name is not the model's: an uninstall keeps it.
  std::wstring StageCopy(const std::wstring& name) {
    CopyPackage(L"QZV01SCN_USB.INF", name);
    return Track(Stage(name));
  }
  // Stages the model's own package from the work folder ("QZV01SCN_USB.INF"
  // or "QZV01SCN_NET.inf"); returns the staged name.
  std::wstring StageModelPackage(const std::wstring& name) { return Track(Stage(name)); }
};

// The line of a package kept because it was staged from another INF file.
std::wstring NotThisModel(const std::wstring& original, const std::wstring& model) {
  return L"Original INF name " + original + L" is not " + model +
         L": not this model's package; package kept.";
}

TEST_F(UninstallTest, UsbUninstallTakesTheExactNameAndNumberedNamesOnly) {
  const std::wstring staged = StageModelPackage(L"QZV01SCN_USB.INF");
  SeedDevice(L"Orvane Scanner USB", staged);
  SeedDevice(L"Orvane Scanner USB2", staged);
  SeedDevice(L"orvane scanner usb", staged);
  SeedDevice(L"Orvane Scanner NW", staged);
  SeedDevice(L"Orvane Scanner USB #2", staged);
  SeedDevice(L"Orvane Scanner US", staged);

  const DrelmoRun run = RunDrelmo(L"UnInstallUSB");
  ExpectCleanEnd(run);
  EXPECT_EQ(run.log, UninstallUsbLines(Concat(
                         {L"WiaDevice[0]: Orvane Scanner USB", L"UninstallWiaDevice[0] Success!!",
                          L"WiaDevice[4]: Orvane Scanner USB #2",
                          L"UninstallWiaDevice[4] Success!!", EndOfList},
                         Removed(staged))));
  EXPECT_THAT(DeviceNames(), ElementsAre(L"Orvane Scanner USB2", L"orvane scanner usb",
                                         L"Orvane Scanner NW", L"Orvane Scanner US"));
  EXPECT_FALSE(IsStaged(staged));
}

TEST_F(UninstallTest, PackageOfTheFirstDeviceUninstalledIsTheOneRemoved) {
  const std::wstring first = StageCopy(L"QZDEVA.inf");
  const std::wstring second = StageModelPackage(L"QZV01SCN_USB.INF");
  const std::wstring third = StageCopy(L"QZDEVC.inf");
  ASSERT_NE(first, second);
  ASSERT_NE(second, third);
  SeedDevice(L"Orvane Scanner USB", first, {{STI_VALUE_FAIL_UNINSTALL, 5}});
  SeedDevice(L"Orvane Scanner USB #2", second);
  SeedDevice(L"Orvane Scanner USB #3", third);

  const DrelmoRun run = RunDrelmo(L"UnInstallUSB");
  ExpectCleanEnd(run);
  EXPECT_EQ(
      run.log,
      UninstallUsbLines(Concat(
          {L"WiaDevice[0]: Orvane Scanner USB", L"UninstallWiaDevice[0] Failed!! ErrorNo[5]",
           L"WiaDevice[1]: Orvane Scanner USB #2", L"UninstallWiaDevice[1] Success!!",
           L"WiaDevice[2]: Orvane Scanner USB #3", L"UninstallWiaDevice[2] Success!!", EndOfList},
          Removed(second))));
  EXPECT_THAT(DeviceNames(), ElementsAre(L"Orvane Scanner USB"));
  EXPECT_TRUE(IsStaged(first));
  EXPECT_FALSE(IsStaged(second));
  EXPECT_TRUE(IsStaged(third));
}

TEST_F(UninstallTest, UsbUninstallWithoutDevicesRemovesThePackageARealInstallRecorded) {
  ExpectCleanEnd(RunDrelmo(L"InstallUSB"));
  const drelmo_test::RegistryString record = drelmo_test::ReadDriverRecord();
  ASSERT_TRUE(record.present);
  ASSERT_EQ(record.type, static_cast<DWORD>(REG_SZ));
  const std::wstring recorded = Track(reinterpret_cast<const wchar_t*>(record.data.data()));
  ASSERT_TRUE(IsStaged(recorded));
  SetPackageMarker(L"USB");

  const DrelmoRun run = RunDrelmo(L"UnInstallUSB");
  ExpectCleanEnd(run);
  EXPECT_EQ(run.log, UninstallUsbLines(Concat({NoDevices}, Removed(recorded))));
  EXPECT_FALSE(IsStaged(recorded));
  EXPECT_FALSE(HasPackageMarker(L"USB")) << "the package's uninstall section did not run";
  EXPECT_FALSE(drelmo_test::ReadDriverRecord().present)
      << "the record still names the package that is gone";
}

// Staged names are reused once freed: the recorded name may by now belong to
// another maker's package, which has no uninstall section of this scanner.
TEST_F(UninstallTest, RecordedNameNowOnAnotherMakersPackageKeepsThatPackage) {
  std::ofstream(std::filesystem::path(WorkFolder()) / L"OTHERMAKER.inf", std::ios::binary)
      << "[Version]\r\nSignature=\"$WINDOWS NT$\"\r\nClass=Image\r\n"
         "ClassGUID={6bdd1fc6-810f-11d0-bec7-08002be2092f}\r\nProvider=%Maker%\r\n"
         "DriverVer=01/02/2026,2.0.0.0\r\n\r\n[Manufacturer]\r\n%Maker%=Models,NTamd64\r\n\r\n"
         "[Models.NTamd64]\r\n%DeviceName%=OtherInstall,USB\\VID_7A11&PID_0202\r\n\r\n"
         "[OtherInstall.NT]\r\n\r\n[OtherUninstall.NT]\r\n\r\n"
         "[Strings]\r\nMaker=\"Another maker\"\r\nDeviceName=\"Another scanner\"\r\n";
  const std::wstring other = Track(Stage(L"OTHERMAKER.inf"));
  ASSERT_TRUE(IsStaged(other));
  SetRecordedName(REG_SZ, TextBytes(other));

  const DrelmoRun run = RunDrelmo(L"UnInstallUSB");
  ExpectCleanEnd(run);
  EXPECT_EQ(run.log, UninstallUsbLines({NoDevices, L"oeminf: " + other,
                                        L"No QZUninstall.NT section: not this scanner's "
                                        L"package; package kept.",
                                        L"Remove Service Result = 0"}));
  EXPECT_TRUE(IsStaged(other)) << "another maker's package was deleted";
}

// The USB package removed some other way leaves its record behind, and the
// system gives the freed staged name to the next package it stages: here the
// network model's, still used by the network scanner. It has the scanner's
// uninstall section too; its original name tells it apart.
TEST_F(UninstallTest, UsbRecordNamingTheNetworkPackageKeepsThatPackage) {
  const std::wstring network = StageModelPackage(L"QZV01SCN_NET.inf");
  ASSERT_TRUE(IsStaged(network));
  SetPackageMarker(L"NET");
  SeedDevice(L"Orvane Scanner NW", network);
  SetRecordedName(REG_SZ, TextBytes(network));

  const DrelmoRun run = RunDrelmo(L"UnInstallUSB");
  ExpectCleanEnd(run);
  EXPECT_EQ(run.log, UninstallUsbLines({EndOfList, L"oeminf: " + network,
                                        NotThisModel(L"QZV01SCN_NET.inf", L"QZV01SCN_USB.INF"),
                                        L"Remove Service Result = 0"}));
  EXPECT_TRUE(IsStaged(network)) << "the network scanner's package was deleted";
  EXPECT_TRUE(HasPackageMarker(L"NET")) << "the network package's uninstall section ran";
  EXPECT_THAT(DeviceNames(), ElementsAre(L"Orvane Scanner NW"));
}

TEST_F(UninstallTest, NetworkUninstallWithoutDevicesRemovesNothingAndHasNoFallback) {
  const std::wstring staged = StageCopy(L"QZDEVUSB.inf");
  SetRecordedName(REG_SZ, TextBytes(staged));

  const DrelmoRun run = RunDrelmo(L"UnInstallNET");
  ExpectCleanEnd(run);
  EXPECT_EQ(run.log, UninstallNetLines({NoDevices, L"oeminf: ", L"Remove Service Result = 0"}));
  EXPECT_TRUE(IsStaged(staged));
}

TEST_F(UninstallTest, NetworkUninstallLeavesUsbDevices) {
  const std::wstring staged = StageModelPackage(L"QZV01SCN_NET.inf");
  SeedDevice(L"Orvane Scanner USB", staged);
  SeedDevice(L"Orvane Scanner NW #", staged);

  const DrelmoRun run = RunDrelmo(L"UnInstallNET");
  ExpectCleanEnd(run);
  EXPECT_EQ(run.log, UninstallNetLines(Concat({L"WiaDevice[1]: Orvane Scanner NW #",
                                               L"UninstallWiaDevice[1] Success!!", EndOfList},
                                              Removed(staged))));
  EXPECT_THAT(DeviceNames(), ElementsAre(L"Orvane Scanner USB"));
}

TEST_F(UninstallTest, PropertyQueryFailingMidListEndsTheEnumeration) {
  const std::wstring staged = StageModelPackage(L"QZV01SCN_USB.INF");
  SeedDevice(L"Orvane Scanner USB", staged);
  SeedDevice(L"Orvane Scanner NW", staged, {{STI_VALUE_FAIL_FRIENDLY_NAME, 31}});
  SeedDevice(L"Orvane Scanner USB #2", staged);

  const DrelmoRun run = RunDrelmo(L"UnInstallUSB");
  ExpectCleanEnd(run);
  EXPECT_EQ(run.log, UninstallUsbLines(Concat(
                         {L"WiaDevice[0]: Orvane Scanner USB", L"UninstallWiaDevice[0] Success!!",
                          L"GetWiaDeviceProperty(FriendlyName) Failed!! ErrorNo[31]"},
                         Removed(staged))));
  EXPECT_THAT(DeviceNames(), ElementsAre(L"Orvane Scanner NW", L"Orvane Scanner USB #2"));
}

TEST_F(UninstallTest, InfPathQueryFailingEndsTheEnumerationAndFallsBack) {
  const std::wstring recorded = StageModelPackage(L"QZV01SCN_USB.INF");
  SetRecordedName(REG_SZ, TextBytes(recorded));
  SeedDevice(L"Orvane Scanner USB", L"QZOTHER.inf", {{STI_VALUE_FAIL_INF_PATH, 1168}});
  SeedDevice(L"Orvane Scanner USB #2", L"QZOTHER.inf");

  const DrelmoRun run = RunDrelmo(L"UnInstallUSB");
  ExpectCleanEnd(run);
  EXPECT_EQ(run.log,
            UninstallUsbLines(Concat({L"WiaDevice[0]: Orvane Scanner USB",
                                      L"GetWiaDeviceProperty(InfPath) Failed!! ErrorNo[1168]"},
                                     Removed(recorded))));
  EXPECT_THAT(DeviceNames(), ElementsAre(L"Orvane Scanner USB", L"Orvane Scanner USB #2"));
  EXPECT_FALSE(IsStaged(recorded));
}

TEST_F(UninstallTest, EveryDeviceFailingToUninstallFallsBackToTheRecordedName) {
  const std::wstring recorded = StageModelPackage(L"QZV01SCN_USB.INF");
  SetRecordedName(REG_SZ, TextBytes(recorded));
  SeedDevice(L"Orvane Scanner USB", L"QZOTHER.inf", {{STI_VALUE_FAIL_UNINSTALL, 5}});
  SeedDevice(L"Orvane Scanner USB #2", L"QZOTHER.inf", {{STI_VALUE_FAIL_UNINSTALL, 0xE0000219u}});

  const DrelmoRun run = RunDrelmo(L"UnInstallUSB");
  ExpectCleanEnd(run);
  EXPECT_EQ(run.log,
            UninstallUsbLines(Concat(
                {L"WiaDevice[0]: Orvane Scanner USB", L"UninstallWiaDevice[0] Failed!! ErrorNo[5]",
                 L"WiaDevice[1]: Orvane Scanner USB #2",
                 L"UninstallWiaDevice[1] Failed!! ErrorNo[-536870375]", EndOfList},
                Removed(recorded))));
  EXPECT_EQ(Devices().size(), 2u);
  EXPECT_FALSE(IsStaged(recorded));
}

// Failures before any device is looked at: one line, nothing removed, no
// fallback to the recorded name.
struct EarlyFailure {
  const char* name;
  StandIn standIn;
  const wchar_t* control;  // control value set to 1 or the status below, or none
  DWORD status;
  std::wstring line;
};

class UninstallEarlyFailure : public UninstallTest,
                              public ::testing::WithParamInterface<EarlyFailure> {};

TEST_P(UninstallEarlyFailure, LogsOneLineRemovesNothingAndStillCloses) {
  const EarlyFailure& failure = GetParam();
  const std::wstring staged = StageCopy(L"QZDEVUSB.inf");
  SetRecordedName(REG_SZ, TextBytes(staged));
  SeedDevice(L"Orvane Scanner USB", staged);
  if (failure.control != nullptr) SetControl(failure.control, failure.status);

  const DrelmoRun run = RunDrelmo(L"UnInstallUSB", failure.standIn);
  ExpectCleanEnd(run);
  EXPECT_EQ(run.log, UninstallUsbLines({failure.line, L"Remove Service Result = 0"}));
  EXPECT_THAT(DeviceNames(), ElementsAre(L"Orvane Scanner USB"));
  EXPECT_TRUE(IsStaged(staged));
}

INSTANTIATE_TEST_SUITE_P(
    Failures, UninstallEarlyFailure,
    ::testing::Values(
        EarlyFailure{"LibraryMissing", StandIn::None(), nullptr, 0,
                     L"LoadLibrary(sti_ci.dll) Failed!! ErrorNo[126]"},
        EarlyFailure{"DestroyMissing", StandIn::Without(L"DestroyWiaDeviceList"), nullptr, 0,
                     L"GetProcAddress(DestroyWiaDeviceList) Failed!! ErrorNo[127]"},
        EarlyFailure{"UninstallMissing", StandIn::Without(L"UninstallWiaDevice"), nullptr, 0,
                     L"GetProcAddress(UninstallWiaDevice) Failed!! ErrorNo[127]"},
        EarlyFailure{"CreateMissing", StandIn::Without(L"CreateWiaDeviceList"), nullptr, 0,
                     L"GetProcAddress(CreateWiaDeviceList) Failed!! ErrorNo[127]"},
        EarlyFailure{"PropertyMissing", StandIn::Without(L"GetWiaDeviceProperty"), nullptr, 0,
                     L"GetProcAddress(GetWiaDeviceProperty) Failed!! ErrorNo[127]"},
        // With two exports missing, the one looked up first is named.
        EarlyFailure{"DestroyBeforeUninstall",
                     StandIn::Without(L"DestroyWiaDeviceList+UninstallWiaDevice"), nullptr, 0,
                     L"GetProcAddress(DestroyWiaDeviceList) Failed!! ErrorNo[127]"},
        EarlyFailure{"UninstallBeforeCreate",
                     StandIn::Without(L"UninstallWiaDevice+CreateWiaDeviceList"), nullptr, 0,
                     L"GetProcAddress(UninstallWiaDevice) Failed!! ErrorNo[127]"},
        EarlyFailure{"CreateBeforeProperty",
                     StandIn::Without(L"CreateWiaDeviceList+GetWiaDeviceProperty"), nullptr, 0,
                     L"GetProcAddress(CreateWiaDeviceList) Failed!! ErrorNo[127]"},
        EarlyFailure{"CreateFails", StandIn::Full(), L"CreateWiaDeviceList", 1450,
                     L"CreateWiaDeviceList() Failed!! ErrorNo[1450]"},
        EarlyFailure{"NullList", StandIn::Full(), STI_CONTROL_NULL_LIST, 1,
                     L"CreateWiaDeviceList() Failed!! WiaDeviceList is null."}),
    [](const ::testing::TestParamInfo<EarlyFailure>& info) { return info.param.name; });

// The recorded-name fallback with values of every kind, and no devices.
class RecordedNameTest : public UninstallTest {
 protected:
  DrelmoRun UninstallWithRecord(DWORD type, const std::vector<BYTE>& data) {
    SetRecordedName(type, data);
    const DrelmoRun run = RunDrelmo(L"UnInstallUSB");
    ExpectCleanEnd(run);
    return run;
  }
};

TEST_F(RecordedNameTest, ExpandStringIsAcceptedAsStored) {
  const std::wstring staged = StageModelPackage(L"QZV01SCN_USB.INF");
  EXPECT_EQ(UninstallWithRecord(REG_EXPAND_SZ, TextBytes(staged)).log,
            UninstallUsbLines(Concat({NoDevices}, Removed(staged))));
  EXPECT_FALSE(IsStaged(staged));

  // Unexpanded, the name is no staged package: there is nothing to remove.
  EXPECT_EQ(UninstallWithRecord(REG_EXPAND_SZ, TextBytes(L"%SystemRoot%.inf")).log,
            UninstallUsbLines({NoDevices, L"oeminf: %SystemRoot%.inf",
                               L"SetupOpenInfFile() Failed!! ErrorNo[2]; package kept.",
                               L"Remove Service Result = 0"}));
}

TEST_F(RecordedNameTest, EmptyValueCountsAsFoundButNamesNoPackageToRemove) {
  const DrelmoRun run = UninstallWithRecord(REG_SZ, {});
  ASSERT_EQ(run.log.size(), UninstallUsbLines({}).size() + 4);
  EXPECT_EQ(std::vector<std::wstring>(run.log.begin(), run.log.end() - 2),
            UninstallUsbLines({NoDevices, L"oeminf: "}));
  EXPECT_THAT(run.log[run.log.size() - 2],
              ::testing::StartsWith(L"SetupOpenInfFile() Failed!! ErrorNo["));
  EXPECT_THAT(run.log[run.log.size() - 2], ::testing::EndsWith(L"]; package kept."));
  EXPECT_EQ(run.log.back(), L"Remove Service Result = 0");
}

struct RejectedValue {
  const char* name;
  DWORD type;
  std::vector<BYTE> data;
  std::wstring shown;  // what "oeminf: " shows, when the platform fixes it
  bool shownFixed;
};

class RejectedRecordedName : public RecordedNameTest,
                             public ::testing::WithParamInterface<RejectedValue> {};

TEST_P(RejectedRecordedName, IsNotUsed) {
  const RejectedValue& value = GetParam();
  const std::wstring staged = StageCopy(L"QZDEVUSB.inf");
  ASSERT_EQ(staged, L"QZDEVUSB.inf") << "the cases name the package as staged";
  const DrelmoRun run = UninstallWithRecord(value.type, value.data);
  ASSERT_EQ(run.log.size(), UninstallUsbLines({}).size() + 3) << ::testing::PrintToString(run.log);
  // What "oeminf: " shows of a rejected value over 520 bytes is the platform's.
  const std::wstring shown = value.shownFixed ? L"oeminf: " + value.shown : run.log.end()[-2];
  EXPECT_EQ(run.log, UninstallUsbLines({NoDevices, shown, L"Remove Service Result = 0"}));
  EXPECT_THAT(shown, ::testing::StartsWith(L"oeminf: "));
  EXPECT_TRUE(IsStaged(staged));
}

std::vector<BYTE> Padded(std::vector<BYTE> bytes, size_t extra) {
  bytes.resize(bytes.size() + extra, 0);
  return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Values, RejectedRecordedName,
    ::testing::Values(
        RejectedValue{"Binary", REG_BINARY, TextBytes(L"QZDEVUSB.inf"), L"QZDEVUSB.inf", true},
        RejectedValue{"MultiString", REG_MULTI_SZ, Padded(TextBytes(L"QZDEVUSB.inf"), 2),
                      L"QZDEVUSB.inf", true},
        RejectedValue{"Dword", REG_DWORD, {0x41, 0, 0x42, 0}, L"AB", true},
        RejectedValue{"OddSize", REG_SZ, Padded(TextBytes(L"QZDEVUSB.inf"), 1), L"QZDEVUSB.inf",
                      true},
        RejectedValue{"NoFinalNul", REG_SZ, TextBytes(L"QZDEVUSB.inf", false), L"QZDEVUSB.inf",
                      true},
        RejectedValue{"Over520Bytes", REG_SZ, TextBytes(std::wstring(260, L'q')), L"", false}),
    [](const ::testing::TestParamInfo<RejectedValue>& info) { return info.param.name; });

// A recorded name is used whatever its length, but the uninstall section runs
// only with the complete command line: names over 240 characters are kept.
// Names that fit the system's inf folder are staged copies of the package;
// staged from a file of that name, they are not the model's package either,
// so a complete command line leads on to that check.
class LongRecordedName : public RecordedNameTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(LongRecordedName, RunsTheRemovalOnlyWithACompleteCommandLine) {
  const std::wstring name = std::wstring(GetParam() - 4, L'q') + L".inf";
  const bool staged = name.size() <= 241;
  if (staged) {
    ASSERT_EQ(StageCopy(name), name) << "the cases name the package as staged";
  }
  const DrelmoRun run = UninstallWithRecord(REG_SZ, TextBytes(name));
  std::vector<std::wstring> expected = {NoDevices, L"oeminf: " + name};
  if (name.size() <= 240) {
    expected.push_back(NotThisModel(name, L"QZV01SCN_USB.INF"));
    expected.push_back(L"Remove Service Result = 0");
  } else {
    expected.push_back(L"Delete Cmd Failed!! INF name of " + std::to_wstring(name.size()) +
                       L" characters is too long; package kept.");
    expected.push_back(L"Remove Service Result = 0");
  }
  EXPECT_EQ(run.log, UninstallUsbLines(expected));
  if (staged) {
    EXPECT_TRUE(IsStaged(name));
  }
}

INSTANTIATE_TEST_SUITE_P(Lengths, LongRecordedName, ::testing::Values(240u, 241u, 259u));

}  // namespace

// A recorded name that is a path leads the setup functions to an INF file
// outside the driver store, which any user may have put there: here the
// model's own package in the work folder, which the uninstall would run and
// delete. Only a bare name is taken.
class RecordedPath : public RecordedNameTest,
                     public ::testing::WithParamInterface<const wchar_t*> {};

TEST_P(RecordedPath, IsNotAPackageToRemove) {
  // No prefix given: the full path of the work folder.
  const std::wstring prefix = GetParam() != nullptr ? GetParam() : WorkFolder() + L"\\";
  const std::wstring path = prefix + L"QZV01SCN_USB.INF";
  SetPackageMarker(L"USB");
  const DrelmoRun run = UninstallWithRecord(REG_SZ, TextBytes(path));
  EXPECT_EQ(run.log, UninstallUsbLines({NoDevices, L"oeminf: " + path,
                                        L"INF name " + path +
                                            L" is not a name in the driver store; package kept.",
                                        L"Remove Service Result = 0"}));
  EXPECT_TRUE(HasPackageMarker(L"USB")) << "the package's uninstall section ran";
  EXPECT_TRUE(std::filesystem::exists(WorkFolder() + L"\\QZV01SCN_USB.INF"));
}

INSTANTIATE_TEST_SUITE_P(Paths, RecordedPath, ::testing::Values(nullptr, L".\\", L"C:", L"./"));
