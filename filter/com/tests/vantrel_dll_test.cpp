// Vantrel.dll as a COM client sees it: loaded by path, entry points found by
// name, its classes served through the exported DllGetClassObject, and a page
// transferred through it with an item that knows only the published
// identifiers.
#include <gtest/gtest.h>
#include <windows.h>

#include "adjusted_copy.h"
#include "com_ref.h"
#include "fake_application.h"
#include "fake_driver.h"
#include "fake_item.h"
#include "sample_bmp.h"
#include "wia2.h"
#include "wia_published.h"

namespace {

using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
using CanUnloadNowFn = HRESULT(STDAPICALLTYPE*)();
using DllMainFn = BOOL(WINAPI*)(HINSTANCE, DWORD, LPVOID);

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
    getClassObject_ = reinterpret_cast<GetClassObjectFn>(Proc(library_.get(), "DllGetClassObject"));
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
  for (const CLSID& clsid : {published::Ids().filterFirst, published::Ids().filterSecond}) {
    ComRef<IClassFactory> factory;
    ASSERT_EQ(S_OK,
              getClassObject_(clsid, IID_IClassFactory, reinterpret_cast<void**>(factory.put())));
    EXPECT_EQ(S_FALSE, canUnloadNow_());
    ComRef<IWiaImageFilter> filter;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, published::Ids().imageFilter,
                                            reinterpret_cast<void**>(filter.put())));
    factory.reset();
    EXPECT_EQ(S_FALSE, canUnloadNow_());
    filter.reset();
    EXPECT_EQ(S_OK, canUnloadNow_());
  }
}

// The scan item answers QueryInterface only for the published identifier of
// IWiaPropertyStorage, as the WIA service's items do: the filter must find the
// page's settings through it and deliver the adjusted page.
TEST_F(VantrelDllTest, PageIsAdjustedWithAnItemThatKnowsOnlyThePublishedIdentifiers) {
  ASSERT_EQ(nullptr, published::Ids().unparsed);
  const wchar_t childName[] = L"Flatbed";
  const wchar_t childFullName[] = L"0000\\Root\\Flatbed";
  auto item = ComRef<FakeWiaItem>::adopt(FakeWiaItem::Create(published::Ids().categoryFlatbed));
  auto child = ComRef<FakeWiaItem>::adopt(FakeWiaItem::Create(published::Ids().categoryFlatbed));
  auto application = ComRef<FakeApplication>::adopt(FakeApplication::Create());
  child->SetLong(published::BrightnessProperty, 300);
  child->SetLong(published::ContrastProperty, 200);
  child->SetGuid(published::FormatProperty, published::Ids().formatBmp);
  item->AddChild(childFullName, child.get());
  const std::vector<BYTE> page = MakeSampleBmp(40, 30, 8);
  {
    ComRef<IClassFactory> factory;
    ASSERT_EQ(S_OK, getClassObject_(published::Ids().filterFirst, IID_IClassFactory,
                                    reinterpret_cast<void**>(factory.put())));
    ComRef<IWiaImageFilter> filter;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, published::Ids().imageFilter,
                                            reinterpret_cast<void**>(filter.put())));
    ASSERT_EQ(S_OK, filter->InitializeFilter(item.get(), application.get()));
    ComRef<IWiaTransferCallback> service;
    ASSERT_EQ(S_OK, filter->QueryInterface(published::Ids().transferCallback,
                                           reinterpret_cast<void**>(service.put())));
    const DriverReport report =
        PlayDriver(service.get(), {{childName, childFullName, page}}, DriverOptions());
    ASSERT_EQ(1u, report.pages.size());
    EXPECT_EQ(S_OK, report.pages[0].nextStream);
    EXPECT_EQ(S_OK, report.result);
  }
  const std::vector<PROPID> read = {published::BrightnessProperty, published::ContrastProperty,
                                    published::ItemCategoryProperty, published::FormatProperty};
  EXPECT_EQ(read, child->PropertiesRead());
  ASSERT_EQ(1u, application->Pages().size());
  const std::vector<BYTE> expected = AdjustedCopy(300, 200, page);
  ASSERT_FALSE(expected.empty());
  EXPECT_NE(page, expected);
  EXPECT_EQ(expected, application->PageBytes(0));
  application->ReleasePages();
  item->ClearChildren();
}

}  // namespace
