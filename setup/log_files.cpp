// The setup log's folders and files (see log_files.h).
#include "log_files.h"

#include <winternl.h>
#include <aclapi.h>

#include <cwchar>

#include "system_library.h"
#include "log_safety.h"
#include "format.h"

namespace {

// NtCreateFile's dispositions, options and results, as published.
constexpr ULONG OpenExistingOnly = 1;                 // FILE_OPEN
constexpr ULONG CreateNewOnly = 2;                    // FILE_CREATE
constexpr ULONG SynchronousIo = 0x00000020;           // FILE_SYNCHRONOUS_IO_NONALERT
constexpr ULONG NonDirectoryFile = 0x00000040;        // FILE_NON_DIRECTORY_FILE
constexpr ULONG OpenReparsePointItself = 0x00200000;  // FILE_OPEN_REPARSE_POINT
constexpr NTSTATUS NoSuchFile = static_cast<NTSTATUS>(0xC000000F);
constexpr NTSTATUS NameNotFound = static_cast<NTSTATUS>(0xC0000034);
constexpr NTSTATUS NameCollision = static_cast<NTSTATUS>(0xC0000035);
constexpr NTSTATUS NotImplemented = static_cast<NTSTATUS>(0xC0000002);
constexpr NTSTATUS FileIsAFolder = static_cast<NTSTATUS>(0xC00000BA);
constexpr NTSTATUS NotAFolderStatus = static_cast<NTSTATUS>(0xC0000103);

using NtCreateFileFn = NTSTATUS(NTAPI*)(HANDLE* handle, ACCESS_MASK access,
                                        OBJECT_ATTRIBUTES* attributes, IO_STATUS_BLOCK* io,
                                        LARGE_INTEGER* allocationSize, ULONG fileAttributes,
                                        ULONG share, ULONG disposition, ULONG options,
                                        void* extendedAttributes, ULONG extendedAttributesLength);
using RtlNtStatusToDosErrorFn = ULONG(NTAPI*)(NTSTATUS status);

// The file is opened for appending only: without write-data access the
// system puts every write at the end of the file as it is then, so writers
// in other processes never overwrite each other.
constexpr ACCESS_MASK AppendAccess = FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr DWORD ShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD ShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The system's form of a DOS path, for a create that names no folder handle.
constexpr wchar_t NtPathPrefix[] = L"\\??\\";

HMODULE Ntdll() { return GetModuleHandleW(L"ntdll.dll"); }

DWORD ErrorOf(NTSTATUS status) {
  static const RtlNtStatusToDosErrorFn toDosError =
      FindExport<RtlNtStatusToDosErrorFn>(Ntdll(), "RtlNtStatusToDosError");
  return toDosError != nullptr ? toDosError(status) : static_cast<DWORD>(status);
}

// One NtCreateFile of name, looked up in root (a folder handle) when root is
// given, or as a path of the system's form.
HandleOwner NtCreate(HANDLE root, const wchar_t* name, const CreateRequest& request,
                     ULONG fileAttributes, NTSTATUS* status) {
  static const NtCreateFileFn ntCreateFile = FindExport<NtCreateFileFn>(Ntdll(), "NtCreateFile");
  *status = NotImplemented;
  const size_t length = wcsnlen(name, PathCapacity);
  if (ntCreateFile == nullptr || length == 0 || length >= PathCapacity) return HandleOwner();
  UNICODE_STRING unicodeName;
  unicodeName.Length = static_cast<USHORT>(length * sizeof(wchar_t));
  unicodeName.MaximumLength = unicodeName.Length;
  unicodeName.Buffer = const_cast<wchar_t*>(name);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &unicodeName, request.attributes, root, request.security);
  IO_STATUS_BLOCK io = {};
  HANDLE handle = nullptr;
  *status =
      ntCreateFile(&handle, request.access | SYNCHRONIZE, &attributes, &io, nullptr, fileAttributes,
                   request.share, request.disposition, request.options, nullptr, 0);
  return HandleOwner(*status >= 0 ? handle : nullptr);
}

