// The setup log's decisions on what Wine cannot show the tool: reparse tags
// (Wine makes no junctions, mount points or archived files) and the log
// folder's security (Wine keeps no access list given to a folder and
// reports one of its own). Tags and rights are the platform's headers'.
#include <windows.h>

#include <sddl.h>

#include <gtest/gtest.h>

#include <ostream>
#include <vector>

#include "log_safety.h"

namespace {

struct FileCase {
  const char* name;
  LogFileFacts facts;
  LogFileVerdict verdict;
};

void PrintTo(const FileCase& c, std::ostream* os) { *os << c.name; }

LogFileFacts Facts(DWORD attributes, DWORD tag, DWORD links, DWORD inFolder, bool reached) {
  LogFileFacts facts;
  facts.attributes = attributes;
  facts.reparseTag = tag;
  facts.linkCount = links;
  facts.namesInFolder = inFolder;
  facts.reachedAsAsked = reached;
  return facts;
}

class LogFileJudgement : public testing::TestWithParam<FileCase> {};

TEST_P(LogFileJudgement, OnlyLinksThatLeadElsewhereArePlanted) {
  EXPECT_EQ(JudgeLogFile(GetParam().facts), GetParam().verdict);
}

constexpr DWORD Reparse = FILE_ATTRIBUTE_REPARSE_POINT;

INSTANTIATE_TEST_SUITE_P(
    Cases, LogFileJudgement,
    testing::Values(
        FileCase{"RegularFile", Facts(FILE_ATTRIBUTE_ARCHIVE, 0, 1, 1, true), LogFileVerdict::Log},
        FileCase{"SecondNameInTheFolder", Facts(FILE_ATTRIBUTE_ARCHIVE, 0, 2, 2, true),
                 LogFileVerdict::Log},
        FileCase{"SecondNameElsewhere", Facts(FILE_ATTRIBUTE_ARCHIVE, 0, 2, 1, true),
                 LogFileVerdict::Planted},
        FileCase{"SymbolicLink", Facts(Reparse, IO_REPARSE_TAG_SYMLINK, 1, 1, true),
                 LogFileVerdict::Planted},
        FileCase{"MountPoint", Facts(Reparse, IO_REPARSE_TAG_MOUNT_POINT, 1, 1, true),
                 LogFileVerdict::Planted},
        FileCase{"ArchivedFile",
                 Facts(Reparse | FILE_ATTRIBUTE_OFFLINE, IO_REPARSE_TAG_HSM, 1, 1, true),
                 LogFileVerdict::ReparsedLog},
        FileCase{"DeduplicatedFile", Facts(Reparse, IO_REPARSE_TAG_DEDUP, 1, 1, true),
                 LogFileVerdict::ReparsedLog},
        FileCase{"ArchivedFileWithANameElsewhere", Facts(Reparse, IO_REPARSE_TAG_HSM, 2, 1, true),
                 LogFileVerdict::Planted},
        FileCase{"Folder", Facts(FILE_ATTRIBUTE_DIRECTORY, 0, 1, 1, true), LogFileVerdict::Other},
        FileCase{"ReachedByAnotherPath", Facts(FILE_ATTRIBUTE_ARCHIVE, 0, 1, 1, false),
                 LogFileVerdict::Other}),
    [](const testing::TestParamInfo<FileCase>& info) { return info.param.name; });

std::vector<BYTE> WellKnownSid(WELL_KNOWN_SID_TYPE type) {
  std::vector<BYTE> sid(SECURITY_MAX_SID_SIZE);
  DWORD size = static_cast<DWORD>(sid.size());
  if (!CreateWellKnownSid(type, nullptr, sid.data(), &size)) sid.clear();
  return sid;
}

// The security the tool creates C:\log with, and takes it back with, as the
// platform reads it.
TEST(LogFolderSecurity, IsAProtectedListOfSystemAdministratorsAndUsersReading) {
  const std::vector<BYTE> system = WellKnownSid(WinLocalSystemSid);
  const std::vector<BYTE> administrators = WellKnownSid(WinBuiltinAdministratorsSid);
  const std::vector<BYTE> users = WellKnownSid(WinBuiltinUsersSid);
  struct Entry {
    const std::vector<BYTE>& sid;
    ACCESS_MASK mask;
  };
  const Entry expected[] = {{system, FILE_ALL_ACCESS},
                            {administrators, FILE_ALL_ACCESS},
                            {users, FILE_GENERIC_READ | FILE_GENERIC_EXECUTE}};
  for (const bool withOwner : {false, true}) {
    const SecurityDescriptorHolder security = MakeLogFolderSecurity(withOwner);
    ASSERT_TRUE(security) << withOwner;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(security.get(), &control, &revision));
    EXPECT_NE(control & SE_DACL_PROTECTED, 0) << "inherits from the drive's root";

    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    ASSERT_TRUE(GetSecurityDescriptorOwner(security.get(), &owner, &defaulted));
    if (withOwner) {
      ASSERT_NE(owner, nullptr);
      EXPECT_TRUE(EqualSid(owner, const_cast<BYTE*>(administrators.data())));
    } else {
      EXPECT_EQ(owner, nullptr) << "a folder the tool creates takes its owner from the token";
    }

    BOOL present = FALSE;
    PACL list = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(security.get(), &present, &list, &defaulted));
    ASSERT_TRUE(present && list != nullptr);
    ACL_SIZE_INFORMATION size = {};
    ASSERT_TRUE(GetAclInformation(list, &size, sizeof(size), AclSizeInformation));
    ASSERT_EQ(size.AceCount, 3u);
    for (DWORD i = 0; i < size.AceCount; ++i) {
      void* entry = nullptr;
      ASSERT_TRUE(GetAce(list, i, &entry));
      const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
      EXPECT_EQ(allowed->Header.AceType, ACCESS_ALLOWED_ACE_TYPE) << i;
      EXPECT_EQ(allowed->Header.AceFlags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE) << i;
      EXPECT_EQ(allowed->Mask, expected[i].mask) << i;
      EXPECT_TRUE(EqualSid(const_cast<DWORD*>(&allowed->SidStart),
                           const_cast<BYTE*>(expected[i].sid.data())))
          << i;
    }
  }
  EXPECT_TRUE(IsLogFolderSecure(MakeLogFolderSecurity(true).get()));
}

