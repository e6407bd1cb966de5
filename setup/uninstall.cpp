// Scanner uninstall: removes every WIA device of one model through the
// still-image class installer library (from the system folder), then the
// model's driver package.
#include "uninstall.h"

#include <setupapi.h>

#include <cwchar>

#include "format.h"
#include "owner.h"
#include "registry.h"
#include "setup_log.h"
#include "system_library.h"
#include "worker.h"

namespace {

using DestroyWiaDeviceListFn = DWORD(WINAPI*)(void* list);
using UninstallWiaDeviceFn = DWORD(WINAPI*)(void* list, DWORD index);
using CreateWiaDeviceListFn = DWORD(WINAPI*)(ULONG_PTR, ULONG_PTR, ULONG_PTR, ULONG_PTR,
                                             void** list);
using GetWiaDevicePropertyFn = DWORD(WINAPI*)(void* list, DWORD index, DWORD flags,
                                              const wchar_t* name, void* reserved, wchar_t* buffer,
                                              DWORD* size);

// Capacity of the property, model-name and INF-name buffers, in characters.
constexpr size_t PropertyCapacity = 1024;
// The recorded INF name is read as at most 260 characters.
constexpr DWORD RecordedNameBytes = 520;
// The scanner's own uninstall section: every package of this scanner has it.
constexpr wchar_t UninstallSection[] = L"QZUninstall.NT";

// The library's DestroyWiaDeviceList, once looked up: the device list's
// owner destroys the list through it.
DestroyWiaDeviceListFn destroyWiaDeviceList = nullptr;
void DestroyDeviceList(void* list) { destroyWiaDeviceList(list); }
using DeviceListOwner = Owner<void*, &DestroyDeviceList>;

// Looks an export up; logs the failure line when it is missing.
template <typename Fn>
bool LookUp(HMODULE library, const char* name, const wchar_t* failureFormat, Fn* function) {
  *function = FindExport<Fn>(library, name);
  if (*function != nullptr) return true;
  WriteSetupLog(failureFormat, static_cast<int>(GetLastError()));
  return false;
}

bool BelongsToModel(const wchar_t* friendlyName, const wchar_t* exactName, const wchar_t* prefix) {
  return wcscmp(friendlyName, exactName) == 0 || wcsncmp(friendlyName, prefix, wcslen(prefix)) == 0;
}

// Reads the staged name that the USB install recorded, from its open key,
// into infName (which holds PropertyCapacity characters, all zero). True
// when the value is a string of at most 260 characters that ends in its NUL,
// or is empty.
bool QueryRecordedInfName(HKEY key, wchar_t* infName) {
  DWORD type = 0;
  DWORD size = RecordedNameBytes;
  const LSTATUS status = RegQueryValueExW(key, DriverRecordValue, nullptr, &type,
                                          reinterpret_cast<BYTE*>(infName), &size);
  if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return false;
  if (size == 0) return true;
  return size <= RecordedNameBytes && size % sizeof(wchar_t) == 0 &&
         infName[size / sizeof(wchar_t) - 1] == L'\0';
}

bool ReadRecordedInfName(wchar_t* infName) {
  RegKeyHolder key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, DriverRecordKey, 0, KEY_READ | KEY_WRITE, key.put()) !=
      ERROR_SUCCESS)
    return false;
  return QueryRecordedInfName(key.get(), infName);
}

// Removes the record once the package it names has been deleted: the system
// reuses a freed staged name, and a later uninstall must not find the name
// again on another package. Neither logged nor acted on, like its writing.
void ForgetRecordedInfName(const wchar_t* deletedName) {
  RegKeyHolder key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, DriverRecordKey, 0, KEY_READ | KEY_WRITE, key.put()) !=
      ERROR_SUCCESS)
    return;
  wchar_t recorded[PropertyCapacity] = {};
  if (QueryRecordedInfName(key.get(), recorded) &&
      CompareStringOrdinal(recorded, -1, deletedName, -1, TRUE) == CSTR_EQUAL)
    RegDeleteValueW(key.get(), DriverRecordValue);
}

// Room for what SetupGetInfInformationW tells of one INF file: its path and
// its version section.
constexpr DWORD InfInformationBytes = 4096;

