// The setup log: one UTF-16LE text file per action, appended to one line at
// a time. Each line opens, appends to and closes the file, so nothing is
// lost when the program ends abruptly and other processes may read the log
// while it grows.
//
// The tool runs elevated, and an ordinary user may make a folder and put
// names into it before the tool runs. The log goes to <system drive>:\log
// when that is a folder only administrators control (the tool makes it so
// when it is not there); otherwise to a folder of the tool's own under the
// Windows logs folder, and the Application event log says where and why.
// The files are reached only through the checked folder (see log_files.h).
// Every line that cannot be written is counted, and the end of the run
// reports how many, and why the first was not, in the Application event log
// and, where it can still be written, in the log itself.
#include "setup_log.h"

#include <sddl.h>

#include <cwchar>
#include <utility>

#include "owner.h"
#include "system_library.h"
#include "log_files.h"
#include "log_safety.h"

bool LogEnabled = false;
wchar_t LogFilePath[PathCapacity] = {};
SetupEventWriter SetupEventSink = nullptr;

namespace {

// The log folder of this run, checked once and held until the process ends;
// every log file is opened through it.
HandleOwner LogFolder;
// Whether this run asked for a log, found a folder for it or not.
bool LogAskedFor = false;

// The lines of this run that were not written, and why the first was not;
// the worker writes lines while the window's thread may end the run.
SRWLOCK UnwrittenLock = SRWLOCK_INIT;
int UnwrittenLines = 0;
LogFailure FirstUnwritten;

// The Application event log entries of the tool: where the log went when it
// is not in its usual folder, and the lines a run did not write.
constexpr wchar_t EventSource[] = L"Drelmo";
constexpr wchar_t EventSourceKey[] =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Drelmo";
constexpr DWORD EventTypesSupported =
    EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
constexpr DWORD LogMovedEvent = 1;
constexpr DWORD LinesNotWrittenEvent = 2;

// The tool's own folder under the Windows folder, for when the usual one
// cannot be used.
constexpr wchar_t FallbackFolder[] = L"\\Logs\\Drelmo";

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

// Registers the tool as a source of the Application event log, once: the
// key, under the system's services, can be made by administrators only.
// A key that is there is left as an administrator made it.
void RegisterEventSourceOnce() {
  RegKeyHolder key;
  DWORD disposition = 0;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, EventSourceKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_SET_VALUE, nullptr, key.put(), &disposition) != ERROR_SUCCESS ||
      disposition != REG_CREATED_NEW_KEY)
    return;
  RegSetValueExW(key.get(), L"TypesSupported", 0, REG_DWORD,
                 reinterpret_cast<const BYTE*>(&EventTypesSupported), sizeof(DWORD));
}

// Tells an administrator, in the Application event log, where this run's
// log is or what it lacks; the entry names the account the tool ran as.
void ReportToAdministrator(DWORD eventId, const wchar_t* message) {
  BYTE user[SECURITY_MAX_SID_SIZE] = {};
  const PSID sid = ReadToolUser(user) ? user : nullptr;
  if (SetupEventSink != nullptr) {
    SetupEventSink(EVENTLOG_WARNING_TYPE, eventId, sid, message);
    return;
  }
  RegisterEventSourceOnce();
  const HANDLE source = RegisterEventSourceW(nullptr, EventSource);
  if (source == nullptr) return;
  const wchar_t* strings[] = {message};
  ReportEventW(source, EVENTLOG_WARNING_TYPE, 0, eventId, sid, 1, 0, strings, nullptr);
  DeregisterEventSource(source);
}

// Says why a folder or file could not serve, or a line was not written, in
// words: folderPath names the folder and filePath the log file.
void DescribeFailure(wchar_t* buffer, size_t capacity, const LogFailure& failure,
                     const wchar_t* folderPath, const wchar_t* filePath) {
  const wchar_t* format = L"%s could not be used";
  const wchar_t* path = filePath;
  switch (failure.problem) {
    case LogProblem::FolderNotMade:
      format = L"%s could not be made";
      path = folderPath;
      break;
    case LogProblem::FolderNotOpened:
      format = L"%s could not be opened";
      path = folderPath;
      break;
    case LogProblem::NotAFolder:
      format = L"%s is not a folder of its own (a link, a mount point or a file)";
      path = folderPath;
      break;
    case LogProblem::NotSecured:
      format =
          L"%s is not controlled by the administrators alone (its owner or its access list "
          L"lets others change it)";
      path = folderPath;
      break;
    case LogProblem::FileNotTheLog:
      format = L"%s is not a log file of its own (a link that could not be removed, or a folder)";
      break;
    case LogProblem::FileManyNames:
      format = L"%s has more than one name, and another may lie outside the folder";
      break;
    case LogProblem::FileNotOpened: format = L"%s could not be opened"; break;
    case LogProblem::WriteFailed: format = L"writing to %s failed"; break;
    case LogProblem::WriteShort: format = L"only part of a line was written to %s"; break;
    case LogProblem::NoFolder: format = L"no folder could take the log (%s)"; break;
    case LogProblem::None: break;
  }
  const int length = FormatBounded(buffer, capacity, format, path);
  if (length >= 0 && failure.error != ERROR_SUCCESS)
    FormatBounded(buffer + length, capacity - static_cast<size_t>(length), L" (error %d)",
                  static_cast<int>(failure.error));
}

