// The setup log's folders and files (see log_folder.h).
#include "log_folder.h"

#include <winternl.h>
#include <aclapi.h>
#include <sddl.h>

#include "system_library.h"

namespace {

// SYSTEM, the Administrators or TrustedInstaller: no ordinary user can act as
// one of them.
bool IsAdministrator(PSID sid) {
  PSID installer = nullptr;
  ConvertStringSidToSidW(L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",
                         &installer);
  const LocalOwner heldInstaller(installer);
  return IsWellKnownSid(sid, WinLocalSystemSid) ||
         IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
         (installer != nullptr && EqualSid(sid, installer));
}

// One NtCreateFile of name, looked up in root (a folder handle) when one is
// given, else a path in the system's form, with the disposition asked for; a
// link at the name is opened as itself, never followed, and what is made
// gets the descriptor security. The handle can read what the checks need.
// ntdll's functions are looked up as the platform's header declares them.
HandleOwner Create(HANDLE root, const wchar_t* name, ACCESS_MASK access, ULONG share,
                   ULONG disposition, ULONG options, const wchar_t* security, DWORD* error) {
  static const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  static const auto ntCreateFile = FindExport<decltype(&NtCreateFile)>(ntdll, "NtCreateFile");
  static const auto errorOf =
      FindExport<decltype(&RtlNtStatusToDosError)>(ntdll, "RtlNtStatusToDosError");
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (ntCreateFile == nullptr || errorOf == nullptr ||
      !ConvertStringSecurityDescriptorToSecurityDescriptorW(security, SDDL_REVISION_1, &descriptor,
                                                            nullptr)) {
    *error = GetLastError();
    return HandleOwner();
  }
  const LocalOwner heldDescriptor(descriptor);
  UNICODE_STRING unicodeName;
  unicodeName.Length = static_cast<USHORT>(wcsnlen(name, PathCapacity) * sizeof(wchar_t));
  unicodeName.MaximumLength = unicodeName.Length;
  unicodeName.Buffer = const_cast<wchar_t*>(name);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &unicodeName, OBJ_CASE_INSENSITIVE, root, descriptor);
  IO_STATUS_BLOCK io = {};
  HANDLE handle = nullptr;
  const NTSTATUS status =
      ntCreateFile(&handle, access | READ_CONTROL | FILE_READ_ATTRIBUTES | SYNCHRONIZE, &attributes,
                   &io, nullptr, FILE_ATTRIBUTE_NORMAL, share, disposition,
                   options | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  *error = status < 0 ? errorOf(status) : ERROR_SUCCESS;
  return HandleOwner(status < 0 ? nullptr : handle);
}

// True when the handle's folder or file is reached by exactly this path: no
// link or mount point on the way leads elsewhere. Names compare without
// regard to letter case.
bool IsReachedAs(HANDLE handle, const wchar_t* path) {
  wchar_t finalPath[PathCapacity] = {};
  const DWORD length = GetFinalPathNameByHandleW(
      handle, finalPath, static_cast<DWORD>(PathCapacity), FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (length == 0 || length >= PathCapacity) return false;
  const wchar_t* reached = finalPath;
  if (wcsncmp(reached, L"\\\\?\\", 4) == 0) reached += 4;
  return CompareStringOrdinal(reached, -1, path, -1, TRUE) == CSTR_EQUAL;
}

// Judges what the create gave: the folder or file it opened, or the error.
// STATUS_NOT_A_DIRECTORY, a file where the folder should be, comes back as
// ERROR_DIRECTORY.
LogFailure Check(const HandleOwner& handle, DWORD error, const wchar_t* path, bool isFile) {
  if (!handle && error == ERROR_DIRECTORY) return {LogProblem::NotPlain, ERROR_SUCCESS, isFile};
  if (!handle) return {LogProblem::NotOpened, error, isFile};
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!GetFileInformationByHandle(handle.get(), &info))
    return {LogProblem::NotOpened, GetLastError(), isFile};
  const bool isFolder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (isFolder == isFile || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
      (isFile && info.nNumberOfLinks != 1) || !IsReachedAs(handle.get(), path))
    return {LogProblem::NotPlain, ERROR_SUCCESS, isFile};
  if (RunsOnWine()) return {};
  PSECURITY_DESCRIPTOR security = nullptr;
  const DWORD read = GetSecurityInfo(handle.get(), SE_FILE_OBJECT,
                                     OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                     nullptr, nullptr, nullptr, nullptr, &security);
  const LocalOwner heldSecurity(security);
  if (read != ERROR_SUCCESS) return {LogProblem::NotOpened, read, isFile};
  if (!IsAdministratorsOnly(security)) return {LogProblem::NotAdminsOnly, ERROR_SUCCESS, isFile};
  return {};
}

}  // namespace