// Opens, or creates, the file called name in the folder the handle holds,
// looking the name up in that folder only, and opening a link as itself.
HandleOwner OpenInFolder(HANDLE folder, const wchar_t* name, ACCESS_MASK access, ULONG share,
                         ULONG disposition, NTSTATUS* status) {
  const CreateRequest request = {access,
                                 share,
                                 disposition,
                                 NonDirectoryFile | SynchronousIo | OpenReparsePointItself,
                                 OBJ_CASE_INSENSITIVE,
                                 nullptr};
  return NtCreate(folder, name, request, FILE_ATTRIBUTE_NORMAL, status);
}

ULONGLONG FileIndexOf(const BY_HANDLE_FILE_INFORMATION& info) {
  return (static_cast<ULONGLONG>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
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

// Judges what the handle, opened on the log's name, shows of the file there.
LogFileVerdict Judge(HANDLE file, const wchar_t* fullPath, BY_HANDLE_FILE_INFORMATION* info) {
  if (!GetFileInformationByHandle(file, info)) return LogFileVerdict::Other;
  LogFileFacts facts;
  facts.attributes = info->dwFileAttributes;
  facts.linkCount = info->nNumberOfLinks;
  if ((info->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    if (!GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof(tag)))
      return LogFileVerdict::Other;
    facts.reparseTag = tag.ReparseTag;
  }
  facts.reachedAsAsked = IsReachedAs(file, fullPath);
  return JudgeLogFile(facts);
}

// A log kept by a filter (an archived file) is written through a handle
// opened by the file's identity, without opening its reparse point as
// itself, so that the filter brings the file back first. The new handle must
// be the same file, with one name, still reached as the log's path.
HandleOwner ReopenByIdentity(HANDLE folder, const BY_HANDLE_FILE_INFORMATION& checked,
                             const wchar_t* fullPath) {
  FILE_ID_DESCRIPTOR identity = {};
  identity.dwSize = sizeof(identity);
  identity.Type = FileIdType;
  identity.FileId.QuadPart = static_cast<LONGLONG>(FileIndexOf(checked));
  HandleOwner file(OpenFileById(folder, &identity, AppendAccess, ShareReadWrite, nullptr, 0));
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!static_cast<bool>(file) || !GetFileInformationByHandle(file.get(), &info) ||
      info.dwVolumeSerialNumber != checked.dwVolumeSerialNumber ||
      FileIndexOf(info) != FileIndexOf(checked) || info.nNumberOfLinks != 1 ||
      !IsReachedAs(file.get(), fullPath))
    file.reset();
  return file;
}

// Removes a planted link through a handle opened on it with delete access,
// as itself, and checked again: only a name that still leads elsewhere goes.
bool RemovePlantedName(HANDLE folder, const wchar_t* name, const wchar_t* fullPath) {
  NTSTATUS status = 0;
  const HandleOwner planted = OpenInFolder(folder, name, DELETE | FILE_READ_ATTRIBUTES, ShareAll,
                                           OpenExistingOnly, &status);
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!static_cast<bool>(planted) ||
      Judge(planted.get(), fullPath, &info) != LogFileVerdict::Planted)
    return false;
  FILE_DISPOSITION_INFO disposition = {TRUE};
  return SetFileInformationByHandle(planted.get(), FileDispositionInfo, &disposition,
                                    sizeof(disposition)) != FALSE;
}

