// Network scanner install: creates the network model's WIA device through the
// still-image class installer library, loaded from the system folder at run
// time.
#include "net_install.h"

#include <windows.h>

#include <cstddef>

#include "setup_log.h"
#include "system_library.h"

namespace {

// The record InstallWiaDevice takes: 1824 bytes, little-endian, zeroed before
// it is filled; every text is a NUL-terminated UTF-16 string.
struct WiaInstallRecord {
  DWORD recordSize;
  DWORD reserved1;
  wchar_t infPath[260];
  wchar_t deviceId[260];
  wchar_t connection[260];
  wchar_t friendlyName[64];
  BYTE reserved2[128];
};
static_assert(sizeof(wchar_t) == 2, "the record holds UTF-16 text");
static_assert(offsetof(WiaInstallRecord, recordSize) == 0, "record layout");
static_assert(offsetof(WiaInstallRecord, reserved1) == 4, "record layout");
static_assert(offsetof(WiaInstallRecord, infPath) == 8, "record layout");
static_assert(offsetof(WiaInstallRecord, deviceId) == 528, "record layout");
static_assert(offsetof(WiaInstallRecord, connection) == 1048, "record layout");
static_assert(offsetof(WiaInstallRecord, friendlyName) == 1568, "record layout");
static_assert(offsetof(WiaInstallRecord, reserved2) == 1696, "record layout");
static_assert(sizeof(WiaInstallRecord) == 1824, "record layout");

using InstallWiaDeviceFn = DWORD(WINAPI*)(WiaInstallRecord* record);

}  // namespace

bool InstallNetworkScanner(const wchar_t* infPath) {
  WiaInstallRecord record;
  ZeroMemory(&record, sizeof(record));

  DWORD loadError = 0;
  const LibraryOwner library = LoadSystemLibrary(L"sti_ci.dll", &loadError);
  if (!library) {
    WriteSetupLog(L"LoadLibrary(sti_ci.dll) Failed: %d.\r\n", static_cast<int>(loadError));
    return false;
  }
  const auto installWiaDevice = FindExport<InstallWiaDeviceFn>(library.get(), "InstallWiaDevice");
  if (installWiaDevice == nullptr) {
    WriteSetupLog(L"GetProcAddress(InstallWiaDevice) Failed: %d.\r\n",
                  static_cast<int>(GetLastError()));
    return false;
  }

  record.recordSize = sizeof(record);
  lstrcpynW(record.infPath, infPath, ARRAYSIZE(record.infPath));
  lstrcpynW(record.deviceId, L"QZScnDrv_ID", ARRAYSIZE(record.deviceId));
  lstrcpynW(record.friendlyName, L"Orvane Scanner NW", ARRAYSIZE(record.friendlyName));
  lstrcpynW(record.connection, L"NW", ARRAYSIZE(record.connection));

  const DWORD status = installWiaDevice(&record);
  if (status != 0) WriteSetupLog(L"InstallWiaDevice Failed: %d.\r\n", static_cast<int>(status));
  return status == 0;
}
