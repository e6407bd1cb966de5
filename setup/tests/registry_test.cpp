// RegKeyHolder and SetRegistryString against the real registry, under a
// key of the test's own.
#include <gtest/gtest.h>

#include <vector>

#include "owner.h"
#include "registry.h"

namespace {

constexpr wchar_t TestKey[] = L"Software\\DrelmoTests\\RegKeyHolder";

class RegKeyHolderTest : public testing::Test {
 protected:
  void SetUp() override { RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\DrelmoTests"); }
  void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\DrelmoTests"); }

  static LSTATUS Create(RegKeyHolder& holder) {
    return RegCreateKeyExW(HKEY_CURRENT_USER, TestKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                           KEY_READ | KEY_WRITE, nullptr, holder.put(), nullptr);
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

  static bool IsOpen(HKEY key) {
    return RegSetValueExW(key, L"probe", 0, REG_SZ, reinterpret_cast<const BYTE*>(L""), 2) ==
           ERROR_SUCCESS;
  }
};

TEST_F(RegKeyHolderTest, SetStringWritesRegSzWithItsTerminatingNul) {
  RegKeyHolder key;
  ASSERT_EQ(Create(key), ERROR_SUCCESS);
  EXPECT_EQ(SetRegistryString(key.get(), L"name", L"oem7.inf"), ERROR_SUCCESS);
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
  EXPECT_EQ(SetRegistryString(key.get(), L"name", nullptr),
            static_cast<LSTATUS>(ERROR_INVALID_DATA));
  DWORD type = 0;
  EXPECT_TRUE(Value(L"name", &type).empty());
}

// The key is closed when the holder is reset, given another or goes out of
// scope, and the thread's last error is what it was before.
TEST_F(RegKeyHolderTest, ClosesTheKeyAndKeepsTheLastError) {
  HKEY handle = nullptr;
  {
    RegKeyHolder key;
    ASSERT_EQ(Create(key), ERROR_SUCCESS);
    handle = key.get();
    ASSERT_TRUE(IsOpen(handle));
    SetLastError(ERROR_ACCESS_DENIED);
    key.reset();
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(key);
    EXPECT_FALSE(IsOpen(handle));
    ASSERT_EQ(Create(key), ERROR_SUCCESS);
    handle = key.get();
  }
  EXPECT_FALSE(IsOpen(handle));
}

}  // namespace
