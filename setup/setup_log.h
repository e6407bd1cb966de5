// The setup log: one UTF-16LE text file per action, appended to one line at
// a time.
#pragma once

#include <windows.h>

#include "format.h"

extern bool LogEnabled;
extern wchar_t LogFilePath[PathCapacity];
void OpenSetupLog(const wchar_t* name);
void WriteSetupLog(const wchar_t* format, ...);
// Ends the run's log: when lines of it were not written, says how many and
// why the first was not. Called once the worker is done (or the window is
// closed).
void FinishSetupLog();
