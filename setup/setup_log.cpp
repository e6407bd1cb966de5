// The setup log: one UTF-16LE text file per action under <system drive>:\log,
// appended to one line at a time. Each line opens, appends to and closes the
// file, so nothing is lost when the program ends abruptly and other
// processes may read the log while it grows.
//
// The tool runs elevated, and an ordinary user may make the folder and put
// names into it before the tool runs. So every open checks that the folder
// is a real folder and the file a regular file with a single name, both
// reached by exactly the path asked for; a name planted as a hard link or a
// symbolic link is removed and the log made anew, and through a folder that
// is a link nothing is written.
#include "setup.h"

#include <cwchar>

bool LogEnabled = false;
wchar_t LogFilePath[PathCapacity] = {};

namespace {

// Owns a file or folder handle; closes it when it goes out of scope.
class FileHandle {
 public:
  explicit FileHandle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
  ~FileHandle() { Close(); }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  FileHandle(FileHandle&& other) noexcept : handle_(other.handle_) {
    other.handle_ = INVALID_HANDLE_VALUE;
  }
  FileHandle& operator=(FileHandle&& other) noexcept {
    if (this != &other) {
      Close();
      handle_ = other.handle_;
      other.handle_ = INVALID_HANDLE_VALUE;
    }
    return *this;
  }

  bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  HANDLE get() const { return handle_; }
  void Close() {
    if (valid()) CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }

