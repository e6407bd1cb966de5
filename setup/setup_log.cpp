// The setup log: one UTF-16LE text file per action, appended to one line at
// a time. Each line opens, appends to and closes the file, so nothing is
// lost when the program ends abruptly and administrators may read the log
// while it grows.
//
// The log goes to <system drive>:\log when that folder lets only
// administrators in (the tool makes it so when it is not there); otherwise
// to the tool's own folder under the Windows folder, whose log then begins
// with the reason, also sent to the Application event log. Every line that
// cannot be written is counted, and the end of the run says how many, and
// why the first was not.
#include "setup_log.h"

#include <atomic>
#include <cwchar>

#include "event_log.h"
#include "log_folder.h"
#include "messages.h"
#include "owner.h"

bool LogEnabled = false;
wchar_t LogFilePath[PathCapacity] = {};

namespace {

// The run's checked log folder, held until the process ends: every line is
// written through it.
HandleOwner LogFolder;
// Whether this run asked for a log, found a folder for it or not.
bool LogAskedFor = false;

// The lines of this run that were not written, and why the first was not;
// the worker writes lines while the window's thread may end the run.
SRWLOCK UnwrittenLock = SRWLOCK_INIT;
int UnwrittenLines = 0;
LogFailure FirstUnwritten;

// CR LF, 30 asterisks, CR LF: begins every run in the file.
constexpr wchar_t RunSeparator[] = L"\r\n******************************\r\n";

// Windows puts every write through an append-only handle at the end of the
// file in one step. Wine looks the end up and then writes there, so two
// processes appending at once lose lines to each other; there the tool's
// writers take turns on a mutex, and a run waits for its turns at most
// LogTurnBudgetMs in all, then writes without them.
constexpr wchar_t LogTurnName[] = L"DrelmoSetupLogTurn";
constexpr DWORD LogTurnBudgetMs = 5000;
HandleOwner LogTurnMutex;
std::atomic<DWORD> LogTurnBudgetLeft{0};

class LogTurn {
 public:
  LogTurn() {
    const DWORD budget = LogTurnBudgetLeft;
    if (!LogTurnMutex || budget == 0) return;
    const ULONGLONG start = GetTickCount64();
    const DWORD wait = WaitForSingleObject(LogTurnMutex.get(), budget);
    const ULONGLONG waited = GetTickCount64() - start;
    held_ = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
    LogTurnBudgetLeft = held_ && waited < budget ? budget - static_cast<DWORD>(waited) : 0;
  }
  ~LogTurn() {
    if (held_) ReleaseMutex(LogTurnMutex.get());
  }
  LogTurn(const LogTurn&) = delete;
  LogTurn& operator=(const LogTurn&) = delete;

 private:
  bool held_ = false;
};

void RecordUnwritten(const LogFailure& failure) {
  AcquireSRWLockExclusive(&UnwrittenLock);
  if (UnwrittenLines++ == 0) FirstUnwritten = failure;
  ReleaseSRWLockExclusive(&UnwrittenLock);
}

// Says in words why a folder or file could not take the log, or a line was
// not written; filePath names the log file, and its folder is the rest.
void Describe(wchar_t (&buffer)[LineCapacity], const LogFailure& failure, const wchar_t* filePath) {
  static const wchar_t* const Why[][2] = {
      // The folder's words, the file's.
      {L"", L""},
      {L"%s could not be opened or made", L"%s could not be opened"},
      {L"%s is not a folder of its own (a link, a mount point or a file)",
       L"%s is not a file of its own (a link, a mount point, a folder or a file with more than "
       L"one name)"},
      {L"%s lets others than the administrators in (its owner or its access list)",
       L"%s lets others than the administrators in (its owner or its access list)"},
      {L"writing to %s failed", L"writing to %s failed"},
      {L"the Application event log did not take the warning", L""},
      {L"no folder could take the log (%s)", L"no folder could take the log (%s)"},
  };
  wchar_t folder[PathCapacity] = {};
  FormatCut(folder, PathCapacity, nullptr, L"%s", filePath);
  if (wchar_t* const separator = wcsrchr(folder, L'\\')) *separator = L'\0';
  const int length = FormatCut(buffer, LineCapacity, nullptr,
                               Why[static_cast<int>(failure.problem)][failure.inFile ? 1 : 0],
                               failure.inFile ? filePath : folder);
  if (length >= 0 && failure.error != ERROR_SUCCESS)
    FormatCut(buffer + length, LineCapacity - static_cast<size_t>(length), nullptr, L" (error %d)",
              static_cast<int>(failure.error));
}

// Appends text to the run's log file through the run's folder.
LogFailure AppendToLog(const wchar_t* text, size_t length) {
  if (!LogFolder) return {LogProblem::NoFolder, ERROR_SUCCESS, true};
  LogFailure failure;
  const HandleOwner file =
      OpenLogFile(LogFolder.get(), wcsrchr(LogFilePath, L'\\') + 1, LogFilePath, &failure);
  if (!file) return failure;
  const LogTurn turn;
  const DWORD bytes = static_cast<DWORD>(length * sizeof(wchar_t));
  DWORD written = 0;
  if (!WriteFile(file.get(), text, bytes, &written, nullptr))
    return {LogProblem::WriteFailed, GetLastError(), true};
  if (written != bytes) return {LogProblem::WriteFailed, ERROR_SUCCESS, true};
  return {};
}

// Makes folderPath the run's log folder: checked, its log file opened and
// the run separator written. LogFilePath names the file either way.
LogFailure PrepareLogIn(const wchar_t* folderPath, const wchar_t* name) {
  LogFolder.reset();
  if (FormatBounded(LogFilePath, PathCapacity, L"%s\\%s.log", folderPath, name) < 0)
    return {LogProblem::NotOpened, ERROR_FILENAME_EXCED_RANGE, false};
  LogFailure failure;
  LogFolder = OpenLogFolder(folderPath, &failure);
  if (LogFolder) failure = AppendToLog(RunSeparator, ARRAYSIZE(RunSeparator) - 1);
  if (failure.problem != LogProblem::None) LogFolder.reset();
  return failure;
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

  constexpr size_t TailLength = 5;  // "...\r\n"
  if (room <= TailLength) return 0;
  bool cut = false;
  int kept = FormatCutV(buffer, room - TailLength, format, args, &cut);
  if (kept < 0) kept = FormatCut(buffer, room - TailLength, &cut, L"%s", format);
  size_t end = kept > 0 ? static_cast<size_t>(kept) : 0;
  while (end > 0 && (buffer[end - 1] == L'\r' || buffer[end - 1] == L'\n')) --end;
  return end +
         static_cast<size_t>(FormatBounded(buffer + end, room - end, cut ? L"...\r\n" : L"\r\n"));
}

}  // namespace

