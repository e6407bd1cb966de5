// Test support: runs the real Drelmo.exe as a process and reads what it
// leaves behind (log files, the registry record, staged packages).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace drelmo_test {

// Windows paths of the build tree (set by the test's CMake fragment).
std::wstring DrelmoExe();                      // <build>\bin\Drelmo.exe
std::wstring BinaryFile(const wchar_t* name);  // <build>\bin\<name>
std::wstring StandInDirectory();  // <build>\sti_ci, the builds of the "sti_ci.dll" stand-in
std::wstring PackageDirectory();  // <build>\packages, holding both INF files
std::wstring PackageFile(const wchar_t* name);  // PackageDirectory() + "\" + name

// C:\log\<name>.log, where Drelmo keeps the log of one action.
std::wstring LogPath(const std::wstring& logName);
void DeleteLog(const std::wstring& logName);
void DeleteAllLogs();
bool FileExists(const std::wstring& path);
std::vector<unsigned char> ReadBytes(const std::wstring& path);
void WriteBytes(const std::wstring& path, const std::vector<unsigned char>& bytes);

// UTF-16LE bytes of a text, and the text of such bytes from a byte offset.
std::vector<unsigned char> Utf16Bytes(const std::wstring& text);
std::wstring Utf16Text(const std::vector<unsigned char>& bytes, size_t from = 0);
// The 68 bytes of "\r\n", 30 asterisks and "\r\n" that begin each run.
std::vector<unsigned char> RunSeparatorBytes();

// A log file's lines after the last run separator, each with its 25-character
// timestamp prefix checked and removed, and without its "\r\n". Lines that do
// not have the prefix and the line end are reported as test failures.
std::vector<std::wstring> LastRunMessages(const std::wstring& logName);
// The same of the log file at path.
std::vector<std::wstring> LastRunMessagesIn(const std::wstring& path);

// The "scannerUSB" value under the driver record key.
struct RegistryString {
  bool present = false;
  DWORD type = 0;
  std::vector<unsigned char> data;
};
RegistryString ReadDriverRecord();
// The owner and access list of a key under HKEY_LOCAL_MACHINE, as the
// platform writes them in text (SDDL).
std::wstring KeySecurity(const std::wstring& path);
void WriteDriverRecord(const std::wstring& value);
void DeleteDriverRecord();

// Removes every copy of the package that SetupAPI may have staged in the
// system's inf directory (any name), with its precompiled .pnf.
void RemoveStagedCopies(const wchar_t* packageName);
std::wstring InfDirectory();

// A symbolic link that a test makes, removed again when its owner goes.
// Wine 8 cannot make the platform's links (CreateSymbolicLinkW reports
// success and makes nothing, FSCTL_SET_REPARSE_POINT is not supported), so
// there the link is a Unix symbolic link made with ln from outside: Wine
// follows it even where a link is asked not to be followed, and only
// GetFinalPathNameByHandleW shows where it leads. Removing such a link
// through the platform would remove its target, so the owner removes it with
// rm.
class SymbolicLink {
 public:
  SymbolicLink(const std::wstring& link, const std::wstring& target, bool directory);
  ~SymbolicLink();
  SymbolicLink(const SymbolicLink&) = delete;
  SymbolicLink& operator=(const SymbolicLink&) = delete;

  bool made() const { return made_; }

 private:
  std::wstring link_;
  bool directory_;
  bool unixLink_ = false;
  bool made_ = false;
};

// Owns a started Drelmo.exe process.
class DrelmoProcess {
 public:
  // Starts "<exe>" <arguments> in the given directory. desktop, when given,
  // names the desktop the program's windows appear on.
  DrelmoProcess(const std::wstring& arguments, const std::wstring& directory,
                const wchar_t* desktop = nullptr, DWORD creationFlags = 0);
  ~DrelmoProcess();
  DrelmoProcess(const DrelmoProcess&) = delete;
  DrelmoProcess& operator=(const DrelmoProcess&) = delete;

  bool started() const { return info_.hProcess != nullptr; }
  HANDLE process() const { return info_.hProcess; }
  HANDLE thread() const { return info_.hThread; }
  DWORD id() const { return info_.dwProcessId; }

  // Waits for the program to end; true with its exit code when it did.
  bool WaitForExit(DWORD milliseconds, DWORD* exitCode);

  // The program's main window (class "DRELMO"), waited for.
  HWND WaitForMainWindow(DWORD milliseconds) const;
  // A top-level window of the program with the given class and caption.
  HWND WaitForWindow(const wchar_t* className, const wchar_t* caption, DWORD milliseconds) const;

 private:
  PROCESS_INFORMATION info_ = {};
};

std::wstring WindowText(HWND window);
std::vector<HWND> ChildWindows(HWND parent);

}  // namespace drelmo_test
