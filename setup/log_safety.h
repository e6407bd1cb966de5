// The decisions the setup log takes about the folder and the file it writes,
// kept apart from the calls that gather their inputs: the tool runs
// elevated, and these decide what an ordinary user's names may make it do.
#pragma once

#include <windows.h>

#include <memory>

// What a handle opened on the log's name, as itself (a link is not
// followed), shows of what is there.
struct LogFileFacts {
  DWORD attributes = 0;         // FILE_ATTRIBUTE_* of what was opened
  DWORD reparseTag = 0;         // its reparse tag, when it is a reparse point
  DWORD linkCount = 0;          // the names the file has
  DWORD namesInFolder = 0;      // how many of them are in the log folder
  bool reachedAsAsked = false;  // its final path is the log's path
};

enum class LogFileVerdict {
  Log,          // the log: append to it through this handle
  ReparsedLog,  // the log, kept by a filter (an archived file): append to it
                // through a handle opened by its identity, so the filter acts
  Planted,      // a name put there to lead elsewhere: a link of the kind that
                // names another file, or a hard link with a name outside the
                // folder. The name goes; the log is made anew
  Other,        // anything else: neither written nor removed
};

LogFileVerdict JudgeLogFile(const LogFileFacts& facts);

struct LocalFreeDeleter {
  void operator()(void* memory) const { LocalFree(memory); }
};
using SecurityDescriptorHolder = std::unique_ptr<void, LocalFreeDeleter>;

// The security the tool gives the log folder: a protected access list that
// lets SYSTEM and the Administrators do everything and the Users read, on the
// folder and on what it holds. withOwner adds Administrators as owner, for
// taking an existing folder back; a folder the tool creates gets its owner
// from the creating token. Empty on failure.
SecurityDescriptorHolder MakeLogFolderSecurity(bool withOwner);

// True when no ordinary user can have set, nor can change, the folder's
// security: it is owned by SYSTEM, the Administrators or TrustedInstaller,
// and its access list (inheritable entries included) allows nobody else
// more than reading. A missing or empty (null) access list is not secure.
bool IsLogFolderSecure(PSECURITY_DESCRIPTOR security);
