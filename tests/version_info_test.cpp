// Both shipped binaries carry the build's version number in their version
// resource, read back as Explorer and installers read it.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

namespace {

struct Binary {
  const wchar_t* path;
  const wchar_t* fileName;
  DWORD fileType;
};

std::wstring VersionText() {
  return std::to_wstring(VERSION_MAJOR) + L"." + std::to_wstring(VERSION_MINOR) + L"." +
         std::to_wstring(VERSION_PATCH) + L"." + std::to_wstring(VERSION_BUILD);
}

std::wstring StringValue(const std::vector<BYTE>& block, const wchar_t* name) {
  const std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
  void* value = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(block.data(), key.c_str(), &value, &length) || !value) return L"<missing>";
  return std::wstring(static_cast<const wchar_t*>(value));
}

class VersionInfoTest : public ::testing::TestWithParam<Binary> {};

TEST_P(VersionInfoTest, CarriesTheBuildsVersionAndNames) {
  const Binary& binary = GetParam();
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(binary.path, &ignored);
  ASSERT_NE(0u, size) << "no version resource, error " << GetLastError();
  std::vector<BYTE> block(size);
  ASSERT_TRUE(GetFileVersionInfoW(binary.path, 0, size, block.data()));

  void* value = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", &value, &length));
  ASSERT_EQ(sizeof(VS_FIXEDFILEINFO), length);
  const VS_FIXEDFILEINFO* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
  EXPECT_EQ(0xFEEF04BDu, fixed->dwSignature);
  const DWORD ms = MAKELONG(VERSION_MINOR, VERSION_MAJOR);
  const DWORD ls = MAKELONG(VERSION_BUILD, VERSION_PATCH);
  EXPECT_EQ(ms, fixed->dwFileVersionMS);
  EXPECT_EQ(ls, fixed->dwFileVersionLS);
  EXPECT_EQ(ms, fixed->dwProductVersionMS);
  EXPECT_EQ(ls, fixed->dwProductVersionLS);
  EXPECT_EQ(binary.fileType, fixed->dwFileType);

  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &value, &length));
  ASSERT_EQ(4u, length);
  EXPECT_EQ(0x0409, static_cast<const WORD*>(value)[0]);
  EXPECT_EQ(1200, static_cast<const WORD*>(value)[1]);

  EXPECT_EQ(VersionText(), StringValue(block, L"FileVersion"));
  EXPECT_EQ(VersionText(), StringValue(block, L"ProductVersion"));
  EXPECT_EQ(L"Orvane", StringValue(block, L"CompanyName"));
  EXPECT_EQ(binary.fileName, StringValue(block, L"OriginalFilename"));
  const std::wstring fileName = binary.fileName;
  EXPECT_EQ(fileName.substr(0, fileName.find(L'.')), StringValue(block, L"InternalName"));
  for (const wchar_t* name : {L"FileDescription", L"ProductName", L"LegalCopyright"}) {
    const std::wstring text = StringValue(block, name);
    EXPECT_TRUE(!text.empty() && text != L"<missing>")
        << "no " << std::string(name, name + wcslen(name));
  }
}

INSTANTIATE_TEST_SUITE_P(ShippedBinaries, VersionInfoTest,
                         ::testing::Values(Binary{VANTREL_PATH, L"Vantrel.dll", VFT_DLL},
                                           Binary{DRELMO_PATH, L"Drelmo.exe", VFT_APP}));

}  // namespace
