// Test bench for the device actions of Drelmo.exe: runs the real program as a
// process in a work folder of its own, and sets up and inspects what it acts
// on: the "sti_ci.dll" stand-in's device list and controls, the USB install's
// registry record, the staged INF files and the logs.
#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "sti_ci_control.h"

namespace devbench {

// Which build of the stand-in the platform holds in its system folder (where
// the real library lives): the full one, none, or the one without the named
// export.
struct StandIn {
  static StandIn Full() { return {true, L""}; }
  static StandIn None() { return {false, L""}; }
  static StandIn Without(const std::wstring& exportName) { return {true, exportName}; }
  bool present;
  std::wstring omittedExport;
};

// Work folder C:\devtest: Drelmo.exe and the driver packages, made anew by
// PrepareWorkFolder; each run installs the chosen stand-in into the system
// folder first.
std::wstring WorkFolder();
// Makes the work folder C:\devtest\<nameInRoot> until the next ResetState.
void UseWorkFolder(const std::wstring& nameInRoot);
void PrepareWorkFolder();
void PlaceStandIn(const StandIn& standIn);
// Puts the stand-in's planted build, which marks every load of it
// (STI_CONTROL_PLANTED_LOADS), into the folder as "sti_ci.dll".
void PlantLibrary(const std::wstring& folder);

struct DrelmoRun {
  bool ended = false;  // the program ended by itself within the time limit
  DWORD exitCode = 0;
  std::vector<std::wstring> log;  // the run's log messages, without time stamp and line end
};

// Runs Drelmo.exe <keyword> LOG in the work folder and collects its log;
// the program is the copy in the work folder unless another is named.
DrelmoRun RunDrelmo(const std::wstring& keyword, const StandIn& standIn = StandIn::Full(),
                    const std::wstring& program = L"");

// The first log lines of every run started in the work folder.
std::vector<std::wstring> WorkerStart();

// The stand-in's device list.
struct Device {
  std::wstring friendlyName;
  std::wstring infPath;
  std::wstring deviceId;
  std::wstring connection;
};
std::vector<Device> Devices();
std::vector<std::wstring> DeviceNames();
// Adds a device with the given values, plus REG_DWORD failure values.
void SeedDevice(const std::wstring& friendlyName, const std::wstring& infPath,
                const std::vector<std::pair<std::wstring, DWORD>>& failures = {});

// The stand-in's control key.
void SetControl(const std::wstring& name, DWORD value);
DWORD ControlValue(const std::wstring& name);
std::vector<BYTE> LastInstallRecord();

// The USB install's record of its staged INF name.
// Stores exactly these bytes with this type.
void SetRecordedName(DWORD type, const std::vector<BYTE>& data);
std::vector<BYTE> TextBytes(const std::wstring& text, bool withNul = true);

// Stages <work folder>\<fileName> with SetupCopyOEMInfW; returns the staged name.
std::wstring Stage(const std::wstring& fileName);
// Copies a driver package into the work folder under another name.
void CopyPackage(const std::wstring& packageName, const std::wstring& newName);
bool IsStaged(const std::wstring& stagedName);
// The key a package's install section adds and its uninstall section removes;
// model is "USB" or "NET".
void SetPackageMarker(const std::wstring& model);
bool HasPackageMarker(const std::wstring& model);
void Unstage(const std::wstring& stagedName);

// Removes every trace of earlier runs: the stand-in's keys, the record, the
// logs, and the staged packages named; the system folder holds the full
// stand-in again.
void ResetState(const std::vector<std::wstring>& stagedNames);

// Each test starts from and leaves behind a clean state: no stand-in keys,
// no record, no logs, none of the staged packages it tracked, the full
// stand-in in the system folder.
class DeviceActionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetState(staged_);
    PrepareWorkFolder();
  }
  void TearDown() override { ResetState(staged_); }

  // Remembers a staged name, to be removed when the test ends.
  std::wstring Track(const std::wstring& stagedName) {
    staged_.push_back(stagedName);
    return stagedName;
  }

  // The program ended by itself with code 0, freed the stand-in as often as
  // it loaded it, and destroyed every device list it made.
  static void ExpectCleanEnd(const DrelmoRun& run) {
    EXPECT_TRUE(run.ended) << "Drelmo.exe did not close its window in time";
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(ControlValue(STI_CONTROL_LOADS), ControlValue(STI_CONTROL_FREES));
    EXPECT_EQ(ControlValue(STI_CONTROL_LISTS_OPEN), 0u);
  }

 private:
  std::vector<std::wstring> staged_ = {L"QZV01SCN_USB.INF", L"QZV01SCN_NET.inf"};
};

// a followed by b.
inline std::vector<std::wstring> Concat(std::vector<std::wstring> a,
                                        const std::vector<std::wstring>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace devbench
