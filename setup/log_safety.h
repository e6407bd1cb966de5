// The decisions the setup log takes about the folder and the file it writes,
// kept apart from the calls that gather their inputs: the tool runs
// elevated, and these decide what an ordinary user's names may make it do.
#pragma once

#include <windows.h>

#include <memory>

// What a handle opened on the log's name, as itself (a link is not
// followed), shows of what is there, all read from that one handle after it
// was opened.
struct LogFileFacts {
  DWORD attributes = 0;         // FILE_ATTRIBUTE_* of what was opened
  DWORD reparseTag = 0;         // its reparse tag, when it is a reparse point
  DWORD linkCount = 0;          // the names the file has
  bool reachedAsAsked = false;  // its final path is the log's path
};

enum class LogFileVerdict {
  Log,          // the log: append to it through this handle
  ReparsedLog,  // the log, kept by a filter (an archived file): append to it
                // through a handle opened by its identity, so the filter acts
  Planted,      // a link of the kind that names another file or folder: the
                // name goes (what it leads to stays), and the log is made anew
  ManyNames,    // a file with more than one name: one of them may lie outside
                // the folder, and no single look tells where the others are.
                // Neither written nor removed, so its history stays
  Other,        // anything else: neither written nor removed
};

LogFileVerdict JudgeLogFile(const LogFileFacts& facts);

struct LocalFreeDeleter {
  void operator()(void* memory) const { LocalFree(memory); }
};
using SecurityDescriptorHolder = std::unique_ptr<void, LocalFreeDeleter>;

// The security the tool gives a log folder it makes: a protected access
// list that lets SYSTEM and the Administrators do everything and nobody else
// anything, on the folder and on what it holds (nothing is inherited from
// the folder above). The owner comes from the creating token. Empty on
// failure.
SecurityDescriptorHolder MakeLogFolderSecurity();

// The values of one NtCreateFile call; security is the descriptor put in
// the object attributes.
struct CreateRequest {
  ACCESS_MASK access;
  ULONG share;
  ULONG disposition;
  ULONG options;
  ULONG attributes;  // OBJ_* of the object attributes
  PSECURITY_DESCRIPTOR security;
};
// How the tool makes a log folder: one create of the folder's last name that
// fails when any name is there (a link included, which it neither follows
// nor opens) and gives the folder its security in the same call, so there
// is no moment when the folder exists with other security.
CreateRequest LogFolderCreate(PSECURITY_DESCRIPTOR security);
// The same folder opened when it is there already: as itself, never
// followed, and only as a folder.
CreateRequest LogFolderOpen();

// True when no ordinary user can have set, nor can change, the folder's
// security: it is owned by SYSTEM, the Administrators, TrustedInstaller or
// toolUser (the account the tool runs as; may be null), and its access list
// (inheritable entries included) allows nobody else more than reading. A
// missing or empty (null) access list is not secure.
bool IsLogFolderSecure(PSECURITY_DESCRIPTOR security, PSID toolUser);
