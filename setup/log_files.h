// The setup log's folders and files, reached only through handles the tool
// has checked.
//
// The tool runs elevated, and an ordinary user may make a log folder and
// put names into it before the tool runs, or hold it open. So a folder is
// made, or opened when it is there, as itself in one step, checked to be a
// real folder at the path asked for that only administrators control, and
// held; the tool changes the security of nothing. Every file is then opened
// by its name within that folder handle, never by a path from the drive's
// root, and every decision about what was found at a name is carried out
// through a handle on it.
#pragma once

#include <windows.h>

#include "owner.h"

// Why a folder or a file could not serve as the log, or a line was not
// written.
enum class LogProblem {
  None,
  FolderNotMade,    // the folder is not there and could not be made (error)
  FolderNotOpened,  // it is there but could not be opened (error)
  NotAFolder,       // a link, a mount point or a file, or reached by another path
  NotSecured,       // its owner or its access list lets others change it
  FileNotTheLog,    // the log's name leads elsewhere or is a folder
  FileManyNames,    // the log file has more than one name
  FileNotOpened,    // the log file could not be opened (error)
  WriteFailed,      // the write failed (error)
  WriteShort,       // only part of the line was written
  NoFolder,         // no folder could take the log in this run
};

struct LogFailure {
  LogProblem problem = LogProblem::None;
  DWORD error = ERROR_SUCCESS;  // the platform's error, where it gave one
};

// Makes the log folder at path (for example C:\log) when no name is there,
// in one create that gives it the protected security of
// MakeLogFolderSecurity and follows no link; otherwise opens what is there
// as itself. Either way the folder must be a real folder reached as that
// path, owned and controlled by administrators only (IsLogFolderSecure), or
// it is not used. The folder may be held open by anyone, in any way,
// without making this fail. On failure the handle is empty and *failure
// says why.
HandleOwner OpenLogFolder(const wchar_t* path, LogFailure* failure);

// Opens the log file fileName in the checked folder for one append, creating
// it if it is missing; fullPath is the path it is to be reached as. A link
// planted at the name to lead elsewhere (a junction, mount point or symbolic
// link) is removed through a handle opened on it and checked again, and the
// file made anew. A file with more than one name, and anything else that is
// not the log, is left alone. On failure the handle is empty and *failure
// says why.
HandleOwner OpenLogFileIn(HANDLE folder, const wchar_t* fileName, const wchar_t* fullPath,
                          LogFailure* failure);

// The account the process runs as (its token's user), into sid; false when
// it cannot be read.
bool ReadToolUser(BYTE (&sid)[SECURITY_MAX_SID_SIZE]);
