// The setup log: one UTF-16LE text file per action under <system drive>:\log,
// appended to one line at a time. Each line opens, appends to and closes the
// file, so nothing is lost when the program ends abruptly and other
// processes may read the log while it grows.
#include "setup.h"

#include <cwchar>

bool LogEnabled = false;
wchar_t LogFilePath[PathCapacity] = {};

namespace {

// Owns a file handle; closes it when it goes out of scope.
class FileHandle {
 public:
  explicit FileHandle(HANDLE handle) : handle_(handle) {}
  ~FileHandle() {
    if (valid()) CloseHandle(handle_);
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;

  bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  HANDLE get() const { return handle_; }

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

FileHandle OpenLogFile() {
  return FileHandle(CreateFileW(LogFilePath, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

void AppendToFile(const FileHandle& file, const wchar_t* text, size_t length) {
  SetFilePointer(file.get(), 0, nullptr, FILE_END);
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
  const int prefix = FormatBounded(line, LineCapacity, L"%d-%02d-%02d %02d:%02d:%02d.%03d  ",
                                   now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute,
                                   now.wSecond, now.wMilliseconds);
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