 private:
  HANDLE handle_;
};

// CR LF, 30 asterisks, CR LF: begins every run in the file.
constexpr wchar_t RunSeparator[] = L"\r\n******************************\r\n";
constexpr DWORD RunSeparatorLength = 34;
static_assert(sizeof(RunSeparator) / sizeof(wchar_t) == RunSeparatorLength + 1,
              "the run separator is 34 characters");

// Marks a message that had to be cut to fit the line.
constexpr wchar_t CutMarker[] = L"...";
constexpr size_t CutMarkerLength = 3;
constexpr wchar_t LineEnd[] = L"\r\n";
constexpr size_t LineEndLength = 2;

// Bounded append of text to a NUL-terminated string in a buffer of the given
// capacity; what does not fit is left out.
void AppendBounded(wchar_t* buffer, size_t capacity, const wchar_t* text) {
  size_t length = wcsnlen(buffer, capacity);
  for (; *text != L'\0' && length + 1 < capacity; ++text) buffer[length++] = *text;
  if (length < capacity) buffer[length] = L'\0';
}

// True when the handle's file or folder is reached by exactly this path: no
// link or mount point on the way leads elsewhere. The system gives the path
// in its \\?\ form; names compare without regard to letter case.
bool IsReachedAs(HANDLE handle, const wchar_t* path) {
  wchar_t finalPath[PathCapacity] = {};
  const DWORD length = GetFinalPathNameByHandleW(
      handle, finalPath, static_cast<DWORD>(PathCapacity), FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (length == 0 || length >= PathCapacity) return false;
  const wchar_t* reached = finalPath;
  if (wcsncmp(reached, L"\\\\?\\", 4) == 0) reached += 4;
  return CompareStringOrdinal(reached, -1, path, -1, TRUE) == CSTR_EQUAL;
}

// Opens the log folder, the part of LogFilePath before its last backslash,
// and checks that it is a real folder: a directory that is no reparse point
// (junction or symbolic link) and is reached as named. It is held open while
// the file in it is opened: without delete sharing, nobody can move it away
// and put a link in its place meanwhile. Not valid when the check fails.
FileHandle OpenLogFolder() {
  wchar_t folder[PathCapacity] = {};
  lstrcpynW(folder, LogFilePath, static_cast<int>(PathCapacity));
  wchar_t* const lastSeparator = wcsrchr(folder, L'\\');
  if (lastSeparator == nullptr) return FileHandle();
  *lastSeparator = L'\0';
  FileHandle handle(CreateFileW(folder, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                nullptr));
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!handle.valid() || !GetFileInformationByHandle(handle.get(), &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
      !IsReachedAs(handle.get(), folder))
    handle.Close();
  return handle;
}

enum class LogFileKind {
  Log,      // a regular file with a single name, reached as LogFilePath
  Planted,  // reached as LogFilePath, but a hard link or a link (reparse point)
  Other,    // anything else: nothing is written to it, nor is it removed
};

LogFileKind Examine(const FileHandle& file) {
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!GetFileInformationByHandle(file.get(), &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
      !IsReachedAs(file.get(), LogFilePath))
    return LogFileKind::Other;
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || info.nNumberOfLinks != 1)
    return LogFileKind::Planted;
  return LogFileKind::Log;
}

// Opened for appending only: without write-data access the system puts every
// write at the end of the file as it is then, so writers in other processes
// never overwrite each other. A link is opened as itself, never followed.
FileHandle OpenLogFileAs(DWORD disposition) {
  return FileHandle(CreateFileW(LogFilePath, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

// Opens the log file at LogFilePath for one append, or gives a handle that is
// not valid. A planted name is removed (for a hard link only that name goes;
// the other file keeps its content) and the file made anew.
FileHandle OpenLogFile() {
  const FileHandle folder = OpenLogFolder();
  if (!folder.valid()) return FileHandle();
  FileHandle file = OpenLogFileAs(OPEN_ALWAYS);
  if (!file.valid()) return file;
  const LogFileKind kind = Examine(file);
  if (kind == LogFileKind::Log) return file;
  file.Close();
  if (kind == LogFileKind::Other || !DeleteFileW(LogFilePath)) return file;
  file = OpenLogFileAs(CREATE_NEW);
  if (file.valid() && Examine(file) != LogFileKind::Log) file.Close();
  return file;
}

// The tool's writers of the logs take turns, one write at a time, across
// processes. Windows puts an append-only write at the end of the file in one
// step; Wine, which the tool is tested on, looks up the end and then writes
// there, and two processes appending at once lose lines to each other. A
// turn is waited for a bounded time: once a wait has run out (a stuck or
// malicious holder), the process writes without turns for the rest of its
// run, which still appends.
constexpr wchar_t LogTurnMutexName[] = L"DrelmoSetupLogTurn";
constexpr DWORD LogTurnTimeoutMs = 2000;
bool TakeLogTurns = true;

class LogTurn {
 public:
  LogTurn() {
    if (!TakeLogTurns) return;
    mutex_ = CreateMutexW(nullptr, FALSE, LogTurnMutexName);
    if (mutex_ == nullptr) return;
    const DWORD wait = WaitForSingleObject(mutex_, LogTurnTimeoutMs);
    owned_ = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
    if (wait == WAIT_TIMEOUT) TakeLogTurns = false;
  }
  ~LogTurn() {
    if (owned_) ReleaseMutex(mutex_);
    if (mutex_ != nullptr) CloseHandle(mutex_);
  }
  LogTurn(const LogTurn&) = delete;
  LogTurn& operator=(const LogTurn&) = delete;

 private:
  HANDLE mutex_ = nullptr;
  bool owned_ = false;
};

void AppendToFile(const FileHandle& file, const wchar_t* text, size_t length) {
  const LogTurn turn;
  DWORD written = 0;
  WriteFile(file.get(), text, static_cast<DWORD>(length * sizeof(wchar_t)), &written, nullptr);
}

// Formats a message into room characters (terminating NUL included) and
// returns its length. A message too long for the room is cut, marked with
// "..." and still ends in "\r\n"; a format that cannot be formatted is
// written as it stands, so that the line still says what was meant.
size_t FormatLogMessage(wchar_t* buffer, size_t room, const wchar_t* format, va_list args) {
  va_list attempt;
  va_copy(attempt, args);
  const int length = FormatBoundedV(buffer, room, format, attempt);
  va_end(attempt);
  if (length >= 0) return static_cast<size_t>(length);

  const size_t tailLength = CutMarkerLength + LineEndLength;
  if (room <= tailLength) return 0;
  bool cut = false;
  int kept = FormatCutV(buffer, room - tailLength, format, args, &cut);
  if (kept < 0) kept = FormatCut(buffer, room - tailLength, &cut, L"%s", format);
  size_t end = kept > 0 ? static_cast<size_t>(kept) : 0;
  while (end > 0 && (buffer[end - 1] == L'\r' || buffer[end - 1] == L'\n')) --end;
  buffer[end] = L'\0';
  if (cut) AppendBounded(buffer, room, CutMarker);
  AppendBounded(buffer, room, LineEnd);
  return wcsnlen(buffer, room);
}

}  // namespace

void OpenSetupLog(const wchar_t* name) {
  wchar_t systemDirectory[PathCapacity] = {};
  GetSystemDirectoryW(systemDirectory, static_cast<UINT>(PathCapacity));
  const wchar_t drive[2] = {systemDirectory[0] != L'\0' ? systemDirectory[0] : L'C', L'\0'};

  ZeroMemory(LogFilePath, sizeof(LogFilePath));
  AppendBounded(LogFilePath, PathCapacity, drive);
  AppendBounded(LogFilePath, PathCapacity, L":\\log");
  const bool directoryReady =
      CreateDirectoryW(LogFilePath, nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;

  LogEnabled = false;
  if (!directoryReady) {
    SecureZeroMemory(LogFilePath, sizeof(LogFilePath));
    return;
  }
  AppendBounded(LogFilePath, PathCapacity, L"\\");
  AppendBounded(LogFilePath, PathCapacity, name);
  AppendBounded(LogFilePath, PathCapacity, L".log");

  {
    const FileHandle file = OpenLogFile();
    if (!file.valid()) return;
    AppendToFile(file, RunSeparator, RunSeparatorLength);
  }
  LogEnabled = true;
}

void WriteSetupLog(const wchar_t* format, ...) {
  if (!LogEnabled) return;

  wchar_t line[LineCapacity] = {};
  SYSTEMTIME now = {};
  GetLocalTime(&now);
  const int prefix =
      FormatBounded(line, LineCapacity, L"%d-%02d-%02d %02d:%02d:%02d.%03d  ", now.wYear,
                    now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
  const size_t prefixLength = prefix > 0 ? static_cast<size_t>(prefix) : 0;

  va_list args;
  va_start(args, format);
  const size_t messageLength =
      FormatLogMessage(line + prefixLength, LineCapacity - prefixLength, format, args);
  va_end(args);

  const FileHandle file = OpenLogFile();
  if (!file.valid()) return;
  AppendToFile(file, line, prefixLength + messageLength);
}
