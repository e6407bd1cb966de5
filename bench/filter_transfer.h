// One page through a build of the filter, as the WIA service drives it: the
// filter is made by the library's class factory and gets a scan item (the
// test doubles' FakeWiaItem with brightness, contrast and format) and the
// application's callback (FakeApplication, handing out a file or a memory
// stream); the driver (PlayDriver) asks for a stream, writes the page's BMP
// in pieces with a progress message after each, and ends the page with the
// end-of-stream message.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "bench_support.h"
#include "fake_application.h"
#include "fake_driver.h"
#include "fake_item.h"
#include "filter_library.h"

namespace bench {

enum class Mode {
  Adjust,    // brightness 200, contrast 0: the page is buffered, adjusted and written
  Count,     // brightness and contrast 0: the driver's pieces pass through the filter
  Straight,  // no filter: the driver writes into the application's stream itself
  Floor      // the same, a memory stream sized to the page by the application first:
             // what the page's bytes cost the platform's stream, grown once
};
const char* ModeName(Mode m);

// Loads the build of the filter at `path` into `library` and prints, after
// `label`, the file it was loaded from, or that it could not be loaded.
bool LoadFilter(const std::wstring& path, const char* label, FilterLibrary* library);

// The page as the driver holds it: one page of the transfer, its file made
// in place (no copy of it is ever made).
std::vector<DriverPage> DriverPages(const PageSpec& page);

// One transfer of `pages`: everything made untimed by Prepare; Run is the
// driver's part (GetNextStream, writes, messages, the end-of-stream apply
// step) and checks that the application holds a page of the driver's size,
// the size the end-of-stream message reported.
class Transfer {
 public:
  // Into files in `folder`, or into memory streams when it is empty; the
  // driver writes pieces of `piece` bytes.
  Transfer(const FilterLibrary& library, const std::vector<DriverPage>& pages, Mode mode,
           const std::wstring& folder, ULONG piece);
  HRESULT Prepare();
  HRESULT Run();
  void Finish();

 private:
  const FilterLibrary& library_;
  const std::vector<DriverPage>& pages_;
  Mode mode_;
  std::wstring folder_;
  DriverOptions options_;
  ComRef<FakeWiaItem> item_;
  ComRef<FakeApplication> application_;
  ComRef<IWiaImageFilter> filter_;
  ComRef<IWiaTransferCallback> service_;
};

// A folder of its own for the application's files, removed at the end.
class ScanFolder {
 public:
  ScanFolder() {
    wchar_t temp[MAX_PATH];
    const DWORD n = GetTempPathW(MAX_PATH, temp);
    path_.assign(temp, n > 0 && n < MAX_PATH ? n : 0);
    path_ += L"vantrel-bench-scans-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(path_.c_str(), nullptr);
  }
  ScanFolder(const ScanFolder&) = delete;
  ScanFolder& operator=(const ScanFolder&) = delete;
  ~ScanFolder() {
    DeleteFileW((path_ + L"\\page1.bmp").c_str());
    RemoveDirectoryW(path_.c_str());
  }
  const std::wstring& Path() const { return path_; }

 private:
  std::wstring path_;
};

}  // namespace bench
