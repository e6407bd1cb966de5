// Decisions about the log folder and the log file (see log_safety.h).
#include "log_safety.h"

#include <sddl.h>

namespace {

// The log folder's access list: SYSTEM and the Administrators full control,
// each inherited by files and folders in it, nobody else anything, and
// nothing inherited from the folder above. No ordinary user can then open a
// log, so none can hold it open, lock it or give it another name.
constexpr wchar_t FolderAccessList[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// NtCreateFile's values, as published.
constexpr ULONG CreateOnly = 2;                       // FILE_CREATE
constexpr ULONG OpenOnly = 1;                         // FILE_OPEN
constexpr ULONG DirectoryFile = 0x00000001;           // FILE_DIRECTORY_FILE
constexpr ULONG SynchronousIo = 0x00000020;           // FILE_SYNCHRONOUS_IO_NONALERT
constexpr ULONG OpenReparsePointItself = 0x00200000;  // FILE_OPEN_REPARSE_POINT
constexpr ULONG CaseInsensitive = 0x00000040;         // OBJ_CASE_INSENSITIVE

// The folder is asked for nothing that another opener's sharing could
// refuse (no reading or listing, no delete access), so holding it open
// cannot keep the tool out; its security is read, never changed.
constexpr ACCESS_MASK FolderAccess = READ_CONTROL | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr ULONG ShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// What anyone may be allowed on the folder without being able to change it,
// or anything in it: reading, listing, passing through, reading security.
constexpr ACCESS_MASK ReadingRights =
    FILE_GENERIC_READ | FILE_GENERIC_EXECUTE | GENERIC_READ | GENERIC_EXECUTE;

bool IsTrustedInstaller(PSID sid) {
  // NT SERVICE\TrustedInstaller: S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464.
  constexpr DWORD parts[] = {80, 956008885u, 3418522649u, 1831038044u, 1853292631u, 2271478464u};
  BYTE buffer[SECURITY_MAX_SID_SIZE] = {};
  SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
  if (!InitializeSid(buffer, &ntAuthority, ARRAYSIZE(parts))) return false;
  for (DWORD i = 0; i < ARRAYSIZE(parts); ++i) *GetSidSubAuthority(buffer, i) = parts[i];
  return EqualSid(sid, buffer) != FALSE;
}

// The principals an ordinary user cannot act as, and the account the tool
// runs as: what that account controls, the tool could as well have made.
bool IsTrusted(PSID sid, PSID toolUser) {
  return IsWellKnownSid(sid, WinLocalSystemSid) ||
         IsWellKnownSid(sid, WinBuiltinAdministratorsSid) || IsTrustedInstaller(sid) ||
         (toolUser != nullptr && EqualSid(sid, toolUser));
}

bool IsDenyingEntry(BYTE type) {
  return type == ACCESS_DENIED_ACE_TYPE || type == ACCESS_DENIED_OBJECT_ACE_TYPE ||
         type == ACCESS_DENIED_CALLBACK_ACE_TYPE || type == ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE;
}

}  // namespace

LogFileVerdict JudgeLogFile(const LogFileFacts& facts) {
  if ((facts.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || !facts.reachedAsAsked ||
      facts.linkCount == 0)
    return LogFileVerdict::Other;
  const bool reparsePoint = (facts.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  // Junctions, mount points and symbolic links name another file or folder.
  if (reparsePoint && IsReparseTagNameSurrogate(facts.reparseTag)) return LogFileVerdict::Planted;
  if (facts.linkCount > 1) return LogFileVerdict::ManyNames;
  return reparsePoint ? LogFileVerdict::ReparsedLog : LogFileVerdict::Log;
}

SecurityDescriptorHolder MakeLogFolderSecurity() {
  PSECURITY_DESCRIPTOR security = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(FolderAccessList, SDDL_REVISION_1,
                                                            &security, nullptr))
    return SecurityDescriptorHolder();
  return SecurityDescriptorHolder(security);
}

CreateRequest LogFolderCreate(PSECURITY_DESCRIPTOR security) {
  return {FolderAccess,    ShareAll,
          CreateOnly,      DirectoryFile | SynchronousIo | OpenReparsePointItself,
          CaseInsensitive, security};
}

CreateRequest LogFolderOpen() {
  return {FolderAccess,    ShareAll,
          OpenOnly,        DirectoryFile | SynchronousIo | OpenReparsePointItself,
          CaseInsensitive, nullptr};
}

bool IsLogFolderSecure(PSECURITY_DESCRIPTOR security, PSID toolUser) {
  if (security == nullptr || !IsValidSecurityDescriptor(security)) return false;
  PSID owner = nullptr;
  BOOL ownerDefaulted = FALSE;
  if (!GetSecurityDescriptorOwner(security, &owner, &ownerDefaulted) || owner == nullptr ||
      !IsTrusted(owner, toolUser))
    return false;
  BOOL present = FALSE;
  PACL accessList = nullptr;
  BOOL accessListDefaulted = FALSE;
  if (!GetSecurityDescriptorDacl(security, &present, &accessList, &accessListDefaulted) ||
      !present || accessList == nullptr)
    return false;
  ACL_SIZE_INFORMATION size = {};
  if (!GetAclInformation(accessList, &size, sizeof(size), AclSizeInformation)) return false;
  for (DWORD index = 0; index < size.AceCount; ++index) {
    void* entry = nullptr;
    if (!GetAce(accessList, index, &entry)) return false;
    const BYTE type = static_cast<const ACE_HEADER*>(entry)->AceType;
    if (IsDenyingEntry(type)) continue;  // takes rights away only
    // Allowing entries of other kinds (conditions, object types) are not
    // read here, so they count as granting too much.
    if (type != ACCESS_ALLOWED_ACE_TYPE) return false;
    const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
    PSID sid = const_cast<DWORD*>(&allowed->SidStart);
    if (!IsTrusted(sid, toolUser) && (allowed->Mask & ~ReadingRights) != 0) return false;
  }
  return true;
}
