// The setup log's folders and files, reached only through handles the tool
// has checked. The tool runs elevated, and an ordinary user may make the
// folder the log goes to, or put names into it, before the tool runs: a
// folder or file is used only when no ordinary user can have made it, can
// change it, or can open it.
#pragma once

#include <windows.h>

#include "format.h"
#include "owner.h"

// Why a folder or file could not take the log, or a line was not written.
enum class LogProblem {
  None,
  NotOpened,      // the platform did not open or make it (error)
  NotPlain,       // a link, the wrong kind, two names, or reached by another path
  NotAdminsOnly,  // its owner or access list lets others than administrators in
  WriteFailed,    // the line was not written whole (error)
  NotReported,    // the Application event log did not take a warning (error)
  NoFolder,       // no folder could take the log in this run
};

struct LogFailure {
  LogProblem problem = LogProblem::None;
  DWORD error = ERROR_SUCCESS;  // the platform's error, where it gave one
  bool inFile = false;          // about the log file, not its folder
};

// What the tool gives a folder it makes: Administrators as owner, SYSTEM and
// the Administrators full control, inherited by what the folder holds,
// nothing from the folder above.
constexpr wchar_t LogFolderSecurity[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
// The event log service (LocalService) reads the message file written there.
constexpr wchar_t MessageFileSecurity[] = L"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;LS)";

// What the tool gives a registry key it makes, whatever its token would:
// owned by Administrators, SYSTEM's, theirs and TrustedInstaller's alone;
// readable by the event log service (LocalService) for the event source's.
#define TrustedInstallerSid L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"
#define AdministratorsKeyList \
  L"O:BAD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KA;;;" TrustedInstallerSid L")"
constexpr wchar_t DriverRecordSecurity[] = AdministratorsKeyList;
constexpr wchar_t EventSourceSecurity[] = AdministratorsKeyList L"(A;CI;KR;;;LS)";

// Opens the key at path under HKEY_LOCAL_MACHINE, or makes it, and each
// key above it that is missing, with the descriptor security.
LSTATUS CreateMachineKey(const wchar_t* path, const wchar_t* security, ACCESS_MASK access,
                         RegKeyHolder& key);

// Puts the bytes in place of the file name in the folder at folderPath (as
// OpenLogFolder opens it): written to a new file of this run's own with the
// descriptor security, renamed over name only when accept holds for its path.
DWORD ReplaceFileIn(const wchar_t* folderPath, const wchar_t* name, const void* bytes, DWORD size,
                    const wchar_t* security, bool (*accept)(const wchar_t* path));

// Opens the folder at path (C:\log), or makes it where no name is, in one
// create that opens a link as itself; a folder made has LogFolderSecurity
// from the start. Anyone may hold the folder open in any way without keeping
// the tool out. The handle must then show a folder that is no reparse point,
// reached as path, and IsAdministratorsOnly where the platform keeps access
// lists. Empty on failure, with *failure saying why.
HandleOwner OpenLogFolder(const wchar_t* path, LogFailure* failure);

// Opens the file name in the checked folder for appending, or makes it there
// where no name is (owned by Administrators, the folder's access list
// inherited): creates of that one name that open a link as itself; path is
// where it is to be reached. Checked as the folder is, and it must have one
// name only. Nothing found there is changed.
HandleOwner OpenLogFile(HANDLE folder, const wchar_t* name, const wchar_t* path,
                        LogFailure* failure);

// True when no ordinary user can have set the descriptor or be let in by it:
// it is owned by SYSTEM, the Administrators or TrustedInstaller, and its
// access list (entries for what the folder holds included) allows nobody
// else anything, reading included: whoever may read a log may also hold it
// open so that no line is written. A missing access list lets everyone in.
bool IsAdministratorsOnly(PSECURITY_DESCRIPTOR security);

// The tool's own folder under the Windows folder (%SystemRoot%\Logs\Drelmo),
// for when the usual one cannot be used; false when it cannot be named.
bool ToolWindowsFolder(wchar_t (&path)[PathCapacity]);

// Whether the platform is Wine, as its ntdll tells (it exports
// wine_get_version; Windows' does not, and no user can change what the
// system's ntdll exports). Wine keeps no owner or access list of a file, so
// there the tool's folders and files are checked for everything but these.
bool RunsOnWine();
