// A whole page through the filter, as the WIA service drives it: Vantrel.dll
// is loaded and its class factory obtained through DllGetClassObject, the
// filter gets a scan item and the application's callback, and a driver asks
// for a stream, writes the page's BMP in pieces with a progress message after
// each, and ends the page with the end-of-stream message. The item, the
// application and the driver are the test doubles of testbench/doubles.
//
// For each page, application stream (memory: CreateStreamOnHGlobal; file: a
// file stream) and piece size, three transfers run side by side:
//   brightness 200  the page is buffered, adjusted and written at its end
//   0/0 counting    brightness and contrast 0: the filter stream only counts
//   no filter       the driver writes the same pieces straight into the
//                   application's stream, without the filter
//
// Usage: bench_filter.exe [--slow N] [--page NAME]...
#include <cstdio>
#include <string>
#include <vector>

#include "bench_support.h"
#include "fake_application.h"
#include "fake_driver.h"
#include "fake_item.h"
#include "wia2.h"
#include "wia_published.h"

namespace {

const wchar_t kItemName[] = L"Flatbed";
const wchar_t kFullItemName[] = L"0000\\Root\\Flatbed";

using GetClassObjectFunction = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, LPVOID*);

// Vantrel.dll, loaded from the folder of this program, as COM loads it.
class FilterLibrary {
 public:
  FilterLibrary() : module_(LoadLibraryW(L"Vantrel.dll")) {
    if (module_ != nullptr) {
      getClassObject_ = reinterpret_cast<GetClassObjectFunction>(
          reinterpret_cast<void*>(GetProcAddress(module_, "DllGetClassObject")));
    }
  }
  FilterLibrary(const FilterLibrary&) = delete;
  FilterLibrary& operator=(const FilterLibrary&) = delete;
  ~FilterLibrary() {
    if (module_ != nullptr) FreeLibrary(module_);
  }
  bool Ok() const { return getClassObject_ != nullptr; }

  HRESULT CreateFilter(IWiaImageFilter** filter) const {
    *filter = nullptr;
    bench::ComRef<IClassFactory> factory;
    HRESULT hr = getClassObject_(published::Ids().filterFirst, IID_IClassFactory,
                                 reinterpret_cast<void**>(factory.Put()));
    if (FAILED(hr)) return hr;
    return factory->CreateInstance(nullptr, published::Ids().imageFilter,
                                   reinterpret_cast<void**>(filter));
  }

 private:
  HMODULE module_;
  GetClassObjectFunction getClassObject_ = nullptr;
};

enum class Mode { Adjust, Count, Straight };

const char* ModeName(Mode m) {
  switch (m) {
    case Mode::Adjust: return "brightness 200";
    case Mode::Count: return "0/0 counting";
    case Mode::Straight: return "no filter";
  }
  return "?";
}

// One transfer of one page: everything made untimed beforehand, only the
// driver's part (GetNextStream, writes, messages, the end-of-stream apply
// step) timed.
class Transfer {
 public:
  Transfer(const FilterLibrary& library, const std::vector<DriverPage>& pages, Mode mode,
           const std::wstring& folder, ULONG piece)
      : library_(library), pages_(pages), mode_(mode), folder_(folder) {
    options_.pieceSize = piece;
  }

  HRESULT Prepare() {
    Finish();
    const LONG brightness = mode_ == Mode::Adjust ? 200 : 0;
    item_ = bench::ComRef<FakeWiaItem>(FakeWiaItem::Create(published::Ids().categoryFlatbed));
    bench::ComRef<FakeWiaItem> child(FakeWiaItem::Create(published::Ids().categoryFlatbed));
    application_ = bench::ComRef<FakeApplication>(FakeApplication::Create(folder_));
    if (!item_ || !child || !application_) return E_OUTOFMEMORY;
    child->SetLong(published::BrightnessProperty, brightness);
    child->SetLong(published::ContrastProperty, 0);
    child->SetGuid(published::FormatProperty, published::Ids().formatBmp);
    item_->AddChild(kFullItemName, child.Get());
    if (mode_ == Mode::Straight) {
      service_ = bench::ComRef<IWiaTransferCallback>(application_.Get());
      application_->AddRef();
      return S_OK;
    }
    HRESULT hr = library_.CreateFilter(filter_.Put());
    if (FAILED(hr)) return hr;
    hr = filter_->InitializeFilter(item_.Get(), application_.Get());
    if (FAILED(hr)) return hr;
    return filter_->QueryInterface(published::Ids().transferCallback,
                                   reinterpret_cast<void**>(service_.Put()));
  }

