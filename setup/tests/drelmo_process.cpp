#include "drelmo_process.h"

#include <gtest/gtest.h>
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>

#include "process_start.h"
#include "registry.h"

namespace drelmo_test {

namespace {

std::wstring Windows(std::wstring path) {
  std::replace(path.begin(), path.end(), L'/', L'\\');
  return path;
}

constexpr size_t PrefixLength = 25;  // "2024-03-05 09:07:02.045  "
constexpr wchar_t Separator[] = L"\r\n******************************\r\n";

bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

// "dddd-dd-dd dd:dd:dd.ddd  " with a four-digit year.
bool HasTimestampPrefix(const std::wstring& line) {
  static const wchar_t pattern[] = L"####-##-## ##:##:##.###  ";
  if (line.size() < PrefixLength) return false;
  for (size_t i = 0; i < PrefixLength; ++i) {
    if (pattern[i] == L'#' ? !IsDigit(line[i]) : line[i] != pattern[i]) return false;
  }
  return true;
}

struct FindContext {
  DWORD processId;
  const wchar_t* className;
  const wchar_t* caption;
  HWND found;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM parameter) {
  auto* context = reinterpret_cast<FindContext*>(parameter);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner != context->processId) return TRUE;
  wchar_t className[64] = {};
  GetClassNameW(window, className, 64);
  if (wcscmp(className, context->className) != 0) return TRUE;
  if (context->caption != nullptr && WindowText(window) != context->caption) return TRUE;
  context->found = window;
  return FALSE;
}

BOOL CALLBACK CollectChild(HWND window, LPARAM parameter) {
  auto* children = reinterpret_cast<std::vector<HWND>*>(parameter);
  if (GetParent(window) == children->front()) children->push_back(window);
  return TRUE;
}

}  // namespace

std::wstring DrelmoExe() { return BinaryFile(L"Drelmo.exe"); }
std::wstring BinaryFile(const wchar_t* name) { return Windows(DRELMO_BINARY_DIR L"/bin/") + name; }
std::wstring StandInDirectory() { return Windows(DRELMO_BINARY_DIR L"/sti_ci"); }
std::wstring PackageDirectory() { return Windows(DRELMO_BINARY_DIR L"/packages"); }
std::wstring PackageFile(const wchar_t* name) { return PackageDirectory() + L"\\" + name; }

std::wstring LogPath(const std::wstring& logName) { return L"C:\\log\\" + logName + L".log"; }

void DeleteLog(const std::wstring& logName) { DeleteFileW(LogPath(logName).c_str()); }

void DeleteAllLogs() {
  for (const wchar_t* name : {L"InstallUSB", L"UninstallUSB", L"InstallNET", L"UninstallNET"}) {
    DeleteLog(name);
  }
}

bool FileExists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<unsigned char> ReadBytes(const std::wstring& path) {
  std::vector<unsigned char> bytes;
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return bytes;
  unsigned char chunk[4096];
  DWORD read = 0;
  while (ReadFile(file, chunk, sizeof(chunk), &read, nullptr) && read > 0) {
    bytes.insert(bytes.end(), chunk, chunk + read);
  }
  CloseHandle(file);
  return bytes;
}

void WriteBytes(const std::wstring& path, const std::vector<unsigned char>& bytes) {
  const HANDLE file =
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << "cannot write " << std::string(path.begin(), path.end());
  DWORD written = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
}

std::vector<unsigned char> Utf16Bytes(const std::wstring& text) {
  std::vector<unsigned char> bytes;
  for (wchar_t c : text) {
    bytes.push_back(static_cast<unsigned char>(c & 0xFF));
    bytes.push_back(static_cast<unsigned char>(c >> 8));
  }
  return bytes;
}

std::wstring Utf16Text(const std::vector<unsigned char>& bytes, size_t from) {
  std::wstring text;
  for (size_t i = from; i + 1 < bytes.size(); i += 2) {
    text.push_back(static_cast<wchar_t>(bytes[i] | (bytes[i + 1] << 8)));
  }
  return text;
}

std::vector<unsigned char> RunSeparatorBytes() { return Utf16Bytes(Separator); }

std::vector<std::wstring> LastRunMessages(const std::wstring& logName) {
  return LastRunMessagesIn(LogPath(logName));
}

