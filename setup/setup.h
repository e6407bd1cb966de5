// Process-wide state and operations of the setup tool.
#pragma once

#include <windows.h>
#include <cstdarg>
#include <cstddef>

enum SetupAction : DWORD {
  SetupActionNone = 0,
  InstallUSB = 1,
  UninstallUSB = 2,
  InstallNET = 3,
  UninstallNET = 4,
};

// Buffer capacities, in UTF-16 characters including the terminating NUL.
constexpr size_t ResourceTextCapacity = 100;
constexpr size_t PathCapacity = 260;
constexpr size_t LineCapacity = 1024;

// Shell (window, command line, worker start).
extern HINSTANCE AppInstance;
extern HWND MainWindow;
extern SetupAction CurrentAction;
LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Bounded UTF-16 printf-style formatting: "%s" and "%ws" both take a
// NUL-terminated UTF-16 string, "%d" a signed and "%u" an unsigned 32-bit
// integer (with an optional zero flag and width, as in "%02d" and "%03d"),
// "%%" a percent sign; nothing else. capacity counts UTF-16 characters with
// the terminating NUL. Returns the characters written (without the NUL), or
// -1 with an empty string when the text needs capacity characters or more,
// or the format is not understood.
int FormatBounded(wchar_t* buffer, size_t capacity, const wchar_t* format, ...);
int FormatBoundedV(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list args);

// The same conversions, but text that does not fit is cut at the capacity
// (never inside a surrogate pair) instead of rejected; *cut tells whether it
// was. Returns the characters written, or -1 with an empty string for a
// format error.
int FormatCutV(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list args, bool* cut);
int FormatCut(wchar_t* buffer, size_t capacity, bool* cut, const wchar_t* format, ...);

// Setup log.
extern bool LogEnabled;
extern wchar_t LogFilePath[PathCapacity];
void OpenSetupLog(const wchar_t* name);
void WriteSetupLog(const wchar_t* format, ...);
// Ends the run's log: when lines of it were not written, says how many and
// why the first was not. Called once the worker is done (or the window is
// closed).
void FinishSetupLog();

// The tool's warnings to administrators go to the Application event log,
// with the account the tool ran as, or to this writer when one is set (as
// tests do to read them).
using SetupEventWriter = void (*)(WORD type, DWORD eventId, PSID user, const wchar_t* text);
extern SetupEventWriter SetupEventSink;

// Worker and actions.
extern wchar_t SourceDirectory[PathCapacity];
DWORD WINAPI SetupWorkerThread(LPVOID parameter);
void InstallUsbDriver(const wchar_t* infPath);
bool InstallNetworkScanner(const wchar_t* infPath);
DWORD UninstallScanner(bool isUsb);

// The driver packages' INF files, as they lie in the packages' folder and as
// the system keeps their original names once staged.
constexpr wchar_t UsbPackageName[] = L"QZV01SCN_USB.INF";
constexpr wchar_t NetPackageName[] = L"QZV01SCN_NET.inf";

// Where the USB install records the staged name of its driver package.
constexpr wchar_t DriverRecordKey[] = L"SOFTWARE\\Orvane\\QzPrinter\\Tarvel\\Mgr\\Driver";
constexpr wchar_t DriverRecordValue[] = L"scannerUSB";
