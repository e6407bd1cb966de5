// The setup log's folder and files (see log_files.h).
#include "log_files.h"

#include <winternl.h>
#include <aclapi.h>

#include <cwchar>

#include "library_holder.h"
#include "log_safety.h"
#include "setup.h"

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

using NtCreateFileFn = NTSTATUS(NTAPI*)(HANDLE* handle, ACCESS_MASK access,
                                        OBJECT_ATTRIBUTES* attributes, IO_STATUS_BLOCK* io,
                                        LARGE_INTEGER* allocationSize, ULONG fileAttributes,
                                        ULONG share, ULONG disposition, ULONG options,
                                        void* extendedAttributes, ULONG extendedAttributesLength);

// The folder: its security is read and, if need be, replaced; nothing on it
// is asked that another opener's sharing could refuse (no reading or
// listing, no delete access), so holding the folder open cannot keep the
// tool out of it.
constexpr DWORD FolderAccess = READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_READ_ATTRIBUTES;
constexpr DWORD FolderReadOnlyAccess = READ_CONTROL | FILE_READ_ATTRIBUTES;
constexpr DWORD ShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The file is opened for appending only: without write-data access the
// system puts every write at the end of the file as it is then, so writers
// in other processes never overwrite each other.
constexpr ACCESS_MASK AppendAccess = FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr DWORD ShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;

// Enough for a few dozen entries of the folder per call.
constexpr size_t ListingBytes = 8192;

// Opens, or creates, the file called name in the folder the handle holds,
// looking the name up in that folder only, and opening a link as itself.
HandleHolder OpenInFolder(HANDLE folder, const wchar_t* name, ACCESS_MASK access, ULONG share,
                          ULONG disposition, NTSTATUS* status) {
  static const NtCreateFileFn ntCreateFile =
      FindExport<NtCreateFileFn>(GetModuleHandleW(L"ntdll.dll"), "NtCreateFile");
  *status = NotImplemented;
  const size_t length = wcsnlen(name, PathCapacity);
  if (ntCreateFile == nullptr || length == 0 || length >= PathCapacity) return HandleHolder();
  UNICODE_STRING unicodeName;
  unicodeName.Length = static_cast<USHORT>(length * sizeof(wchar_t));
  unicodeName.MaximumLength = unicodeName.Length;
  unicodeName.Buffer = const_cast<wchar_t*>(name);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &unicodeName, OBJ_CASE_INSENSITIVE, folder, nullptr);
  IO_STATUS_BLOCK io = {};
  HANDLE handle = nullptr;
  *status = ntCreateFile(&handle, access | SYNCHRONIZE, &attributes, &io, nullptr,
                         FILE_ATTRIBUTE_NORMAL, share, disposition,
                         NonDirectoryFile | SynchronousIo | OpenReparsePointItself, nullptr, 0);
  return HandleHolder(*status >= 0 ? handle : nullptr);
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

// How many of the folder's own entries are the file with this index. The
// listing is read through a second handle on the folder itself, not by its
// path; when it cannot be read, none are counted.
DWORD CountNamesInFolder(HANDLE folder, ULONGLONG fileIndex) {
  const HandleHolder listing(
      ReOpenFile(folder, FILE_LIST_DIRECTORY | SYNCHRONIZE, ShareAll, FILE_FLAG_BACKUP_SEMANTICS));
  if (!listing.valid()) return 0;
  alignas(8) BYTE buffer[ListingBytes];
  DWORD names = 0;
  FILE_INFO_BY_HANDLE_CLASS request = FileIdBothDirectoryRestartInfo;
  while (GetFileInformationByHandleEx(listing.get(), request, buffer, sizeof(buffer))) {
    request = FileIdBothDirectoryInfo;
    for (size_t offset = 0; offset + sizeof(FILE_ID_BOTH_DIR_INFO) <= sizeof(buffer);) {
      const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer + offset);
      if ((entry->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
          static_cast<ULONGLONG>(entry->FileId.QuadPart) == fileIndex)
        ++names;
      if (entry->NextEntryOffset == 0) break;
      offset += entry->NextEntryOffset;
    }
  }
  return names;
}

// Gathers what the handle shows of the file at the log's name.
bool Inspect(HANDLE folder, HANDLE file, const wchar_t* fullPath, LogFileFacts* facts,
             BY_HANDLE_FILE_INFORMATION* info) {
  if (!GetFileInformationByHandle(file, info)) return false;
  facts->attributes = info->dwFileAttributes;
  facts->linkCount = info->nNumberOfLinks;
  facts->reparseTag = 0;
  if ((info->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    if (!GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof(tag))) return false;
    facts->reparseTag = tag.ReparseTag;
  }
  facts->namesInFolder = info->nNumberOfLinks > 1 ? CountNamesInFolder(folder, FileIndexOf(*info))
                                                  : info->nNumberOfLinks;
  facts->reachedAsAsked = IsReachedAs(file, fullPath);
  return true;
}

LogFileVerdict Judge(HANDLE folder, HANDLE file, const wchar_t* fullPath,
                     BY_HANDLE_FILE_INFORMATION* info) {
  LogFileFacts facts;
  return Inspect(folder, file, fullPath, &facts, info) ? JudgeLogFile(facts)
                                                       : LogFileVerdict::Other;
}

