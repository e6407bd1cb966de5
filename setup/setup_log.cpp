// The setup log: one UTF-16LE text file per action under <system drive>:\log,
// appended to one line at a time. Each line opens, appends to and closes the
// file, so nothing is lost when the program ends abruptly and other
// processes may read the log while it grows.
//
// The tool runs elevated, and an ordinary user may make the folder and put
// names into it before the tool runs. The folder is made the tool's own
// before the first line, and the files are reached only through it (see
// log_files.h); where that cannot be done, the run writes no log and says so
// in the Application event log, where an administrator looks for it.
#include "setup.h"

#include <sddl.h>

#include <cwchar>

#include "handle_holder.h"
#include "library_holder.h"
#include "log_files.h"
#include "log_safety.h"

bool LogEnabled = false;
wchar_t LogFilePath[PathCapacity] = {};

namespace {

// The log folder of this run, checked once and held until the process ends;
// every log file is opened through it.
HandleHolder LogFolder;
// The event id of the Application event log entries that say the log is
// not written.
constexpr DWORD LogNotWrittenEvent = 1;
// Whether the Application event log has been told that lines of this run's
// log file are not written.
bool LogFileRefusalReported = false;

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

// Tells an administrator, in the Application event log, that this run's
// log is not written or not complete, and why. Ordinary users can neither
// redirect nor remove what is written there.
void ReportToAdministrator(const wchar_t* message) {
  const HANDLE source = RegisterEventSourceW(nullptr, L"Drelmo");
  if (source == nullptr) return;
  const wchar_t* strings[] = {message};
  ReportEventW(source, EVENTLOG_WARNING_TYPE, 0, LogNotWrittenEvent, nullptr, 1, 0, strings,
               nullptr);
  DeregisterEventSource(source);
}

void ReportLogFolderProblem(const wchar_t* folder, LogFolderProblem problem, DWORD error) {
  const wchar_t* why = L"cannot be opened";
  if (problem == LogFolderProblem::NotAFolder)
    why = L"is not a folder of its own (it is a link, a mount point or a file)";
  else if (problem == LogFolderProblem::NotSecured)
    why = L"lets ordinary users change it, and it could not be taken back";
  wchar_t message[LineCapacity] = {};
  const int length =
      FormatBounded(message, LineCapacity, L"Drelmo writes no setup log: %s %s", folder, why);
  if (length < 0) return;
  if (error != ERROR_SUCCESS)
    FormatBounded(message + length, LineCapacity - static_cast<size_t>(length), L" (error %d)",
                  static_cast<int>(error));
  AppendBounded(message, LineCapacity,
                L". Logs are written there again once it is a folder that belongs to the "
                L"Administrators and that ordinary users may only read.");
  ReportToAdministrator(message);
}

// Opens the log file at LogFilePath, in the run's log folder, for one
// append; the handle is empty when the line cannot be written.
HandleHolder OpenLogFile() {
  if (!LogFolder.valid()) return HandleHolder();
  const wchar_t* const separator = wcsrchr(LogFilePath, L'\\');
  if (separator == nullptr) return HandleHolder();
  bool refused = false;
  HandleHolder file = OpenLogFileIn(LogFolder.get(), separator + 1, LogFilePath, &refused);
  if (refused && !LogFileRefusalReported) {
    LogFileRefusalReported = true;
    wchar_t message[LineCapacity] = {};
    if (FormatBounded(message, LineCapacity,
                      L"Drelmo does not write setup log lines to %s: that name leads to another "
                      L"file or is not a file.",
                      LogFilePath) >= 0)
      ReportToAdministrator(message);
  }
  return file;
}

// The tool's writers of the logs take turns, one write at a time, across
// processes. Windows puts an append-only write at the end of the file in one
// step; Wine, which the tool is tested on, looks up the end and then writes
// there, and two processes appending at once lose lines to each other.
//
// The turn is a mutex in a namespace that only administrators can create
// (bounded by the Administrators group), where the platform has such
// namespaces; elsewhere it has a plain name in the session. Whoever holds it
// costs a run one bounded wait in all: the run waits for its turns at most
// LogTurnBudgetMs altogether, then writes without turns, which still appends.
// Two of the tool's writers appending 3,000 lines each at once waited 0.3 to
// 0.8 s each in all, under Wine on a busy machine.
constexpr wchar_t LogTurnNamespace[] = L"Drelmo";
constexpr wchar_t LogTurnMutexInNamespace[] = L"Drelmo\\SetupLogTurn";
constexpr wchar_t LogTurnMutexName[] = L"DrelmoSetupLogTurn";
constexpr DWORD LogTurnBudgetMs = 5000;

using CreateBoundaryDescriptorFn = HANDLE(WINAPI*)(const wchar_t* name, ULONG flags);
using AddSidToBoundaryDescriptorFn = BOOL(WINAPI*)(HANDLE* descriptor, PSID sid);
using DeleteBoundaryDescriptorFn = void(WINAPI*)(HANDLE descriptor);
using CreatePrivateNamespaceFn = HANDLE(WINAPI*)(SECURITY_ATTRIBUTES* attributes, void* descriptor,
                                                 const wchar_t* prefix);
using OpenPrivateNamespaceFn = HANDLE(WINAPI*)(void* descriptor, const wchar_t* prefix);
using ClosePrivateNamespaceFn = BOOLEAN(WINAPI*)(HANDLE space, ULONG flags);

template <typename Fn>
Fn FindKernel32Export(const char* name) {
  return FindExport<Fn>(GetModuleHandleW(L"kernel32.dll"), name);
}

// Owns an open private namespace; closes it (without destroying it for
// other holders) when it goes out of scope.
class NamespaceHolder {
 public:
  NamespaceHolder() = default;
  ~NamespaceHolder() { Close(); }
  NamespaceHolder(const NamespaceHolder&) = delete;
  NamespaceHolder& operator=(const NamespaceHolder&) = delete;

