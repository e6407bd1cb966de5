// The worker thread: finds the driver packages in the current directory,
// runs the chosen action, and closes the main window when it is done.
#include "worker.h"

#include <setupapi.h>

#include <cwchar>

#include "log_folder.h"
#include "main_window.h"
#include "net_install.h"
#include "owner.h"
#include "registry.h"
#include "setup_log.h"
#include "uninstall.h"

wchar_t SourceDirectory[PathCapacity] = {};
std::atomic<bool> ActionRunning{false};

namespace {

// The longest source directory that leaves room for "\QZV01SCN_xxx.xxx"
// and the terminating NUL in a path buffer.
constexpr int MaxSourceDirectoryLength =
    static_cast<int>(PathCapacity - 1 - (sizeof(UsbPackageName) / sizeof(wchar_t)));
static_assert(sizeof(UsbPackageName) == sizeof(NetPackageName),
              "both package names are 16 characters");

// Builds SourceDirectory, "\" and fileName into infPath and logs it. When the
// whole path does not fit, logs that and leaves infPath empty: an install
// must never run on a cut path.
bool BuildInfPath(wchar_t (&infPath)[PathCapacity], const wchar_t* fileName) {
  if (FormatBounded(infPath, PathCapacity, L"%s\\%s", SourceDirectory, fileName) >= 0) {
    WriteSetupLog(L"INF File Path: %ws\r\n", infPath);
    return true;
  }
  WriteSetupLog(L"currentDirectory too long for the INF path; size = %d, at most %d\r\n",
                static_cast<int>(wcsnlen(SourceDirectory, PathCapacity)), MaxSourceDirectoryLength);
  return false;
}

// Reads the current directory into SourceDirectory, logs it, and drops one
// trailing backslash. False when there is no usable directory.
bool TakeSourceDirectory() {
  const DWORD length = GetCurrentDirectoryW(static_cast<DWORD>(PathCapacity), SourceDirectory);
  // Taken before anything else can overwrite it; a directory that does not
  // fit the buffer is not an API failure, so it gets its own code.
  const DWORD error = length == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE;
  SourceDirectory[PathCapacity - 1] = L'\0';
  if (length >= PathCapacity) SourceDirectory[0] = L'\0';  // the call wrote nothing usable
  WriteSetupLog(L"currentDirectory: %ws; size = %d\r\n", SourceDirectory, static_cast<int>(length));
  if (length == 0 || length >= PathCapacity) {
    WriteSetupLog(L"GetCurrentDirectory failed; error = %d\r\n", static_cast<int>(error));
    return false;
  }
  if (SourceDirectory[length - 1] == L'\\') SourceDirectory[length - 1] = L'\0';
  return true;
}

void RunAction(wchar_t (&infPath)[PathCapacity]) {
  switch (CurrentAction) {
    case InstallUSB:
      WriteSetupLog(L"Install USB WIA driver!\r\n");
      if (BuildInfPath(infPath, UsbPackageName)) InstallUsbDriver(infPath);
      return;
    case InstallNET:
      if (!BuildInfPath(infPath, NetPackageName)) return;
      WriteSetupLog(L"Install NET WIA driver!\r\n");
      InstallNetworkScanner(infPath);
      return;
    case UninstallUSB:
    case UninstallNET: {
      const bool isUsb = CurrentAction == UninstallUSB;
      WriteSetupLog(isUsb ? L"Uninstall USB WIA driver!\r\n" : L"UnInstall NET WIA driver!\r\n");
      WriteSetupLog(L"Remove Service Result = %d\r\n", static_cast<int>(UninstallScanner(isUsb)));
      return;
    }
    case SetupActionNone: return;
  }
}

}  // namespace

DWORD WINAPI SetupWorkerThread(LPVOID /*parameter*/) {
  WriteSetupLog(L"Thread function enter!\r\n");
  wchar_t infPath[PathCapacity] = {};
  if (TakeSourceDirectory()) RunAction(infPath);
  ActionRunning = false;
  // MainWindow was stored by the window procedure before this thread was
  // started, so it names the window even while window creation is running.
  SendMessageW(MainWindow, WM_CLOSE, 0, 0);
  ExitThread(0);
}

void InstallUsbDriver(const wchar_t* infPath) {
  wchar_t stagedPath[PathCapacity] = {};
  wchar_t* stagedName = stagedPath;
  const BOOL staged = SetupCopyOEMInfW(infPath, SourceDirectory, SPOST_PATH, 0, stagedPath,
                                       static_cast<DWORD>(PathCapacity), nullptr, &stagedName);
  // Taken at once: writing the log line below changes the thread's last error.
  const DWORD error = staged ? ERROR_SUCCESS : GetLastError();
  WriteSetupLog(L"SetupCopyOEMInf Result = %d\r\n", static_cast<int>(staged));
  if (!staged) {
    WriteSetupLog(L"SetupCopyOEMInf Failed: %d.\r\n", static_cast<int>(error));
    return;
  }

  WriteSetupLog(L"oeminf = %s\r\n", stagedName);
  RegKeyHolder key;
  if (CreateMachineKey(DriverRecordKey, DriverRecordSecurity, KEY_READ | KEY_WRITE, key) ==
      ERROR_SUCCESS)
    SetRegistryString(key.get(), DriverRecordValue, stagedName);
}