void RecordUnwritten(const LogFailure& failure) {
  AcquireSRWLockExclusive(&UnwrittenLock);
  if (UnwrittenLines++ == 0) FirstUnwritten = failure;
  ReleaseSRWLockExclusive(&UnwrittenLock);
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
HandleOwner LogTurnMutex;
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
  if (static_cast<bool>(LogTurnMutex)) return;
  if (OpenLogTurnNamespace())
    LogTurnMutex = HandleOwner(CreateMutexW(nullptr, FALSE, LogTurnMutexInNamespace));
  if (!static_cast<bool>(LogTurnMutex))
    LogTurnMutex = HandleOwner(CreateMutexW(nullptr, FALSE, LogTurnMutexName));
}

class LogTurn {
 public:
  LogTurn() {
    if (!static_cast<bool>(LogTurnMutex) || LogTurnBudgetLeft == 0) return;
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

LogFailure AppendToFile(const HandleOwner& file, const wchar_t* text, size_t length) {
  const LogTurn turn;
  const DWORD bytes = static_cast<DWORD>(length * sizeof(wchar_t));
  DWORD written = 0;
  if (!WriteFile(file.get(), text, bytes, &written, nullptr))
    return {LogProblem::WriteFailed, GetLastError()};
  if (written != bytes) return {LogProblem::WriteShort, ERROR_SUCCESS};
  return LogFailure();
}

// Appends text to the run's log file; says why when it could not.
LogFailure AppendToLog(const wchar_t* text, size_t length) {
  const wchar_t* const separator = wcsrchr(LogFilePath, L'\\');
  if (!static_cast<bool>(LogFolder) || separator == nullptr)
    return {LogProblem::NoFolder, ERROR_SUCCESS};
  LogFailure failure;
  const HandleOwner file = OpenLogFileIn(LogFolder.get(), separator + 1, LogFilePath, &failure);
  if (!static_cast<bool>(file)) return failure;
  return AppendToFile(file, text, length);
}

// Prepares the log in folderPath: the folder checked, the file opened and
// the run separator written. On success the folder is the run's and
// LogFilePath names the file; otherwise nothing of the run's changes and
// filePath still names the file that was tried.
LogFailure PrepareLogIn(const wchar_t* folderPath, const wchar_t* name,
                        wchar_t (&filePath)[PathCapacity]) {
  if (FormatBounded(filePath, PathCapacity, L"%s\\%s.log", folderPath, name) < 0)
    return {LogProblem::FolderNotMade, ERROR_FILENAME_EXCED_RANGE};
  LogFailure failure;
  HandleOwner folder = OpenLogFolder(folderPath, &failure);
  if (!static_cast<bool>(folder)) return failure;
  {
    const HandleOwner file =
        OpenLogFileIn(folder.get(), wcsrchr(filePath, L'\\') + 1, filePath, &failure);
    if (!static_cast<bool>(file)) return failure;
    failure = AppendToFile(file, RunSeparator, RunSeparatorLength);
    if (failure.problem != LogProblem::None) return failure;
  }
  LogFolder = std::move(folder);
  ZeroMemory(LogFilePath, sizeof(LogFilePath));
  AppendBounded(LogFilePath, PathCapacity, filePath);
  return failure;
}

// The tool's folder under the Windows folder; empty when it cannot be named.
void FallbackFolderPath(wchar_t (&path)[PathCapacity]) {
  wchar_t windows[PathCapacity] = {};
  const UINT length = GetSystemWindowsDirectoryW(windows, static_cast<UINT>(PathCapacity));
  if (length == 0 || length >= PathCapacity ||
      FormatBounded(path, PathCapacity, L"%s%s", windows, FallbackFolder) < 0)
    path[0] = L'\0';
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

// Puts the timestamp prefix of a line, the local time, at the start of the
// line buffer; returns its length.
size_t FormatPrefix(wchar_t (&line)[LineCapacity]) {
  SYSTEMTIME now = {};
  GetLocalTime(&now);
  const int prefix =
      FormatBounded(line, LineCapacity, L"%d-%02d-%02d %02d:%02d:%02d.%03d  ", now.wYear,
                    now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
  return prefix > 0 ? static_cast<size_t>(prefix) : 0;
}

}  // namespace

void OpenSetupLog(const wchar_t* name) {
  wchar_t systemDirectory[PathCapacity] = {};
  GetSystemDirectoryW(systemDirectory, static_cast<UINT>(PathCapacity));
  const wchar_t drive[2] = {systemDirectory[0] != L'\0' ? systemDirectory[0] : L'C', L'\0'};

  LogEnabled = false;
  LogFolder.reset();
  LogAskedFor = true;
  AcquireSRWLockExclusive(&UnwrittenLock);
  UnwrittenLines = 0;
  FirstUnwritten = LogFailure();
  ReleaseSRWLockExclusive(&UnwrittenLock);
  PrepareLogTurns();

  wchar_t usualFolder[PathCapacity] = {};
  AppendBounded(usualFolder, PathCapacity, drive);
  AppendBounded(usualFolder, PathCapacity, L":\\log");
  wchar_t usualFile[PathCapacity] = {};
  const LogFailure usual = PrepareLogIn(usualFolder, name, usualFile);
  if (usual.problem == LogProblem::None) {
    LogEnabled = true;
    return;
  }
  ZeroMemory(LogFilePath, sizeof(LogFilePath));
  AppendBounded(LogFilePath, PathCapacity, usualFile);

  wchar_t usualWhy[LineCapacity] = {};
  DescribeFailure(usualWhy, LineCapacity, usual, usualFolder, usualFile);
  wchar_t fallbackFolder[PathCapacity] = {};
  FallbackFolderPath(fallbackFolder);
  wchar_t fallbackFile[PathCapacity] = {};
  const LogFailure fallback = fallbackFolder[0] != L'\0'
                                  ? PrepareLogIn(fallbackFolder, name, fallbackFile)
                                  : LogFailure{LogProblem::FolderNotMade, ERROR_PATH_NOT_FOUND};
  wchar_t message[LineCapacity] = {};
  if (fallback.problem == LogProblem::None) {
    LogEnabled = true;
    FormatCut(message, LineCapacity, nullptr,
              L"Drelmo writes the setup log of this run to %s, not to %s: %s.", fallbackFile,
              usualFile, usualWhy);
  } else {
    wchar_t fallbackWhy[LineCapacity] = {};
    DescribeFailure(fallbackWhy, LineCapacity, fallback, fallbackFolder, fallbackFile);
    FormatCut(message, LineCapacity, nullptr, L"Drelmo writes no setup log in this run: %s; %s.",
              usualWhy, fallbackWhy);
  }
  ReportToAdministrator(LogMovedEvent, message);
}

// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style by design, as FormatBounded
void WriteSetupLog(const wchar_t* format, ...) {
  if (!LogEnabled) {
    // A run that asked for a log but found no folder for it loses every line.
    if (LogAskedFor && !static_cast<bool>(LogFolder))
      RecordUnwritten({LogProblem::NoFolder, ERROR_SUCCESS});
    return;
  }

  wchar_t line[LineCapacity] = {};
  const size_t prefixLength = FormatPrefix(line);
  va_list args;
  va_start(args, format);
  const size_t messageLength =
      FormatLogMessage(line + prefixLength, LineCapacity - prefixLength, format, args);
  va_end(args);

  const LogFailure failure = AppendToLog(line, prefixLength + messageLength);
  if (failure.problem != LogProblem::None) RecordUnwritten(failure);
}

void FinishSetupLog() {
  AcquireSRWLockExclusive(&UnwrittenLock);
  const int unwritten = UnwrittenLines;
  const LogFailure first = FirstUnwritten;
  UnwrittenLines = 0;
  ReleaseSRWLockExclusive(&UnwrittenLock);
  if (unwritten == 0) return;

  wchar_t folder[PathCapacity] = {};
  AppendBounded(folder, PathCapacity, LogFilePath);
  if (wchar_t* const separator = wcsrchr(folder, L'\\')) *separator = L'\0';
  wchar_t why[LineCapacity] = {};
  DescribeFailure(why, LineCapacity, first, folder, LogFilePath);
  wchar_t message[LineCapacity] = {};
  FormatCut(message, LineCapacity, nullptr,
            L"Lines of the setup log %s not written in this run: %d. The first was not written "
            L"because %s.",
            LogFilePath, unwritten, why);
  ReportToAdministrator(LinesNotWrittenEvent, message);

  // The same words in the log itself, where only administrators write and
  // nobody can bury them under entries of their own; not counted if lost.
  if (!LogEnabled) return;
  wchar_t line[LineCapacity] = {};
  const size_t prefixLength = FormatPrefix(line);
  FormatCut(line + prefixLength, LineCapacity - prefixLength - LineEndLength, nullptr, L"%s",
            message);
  AppendBounded(line, LineCapacity, LineEnd);
  AppendToLog(line, wcsnlen(line, LineCapacity));
}
