#include "filter_transfer.h"

#include <cstdio>

#include "wia_published.h"

namespace bench {

namespace {

const wchar_t kItemName[] = L"Flatbed";
const wchar_t kFullItemName[] = L"0000\\Root\\Flatbed";

}  // namespace

const char* ModeName(Mode m) {
  switch (m) {
    case Mode::Adjust: return "brightness 200";
    case Mode::Count: return "0/0";
    case Mode::Straight: return "no filter";
    case Mode::Floor: return "no filter, sized";
  }
  return "?";
}

bool LoadFilter(const std::wstring& path, const char* label, FilterLibrary* library) {
  if (!library->Load(path)) {
    std::printf("%ls or its DllGetClassObject was not found\n", path.c_str());
    return false;
  }
  wchar_t loaded[MAX_PATH];
  const DWORD n = GetModuleFileNameW(library->get(), loaded, MAX_PATH);
  std::printf("%s: %ls\n", label, n > 0 && n < MAX_PATH ? loaded : path.c_str());
  return true;
}

std::vector<DriverPage> DriverPages(const PageSpec& page) {
  std::vector<DriverPage> pages;
  pages.push_back(DriverPage{kItemName, kFullItemName, MakeBmpFile(page)});
  return pages;
}

Transfer::Transfer(const FilterLibrary& library, const std::vector<DriverPage>& pages, Mode mode,
                   const std::wstring& folder, ULONG piece)
    : library_(library), pages_(pages), mode_(mode), folder_(folder) {
  options_.pieceSize = piece;
}

HRESULT Transfer::Prepare() {
  Finish();
  const LONG brightness = mode_ == Mode::Adjust ? 200 : 0;
  item_ = ComRef<FakeWiaItem>::adopt(FakeWiaItem::Create(published::Ids().categoryFlatbed));
  auto child = ComRef<FakeWiaItem>::adopt(FakeWiaItem::Create(published::Ids().categoryFlatbed));
  application_ = ComRef<FakeApplication>::adopt(FakeApplication::Create(folder_));
  if (!item_ || !child || !application_) return E_OUTOFMEMORY;
  child->SetLong(published::BrightnessProperty, brightness);
  child->SetLong(published::ContrastProperty, 0);
  child->SetGuid(published::FormatProperty, published::Ids().formatBmp);
  item_->AddChild(kFullItemName, child.get());
  if (mode_ == Mode::Floor && folder_.empty()) {
    const ULONGLONG bytes = pages_[0].bytes.size();
    application_->MakeStreamsWith([bytes](IStream** stream) {
      ComRef<IStream> memory;
      HRESULT hr = CreateStreamOnHGlobal(nullptr, TRUE, memory.put());
      ULARGE_INTEGER size;
      size.QuadPart = bytes;
      if (SUCCEEDED(hr)) hr = memory->SetSize(size);
      if (SUCCEEDED(hr)) *stream = memory.release();
      return hr;
    });
  }
  if (mode_ == Mode::Straight || mode_ == Mode::Floor) {
    service_ = ComRef<IWiaTransferCallback>::copy(application_.get());
    return S_OK;
  }
  HRESULT hr = library_.CreateFilter(filter_.put());
  if (FAILED(hr)) return hr;
  hr = filter_->InitializeFilter(item_.get(), application_.get());
  if (FAILED(hr)) return hr;
  return filter_->QueryInterface(published::Ids().transferCallback,
                                 reinterpret_cast<void**>(service_.put()));
}

HRESULT Transfer::Run() {
  const DriverReport report = PlayDriver(service_.get(), pages_, options_);
  if (FAILED(report.result)) return report.result;
  // The application must hold the page (adjusted or not) and, through the
  // filter, have been told its size at the end of the stream.
  if (application_->Pages().size() != pages_.size()) return E_FAIL;
  ULONG64 size = 0;
  const HRESULT hr = StreamSize(application_->Pages()[0].stream.get(), &size);
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

void Transfer::Finish() {
  service_.reset();
  filter_.reset();
  if (application_) application_->ReleasePages();
  application_.reset();
  item_.reset();
}

}  // namespace bench
