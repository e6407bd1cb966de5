#include "device_bench.h"

#include <setupapi.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "drelmo_process.h"
#include "process_start.h"
#include "owner.h"
#include "registry.h"
#include "sti_ci_control.h"

namespace fs = std::filesystem;

namespace devbench {
namespace {

constexpr DWORD RunTimeLimitMs = 60000;
// The test packages' install sections add, and their uninstall sections
// remove, this key with the model's name (USB, NET) appended.
constexpr wchar_t PackageMarkerKey[] = L"SOFTWARE\\Orvane\\QzPrinter\\Tarvel\\Package\\";

fs::path BinFolder() { return fs::path(drelmo_test::DrelmoExe()).parent_path(); }

fs::path SystemFolder() {
  wchar_t system[MAX_PATH] = {};
  GetSystemDirectoryW(system, MAX_PATH);
  return system;
}

std::wstring LogNameOf(const std::wstring& keyword) {
  if (keyword == L"UnInstallUSB") return L"UninstallUSB";
  if (keyword == L"UnInstallNET") return L"UninstallNET";
  return keyword;
}

void OpenOrFail(const wchar_t* path, RegKeyHolder& key) {
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr,
                            key.put(), nullptr),
            ERROR_SUCCESS)
      << "cannot open HKLM\\" << fs::path(path).string();
}

LSTATUS SetString(HKEY key, const wchar_t* name, const std::wstring& value) {
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

std::wstring GetString(HKEY key, const wchar_t* name) {
  wchar_t value[2048] = {};
  DWORD size = sizeof(value) - sizeof(wchar_t);
  RegGetValueW(key, nullptr, name, RRF_RT_REG_SZ, nullptr, value, &size);
  return value;
}

fs::path StagedFile(const std::wstring& stagedName) {
  return fs::path(drelmo_test::InfDirectory()) / stagedName;
}

}  // namespace

namespace {
const std::wstring WorkRoot = L"C:\\devtest";
std::wstring currentWorkFolder = WorkRoot;
}  // namespace

std::wstring WorkFolder() { return currentWorkFolder; }

void UseWorkFolder(const std::wstring& nameInRoot) {
  currentWorkFolder = WorkRoot + L"\\" + nameInRoot;
}

void PrepareWorkFolder() {
  const fs::path work(WorkFolder());
  fs::remove_all(WorkRoot);
  fs::create_directories(work);
  fs::copy_file(BinFolder() / L"Drelmo.exe", work / L"Drelmo.exe");
  for (const wchar_t* package : {L"QZV01SCN_USB.INF", L"QZV01SCN_NET.inf"})
    fs::copy_file(drelmo_test::PackageFile(package), work / package);
}

void PlaceStandIn(const StandIn& standIn) {
  const fs::path installed = SystemFolder() / L"sti_ci.dll";
  fs::remove(installed);
  if (!standIn.present) return;
  const fs::path builds(drelmo_test::StandInDirectory());
  const fs::path library = standIn.omittedExport.empty()
                               ? builds / L"sti_ci.dll"
                               : builds / L"without" / standIn.omittedExport / L"sti_ci.dll";
  fs::copy_file(library, installed);
}

void PlantLibrary(const std::wstring& folder) {
  fs::copy_file(fs::path(drelmo_test::StandInDirectory()) / L"planted" / L"sti_ci.dll",
                fs::path(folder) / L"sti_ci.dll", fs::copy_options::overwrite_existing);
}

DrelmoRun RunDrelmo(const std::wstring& keyword, const StandIn& standIn,
                    const std::wstring& program) {
  DrelmoRun run;
  PlaceStandIn(standIn);
  drelmo_test::DeleteLog(LogNameOf(keyword));

  const std::wstring exe = program.empty() ? WorkFolder() + L"\\Drelmo.exe" : program;
  testbench::ProcessStart start;
  start.application = exe;
  start.commandLine = L"\"" + exe + L"\" " + keyword + L" LOG";
  start.directory = WorkFolder();
  PROCESS_INFORMATION process = {};
  if (const DWORD error = testbench::StartProcess(start, &process)) {
    ADD_FAILURE() << "cannot start Drelmo.exe: " << error;
    return run;
  }
  CloseHandle(process.hThread);
  run.ended = WaitForSingleObject(process.hProcess, RunTimeLimitMs) == WAIT_OBJECT_0;
  if (!run.ended)
    EXPECT_TRUE(testbench::EndProcess(process.hProcess, 1)) << "Drelmo.exe did not end when ended";
  GetExitCodeProcess(process.hProcess, &run.exitCode);
  CloseHandle(process.hProcess);
  run.log = drelmo_test::LastRunMessages(LogNameOf(keyword));
  return run;
}

std::vector<std::wstring> WorkerStart() {
  return {L"Thread function enter!", L"currentDirectory: " + WorkFolder() + L"; size = " +
                                         std::to_wstring(WorkFolder().size())};
}

std::vector<Device> Devices() {
  std::vector<Device> devices;
  RegKeyHolder root;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, STI_STANDIN_DEVICES, 0, KEY_READ, root.put()) !=
      ERROR_SUCCESS)
    return devices;
  for (const std::wstring& key : StandInSubkeyNames(root.get())) {
    RegKeyHolder device;
    if (RegOpenKeyExW(root.get(), key.c_str(), 0, KEY_READ, device.put()) != ERROR_SUCCESS)
      continue;
    devices.push_back({GetString(device.get(), STI_VALUE_FRIENDLY_NAME),
                       GetString(device.get(), STI_VALUE_INF_PATH),
                       GetString(device.get(), STI_VALUE_DEVICE_ID),
                       GetString(device.get(), STI_VALUE_CONNECTION)});
  }
  return devices;
}