  HRESULT Run() {
    const DriverReport report = PlayDriver(service_.Get(), pages_, options_);
    if (FAILED(report.result)) return report.result;
    // The application must hold the page (adjusted or not) and, through the
    // filter, have been told its size at the end of the stream.
    if (application_->Pages().size() != pages_.size()) return E_FAIL;
    ULONG64 size = 0;
    const HRESULT hr = bench::StreamSize(application_->Pages()[0].stream.get(), &size);
    if (FAILED(hr)) return hr;
    if (size != pages_[0].bytes.size()) return E_FAIL;
    for (const ReceivedMessage& message : application_->Messages()) {
      if (message.params.lMessage == published::MessageEndOfStream &&
          message.params.ulTransferredBytes != size) {
        return E_FAIL;
      }
    }
    return S_OK;
  }

  void Finish() {
    service_.Reset();
    filter_.Reset();
    if (application_) application_->ReleasePages();
    application_.Reset();
    item_.Reset();
  }

 private:
  const FilterLibrary& library_;
  const std::vector<DriverPage>& pages_;
  Mode mode_;
  std::wstring folder_;
  DriverOptions options_;
  bench::ComRef<FakeWiaItem> item_;
  bench::ComRef<FakeApplication> application_;
  bench::ComRef<IWiaImageFilter> filter_;
  bench::ComRef<IWiaTransferCallback> service_;
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

}  // namespace

int main(int argc, char** argv) {
  bench::ComSession com;
  const bench::Options options = bench::ParseOptions(argc, argv);
  FilterLibrary library;
  if (!library.Ok()) {
    std::printf("Vantrel.dll or its DllGetClassObject was not found\n");
    return 1;
  }
  ScanFolder folder;
  std::printf(
      "A page through the filter, time per page; ratios against 'no filter'\n"
      "(the same pieces straight into the application's stream) and against '0/0'.\n");
  std::printf("%-10s %-6s %8s %-15s %5s %10s %10s %8s %8s %8s\n", "page", "app", "piece", "run",
              "runs", "min ms", "median ms", "x nofilt", "x median", "x 0/0");
  const ULONG pieces[] = {64 * 1024, 256 * 1024, 1024 * 1024, 0};
  for (const bench::PageSpec& page : bench::Pages()) {
    if (!options.Wants(page)) continue;
    const std::vector<DriverPage> driverPages = {
        DriverPage{kItemName, kFullItemName, bench::MakeBmpFile(page)}};
    const size_t fileBytes = driverPages[0].bytes.size();
    for (bool onDisk : {false, true}) {
      for (ULONG piece : pieces) {
        if (piece == 0) piece = static_cast<ULONG>(fileBytes);
        // A memory stream grows by each write that passes its block's end
        // (64 KiB steps): with small pieces, or with the adjusted page's
        // rows written into the application's memory stream, a run takes
        // seconds, so those run once.
        const bool growing = fileBytes / piece > 16;
        const Mode modes[] = {Mode::Straight, Mode::Count, Mode::Adjust};
        std::vector<Transfer> transfers;
        std::vector<bench::Variant> variants(3);
        transfers.reserve(3);
        for (int i = 0; i < 3; ++i) {
          transfers.emplace_back(library, driverPages, modes[i],
                                 onDisk ? folder.Path() : std::wstring(), piece);
          bench::Variant& v = variants[i];
          Transfer& t = transfers.back();
          v.name = ModeName(modes[i]);
          // The filter's working stream is a memory stream whatever the
          // application's stream is.
          const bool memoryWrites = !onDisk || modes[i] == Mode::Adjust;
          const bool slow = (memoryWrites && growing) || (modes[i] == Mode::Adjust && !onDisk);
          v.runs = slow ? 1 : options.slowRuns;
          v.prepare = [&t]() { return t.Prepare(); };
          v.body = [&t]() { return t.Run(); };
          v.finish = [&t]() { t.Finish(); };
        }
        // A warm-up round where every run is quick.
        bool quick = true;
        for (const bench::Variant& v : variants) quick = quick && v.runs > 1;
        bench::RunSideBySide(&variants, quick);
        for (const bench::Variant& v : variants) {
          const std::string pieceName = bench::PieceName(piece, fileBytes);
          if (FAILED(v.result)) {
            std::printf("%-10s %-6s %8s %-15s failed %s\n", page.name, onDisk ? "file" : "memory",
                        pieceName.c_str(), v.name.c_str(), bench::FormatHr(v.result).c_str());
            continue;
          }
          const bench::Variant& straight = variants[0];
          const bench::Variant& count = variants[1];
          std::printf("%-10s %-6s %8s %-15s %5d %10s %10s %8s %8s %8s\n", page.name,
                      onDisk ? "file" : "memory", pieceName.c_str(), v.name.c_str(), v.stats.runs,
                      bench::FormatMs(v.stats.min).c_str(), bench::FormatMs(v.stats.median).c_str(),
                      bench::FormatRatio(v.stats.min, straight.stats.min).c_str(),
                      bench::FormatRatio(v.stats.median, straight.stats.median).c_str(),
                      bench::FormatRatio(v.stats.min, count.stats.min).c_str());
          std::fflush(stdout);
        }
      }
    }
  }
  return 0;
}
