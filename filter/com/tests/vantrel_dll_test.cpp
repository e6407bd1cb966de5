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
#include "filter_library.h"
#include "sample_bmp.h"
#include "wia2.h"
#include "wia_published.h"

namespace {

using DllMainFn = BOOL(WINAPI*)(HINSTANCE, DWORD, LPVOID);

void* Proc(HMODULE module, LPCSTR name) {
  return reinterpret_cast<void*>(GetProcAddress(module, name));
}

class VantrelDllTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(library_.Loaded());
    ASSERT_EQ(S_OK, library_.CanUnloadNow());
  }
  void TearDown() override { EXPECT_EQ(S_OK, library_.CanUnloadNow()); }

  // A filter of the library's first class, initialised for the item and the
  // application, as the service's transfer callback.
  void MakeFilter(IWiaItem2* item, IWiaTransferCallback* application,
                  ComRef<IWiaTransferCallback>* service) {
    ComRef<IWiaImageFilter> filter;
    ASSERT_EQ(S_OK, library_.CreateFilter(filter.put()));
    ASSERT_EQ(S_OK, filter->InitializeFilter(item, application));
    ASSERT_EQ(S_OK, filter->QueryInterface(published::Ids().transferCallback,
                                           reinterpret_cast<void**>(service->put())));
  }

  const FilterLibrary library_{VANTREL_DLL_PATH};
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
    ASSERT_EQ(S_OK, library_.GetClassObject(clsid, IID_IClassFactory, factory.put_void()));
    EXPECT_EQ(S_FALSE, library_.CanUnloadNow());
    ComRef<IWiaImageFilter> filter;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, published::Ids().imageFilter,
                                            reinterpret_cast<void**>(filter.put())));
    factory.reset();
    EXPECT_EQ(S_FALSE, library_.CanUnloadNow());
    filter.reset();
    EXPECT_EQ(S_OK, library_.CanUnloadNow());
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
    ComRef<IWiaTransferCallback> service;
    ASSERT_NO_FATAL_FAILURE(MakeFilter(item.get(), application.get(), &service));
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

// A 600 dpi A4 colour page (104 MB) that the driver writes in 64 KiB pieces
// reaches the application as exactly the bytes of the same page written in
// one piece, both adjusted through the library into files.
TEST_F(VantrelDllTest, LargePageInSmallPiecesGivesTheBytesOfTheWholePage) {
  std::vector<DriverPage> pages = {{L"Flatbed", L"0000\\Root\\Flatbed", {}}};
  pages[0].bytes = MakeSampleBmp(4960, 7016, 24);
  // Noise over the pixels: any byte out of place changes the adjusted page.
  UINT32 noise = 27;
  for (size_t i = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER); i < pages[0].bytes.size();
       ++i) {
    noise = noise * 1664525u + 1013904223u;
    pages[0].bytes[i] = static_cast<BYTE>(noise >> 24);
  }
  wchar_t temp[MAX_PATH];
  ASSERT_NE(0u, GetTempPathW(MAX_PATH, temp));
  const std::wstring folder = std::wstring(temp) + L"vantrel-large-page";
  CreateDirectoryW(folder.c_str(), nullptr);
  auto item = ComRef<FakeWiaItem>::adopt(FakeWiaItem::Create(published::Ids().categoryFlatbed));
  auto child = ComRef<FakeWiaItem>::adopt(FakeWiaItem::Create(published::Ids().categoryFlatbed));
  child->SetLong(published::BrightnessProperty, 200);
  child->SetGuid(published::FormatProperty, published::Ids().formatBmp);
  item->AddChild(pages[0].fullItemName.c_str(), child.get());
  auto application = ComRef<FakeApplication>::adopt(FakeApplication::Create(folder));
  for (const ULONG piece : {65536ul, static_cast<ULONG>(pages[0].bytes.size())}) {
    ComRef<IWiaTransferCallback> service;
    ASSERT_NO_FATAL_FAILURE(MakeFilter(item.get(), application.get(), &service));
    DriverOptions options;
    options.pieceSize = piece;
    EXPECT_EQ(S_OK, PlayDriver(service.get(), pages, options).result) << piece;
  }
  // The two files, compared a mebibyte at a time from their starts.
  ASSERT_EQ(2u, application->Pages().size());
  IStream* files[2] = {application->Pages()[0].stream.get(), application->Pages()[1].stream.get()};
  std::vector<BYTE> chunks[2] = {std::vector<BYTE>(1 << 20), std::vector<BYTE>(1 << 20)};
  ULONG64 size = 0;
  for (IStream* file : files) ASSERT_EQ(S_OK, file->Seek({}, STREAM_SEEK_SET, nullptr));
  for (ULONG got[2] = {1, 1}; got[0] > 0; size += got[0]) {
    for (int i = 0; i < 2; ++i) {
      ASSERT_TRUE(SUCCEEDED(files[i]->Read(chunks[i].data(), 1 << 20, &got[i])));
    }
    ASSERT_EQ(got[0], got[1]) << "at " << size;
    ASSERT_TRUE(chunks[0] == chunks[1]) << "in the mebibyte from " << size;
    if (size == 0) EXPECT_NE(0, memcmp(chunks[0].data(), pages[0].bytes.data(), got[0]));
  }
  EXPECT_GE(size, 100000000u);
  // Each page's end-of-stream message reports what its file holds.
  std::vector<ULONG64> ends;
  for (const ReceivedMessage& message : application->Messages()) {
    if (message.params.lMessage == published::MessageEndOfStream) {
      ends.push_back(message.params.ulTransferredBytes);
    }
  }
  EXPECT_EQ(std::vector<ULONG64>(2, size), ends);
  application->ReleasePages();
  item->ClearChildren();
  for (const wchar_t* name : {L"\\page1.bmp", L"\\page2.bmp"}) {
    EXPECT_TRUE(DeleteFileW((folder + name).c_str()));
  }
  RemoveDirectoryW(folder.c_str());
}

}  // namespace