// Reads the name the staged INF had before it was staged (file-name part
// only) into original. Logs the failing call and gives false when it cannot.
bool ReadOriginalInfName(HINF inf, wchar_t (&original)[PathCapacity]) {
  alignas(8) BYTE buffer[InfInformationBytes] = {};
  auto* const information = reinterpret_cast<SP_INF_INFORMATION*>(buffer);
  DWORD required = 0;
  if (!SetupGetInfInformationW(inf, INFINFO_INF_SPEC_IS_HINF, information, sizeof(buffer),
                               &required)) {
    const DWORD error = GetLastError();
    WriteSetupLog(L"SetupGetInfInformation() Failed!! ErrorNo[%d]; package kept.\r\n",
                  static_cast<int>(error));
    return false;
  }
  SP_ORIGINAL_FILE_INFO_W file = {};
  file.cbSize = sizeof(file);
  if (!SetupQueryInfOriginalFileInformationW(information, 0, nullptr, &file)) {
    const DWORD error = GetLastError();
    WriteSetupLog(L"SetupQueryInfOriginalFileInformation() Failed!! ErrorNo[%d]; package kept.\r\n",
                  static_cast<int>(error));
    return false;
  }
  file.OriginalInfName[ARRAYSIZE(file.OriginalInfName) - 1] = L'\0';
  const wchar_t* const separator = wcsrchr(file.OriginalInfName, L'\\');
  lstrcpynW(original, separator != nullptr ? separator + 1 : file.OriginalInfName,
            static_cast<int>(PathCapacity));
  return true;
}

// True when the staged INF is this model's package: it has the scanner's own
// uninstall section, and it was staged from the model's INF file. Staged
// names are numbered and reused once freed, so a name recorded or reported
// earlier may by now be another maker's package, or this scanner's package
// of the other model, still in use: that one is kept, and the log says so.
bool IsModelPackage(const wchar_t* infName, const wchar_t* modelInfName) {
  const HINF opened = SetupOpenInfFileW(infName, nullptr, INF_STYLE_WIN4, nullptr);
  if (opened == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    WriteSetupLog(L"SetupOpenInfFile() Failed!! ErrorNo[%d]; package kept.\r\n",
                  static_cast<int>(error));
    return false;
  }
  const InfOwner inf(opened);
  if (SetupGetLineCountW(inf.get(), UninstallSection) < 0) {
    WriteSetupLog(L"No QZUninstall.NT section: not this scanner's package; package kept.\r\n");
    return false;
  }
  wchar_t original[PathCapacity] = {};
  if (!ReadOriginalInfName(inf.get(), original)) return false;
  if (CompareStringOrdinal(original, -1, modelInfName, -1, TRUE) != CSTR_EQUAL) {
    WriteSetupLog(L"Original INF name %ws is not %ws: not this model's package; package kept.\r\n",
                  original, modelInfName);
    return false;
  }
  return true;
}

// True when infName can only name a package in the driver store: a bare
// file name, which the setup functions look up in the system's inf folder.
// A path (full, relative, or on a drive) would have them open, run and
// delete an INF file wherever it names, and any user may put one there.
bool IsDriverStoreName(const wchar_t* infName) {
  if (wcspbrk(infName, L"\\/:") != nullptr) return false;
  return wcscmp(infName, L".") != 0 && wcscmp(infName, L"..") != 0;
}

// Runs the package's uninstall section and deletes the staged INF, when it
// is this model's package. Returns the result of SetupUninstallOEMInfW, or
// 0 when nothing was attempted.
DWORD RemovePackage(const wchar_t* infName, const wchar_t* modelInfName) {
  if (!IsDriverStoreName(infName)) {
    WriteSetupLog(L"INF name %ws is not a name in the driver store; package kept.\r\n", infName);
    return 0;
  }
  wchar_t commandLine[PathCapacity] = {};
  if (FormatBounded(commandLine, PathCapacity, L"%s %d %s", UninstallSection, 132, infName) < 0) {
    // An incomplete command line would run the section against another INF;
    // the staged package stays, so that its own uninstall can still run later.
    WriteSetupLog(L"Delete Cmd Failed!! INF name of %d characters is too long; package kept.\r\n",
                  static_cast<int>(wcslen(infName)));
    return 0;
  }
  if (!IsModelPackage(infName, modelInfName)) return 0;
  WriteSetupLog(L"Delete Cmd: %ws\r\n", commandLine);
  InstallHinfSectionW(nullptr, nullptr, commandLine, 0);
  const DWORD result = SetupUninstallOEMInfW(infName, SUOI_FORCEDELETE, nullptr);
  if (result == 0) {
    const DWORD error = GetLastError();
    WriteSetupLog(L"SetupUninstallOEMInf() Failed!! ErrorNo[%d]\r\n", static_cast<int>(error));
    return 0;
  }
  ForgetRecordedInfName(infName);
  return result;
}

}  // namespace