// Whether an existing C:\log is used as it is or taken back first.
TEST(LogFolderSecurity, IsSecureOnlyWhenNoOrdinaryUserCanHaveSetOrChangeIt) {
  struct Case {
    const wchar_t* security;
    bool secure;
  };
  const Case cases[] = {
      {L"O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)", true},
      // TrustedInstaller as owner; everyone denied everything.
      {L"O:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"
       L"D:(A;;FA;;;S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464)(D;;FA;;;WD)",
       true},
      {L"O:BAD:(A;OICI;GR;;;AU)", true},
      // What a folder made at the root of the drive inherits from it.
      {L"O:BAD:AI(A;ID;FA;;;BA)(A;OICIIOID;GA;;;BA)(A;ID;FA;;;SY)(A;OICIIOID;GA;;;SY)"
       L"(A;OICIID;0x1200a9;;;BU)(A;ID;0x1301bf;;;AU)(A;OICIIOID;SDGXGWGR;;;AU)",
       false},
      // Made by an ordinary user.
      {L"O:S-1-5-21-1004336348-1177238915-682003330-1001D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)",
       false},
      {L"O:BA", false},
      {L"O:BAD:(A;;WD;;;BU)", false},        // users may change the access list
      {L"O:BAD:(A;;0x2;;;WD)", false},       // everyone may add files
      {L"O:BAD:(A;OICIIO;FW;;;BU)", false},  // users may write what the folder holds
  };
  for (const Case& c : cases) {
    PSECURITY_DESCRIPTOR parsed = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(c.security, SDDL_REVISION_1,
                                                                     &parsed, nullptr))
        << testing::PrintToString(std::wstring(c.security));
    const SecurityDescriptorHolder security(parsed);
    EXPECT_EQ(IsLogFolderSecure(security.get()), c.secure)
        << testing::PrintToString(std::wstring(c.security));
  }
  EXPECT_FALSE(IsLogFolderSecure(nullptr));

  // A null access list lets everyone do anything.
  SECURITY_DESCRIPTOR nullList = {};
  ASSERT_TRUE(InitializeSecurityDescriptor(&nullList, SECURITY_DESCRIPTOR_REVISION));
  const std::vector<BYTE> administrators = WellKnownSid(WinBuiltinAdministratorsSid);
  ASSERT_TRUE(
      SetSecurityDescriptorOwner(&nullList, const_cast<BYTE*>(administrators.data()), FALSE));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&nullList, TRUE, nullptr, FALSE));
  EXPECT_FALSE(IsLogFolderSecure(&nullList));
}

}  // namespace