std::vector<std::wstring> DeviceNames() {
  std::vector<std::wstring> names;
  for (const Device& device : Devices()) names.push_back(device.friendlyName);
  return names;
}

void SeedDevice(const std::wstring& friendlyName, const std::wstring& infPath,
                const std::vector<std::pair<std::wstring, DWORD>>& failures) {
  std::wstring number = std::to_wstring(Devices().size());
  number.insert(0, 4 - number.size(), L'0');
  const std::wstring path = std::wstring(STI_STANDIN_DEVICES) + L"\\" + number;
  RegKeyHolder device;
  OpenOrFail(path.c_str(), device);
  SetString(device.get(), STI_VALUE_FRIENDLY_NAME, friendlyName);
  SetString(device.get(), STI_VALUE_INF_PATH, infPath);
  SetString(device.get(), STI_VALUE_DEVICE_ID, L"QZScnDrv_ID");
  SetString(device.get(), STI_VALUE_CONNECTION, L"USB");
  for (const auto& failure : failures)
    RegSetValueExW(device.get(), failure.first.c_str(), 0, REG_DWORD,
                   reinterpret_cast<const BYTE*>(&failure.second), sizeof(DWORD));
}

void SetControl(const std::wstring& name, DWORD value) {
  RegKeyHolder control;
  OpenOrFail(STI_STANDIN_CONTROL, control);
  RegSetValueExW(control.get(), name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                 sizeof(value));
}

DWORD ControlValue(const std::wstring& name) {
  DWORD value = 0;
  DWORD size = sizeof(value);
  RegGetValueW(HKEY_LOCAL_MACHINE, STI_STANDIN_CONTROL, name.c_str(), RRF_RT_REG_DWORD, nullptr,
               &value, &size);
  return value;
}

std::vector<BYTE> LastInstallRecord() {
  std::vector<BYTE> record(4096);
  DWORD size = static_cast<DWORD>(record.size());
  if (RegGetValueW(HKEY_LOCAL_MACHINE, STI_STANDIN_CONTROL, STI_CONTROL_LAST_RECORD,
                   RRF_RT_REG_BINARY, nullptr, record.data(), &size) != ERROR_SUCCESS)
    size = 0;
  record.resize(size);
  return record;
}

void SetRecordedName(DWORD type, const std::vector<BYTE>& data) {
  // RegSetValueExW stores one character more for a string whose last counted
  // character is not NUL but the next one is, as if its NUL had been left
  // out of the count. A non-NUL character behind the data keeps it exact.
  std::vector<BYTE> guarded(data);
  guarded.resize(data.size() + 2 * sizeof(wchar_t), '?');
  RegKeyHolder key;
  OpenOrFail(DriverRecordKey, key);
  ASSERT_EQ(RegSetValueExW(key.get(), DriverRecordValue, 0, type, guarded.data(),
                           static_cast<DWORD>(data.size())),
            ERROR_SUCCESS);
}

std::vector<BYTE> TextBytes(const std::wstring& text, bool withNul) {
  const BYTE* bytes = reinterpret_cast<const BYTE*>(text.c_str());
  return std::vector<BYTE>(bytes, bytes + (text.size() + (withNul ? 1 : 0)) * sizeof(wchar_t));
}

std::wstring Stage(const std::wstring& fileName) {
  const std::wstring source = WorkFolder() + L"\\" + fileName;
  wchar_t staged[MAX_PATH] = {};
  wchar_t* stagedName = nullptr;
  if (!SetupCopyOEMInfW(source.c_str(), WorkFolder().c_str(), SPOST_PATH, 0, staged, MAX_PATH,
                        nullptr, &stagedName)) {
    ADD_FAILURE() << "cannot stage " << fs::path(source).string() << ": " << GetLastError();
    return L"";
  }
  return stagedName != nullptr ? stagedName : L"";
}

void CopyPackage(const std::wstring& packageName, const std::wstring& newName) {
  const fs::path copy = fs::path(WorkFolder()) / newName;
  fs::copy_file(drelmo_test::PackageFile(packageName.c_str()), copy,
                fs::copy_options::overwrite_existing);
  // SetupAPI stages identical packages once; a line of its own keeps this one apart.
  std::ofstream(copy, std::ios::binary | std::ios::app)
      << "; copy " << copy.filename().string() << "\r\n";
}

void SetPackageMarker(const std::wstring& model) {
  RegKeyHolder key;
  OpenOrFail((std::wstring(PackageMarkerKey) + model).c_str(), key);
}

bool HasPackageMarker(const std::wstring& model) {
  RegKeyHolder key;
  return RegOpenKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(PackageMarkerKey) + model).c_str(), 0,
                       KEY_READ, key.put()) == ERROR_SUCCESS;
}

bool IsStaged(const std::wstring& stagedName) {
  return !stagedName.empty() && fs::is_regular_file(StagedFile(stagedName));
}

void Unstage(const std::wstring& stagedName) {
  if (stagedName.empty()) return;
  std::error_code ignored;
  fs::remove(StagedFile(stagedName), ignored);
  fs::path compiled = StagedFile(stagedName);
  fs::remove(compiled.replace_extension(L".pnf"), ignored);
}

void ResetState(const std::vector<std::wstring>& stagedNames) {
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, STI_STANDIN_ROOT);
  drelmo_test::DeleteDriverRecord();
  drelmo_test::DeleteAllLogs();
  std::error_code ignored;
  for (const std::wstring& name : stagedNames) Unstage(name);
  for (const wchar_t* model : {L"USB", L"NET"})
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, (std::wstring(PackageMarkerKey) + model).c_str());
  fs::remove_all(fs::path(WorkRoot), ignored);
  currentWorkFolder = WorkRoot;
  PlaceStandIn(StandIn::Full());
}

}  // namespace devbench
