// Entry of Drelmo.exe: registers the window class, creates the main window
// and runs the message loop until the worker (or the user) closes it.
#include "format.h"
#include "main_window.h"
#include "resource.h"
#include "setup_log.h"
#include "system_library.h"
#include "worker.h"

namespace {

constexpr int WindowWidth = 260;
constexpr int WindowHeight = 130;

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE /*previous*/, LPWSTR /*commandLine*/,
                    int showCommand) {
  // The tool runs elevated, often started from a download folder: neither
  // its own folder nor the current directory is a place to look for
  // libraries, for this program or for the platform's libraries that load
  // others by name.
  RestrictLibrarySearch();

  wchar_t title[ResourceTextCapacity] = {};
  wchar_t className[ResourceTextCapacity] = {};
  LoadStringW(instance, IDS_APP_TITLE, title, static_cast<int>(ResourceTextCapacity));
  LoadStringW(instance, IDC_DRELMO, className, static_cast<int>(ResourceTextCapacity));

  WNDCLASSEXW windowClass = {};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.style = CS_HREDRAW | CS_VREDRAW;
  windowClass.lpfnWndProc = MainWndProc;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_DRELMO));
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  // NOLINTNEXTLINE(performance-no-int-to-ptr): a system colour's index plus one, as Win32 asks
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
  windowClass.lpszClassName = className;
  windowClass.hIconSm = LoadIconW(instance, MAKEINTRESOURCEW(IDI_SMALL));
  RegisterClassExW(&windowClass);

  AppInstance = instance;

  const int x = (GetSystemMetrics(SM_CXFULLSCREEN) - WindowWidth) / 2;
  const int y = (GetSystemMetrics(SM_CYFULLSCREEN) - WindowHeight) / 2;
  const HWND window =
      CreateWindowExW(0, className, title, WS_CAPTION | WS_SYSMENU, x, y, WindowWidth, WindowHeight,
                      nullptr, nullptr, instance, nullptr);
  MainWindow = window;
  if (window == nullptr) return 0;

  ShowWindow(window, showCommand);
  UpdateWindow(window);

  const HACCEL accelerators = LoadAcceleratorsW(instance, MAKEINTRESOURCEW(IDC_DRELMO));
  MSG message = {};
  while (GetMessageW(&message, nullptr, 0, 0)) {
    if (!TranslateAcceleratorW(message.hwnd, accelerators, &message)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
  // Closing the window ends the process, and with it an action still running.
  if (ActionRunning)
    WriteSetupLog(L"Action not completed: the window was closed while it ran.\r\n");
  FinishSetupLog();
  return static_cast<int>(message.wParam);
}