// A log kept by a filter (an archived file) is written through a handle
// opened by the file's identity, without opening its reparse point as
// itself, so that the filter brings the file back first. The new handle must
// be the same file, still reached as the log's path.
HandleHolder ReopenByIdentity(HANDLE folder, const BY_HANDLE_FILE_INFORMATION& checked,
                              const wchar_t* fullPath) {
  FILE_ID_DESCRIPTOR identity = {};
  identity.dwSize = sizeof(identity);
  identity.Type = FileIdType;
  identity.FileId.QuadPart = static_cast<LONGLONG>(FileIndexOf(checked));
  HandleHolder file(OpenFileById(folder, &identity, AppendAccess, ShareReadWrite, nullptr, 0));
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!file.valid() || !GetFileInformationByHandle(file.get(), &info) ||
      info.dwVolumeSerialNumber != checked.dwVolumeSerialNumber ||
      FileIndexOf(info) != FileIndexOf(checked) || !IsReachedAs(file.get(), fullPath))
    file.Close();
  return file;
}

// Removes a planted name through a handle opened on it with delete access,
// as itself, and checked again: only a name that still leads elsewhere goes.
// For a hard link only this name goes; the file keeps its other names.
bool RemovePlantedName(HANDLE folder, const wchar_t* name, const wchar_t* fullPath) {
  NTSTATUS status = 0;
  const HandleHolder planted = OpenInFolder(folder, name, DELETE | FILE_READ_ATTRIBUTES, ShareAll,
                                            OpenExistingOnly, &status);
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!planted.valid() || Judge(folder, planted.get(), fullPath, &info) != LogFileVerdict::Planted)
    return false;
  FILE_DISPOSITION_INFO disposition = {TRUE};
  return SetFileInformationByHandle(planted.get(), FileDispositionInfo, &disposition,
                                    sizeof(disposition)) != FALSE;
}

HANDLE OpenFolderItself(const wchar_t* path, DWORD access) {
  return CreateFileW(path, access, ShareAll, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
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
  PSECURITY_DESCRIPTOR security = nullptr;
  if (GetSecurityInfo(folder, SE_FILE_OBJECT,
                      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr, nullptr,
                      nullptr, nullptr, &security) != ERROR_SUCCESS)
    return false;
  const SecurityDescriptorHolder held(security);
  return IsLogFolderSecure(held.get());
}

// Gives the folder Administrators as owner and the protected access list,
// through the handle. The security is stored as given (the descriptor marks
// its list protected) on this folder alone: it is not carried into what the
// folder already holds, which may lead anywhere.
DWORD TakeBack(HANDLE folder) {
  const SecurityDescriptorHolder security = MakeLogFolderSecurity(true);
  if (!security) return GetLastError();
  if (!SetKernelObjectSecurity(folder, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                               security.get()))
    return GetLastError();
  return ERROR_SUCCESS;
}

}  // namespace

HandleHolder OpenLogFolder(const wchar_t* path, LogFolderProblem* problem, DWORD* error) {
  *problem = LogFolderProblem::None;
  *error = ERROR_SUCCESS;
  HANDLE opened = OpenFolderItself(path, FolderAccess);
  // Without the right to change it, a folder that is already secure still serves.
  if (opened == INVALID_HANDLE_VALUE) opened = OpenFolderItself(path, FolderReadOnlyAccess);
  if (opened == INVALID_HANDLE_VALUE) {
    *error = GetLastError();
    *problem = LogFolderProblem::CannotOpen;
    return HandleHolder();
  }
  HandleHolder folder(opened);
  if (!IsRealFolder(folder.get(), path)) {
    *problem = LogFolderProblem::NotAFolder;
    folder.Close();
  } else if (!HasSecureOwnerAndAccessList(folder.get())) {
    *error = TakeBack(folder.get());
    if (*error != ERROR_SUCCESS) {
      *problem = LogFolderProblem::NotSecured;
      folder.Close();
    }
  }
  return folder;
}

HandleHolder OpenLogFileIn(HANDLE folder, const wchar_t* fileName, const wchar_t* fullPath,
                           bool* refused) {
  *refused = false;
  // One look finds a planted name and removes it, the next makes the log;
  // a third is for a name that appeared between a look and a creation.
  for (int look = 0; look < 3; ++look) {
    NTSTATUS status = 0;
    HandleHolder file =
        OpenInFolder(folder, fileName, AppendAccess, ShareReadWrite, OpenExistingOnly, &status);
    if (!file.valid() && (status == NameNotFound || status == NoSuchFile)) {
      // Created only where no name is: never through a link, even one whose
      // target does not exist.
      file = OpenInFolder(folder, fileName, AppendAccess, ShareReadWrite, CreateNewOnly, &status);
      if (!file.valid() && status == NameCollision) continue;
    }
    if (!file.valid() && status == FileIsAFolder) break;  // not the log: left alone
    if (!file.valid()) return file;

    BY_HANDLE_FILE_INFORMATION info = {};
    switch (Judge(folder, file.get(), fullPath, &info)) {
      case LogFileVerdict::Log: return file;
      case LogFileVerdict::ReparsedLog: return ReopenByIdentity(folder, info, fullPath);
      case LogFileVerdict::Planted:
        // The append handle does not share deletion: closed first.
        file.Close();
        if (RemovePlantedName(folder, fileName, fullPath)) continue;
        break;
      case LogFileVerdict::Other: break;
    }
    break;
  }
  *refused = true;
  return HandleHolder();
}