  bool valid() const { return space_ != nullptr; }
  void Reset(HANDLE space, ClosePrivateNamespaceFn close) {
    Close();
    space_ = space;
    close_ = close;
  }
  void Close() {
    if (space_ != nullptr) close_(space_, 0);
    space_ = nullptr;
  }

 private:
  HANDLE space_ = nullptr;
  ClosePrivateNamespaceFn close_ = nullptr;
};

// Owns a boundary descriptor.
class BoundaryHolder {
 public:
  BoundaryHolder(HANDLE descriptor, DeleteBoundaryDescriptorFn destroy)
      : descriptor_(descriptor), destroy_(destroy) {}
  ~BoundaryHolder() {
    if (descriptor_ != nullptr) destroy_(descriptor_);
  }
  BoundaryHolder(const BoundaryHolder&) = delete;
  BoundaryHolder& operator=(const BoundaryHolder&) = delete;
  HANDLE* address() { return &descriptor_; }
  HANDLE get() const { return descriptor_; }

 private:
  HANDLE descriptor_;
  DeleteBoundaryDescriptorFn destroy_;
};

// Both held until the process ends; the namespace outlives the mutex in it.
NamespaceHolder LogTurnSpace;
HandleHolder LogTurnMutex;
DWORD LogTurnBudgetLeft = 0;

// Opens or creates the administrators' namespace for the turn. False where
// the platform has no private namespaces or this process may not have one.
bool OpenLogTurnNamespace() {
  const auto createBoundary =
      FindKernel32Export<CreateBoundaryDescriptorFn>("CreateBoundaryDescriptorW");
  const auto addSid =
      FindKernel32Export<AddSidToBoundaryDescriptorFn>("AddSIDToBoundaryDescriptor");
  const auto deleteBoundary =
      FindKernel32Export<DeleteBoundaryDescriptorFn>("DeleteBoundaryDescriptor");
  const auto createSpace = FindKernel32Export<CreatePrivateNamespaceFn>("CreatePrivateNamespaceW");
  const auto openSpace = FindKernel32Export<OpenPrivateNamespaceFn>("OpenPrivateNamespaceW");
  const auto closeSpace = FindKernel32Export<ClosePrivateNamespaceFn>("ClosePrivateNamespace");
  if (createBoundary == nullptr || addSid == nullptr || deleteBoundary == nullptr ||
      createSpace == nullptr || openSpace == nullptr || closeSpace == nullptr)
    return false;

  BoundaryHolder boundary(createBoundary(LogTurnNamespace, 0), deleteBoundary);
  BYTE administrators[SECURITY_MAX_SID_SIZE] = {};
  DWORD sidSize = sizeof(administrators);
  if (boundary.get() == nullptr ||
      !CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &sidSize) ||
      !addSid(boundary.address(), administrators))
    return false;
  PSECURITY_DESCRIPTOR security = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;GA;;;SY)(A;;GA;;;BA)",
                                                            SDDL_REVISION_1, &security, nullptr))
    return false;
  const SecurityDescriptorHolder heldSecurity(security);
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), heldSecurity.get(), FALSE};
  HANDLE space = createSpace(&attributes, boundary.get(), LogTurnNamespace);
  if (space == nullptr && GetLastError() == ERROR_ALREADY_EXISTS)
    space = openSpace(boundary.get(), LogTurnNamespace);
  if (space == nullptr) return false;
  LogTurnSpace.Reset(space, closeSpace);
  return true;
}

