// Vantrel.dll as a COM client sees it: loaded by path, entry points found by
// name, its classes served through the exported DllGetClassObject.
#include <gtest/gtest.h>
#include <windows.h>

#include "com_ref.h"
#include "wia2.h"

namespace {

using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
using CanUnloadNowFn = HRESULT(STDAPICALLTYPE*)();
using DllMainFn = BOOL(WINAPI*)(HINSTANCE, DWORD, LPVOID);

const CLSID kClasses[] = {
    {0x5E2B7C41, 0x9A3D, 0x4F86, {0xB1, 0xC7, 0x2D, 0x94, 0xE0, 0xA3, 0x6F, 0x18}},
    {0xA7D04E92, 0x36C1, 0x4B5F, {0x8E, 0x2A, 0x71, 0xC9, 0xF5, 0xB0, 0xD3, 0x46}}};

void* Proc(HMODULE module, LPCSTR name) {
  return reinterpret_cast<void*>(GetProcAddress(module, name));
}

class LibraryHolder {
 public:
  explicit LibraryHolder(const wchar_t* path) : module_(LoadLibraryW(path)) {}
  LibraryHolder(const LibraryHolder&) = delete;
  LibraryHolder& operator=(const LibraryHolder&) = delete;
  ~LibraryHolder() {
    if (module_) FreeLibrary(module_);
  }
  HMODULE get() const { return module_; }

 private:
  HMODULE module_;
};

class VantrelDllTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(nullptr, library_.get());
    getClassObject_ =
        reinterpret_cast<GetClassObjectFn>(Proc(library_.get(), "DllGetClassObject"));
    canUnloadNow_ = reinterpret_cast<CanUnloadNowFn>(Proc(library_.get(), "DllCanUnloadNow"));
    ASSERT_NE(nullptr, getClassObject_);
    ASSERT_NE(nullptr, canUnloadNow_);
    ASSERT_EQ(S_OK, canUnloadNow_());
  }
  void TearDown() override { EXPECT_EQ(S_OK, canUnloadNow_()); }

  LibraryHolder library_{VANTREL_DLL_PATH};
  GetClassObjectFn getClassObject_ = nullptr;
  CanUnloadNowFn canUnloadNow_ = nullptr;
};

TEST_F(VantrelDllTest, EntryPointsAreFoundByNameAndOrdinal) {
  EXPECT_EQ(Proc(library_.get(), "DllCanUnloadNow"), Proc(library_.get(), MAKEINTRESOURCEA(1)));
  EXPECT_EQ(Proc(library_.get(), "DllGetClassObject"), Proc(library_.get(), MAKEINTRESOURCEA(2)));
  void* dllMainProc = Proc(library_.get(), "DllMain");
  ASSERT_NE(nullptr, dllMainProc);
  EXPECT_EQ(dllMainProc, Proc(library_.get(), MAKEINTRESOURCEA(3)));
  auto dllMain = reinterpret_cast<DllMainFn>(dllMainProc);
  const DWORD reasons[] = {DLL_PROCESS_ATTACH, DLL_THREAD_ATTACH, DLL_THREAD_DETACH, 7};
  for (DWORD reason : reasons) EXPECT_TRUE(dllMain(library_.get(), reason, nullptr));
  EXPECT_EQ(nullptr, Proc(library_.get(), "DllRegisterServer"));
  EXPECT_EQ(nullptr, Proc(library_.get(), MAKEINTRESOURCEA(4)));
}

TEST_F(VantrelDllTest, BothClassesMakeFiltersAndTheLibraryCanUnloadAfterwards) {
  for (const CLSID& clsid : kClasses) {
    ComRef<IClassFactory> factory;
    ASSERT_EQ(S_OK, getClassObject_(clsid, IID_IClassFactory,
                                    reinterpret_cast<void**>(factory.put())));
    EXPECT_EQ(S_FALSE, canUnloadNow_());
    ComRef<IWiaImageFilter> filter;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IWiaImageFilter,
                                            reinterpret_cast<void**>(filter.put())));
    factory.reset();
    EXPECT_EQ(S_FALSE, canUnloadNow_());
    filter.reset();
    EXPECT_EQ(S_OK, canUnloadNow_());
  }
}

}  // namespace