void OpenSetupLog(const wchar_t* name) {
  wchar_t systemDirectory[PathCapacity] = {};
  GetSystemDirectoryW(systemDirectory, static_cast<UINT>(PathCapacity));
  wchar_t usualFolder[] = L"C:\\log";
  if (systemDirectory[0] != L'\0') usualFolder[0] = systemDirectory[0];

  LogEnabled = false;
  LogAskedFor = true;
  AcquireSRWLockExclusive(&UnwrittenLock);
  UnwrittenLines = 0;
  ReleaseSRWLockExclusive(&UnwrittenLock);
  LogTurnBudgetLeft = LogTurnBudgetMs;
  if (!LogTurnMutex && RunsOnWine()) LogTurnMutex.reset(CreateMutexW(nullptr, FALSE, LogTurnName));

  const LogFailure usual = PrepareLogIn(usualFolder, name);
  if (usual.problem == LogProblem::None) {
    LogEnabled = true;
    return;
  }
  wchar_t usualFile[PathCapacity] = {};
  FormatCut(usualFile, PathCapacity, nullptr, L"%s", LogFilePath);
  wchar_t usualWhy[LineCapacity] = {};
  Describe(usualWhy, usual, usualFile);
  wchar_t fallbackFolder[PathCapacity] = {};
  ToolWindowsFolder(fallbackFolder);
  const LogFailure fallback = PrepareLogIn(fallbackFolder, name);
  wchar_t message[LineCapacity] = {};
  if (fallback.problem == LogProblem::None) {
    // The log itself says first why it is here, where only administrators
    // can read or change it.
    LogEnabled = true;
    FormatCut(message, LineCapacity, nullptr,
              L"Drelmo writes the setup log of this run to %s, not to %s: %s.", LogFilePath,
              usualFile, usualWhy);
    WriteSetupLog(L"%s\r\n", message);
  } else {
    wchar_t fallbackWhy[LineCapacity] = {};
    Describe(fallbackWhy, fallback, LogFilePath);
    FormatCut(LogFilePath, PathCapacity, nullptr, L"%s", usualFile);
    FormatCut(message, LineCapacity, nullptr, L"Drelmo writes no setup log in this run: %s; %s.",
              usualWhy, fallbackWhy);
  }
  if (const DWORD error = ReportToAdministrators(LogMovedEvent, message))
    RecordUnwritten({LogProblem::NotReported, error, false});
}

// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style by design, as FormatBounded
void WriteSetupLog(const wchar_t* format, ...) {
  if (!LogEnabled) {
    // A run that asked for a log but found no folder for it loses every line.
    if (LogAskedFor && !LogFolder) RecordUnwritten({LogProblem::NoFolder, ERROR_SUCCESS, true});
    return;
  }
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

  wchar_t why[LineCapacity] = {};
  Describe(why, first, LogFilePath);
  wchar_t message[LineCapacity] = {};
  FormatCut(message, LineCapacity, nullptr,
            L"Lines of the setup log %s not written in this run: %d. The first was not written "
            L"because %s.",
            LogFilePath, unwritten, why);
  // The same words in the log itself, where only administrators write and
  // nobody can bury them under entries of their own.
  // (A line of it that is lost is counted, but nothing is left to say so.)
  const DWORD error = ReportToAdministrators(LinesNotWrittenEvent, message);
  if (LogEnabled)
    WriteSetupLog(error == ERROR_SUCCESS ? L"%s\r\n"
                                         : L"%s The Application event log did not take this "
                                           L"warning (error %d).\r\n",
                  message, static_cast<int>(error));
}
