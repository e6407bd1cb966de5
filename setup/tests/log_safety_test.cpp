// The setup log's decisions on what Wine cannot show the tool: reparse tags
// (Wine makes no junctions, mount points or archived files), the log
// folder's security (Wine keeps no access list given to a folder and
// reports one of its own) and how the folder is made (Wine makes no mount
// point a create could go through). Tags, rights and the create's values
// are the platform's headers'.
#include <windows.h>

#include <sddl.h>
#include <winternl.h>

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

LogFileFacts Facts(DWORD attributes, DWORD tag, DWORD links, bool reached) {
  LogFileFacts facts;
  facts.attributes = attributes;
  facts.reparseTag = tag;
  facts.linkCount = links;
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
        FileCase{"RegularFile", Facts(FILE_ATTRIBUTE_ARCHIVE, 0, 1, true), LogFileVerdict::Log},
        // However many names a listing shows in the folder, another may lie
        // outside it by the time the file is written.
        FileCase{"SecondName", Facts(FILE_ATTRIBUTE_ARCHIVE, 0, 2, true),
                 LogFileVerdict::ManyNames},
        FileCase{"ManyNames", Facts(FILE_ATTRIBUTE_ARCHIVE, 0, 20001, true),
                 LogFileVerdict::ManyNames},
        FileCase{"SymbolicLink", Facts(Reparse, IO_REPARSE_TAG_SYMLINK, 1, true),
                 LogFileVerdict::Planted},
        FileCase{"SymbolicLinkWithTwoNames", Facts(Reparse, IO_REPARSE_TAG_SYMLINK, 2, true),
                 LogFileVerdict::Planted},
        FileCase{"MountPoint", Facts(Reparse, IO_REPARSE_TAG_MOUNT_POINT, 1, true),
                 LogFileVerdict::Planted},
        FileCase{"ArchivedFile",
                 Facts(Reparse | FILE_ATTRIBUTE_OFFLINE, IO_REPARSE_TAG_HSM, 1, true),
                 LogFileVerdict::ReparsedLog},
        FileCase{"DeduplicatedFile", Facts(Reparse, IO_REPARSE_TAG_DEDUP, 1, true),
                 LogFileVerdict::ReparsedLog},
        FileCase{"ArchivedFileWithTwoNames", Facts(Reparse, IO_REPARSE_TAG_HSM, 2, true),
                 LogFileVerdict::ManyNames},
        FileCase{"Folder", Facts(FILE_ATTRIBUTE_DIRECTORY, 0, 1, true), LogFileVerdict::Other},
        FileCase{"NoName", Facts(FILE_ATTRIBUTE_ARCHIVE, 0, 0, true), LogFileVerdict::Other},
        FileCase{"ReachedByAnotherPath", Facts(FILE_ATTRIBUTE_ARCHIVE, 0, 1, false),
                 LogFileVerdict::Other}),
    [](const testing::TestParamInfo<FileCase>& info) { return info.param.name; });

std::vector<BYTE> WellKnownSid(WELL_KNOWN_SID_TYPE type) {
  std::vector<BYTE> sid(SECURITY_MAX_SID_SIZE);
  DWORD size = static_cast<DWORD>(sid.size());
  if (!CreateWellKnownSid(type, nullptr, sid.data(), &size)) sid.clear();
  return sid;
}