DWORD UninstallScanner(bool isUsb) {
  DWORD loadError = 0;
  const LibraryOwner library = LoadSystemLibrary(L"sti_ci.dll", &loadError);
  if (!library) {
    WriteSetupLog(L"LoadLibrary(sti_ci.dll) Failed!! ErrorNo[%d]\r\n", static_cast<int>(loadError));
    return 0;
  }
  UninstallWiaDeviceFn uninstallWiaDevice = nullptr;
  CreateWiaDeviceListFn createWiaDeviceList = nullptr;
  GetWiaDevicePropertyFn getWiaDeviceProperty = nullptr;
  if (!LookUp(library.get(), "DestroyWiaDeviceList",
              L"GetProcAddress(DestroyWiaDeviceList) Failed!! ErrorNo[%d]\r\n",
              &destroyWiaDeviceList) ||
      !LookUp(library.get(), "UninstallWiaDevice",
              L"GetProcAddress(UninstallWiaDevice) Failed!! ErrorNo[%d]\r\n",
              &uninstallWiaDevice) ||
      !LookUp(library.get(), "CreateWiaDeviceList",
              L"GetProcAddress(CreateWiaDeviceList) Failed!! ErrorNo[%d]\r\n",
              &createWiaDeviceList) ||
      !LookUp(library.get(), "GetWiaDeviceProperty",
              L"GetProcAddress(GetWiaDeviceProperty) Failed!! ErrorNo[%d]\r\n",
              &getWiaDeviceProperty))
    return 0;

  // Declared after the library, so the list is destroyed before it is freed.
  DeviceListOwner list;
  const DWORD listStatus = createWiaDeviceList(0, 0, 0, 0, list.put());
  if (listStatus == ERROR_NO_MORE_ITEMS) {
    WriteSetupLog(L"CreateWiaDeviceList() Failed!! ErrorNo[ERROR_NO_MORE_ITEMS]\r\n");
  } else if (listStatus != 0) {
    WriteSetupLog(L"CreateWiaDeviceList() Failed!! ErrorNo[%d]\r\n", static_cast<int>(listStatus));
    return 0;
  } else if (list.get() == nullptr) {
    WriteSetupLog(L"CreateWiaDeviceList() Failed!! WiaDeviceList is null.\r\n");
    return 0;
  }

  wchar_t property[PropertyCapacity] = {};
  wchar_t exactName[PropertyCapacity] = {};
  wchar_t prefix[PropertyCapacity] = {};
  wchar_t infName[PropertyCapacity] = {};
  lstrcpynW(exactName, isUsb ? L"Orvane Scanner USB" : L"Orvane Scanner NW", PropertyCapacity);
  lstrcpynW(prefix, isUsb ? L"Orvane Scanner USB #" : L"Orvane Scanner NW #", PropertyCapacity);
  bool packageFound = false;

  for (DWORD index = 0; list.get() != nullptr; ++index) {
    DWORD size = PropertyCapacity;
    DWORD status =
        getWiaDeviceProperty(list.get(), index, 1, L"FriendlyName", nullptr, property, &size);
    // The text is used only up to the buffer's end, whatever the library wrote.
    property[PropertyCapacity - 1] = L'\0';
    if (status == ERROR_NO_MORE_ITEMS) {
      WriteSetupLog(
          L"GetWiaDeviceProperty(FriendlyName) Failed!! ErrorNo[ERROR_NO_MORE_ITEMS]\r\n");
      break;
    }
    if (status != 0) {
      WriteSetupLog(L"GetWiaDeviceProperty(FriendlyName) Failed!! ErrorNo[%d]\r\n",
                    static_cast<int>(status));
      break;
    }
    if (!BelongsToModel(property, exactName, prefix)) continue;
    WriteSetupLog(L"WiaDevice[%d]: %ws\r\n", static_cast<int>(index), property);

    size = PropertyCapacity;
    status = getWiaDeviceProperty(list.get(), index, 1, L"InfPath", nullptr, property, &size);
    property[PropertyCapacity - 1] = L'\0';
    if (status != 0) {
      WriteSetupLog(L"GetWiaDeviceProperty(InfPath) Failed!! ErrorNo[%d]\r\n",
                    static_cast<int>(status));
      break;
    }
    status = uninstallWiaDevice(list.get(), index);
    if (status != 0) {
      WriteSetupLog(L"UninstallWiaDevice[%d] Failed!! ErrorNo[%d]\r\n", static_cast<int>(index),
                    static_cast<int>(status));
      continue;
    }
    WriteSetupLog(L"UninstallWiaDevice[%d] Success!!\r\n", static_cast<int>(index));
    if (!packageFound) {
      lstrcpynW(infName, property, PropertyCapacity);
      packageFound = true;
    }
  }

  if (!packageFound && isUsb) packageFound = ReadRecordedInfName(infName);
  WriteSetupLog(L"oeminf: %ws\r\n", infName);
  return packageFound ? RemovePackage(infName, isUsb ? UsbPackageName : NetPackageName) : 0;
}
