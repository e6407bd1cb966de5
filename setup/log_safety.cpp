// Decisions about the log folder and the log file (see log_safety.h).
#include "log_safety.h"

#include <sddl.h>

#include "setup.h"

namespace {

// The log folder's access list: SYSTEM and the Administrators full control,
// the Users read and list, each inherited by files and folders in it, and
// nothing inherited from the drive's root.
constexpr wchar_t FolderAccessList[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
constexpr wchar_t AdministratorsAsOwner[] = L"O:BA";

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

// The principals an ordinary user cannot act as.
bool IsAdministrative(PSID sid) {
  return IsWellKnownSid(sid, WinLocalSystemSid) ||
         IsWellKnownSid(sid, WinBuiltinAdministratorsSid) || IsTrustedInstaller(sid);
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
  if (facts.linkCount > facts.namesInFolder) return LogFileVerdict::Planted;
  return reparsePoint ? LogFileVerdict::ReparsedLog : LogFileVerdict::Log;
}

SecurityDescriptorHolder MakeLogFolderSecurity(bool withOwner) {
  wchar_t text[128] = {};
  if (FormatBounded(text, ARRAYSIZE(text), L"%s%s", withOwner ? AdministratorsAsOwner : L"",
                    FolderAccessList) < 0)
    return SecurityDescriptorHolder();
  PSECURITY_DESCRIPTOR security = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(text, SDDL_REVISION_1, &security,
                                                            nullptr))
    return SecurityDescriptorHolder();
  return SecurityDescriptorHolder(security);
}

bool IsLogFolderSecure(PSECURITY_DESCRIPTOR security) {
  if (security == nullptr || !IsValidSecurityDescriptor(security)) return false;
  PSID owner = nullptr;
  BOOL ownerDefaulted = FALSE;
  if (!GetSecurityDescriptorOwner(security, &owner, &ownerDefaulted) || owner == nullptr ||
      !IsAdministrative(owner))
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
    if (!IsAdministrative(sid) && (allowed->Mask & ~ReadingRights) != 0) return false;
  }
  return true;
}
