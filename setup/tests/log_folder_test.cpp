// The setup log's verdict on a folder's or file's security, which Wine
// cannot show the tool (it keeps no owner or access list, and shows every
// file as the running account's), and the platform fact that tells the tool
// it runs there.
#include <windows.h>

#include <sddl.h>

#include <gtest/gtest.h>

#include <string>

#include "log_folder.h"

namespace {

// The account the tool runs as: the unelevated half of an administrator's
// account shares it.
#define Account L"S-1-5-21-1004336348-1177238915-682003330-1000"
#define Installer L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"

struct SecurityCase {
  const wchar_t* security;
  bool administratorsOnly;
};

TEST(LogFolderSecurity, OnlyAdministratorsMayOwnOrBeLetIn) {
  const SecurityCase cases[] = {
      {LogFolderSecurity, true},
      {L"O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", true},
      {L"O:" Installer L"D:(A;;FA;;;" Installer L")(D;;FA;;;WD)", true},  // everyone denied
      // Made by the account, which may then widen the list at will.
      {L"O:" Account L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", false},
      // The account let in by an entry of its own.
      {L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" Account L")", false},
      // An account's own folder, as it makes one (and as Wine shows every folder).
      {L"O:" Account L"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;" Account L")(A;OICI;0x1200a9;;;WD)", false},
      // Readers may hold a log open with read sharing only, and stop every line.
      {L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)", false},
      {L"O:BAD:(A;OICI;GR;;;AU)", false},
      {L"O:AND:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", false},
      // What a folder made at the root of the drive inherits from it.
      {L"O:BAD:AI(A;ID;FA;;;BA)(A;OICIIOID;GA;;;BA)(A;ID;FA;;;SY)(A;OICIIOID;GA;;;SY)"
       L"(A;OICIID;0x1200a9;;;BU)(A;ID;0x1301bf;;;AU)(A;OICIIOID;SDGXGWGR;;;AU)",
       false},
      {L"O:BA", false},                      // no access list: everyone in
      {L"O:BAD:(A;;WD;;;BU)", false},        // users may change the access list
      {L"O:BAD:(A;OICIIO;FW;;;BU)", false},  // users may write what the folder holds
  };
  for (const SecurityCase& c : cases) {
    PSECURITY_DESCRIPTOR parsed = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(c.security, SDDL_REVISION_1,
                                                                     &parsed, nullptr))
        << testing::PrintToString(std::wstring(c.security));
    const LocalOwner security(parsed);
    EXPECT_EQ(IsAdministratorsOnly(security.get()), c.administratorsOnly)
        << testing::PrintToString(std::wstring(c.security));
  }
  EXPECT_FALSE(IsAdministratorsOnly(nullptr));
}

// The folders the tool makes are the Administrators' from the start, whatever
// owner the creating token would give, and take nothing from the folder above.
TEST(LogFolderSecurity, MadeFoldersAreOwnedByAdministratorsAndProtected) {
  PSECURITY_DESCRIPTOR parsed = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
      LogFolderSecurity, SDDL_REVISION_1, &parsed, nullptr));
  const LocalOwner security(parsed);
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  ASSERT_TRUE(GetSecurityDescriptorOwner(security.get(), &owner, &defaulted));
  ASSERT_NE(owner, nullptr);
  EXPECT_TRUE(IsWellKnownSid(owner, WinBuiltinAdministratorsSid));
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ASSERT_TRUE(GetSecurityDescriptorControl(security.get(), &control, &revision));
  EXPECT_NE(control & SE_DACL_PROTECTED, 0);
}

// The tool skips the security verdict on Wine only: told by ntdll's exports,
// and here checked against Wine's own registry key.
TEST(LogFolderSecurity, WineIsRecognisedByThePlatformItself) {
  HKEY wine = nullptr;
  const bool wineKey =
      RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Wine", 0, KEY_READ, &wine) == ERROR_SUCCESS;
  if (wineKey) RegCloseKey(wine);
  EXPECT_EQ(RunsOnWine(), wineKey);
}

}  // namespace
