// Where the "sti_ci.dll" stand-in keeps its state in the Wine prefix's
// registry, shared by the stand-in and the tests that drive it.
//
// Devices: HKLM\SOFTWARE\QzTestBench\StillImage\Devices\NNNN (four decimal
// digits), each with the REG_SZ values FriendlyName, InfPath (the staged INF's
// file name, as SetupUninstallOEMInfW takes it), DeviceId and Connection.
// Optional REG_DWORD values on a device make calls about it fail with that
// status: FailFriendlyName, FailInfPath (GetWiaDeviceProperty), FailUninstall
// (UninstallWiaDevice).
//
// Control: HKLM\SOFTWARE\QzTestBench\StillImage\Control
//   <export name>      REG_DWORD  the export returns this status and does
//                                 nothing else (not for DestroyWiaDeviceList)
//   NullList           REG_DWORD  non-zero: CreateWiaDeviceList reports 0 but
//                                 hands back no list
//   LastInstallRecord  REG_BINARY the 1824 bytes InstallWiaDevice last received
//   Loads / Frees      REG_DWORD  times the library was loaded / unloaded by
//                                 FreeLibrary (not by process exit)
//   ListsOpen          REG_DWORD  lists made and not yet destroyed
//   PlantedLoads       REG_DWORD  times the planted build was loaded
//
// The builds lie apart from the programs, in <build>\sti_ci: the full one in
// sti_ci.dll, the one that marks its loads in planted\sti_ci.dll, builds
// without one export in without\<export>\sti_ci.dll and without two in
// without\<export>+<export>\sti_ci.dll (DestroyWiaDeviceList+UninstallWiaDevice,
// UninstallWiaDevice+CreateWiaDeviceList, CreateWiaDeviceList+GetWiaDeviceProperty).
// The platform keeps the real library in its system folder, and so the tests
// install the build they want there.
#pragma once

#include <windows.h>

#include <set>
#include <string>
#include <vector>

#define STI_STANDIN_ROOT L"SOFTWARE\\QzTestBench\\StillImage"
#define STI_STANDIN_DEVICES STI_STANDIN_ROOT L"\\Devices"
#define STI_STANDIN_CONTROL STI_STANDIN_ROOT L"\\Control"

#define STI_VALUE_FRIENDLY_NAME L"FriendlyName"
#define STI_VALUE_INF_PATH L"InfPath"
#define STI_VALUE_DEVICE_ID L"DeviceId"
#define STI_VALUE_CONNECTION L"Connection"
#define STI_VALUE_FAIL_FRIENDLY_NAME L"FailFriendlyName"
#define STI_VALUE_FAIL_INF_PATH L"FailInfPath"
#define STI_VALUE_FAIL_UNINSTALL L"FailUninstall"

#define STI_CONTROL_NULL_LIST L"NullList"
#define STI_CONTROL_LAST_RECORD L"LastInstallRecord"
#define STI_CONTROL_LOADS L"Loads"
#define STI_CONTROL_FREES L"Frees"
#define STI_CONTROL_LISTS_OPEN L"ListsOpen"
#define STI_CONTROL_PLANTED_LOADS L"PlantedLoads"

// Size of the install record the setup tool hands to InstallWiaDevice.
#define STI_INSTALL_RECORD_SIZE 1824

// The names of an open key's subkeys, sorted: device keys in number order.
inline std::vector<std::wstring> StandInSubkeyNames(HKEY key) {
  std::set<std::wstring> sorted;
  wchar_t name[256];
  for (DWORD i = 0;; ++i) {
    DWORD length = ARRAYSIZE(name);
    if (RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    sorted.insert(name);
  }
  return std::vector<std::wstring>(sorted.begin(), sorted.end());
}
