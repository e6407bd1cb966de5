// The worker thread: finds the driver packages in the current directory,
// runs the chosen action, and closes the main window when it is done.
#pragma once

#include <windows.h>

#include <atomic>

#include "format.h"

extern wchar_t SourceDirectory[PathCapacity];
DWORD WINAPI SetupWorkerThread(LPVOID parameter);
// True from the worker's start until its action has ended: the window may be
// closed, and the process end, before that.
extern std::atomic<bool> ActionRunning;
void InstallUsbDriver(const wchar_t* infPath);

// The driver packages' INF files, as they lie in the packages' folder and as
// the system keeps their original names once staged.
constexpr wchar_t UsbPackageName[] = L"QZV01SCN_USB.INF";
constexpr wchar_t NetPackageName[] = L"QZV01SCN_NET.inf";