std::vector<std::wstring> LastRunMessagesIn(const std::wstring& path) {
  const std::vector<unsigned char> bytes = ReadBytes(path);
  EXPECT_EQ(bytes.size() % 2, 0u) << "a UTF-16 log has an even size";
  const std::wstring text = Utf16Text(bytes);
  std::vector<std::wstring> messages;
  const size_t run = text.rfind(Separator);
  if (run == std::wstring::npos) {
    ADD_FAILURE() << "no run separator in the log " << std::string(path.begin(), path.end());
    return messages;
  }
  size_t start = run + wcslen(Separator);
  while (start < text.size()) {
    size_t end = text.find(L"\r\n", start);
    if (end == std::wstring::npos) {
      ADD_FAILURE() << "a log line without its line end";
      end = text.size();
    }
    const std::wstring line = text.substr(start, end - start);
    EXPECT_TRUE(HasTimestampPrefix(line))
        << "line without timestamp prefix: " << testing::PrintToString(line);
    messages.push_back(line.size() >= PrefixLength ? line.substr(PrefixLength) : line);
    start = end + 2;
  }
  return messages;
}

RegistryString ReadDriverRecord() {
  RegistryString result;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, DriverRecordKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return result;
  }
  DWORD size = 0;
  if (RegQueryValueExW(key, DriverRecordValue, nullptr, &result.type, nullptr, &size) ==
      ERROR_SUCCESS) {
    result.data.resize(size);
    result.present = RegQueryValueExW(key, DriverRecordValue, nullptr, &result.type,
                                      result.data.data(), &size) == ERROR_SUCCESS;
    result.data.resize(size);
  }
  RegCloseKey(key);
  return result;
}

std::wstring KeySecurity(const std::wstring& path) {
  const SECURITY_INFORMATION what = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  PSECURITY_DESCRIPTOR security = nullptr;
  wchar_t* text = nullptr;
  if (GetNamedSecurityInfoW((L"MACHINE\\" + path).c_str(), SE_REGISTRY_KEY, what, nullptr, nullptr,
                            nullptr, nullptr, &security) == ERROR_SUCCESS)
    ConvertSecurityDescriptorToStringSecurityDescriptorW(security, 1, what, &text, nullptr);
  const std::wstring result = text != nullptr ? text : L"(none)";
  LocalFree(text);
  LocalFree(security);
  return result;
}

void WriteDriverRecord(const std::wstring& value) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, DriverRecordKey, 0, nullptr, 0, KEY_WRITE, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  RegSetValueExW(key, DriverRecordValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                 static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
}

void DeleteDriverRecord() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, DriverRecordKey, 0, KEY_WRITE, &key) == ERROR_SUCCESS) {
    RegDeleteValueW(key, DriverRecordValue);
    RegCloseKey(key);
  }
}

std::wstring InfDirectory() {
  wchar_t windows[MAX_PATH] = {};
  GetWindowsDirectoryW(windows, MAX_PATH);
  return std::wstring(windows) + L"\\inf";
}

