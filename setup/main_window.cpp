// The main window: reads the command line or shows the four action buttons,
// prepares the log and starts the worker thread.
#include "main_window.h"

#include <shellapi.h>

#include <cwchar>

#include "owner.h"
#include "setup_log.h"
#include "worker.h"

HINSTANCE AppInstance = nullptr;
HWND MainWindow = nullptr;
SetupAction CurrentAction = SetupActionNone;

namespace {

// The pointers first, then the 32-bit fields: no padding between them.
struct ActionEntry {
  const wchar_t* keyword;  // command-line word, matched whole and case-sensitive
  const wchar_t* label;    // button text
  const wchar_t* logName;  // log file name without ".log"
  SetupAction action;
  int buttonId;
  int x, y;  // button position in the client area
};

constexpr ActionEntry Actions[] = {
    {L"InstallUSB", L"Install USB", L"InstallUSB", InstallUSB, 2000, 10, 10},
    {L"UnInstallUSB", L"UnInstall USB", L"UninstallUSB", UninstallUSB, 2010, 130, 10},
    {L"InstallNET", L"Install NET", L"InstallNET", InstallNET, 2020, 10, 50},
    {L"UnInstallNET", L"UnInstall NET", L"UninstallNET", UninstallNET, 2030, 130, 50},
};

constexpr int ButtonWidth = 100;
constexpr int ButtonHeight = 25;

const ActionEntry* FindByKeyword(const wchar_t* keyword) {
  for (const ActionEntry& entry : Actions) {
    if (wcscmp(entry.keyword, keyword) == 0) return &entry;
  }
  return nullptr;
}

const ActionEntry* FindByButton(int id) {
  for (const ActionEntry& entry : Actions) {
    if (entry.buttonId == id) return &entry;
  }
  return nullptr;
}

// The thread runs on by itself and ends the program when it closes the
// window; nobody waits for it.
void StartWorker() {
  ActionRunning = true;
  const HandleOwner thread(CreateThread(nullptr, 0, SetupWorkerThread, nullptr, 0, nullptr));
  if (!thread) ActionRunning = false;
}

void CreateButtons(HWND window) {
  for (const ActionEntry& entry : Actions) {
    CreateWindowExW(0, L"BUTTON", entry.label, WS_CHILD | WS_VISIBLE, entry.x, entry.y, ButtonWidth,
                    ButtonHeight, window,
                    // NOLINTNEXTLINE(performance-no-int-to-ptr): a child's ID, as Win32 asks
                    reinterpret_cast<HMENU>(static_cast<INT_PTR>(entry.buttonId)), AppInstance,
                    nullptr);
  }
}

LRESULT OnCreate(HWND window) {
  // The worker may finish before window creation returns; it finds the
  // window here.
  MainWindow = window;

  int count = 0;
  LPWSTR* const arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  const LocalOwner argumentsOwner(static_cast<HLOCAL>(arguments));
  if (arguments == nullptr || count < 2) {
    CreateButtons(window);
    return 0;
  }
  const bool logged =
      count >= 3 && (wcscmp(arguments[2], L"LOG") == 0 || wcscmp(arguments[2], L"log") == 0);
  const ActionEntry* entry = FindByKeyword(arguments[1]);
  if (entry == nullptr) {
    MessageBoxW(window, L"Unknown Command!", L"Error", MB_ICONERROR | MB_OK);
    return 0;
  }
  CurrentAction = entry->action;
  if (logged) OpenSetupLog(entry->logName);
  StartWorker();
  return 0;
}

LRESULT OnCommand(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  const ActionEntry* entry = FindByButton(LOWORD(wParam));
  if (entry == nullptr) return DefWindowProcW(window, message, wParam, lParam);
  // One action per process: a button command that arrives while an action
  // runs (the buttons are disabled, but the message can still be sent) is
  // dropped.
  if (CurrentAction != SetupActionNone) return 0;

  CurrentAction = entry->action;
  OpenSetupLog(entry->logName);
  StartWorker();
  for (const ActionEntry& button : Actions) {
    EnableWindow(GetDlgItem(MainWindow, button.buttonId), FALSE);
  }
  return 0;
}

LRESULT OnPaint(HWND window) {
  PAINTSTRUCT paint;
  BeginPaint(window, &paint);
  EndPaint(window, &paint);
  return 0;
}

}  // namespace

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE: return OnCreate(window);
    case WM_COMMAND: return OnCommand(window, message, wParam, lParam);
    case WM_PAINT: return OnPaint(window);
    case WM_DESTROY: PostQuitMessage(0); return 0;
    default: return DefWindowProcW(window, message, wParam, lParam);
  }
}