// How the tool makes C:\log: one create that fails on any name already there
// (a mount point or link included, not followed), with the protected
// security in the same call; SYSTEM and the Administrators alone have any
// access, and what the folder holds inherits that.
TEST(LogFolderSecurity, FolderIsMadeInOneCreateThatFollowsNothingAndOnlyAdministratorsMayUse) {
  const SecurityDescriptorHolder security = MakeLogFolderSecurity();
  ASSERT_TRUE(security);
  const CreateRequest create = LogFolderCreate(security.get());
  const CreateRequest open = LogFolderOpen();
  EXPECT_EQ(create.disposition, static_cast<ULONG>(FILE_CREATE));
  EXPECT_EQ(open.disposition, static_cast<ULONG>(FILE_OPEN));
  EXPECT_EQ(create.security, security.get());
  EXPECT_EQ(open.security, nullptr);
  for (const CreateRequest& request : {create, open}) {
    EXPECT_EQ(request.options & (FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT),
              static_cast<ULONG>(FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT));
    EXPECT_EQ(request.access & (WRITE_DAC | WRITE_OWNER | DELETE | FILE_LIST_DIRECTORY), 0u)
        << "asks for what the tool never does, or what a holder's sharing could refuse";
    EXPECT_EQ(request.share,
              static_cast<ULONG>(FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE));
    EXPECT_EQ(request.attributes, static_cast<ULONG>(OBJ_CASE_INSENSITIVE));
  }

  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ASSERT_TRUE(GetSecurityDescriptorControl(security.get(), &control, &revision));
  EXPECT_NE(control & SE_DACL_PROTECTED, 0) << "inherits from the drive's root";
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  ASSERT_TRUE(GetSecurityDescriptorOwner(security.get(), &owner, &defaulted));
  EXPECT_EQ(owner, nullptr) << "a folder the tool creates takes its owner from the token";

  const std::vector<BYTE> system = WellKnownSid(WinLocalSystemSid);
  const std::vector<BYTE> administrators = WellKnownSid(WinBuiltinAdministratorsSid);
  BOOL present = FALSE;
  PACL list = nullptr;
  ASSERT_TRUE(GetSecurityDescriptorDacl(security.get(), &present, &list, &defaulted));
  ASSERT_TRUE(present && list != nullptr);
  ACL_SIZE_INFORMATION size = {};
  ASSERT_TRUE(GetAclInformation(list, &size, sizeof(size), AclSizeInformation));
  ASSERT_EQ(size.AceCount, 2u) << "anyone but SYSTEM and the Administrators has access";
  for (DWORD i = 0; i < size.AceCount; ++i) {
    void* entry = nullptr;
    ASSERT_TRUE(GetAce(list, i, &entry));
    const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
    EXPECT_EQ(allowed->Header.AceType, ACCESS_ALLOWED_ACE_TYPE) << i;
    EXPECT_EQ(allowed->Header.AceFlags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE) << i;
    EXPECT_EQ(allowed->Mask, static_cast<ACCESS_MASK>(FILE_ALL_ACCESS)) << i;
    EXPECT_TRUE(EqualSid(const_cast<DWORD*>(&allowed->SidStart),
                         const_cast<BYTE*>((i == 0 ? system : administrators).data())))
        << i;
  }
}

// Whether an existing C:\log is used; it is never changed. The tool runs
// as ToolUser: what that account controls, the tool could have made.
#define ToolUser L"S-1-5-21-1004336348-1177238915-682003330-1000"
#define OtherUser L"S-1-5-21-1004336348-1177238915-682003330-1001"

TEST(LogFolderSecurity, IsSecureOnlyWhenNoOrdinaryUserCanHaveSetOrChangeIt) {
  struct Case {
    const wchar_t* security;
    bool secure;
  };
  const Case cases[] = {
      {L"O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)", true},
      {L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", true},
      // How Wine shows every folder the tool's account made.
      {L"O:" ToolUser L"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;" ToolUser L")(A;OICI;0x1200a9;;;WD)", true},
      {L"O:" ToolUser L"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;" ToolUser L")(A;OICI;0x1301ff;;;WD)",
       false},
      {L"O:BAD:(A;;FA;;;" OtherUser L")", false},
      {L"O:AND:(A;OICI;FA;;;SY)(A;OICI;FA;;;AN)(A;OICI;0x1200a9;;;WD)", false},
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
      {L"O:" OtherUser L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", false},
      {L"O:BA", false},
      {L"O:BAD:(A;;WD;;;BU)", false},        // users may change the access list
      {L"O:BAD:(A;;0x2;;;WD)", false},       // everyone may add files
      {L"O:BAD:(A;OICIIO;FW;;;BU)", false},  // users may write what the folder holds
  };
  PSID toolUser = nullptr;
  ASSERT_TRUE(ConvertStringSidToSidW(ToolUser, &toolUser));
  const SecurityDescriptorHolder heldToolUser(toolUser);
  for (const Case& c : cases) {
    PSECURITY_DESCRIPTOR parsed = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(c.security, SDDL_REVISION_1,
                                                                     &parsed, nullptr))
        << testing::PrintToString(std::wstring(c.security));
    const SecurityDescriptorHolder security(parsed);
    EXPECT_EQ(IsLogFolderSecure(security.get(), toolUser), c.secure)
        << testing::PrintToString(std::wstring(c.security));
    if (wcsstr(c.security, L"O:" ToolUser) != nullptr) {
      EXPECT_FALSE(IsLogFolderSecure(security.get(), nullptr)) << "tool's account unknown";
    }
  }
  EXPECT_FALSE(IsLogFolderSecure(nullptr, toolUser));

  // A null access list lets everyone do anything.
  SECURITY_DESCRIPTOR nullList = {};
  ASSERT_TRUE(InitializeSecurityDescriptor(&nullList, SECURITY_DESCRIPTOR_REVISION));
  const std::vector<BYTE> administrators = WellKnownSid(WinBuiltinAdministratorsSid);
  ASSERT_TRUE(
      SetSecurityDescriptorOwner(&nullList, const_cast<BYTE*>(administrators.data()), FALSE));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&nullList, TRUE, nullptr, FALSE));
  EXPECT_FALSE(IsLogFolderSecure(&nullList, toolUser));
}

}  // namespace