HandleOwner OpenLogFolder(const wchar_t* path, LogFailure* failure) {
  wchar_t ntPath[PathCapacity] = {};
  DWORD error = ERROR_FILENAME_EXCED_RANGE;
  HandleOwner folder;
  // The folder is asked for nothing another opener's sharing could refuse.
  if (FormatBounded(ntPath, PathCapacity, L"\\??\\%s", path) >= 0)
    folder = Create(nullptr, ntPath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    FILE_OPEN_IF, FILE_DIRECTORY_FILE, LogFolderSecurity, &error);
  *failure = Check(folder, error, path, false);
  if (failure->problem != LogProblem::None) folder.reset();
  return folder;
}

HandleOwner OpenLogFile(HANDLE folder, const wchar_t* name, const wchar_t* path,
                        LogFailure* failure) {
  // Append-only: every write goes where the file ends at that moment. Made
  // only where no name is: Wine follows its links even where a create is
  // asked to open one as itself, and one that may open what is there would
  // make the file a dangling link leads to.
  const ULONG share = FILE_SHARE_READ | FILE_SHARE_WRITE;
  DWORD error = ERROR_SUCCESS;
  HandleOwner file = Create(folder, name, FILE_APPEND_DATA, share, FILE_OPEN, 0, L"O:BA", &error);
  if (!file && error == ERROR_FILE_NOT_FOUND)
    file = Create(folder, name, FILE_APPEND_DATA, share, FILE_CREATE, 0, L"O:BA", &error);
  if (!file && error == ERROR_ALREADY_EXISTS)  // made by another run since the first look
    file = Create(folder, name, FILE_APPEND_DATA, share, FILE_OPEN, 0, L"O:BA", &error);
  *failure = Check(file, error, path, true);
  if (failure->problem != LogProblem::None) file.reset();
  return file;
}

bool IsAdministratorsOnly(PSECURITY_DESCRIPTOR security) {
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  BOOL present = FALSE;
  PACL list = nullptr;
  ACL_SIZE_INFORMATION size = {};
  if (security == nullptr || !IsValidSecurityDescriptor(security) ||
      !GetSecurityDescriptorOwner(security, &owner, &defaulted) || owner == nullptr ||
      !IsAdministrator(owner) ||
      !GetSecurityDescriptorDacl(security, &present, &list, &defaulted) || !present ||
      list == nullptr || !GetAclInformation(list, &size, sizeof(size), AclSizeInformation))
    return false;
  for (DWORD index = 0; index < size.AceCount; ++index) {
    void* entry = nullptr;
    if (!GetAce(list, index, &entry)) return false;
    const BYTE type = static_cast<const ACE_HEADER*>(entry)->AceType;
    if (type == ACCESS_DENIED_ACE_TYPE) continue;  // takes rights away only
    // Allowing entries of other kinds (conditions, object types) are not
    // read here, so they count as letting others in.
    if (type != ACCESS_ALLOWED_ACE_TYPE ||
        !IsAdministrator(&static_cast<ACCESS_ALLOWED_ACE*>(entry)->SidStart))
      return false;
  }
  return true;
}

bool RunsOnWine() {
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

bool ToolWindowsFolder(wchar_t (&path)[PathCapacity]) {
  wchar_t windows[PathCapacity] = {};
  const UINT length = GetSystemWindowsDirectoryW(windows, static_cast<UINT>(PathCapacity));
  return length != 0 && length < PathCapacity &&
         FormatBounded(path, PathCapacity, L"%s\\Logs\\Drelmo", windows) >= 0;
}
