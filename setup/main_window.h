// The main window and the command line: the action of this run, chosen by
// a command-line keyword or a button.
#pragma once

#include <windows.h>

enum SetupAction : DWORD {
  SetupActionNone = 0,
  InstallUSB = 1,
  UninstallUSB = 2,
  InstallNET = 3,
  UninstallNET = 4,
};

extern HINSTANCE AppInstance;
extern HWND MainWindow;
extern SetupAction CurrentAction;
LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
