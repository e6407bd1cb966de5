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
  ConvertStringSidToSidW(TrustedInstallerSid, &installer);
  const LocalOwner heldInstaller(installer);
  return IsWellKnownSid(sid, WinLocalSystemSid) ||
         IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
         (installer != nullptr && EqualSid(sid, installer));
}

// ntdll, whose functions are looked up as the platform declares (or
// documents) them.
HMODULE Ntdll() { return GetModuleHandleW(L"ntdll.dll"); }
using NtCreateKeyCall = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, ULONG,
                                         PUNICODE_STRING, ULONG, PULONG);

// A name in the platform's counted form; a descriptor from its text form.
UNICODE_STRING Counted(const wchar_t* name) {
  const auto bytes = static_cast<USHORT>(wcsnlen(name, PathCapacity) * sizeof(wchar_t));
  return {bytes, bytes, const_cast<wchar_t*>(name)};
}
LocalOwner SecurityFromText(const wchar_t* text) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ConvertStringSecurityDescriptorToSecurityDescriptorW(text, SDDL_REVISION_1, &descriptor, nullptr);
  return LocalOwner(descriptor);
}

DWORD ErrorOf(NTSTATUS status) {
  static const auto errorOf =
      FindExport<decltype(&RtlNtStatusToDosError)>(Ntdll(), "RtlNtStatusToDosError");
  return status >= 0 ? ERROR_SUCCESS : errorOf(status);
}

// One NtCreateFile of name, looked up in root (a folder handle) when one is
// given, else a path in the system's form, with the disposition asked for; a
// link at the name is opened as itself, never followed, and what is made
// gets the descriptor security. The handle can read what the checks need.
HandleOwner Create(HANDLE root, const wchar_t* name, ACCESS_MASK access, ULONG share,
                   ULONG disposition, ULONG options, const wchar_t* security, DWORD* error) {
  static const auto ntCreateFile = FindExport<decltype(&NtCreateFile)>(Ntdll(), "NtCreateFile");
  const LocalOwner descriptor = SecurityFromText(security);
  if (ntCreateFile == nullptr || !descriptor) {
    *error = GetLastError();
    return HandleOwner();
  }
  UNICODE_STRING unicodeName = Counted(name);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &unicodeName, OBJ_CASE_INSENSITIVE, root,
                             descriptor.get());
  IO_STATUS_BLOCK io = {};
  HANDLE handle = nullptr;
  const NTSTATUS status =
      ntCreateFile(&handle, access | READ_CONTROL | FILE_READ_ATTRIBUTES | SYNCHRONIZE, &attributes,
                   &io, nullptr, FILE_ATTRIBUTE_NORMAL, share, disposition,
                   options | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  *error = ErrorOf(status);
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

DWORD ReplaceFileIn(const wchar_t* folderPath, const wchar_t* name, const void* bytes, DWORD size,
                    const wchar_t* security, bool (*accept)(const wchar_t* path)) {
  static const auto setFile =
      FindExport<decltype(&NtSetInformationFile)>(Ntdll(), "NtSetInformationFile");
  LogFailure failure;
  const HandleOwner folder = OpenLogFolder(folderPath, &failure);
  if (!folder) return failure.error != ERROR_SUCCESS ? failure.error : ERROR_ACCESS_DENIED;
  wchar_t path[PathCapacity] = {};
  if (FormatBounded(path, PathCapacity, L"%s\\%s.%u", folderPath, name, GetCurrentProcessId()) < 0)
    return ERROR_FILENAME_EXCED_RANGE;
  const wchar_t* const temporary = wcsrchr(path, L'\\') + 1;
  DWORD error = ERROR_SUCCESS;
  DWORD written = 0;
  HandleOwner file = Create(folder.get(), temporary, FILE_WRITE_DATA, 0, FILE_CREATE,
                            FILE_NON_DIRECTORY_FILE, security, &error);
  if (!file) return error;
  DWORD placed =
      WriteFile(file.get(), bytes, size, &written, nullptr) ? ERROR_SUCCESS : GetLastError();
  file.reset();  // closed for the check: a library is loaded without writers
  if (placed == ERROR_SUCCESS && (written != size || !accept(path))) placed = ERROR_INVALID_DATA;
  file = Create(folder.get(), temporary, DELETE, 0, FILE_OPEN, FILE_NON_DIRECTORY_FILE, security,
                &error);
  if (!file) return error;
  alignas(FILE_RENAME_INFO) BYTE buffer[sizeof(FILE_RENAME_INFO) + PathCapacity * 2] = {};
  auto* const rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer);
  *rename = {{TRUE}, folder.get(), static_cast<DWORD>(wcsnlen(name, PathCapacity - 1) * 2), {}};
  memcpy(rename->FileName, name, rename->FileNameLength);
  IO_STATUS_BLOCK io = {};
  if (placed == ERROR_SUCCESS)
    placed = ErrorOf(setFile(file.get(), &io, rename, sizeof(buffer), FileRenameInformation));
  FILE_DISPOSITION_INFO gone = {TRUE};
  if (placed != ERROR_SUCCESS)
    SetFileInformationByHandle(file.get(), FileDispositionInfo, &gone, sizeof(gone));
  return placed;
}

LSTATUS CreateMachineKey(const wchar_t* path, const wchar_t* security, ACCESS_MASK access,
                         RegKeyHolder& key) {
  static const auto ntCreateKey = FindExport<NtCreateKeyCall>(Ntdll(), "NtCreateKey");
  const LocalOwner descriptor = SecurityFromText(security);
  wchar_t name[PathCapacity] = {};
  if (!descriptor || FormatBounded(name, PathCapacity, L"\\Registry\\Machine\\%s\\", path) < 0)
    return ERROR_INVALID_PARAMETER;
  // Each key is made in the one above it: Wine then keeps volatile ones' rule.
  key.reset();
  for (wchar_t *start = name, *end = wcschr(name + wcslen(L"\\Registry\\Machine\\"), L'\\');
       end != nullptr; start = end + 1, end = wcschr(start, L'\\')) {
    *end = L'\0';
    UNICODE_STRING unicodeName = Counted(start);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &unicodeName, OBJ_CASE_INSENSITIVE, key.get(),
                               descriptor.get());
    HANDLE handle = nullptr;
    const NTSTATUS status = ntCreateKey(&handle, access | KEY_CREATE_SUB_KEY, &attributes, 0,
                                        nullptr, REG_OPTION_NON_VOLATILE, nullptr);
    key.reset(static_cast<HKEY>(handle));
    if (status < 0) return static_cast<LSTATUS>(ErrorOf(status));
  }
  return ERROR_SUCCESS;
}

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