// Opens the turn's mutex once per process and gives the run its budget.
void PrepareLogTurns() {
  LogTurnBudgetLeft = LogTurnBudgetMs;
  if (LogTurnMutex.valid()) return;
  if (OpenLogTurnNamespace())
    LogTurnMutex = HandleHolder(CreateMutexW(nullptr, FALSE, LogTurnMutexInNamespace));
  if (!LogTurnMutex.valid())
    LogTurnMutex = HandleHolder(CreateMutexW(nullptr, FALSE, LogTurnMutexName));
}

class LogTurn {
 public:
  LogTurn() {
    if (!LogTurnMutex.valid() || LogTurnBudgetLeft == 0) return;
    const ULONGLONG start = GetTickCount64();
    const DWORD wait = WaitForSingleObject(LogTurnMutex.get(), LogTurnBudgetLeft);
    const ULONGLONG waited = GetTickCount64() - start;
    owned_ = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
    LogTurnBudgetLeft =
        !owned_ || waited >= LogTurnBudgetLeft ? 0 : LogTurnBudgetLeft - static_cast<DWORD>(waited);
  }
  ~LogTurn() {
    if (owned_) ReleaseMutex(LogTurnMutex.get());
  }
  LogTurn(const LogTurn&) = delete;
  LogTurn& operator=(const LogTurn&) = delete;

 private:
  bool owned_ = false;
};

void AppendToFile(const HandleHolder& file, const wchar_t* text, size_t length) {
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
  // Made with the folder's own protected access list; an existing folder is
  // checked, and taken back if need be, when it is opened below.
  const SecurityDescriptorHolder security = MakeLogFolderSecurity(false);
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), security.get(), FALSE};
  const bool directoryReady = CreateDirectoryW(LogFilePath, security ? &attributes : nullptr) ||
                              GetLastError() == ERROR_ALREADY_EXISTS;

  LogEnabled = false;
  LogFolder.Close();
  LogFileRefusalReported = false;
  if (!directoryReady) {
    SecureZeroMemory(LogFilePath, sizeof(LogFilePath));
    return;
  }
  LogFolderProblem problem = LogFolderProblem::None;
  DWORD error = ERROR_SUCCESS;
  LogFolder = OpenLogFolder(LogFilePath, &problem, &error);
  if (!LogFolder.valid()) ReportLogFolderProblem(LogFilePath, problem, error);
  AppendBounded(LogFilePath, PathCapacity, L"\\");
  AppendBounded(LogFilePath, PathCapacity, name);
  AppendBounded(LogFilePath, PathCapacity, L".log");
  if (!LogFolder.valid()) return;
  PrepareLogTurns();

  {
    const HandleHolder file = OpenLogFile();
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

  const HandleHolder file = OpenLogFile();
  if (!file.valid()) return;
  AppendToFile(file, line, prefixLength + messageLength);
}
