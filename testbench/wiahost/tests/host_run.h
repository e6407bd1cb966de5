// Runs the transfer host (wiahost.exe, beside the test program) as a process
// and collects what it printed.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct HostRun {
  DWORD exitCode = 0xFFFFFFFF;
  std::string output;
  std::vector<ULONG64> endOfStream;  // ulTransferredBytes of each END_OF_STREAM
  std::vector<ULONG64> status;       // ulTransferredBytes of each STATUS
  bool Contains(const std::string& text) const { return output.find(text) != std::string::npos; }
};

// Starts wiahost.exe with `arguments`, its output going to `outputFile`, and
// waits for it (at most a minute).
HostRun RunHost(const std::wstring& arguments, const std::wstring& outputFile);

// The running test's own folder below `parent` (both made when missing):
// parent/<suite>_<test>, a parameterised test's slashes made underscores.
std::wstring CurrentTestFolder(const std::wstring& parent);
