// The setup log's folder and files, reached only through handles the tool
// has checked.
//
// The tool runs elevated, and an ordinary user may make the log folder and
// put names into it before the tool runs, or hold it open. So the folder is
// opened once per run as itself, checked to be a real folder at the path
// asked for, and made the tool's own (owner and access list) before anything
// is written. Every file is then opened by its name within that folder
// handle, never by a path from the drive's root, and every decision about
// what was found at a name is carried out through a handle on it.
#pragma once

#include <windows.h>

#include "handle_holder.h"

enum class LogFolderProblem {
  None,
  CannotOpen,  // the folder cannot be opened at all
  NotAFolder,  // a link, a mount point or a file, or reached by another path
  NotSecured,  // ordinary users may change it, and it could not be taken back
};

// Opens the log folder at path (for example C:\log) and makes sure it is a
// real folder reached as that path, owned and controlled by administrators
// only; one that is not is taken back (owner Administrators, the protected
// access list of MakeLogFolderSecurity). The folder may be held open by
// anyone, in any way, without making this fail. On failure the handle is
// empty and problem and error say why.
HandleHolder OpenLogFolder(const wchar_t* path, LogFolderProblem* problem, DWORD* error);

// Opens the log file fileName in the checked folder for one append, creating
// it if it is missing; fullPath is the path it is to be reached as. A name
// planted to lead elsewhere (a junction, mount point or symbolic link, or a
// hard link with a name outside the folder) is removed through a handle
// opened on it and checked again, and the file made anew. Anything else
// that is not the log is left alone: the handle is empty and *refused true.
// The handle is also empty, with *refused false, when the file cannot be
// opened (held open without sharing, say).
HandleHolder OpenLogFileIn(HANDLE folder, const wchar_t* fileName, const wchar_t* fullPath,
                           bool* refused);