void RemoveStagedCopies(const wchar_t* packageName) {
  const std::vector<unsigned char> package = ReadBytes(PackageFile(packageName));
  const std::wstring directory = InfDirectory();
  WIN32_FIND_DATAW found = {};
  const HANDLE search = FindFirstFileW((directory + L"\\*.inf").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  std::vector<std::wstring> copies;
  do {
    const std::wstring path = directory + L"\\" + found.cFileName;
    if (ReadBytes(path) == package) copies.push_back(path);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  for (const std::wstring& path : copies) {
    DeleteFileW(path.c_str());
    DeleteFileW((path.substr(0, path.size() - 4) + L".pnf").c_str());
  }
}

namespace {

// Wine's own export that names the Unix file behind a Windows path; absent
// on Windows.
std::string UnixPath(const std::wstring& path) {
  using UnixFileNameFn = char*(CDECL*)(const wchar_t*);
  const auto unixFileName = reinterpret_cast<UnixFileNameFn>(reinterpret_cast<void (*)()>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (unixFileName == nullptr) return std::string();
  char* name = unixFileName(path.c_str());
  if (name == nullptr) return std::string();
  std::string result(name);
  HeapFree(GetProcessHeap(), 0, name);
  return result;
}

// Starts a Unix program under Wine, which runs Unix binaries itself. Wine
// hands back no process to wait for: the caller waits for the program's
// effect instead. Wine 8 reports success but leaves the handles and ids of
// the process information as whatever lay on its stack, often the value of
// a handle this process holds (0x4, or 0x6, which Wine takes for 0x4), so
// nothing in it is closed or used.
void StartUnixProgram(const std::wstring& program, const std::wstring& commandLine) {
  testbench::ProcessStart start;
  start.application = program;
  start.commandLine = commandLine;
  PROCESS_INFORMATION notHandedBack = {};
  testbench::StartProcess(start, &notHandedBack);
}

// Waits until a name exists (or no longer does); true when it came to that.
bool WaitForName(const std::wstring& path, bool exists) {
  for (int i = 0; i < 500; ++i) {
    if ((GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) == exists) return true;
    Sleep(20);
  }
  return false;
}

// The Unix path of a link itself: Wine names the file a link leads to, so
// the link's folder is named and the link's own name put behind it.
std::string UnixPathOfLink(const std::wstring& link) {
  const size_t separator = link.find_last_of(L'\\');
  if (separator == std::wstring::npos) return std::string();
  std::string folder = UnixPath(link.substr(0, separator + 1));
  if (folder.empty()) return folder;
  if (folder.back() != '/') folder += '/';
  const std::wstring name = link.substr(separator + 1);
  return folder + std::string(name.begin(), name.end());
}

std::wstring Quoted(const std::string& text) {
  return L"\"" + std::wstring(text.begin(), text.end()) + L"\"";
}

}  // namespace

SymbolicLink::SymbolicLink(const std::wstring& link, const std::wstring& target, bool directory)
    : link_(link), directory_(directory) {
  CreateSymbolicLinkW(link.c_str(), target.c_str(), directory ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0);
  made_ = GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES;
  if (made_) return;
  const std::string unixLink = UnixPathOfLink(link);
  const std::string unixTarget = UnixPath(target);
  if (unixLink.empty() || unixTarget.empty()) return;
  StartUnixProgram(L"Z:\\bin\\ln", L"/bin/ln -s " + Quoted(unixTarget) + L" " + Quoted(unixLink));
  made_ = WaitForName(link, true);
  unixLink_ = made_;
}

SymbolicLink::~SymbolicLink() {
  if (unixLink_) {
    StartUnixProgram(L"Z:\\bin\\rm", L"/bin/rm -f " + Quoted(UnixPathOfLink(link_)));
    WaitForName(link_, false);
  } else if (made_) {
    if (directory_) {
      RemoveDirectoryW(link_.c_str());
    } else {
      DeleteFileW(link_.c_str());
    }
  }
}

DrelmoProcess::DrelmoProcess(const std::wstring& arguments, const std::wstring& directory,
                             const wchar_t* desktop, DWORD creationFlags) {
  std::wstring commandLine = L"\"" + DrelmoExe() + L"\"";
  if (!arguments.empty()) commandLine += L" " + arguments;
  std::wstring desktopName = desktop != nullptr ? desktop : L"";
  testbench::ProcessStart start;
  start.commandLine = commandLine;
  start.flags = creationFlags;
  start.directory = directory;
  if (desktop != nullptr) start.startup.lpDesktop = &desktopName[0];
  if (const DWORD error = testbench::StartProcess(start, &info_))
    ADD_FAILURE() << "Drelmo.exe did not start, error " << error;
}

DrelmoProcess::~DrelmoProcess() {
  if (info_.hProcess == nullptr) return;
  // A test that failed half-way may leave the program running; it is gone
  // before the next start.
  EXPECT_TRUE(testbench::EndProcess(info_.hProcess, 99))
      << "Drelmo.exe did not end within " << testbench::EndLimitMs << " ms of being ended";
  CloseHandle(info_.hThread);
  CloseHandle(info_.hProcess);
}

bool DrelmoProcess::WaitForExit(DWORD milliseconds, DWORD* exitCode) {
  if (info_.hProcess == nullptr) return false;
  if (WaitForSingleObject(info_.hProcess, milliseconds) != WAIT_OBJECT_0) return false;
  return GetExitCodeProcess(info_.hProcess, exitCode) != FALSE;
}

HWND DrelmoProcess::WaitForWindow(const wchar_t* className, const wchar_t* caption,
                                  DWORD milliseconds) const {
  const ULONGLONG deadline = GetTickCount64() + milliseconds;
  do {
    FindContext context = {info_.dwProcessId, className, caption, nullptr};
    EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&context));
    if (context.found != nullptr) return context.found;
    Sleep(20);
  } while (GetTickCount64() < deadline);
  return nullptr;
}

HWND DrelmoProcess::WaitForMainWindow(DWORD milliseconds) const {
  return WaitForWindow(L"DRELMO", nullptr, milliseconds);
}

std::wstring WindowText(HWND window) {
  wchar_t text[256] = {};
  GetWindowTextW(window, text, 256);
  return text;
}

std::vector<HWND> ChildWindows(HWND parent) {
  std::vector<HWND> children{parent};
  EnumChildWindows(parent, CollectChild, reinterpret_cast<LPARAM>(&children));
  children.erase(children.begin());
  return children;
}

}  // namespace drelmo_test