// A directory that is no reparse point (junction, mount point or symbolic
// link) and is reached as named.
bool IsRealFolder(HANDLE folder, const wchar_t* path) {
  BY_HANDLE_FILE_INFORMATION info = {};
  return GetFileInformationByHandle(folder, &info) &&
         (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
         (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 && IsReachedAs(folder, path);
}

bool HasSecureOwnerAndAccessList(HANDLE folder) {
  BYTE toolUser[SECURITY_MAX_SID_SIZE] = {};
  const bool knowsUser = ReadToolUser(toolUser);
  PSECURITY_DESCRIPTOR security = nullptr;
  if (GetSecurityInfo(folder, SE_FILE_OBJECT,
                      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr, nullptr,
                      nullptr, nullptr, &security) != ERROR_SUCCESS)
    return false;
  const SecurityDescriptorHolder held(security);
  return IsLogFolderSecure(held.get(), knowsUser ? toolUser : nullptr);
}

// Makes the folder, or opens the one that is there; as itself either way.
HandleOwner MakeOrOpenFolder(const wchar_t* path, LogFailure* failure) {
  wchar_t ntPath[PathCapacity] = {};
  if (FormatBounded(ntPath, PathCapacity, L"%s%s", NtPathPrefix, path) < 0) {
    *failure = {LogProblem::FolderNotMade, ERROR_FILENAME_EXCED_RANGE};
    return HandleOwner();
  }
  const SecurityDescriptorHolder security = MakeLogFolderSecurity();
  if (!security) {
    *failure = {LogProblem::FolderNotMade, GetLastError()};
    return HandleOwner();
  }
  NTSTATUS status = 0;
  HandleOwner folder =
      NtCreate(nullptr, ntPath, LogFolderCreate(security.get()), FILE_ATTRIBUTE_NORMAL, &status);
  if (static_cast<bool>(folder)) return folder;
  if (status != NameCollision) {
    *failure = {LogProblem::FolderNotMade, ErrorOf(status)};
    return folder;
  }
  folder = NtCreate(nullptr, ntPath, LogFolderOpen(), 0, &status);
  if (!static_cast<bool>(folder))
    *failure = {status == NotAFolderStatus ? LogProblem::NotAFolder : LogProblem::FolderNotOpened,
                status == NotAFolderStatus ? ERROR_SUCCESS : ErrorOf(status)};
  return folder;
}

}  // namespace

bool ReadToolUser(BYTE (&sid)[SECURITY_MAX_SID_SIZE]) {
  HANDLE opened = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &opened)) return false;
  const HandleOwner token(opened);
  alignas(8) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE] = {};
  DWORD size = 0;
  if (!GetTokenInformation(token.get(), TokenUser, buffer, sizeof(buffer), &size)) return false;
  const PSID user = reinterpret_cast<const TOKEN_USER*>(buffer)->User.Sid;
  return IsValidSid(user) && CopySid(sizeof(sid), sid, user);
}

HandleOwner OpenLogFolder(const wchar_t* path, LogFailure* failure) {
  *failure = LogFailure();
  HandleOwner folder = MakeOrOpenFolder(path, failure);
  if (!static_cast<bool>(folder)) return folder;
  if (!IsRealFolder(folder.get(), path)) {
    *failure = {LogProblem::NotAFolder, ERROR_SUCCESS};
    folder.reset();
  } else if (!HasSecureOwnerAndAccessList(folder.get())) {
    *failure = {LogProblem::NotSecured, ERROR_SUCCESS};
    folder.reset();
  }
  return folder;
}

HandleOwner OpenLogFileIn(HANDLE folder, const wchar_t* fileName, const wchar_t* fullPath,
                          LogFailure* failure) {
  *failure = {LogProblem::FileNotTheLog, ERROR_SUCCESS};
  // One look finds a planted link and removes it, the next makes the log;
  // a third is for a name that appeared between a look and a creation.
  for (int look = 0; look < 3; ++look) {
    NTSTATUS status = 0;
    HandleOwner file =
        OpenInFolder(folder, fileName, AppendAccess, ShareReadWrite, OpenExistingOnly, &status);
    if (!static_cast<bool>(file) && (status == NameNotFound || status == NoSuchFile)) {
      // Created only where no name is: never through a link, even one whose
      // target does not exist.
      file = OpenInFolder(folder, fileName, AppendAccess, ShareReadWrite, CreateNewOnly, &status);
      if (!static_cast<bool>(file) && status == NameCollision) continue;
    }
    if (!static_cast<bool>(file) && status == FileIsAFolder) break;  // not the log: left alone
    if (!static_cast<bool>(file)) {
      *failure = {LogProblem::FileNotOpened, ErrorOf(status)};
      return file;
    }

    BY_HANDLE_FILE_INFORMATION info = {};
    switch (Judge(file.get(), fullPath, &info)) {
      case LogFileVerdict::Log: *failure = LogFailure(); return file;
      case LogFileVerdict::ReparsedLog:
        file = ReopenByIdentity(folder, info, fullPath);
        if (static_cast<bool>(file)) *failure = LogFailure();
        return file;
      case LogFileVerdict::Planted:
        // The append handle does not share deletion: closed first.
        file.reset();
        if (RemovePlantedName(folder, fileName, fullPath)) continue;
        break;
      case LogFileVerdict::ManyNames: *failure = {LogProblem::FileManyNames, ERROR_SUCCESS}; break;
      case LogFileVerdict::Other: break;
    }
    break;
  }
  return HandleOwner();
}
