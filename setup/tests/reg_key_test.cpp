// RegKeyHolder against the real registry, under a key of the test's own.
#include <gtest/gtest.h>

#include <vector>

#include "reg_key.h"

namespace {

constexpr wchar_t TestKey[] = L"Software\\DrelmoTests\\RegKeyHolder";

class RegKeyHolderTest : public testing::Test {
 protected:
  void SetUp() override { RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\DrelmoTests"); }
  void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\DrelmoTests"); }

  static LSTATUS Create(RegKeyHolder& holder) {
    return RegCreateKeyExW(HKEY_CURRENT_USER, TestKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                           KEY_READ | KEY_WRITE, nullptr, holder.Receive(), nullptr);
  }

  static std::vector<unsigned char> Value(const wchar_t* name, DWORD* type) {
    std::vector<unsigned char> data(64);
    DWORD size = static_cast<DWORD>(data.size());
    if (RegGetValueW(HKEY_CURRENT_USER, TestKey, name, RRF_RT_ANY | RRF_NOEXPAND, type, data.data(),
                     &size) != ERROR_SUCCESS) {
      return {};
    }
    data.resize(size);
    return data;
  }
};

TEST_F(RegKeyHolderTest, SetStringWritesRegSzWithItsTerminatingNul) {
  RegKeyHolder key;
  ASSERT_EQ(Create(key), ERROR_SUCCESS);
  EXPECT_EQ(key.SetString(L"name", L"oem7.inf"), ERROR_SUCCESS);
  DWORD type = 0;
  const std::vector<unsigned char> data = Value(L"name", &type);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  const wchar_t expected[] = L"oem7.inf";
  ASSERT_EQ(data.size(), sizeof(expected));
  EXPECT_EQ(memcmp(data.data(), expected, sizeof(expected)), 0);
}

TEST_F(RegKeyHolderTest, MissingTextIsInvalidDataAndWritesNothing) {
  RegKeyHolder key;
  ASSERT_EQ(Create(key), ERROR_SUCCESS);
  EXPECT_EQ(key.SetString(L"name", nullptr), static_cast<LSTATUS>(ERROR_INVALID_DATA));
  DWORD type = 0;
  EXPECT_TRUE(Value(L"name", &type).empty());
}

TEST_F(RegKeyHolderTest, CloseReleasesTheKeyAndEmptiesTheHolder) {
  RegKeyHolder key;
  EXPECT_EQ(key.get(), nullptr);
  ASSERT_EQ(Create(key), ERROR_SUCCESS);
  const HKEY handle = key.get();
  ASSERT_NE(handle, nullptr);
  key.Close();
  EXPECT_EQ(key.get(), nullptr);
  // The handle is gone: using it fails.
  EXPECT_NE(RegSetValueExW(handle, L"after", 0, REG_SZ, reinterpret_cast<const BYTE*>(L""), 2),
            ERROR_SUCCESS);
  key.Close();  // closing an empty holder does nothing
  EXPECT_EQ(key.get(), nullptr);
}

TEST_F(RegKeyHolderTest, DestructionClosesTheKey) {
  HKEY handle = nullptr;
  {
    RegKeyHolder key;
    ASSERT_EQ(Create(key), ERROR_SUCCESS);
    handle = key.get();
  }
  EXPECT_NE(RegSetValueExW(handle, L"after", 0, REG_SZ, reinterpret_cast<const BYTE*>(L""), 2),
            ERROR_SUCCESS);
}

}  // namespace
