#include "fake_application.h"

#include <shlwapi.h>

#include <new>

#include "fake_stream.h"

FakeApplication* FakeApplication::Create(const std::wstring& folder) {
  FakeApplication* application = new (std::nothrow) FakeApplication();
  if (application) application->folder_ = folder;
  return application;
}

std::vector<BYTE> FakeApplication::PageBytes(size_t index) const {
  if (index >= pages_.size()) return {};
  return ReadWholeStream(pages_[index].stream.get());
}

HRESULT STDMETHODCALLTYPE FakeApplication::QueryInterface(REFIID riid, void** ppvObject) {
  if (!ppvObject) return E_POINTER;
  *ppvObject = nullptr;
  if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IWiaTransferCallback)) {
    return E_NOINTERFACE;
  }
  *ppvObject = static_cast<IWiaTransferCallback*>(this);
  AddRef();
  return S_OK;
}

HRESULT STDMETHODCALLTYPE FakeApplication::TransferCallback(
    LONG lFlags, WiaTransferParams* pWiaTransferParams) {
  if (!pWiaTransferParams) return E_INVALIDARG;
  const int index = static_cast<int>(messages_.size());
  const HRESULT answer = index == messageIndex_ ? messageResult_ : S_OK;
  messages_.push_back({lFlags, *pWiaTransferParams, answer});
  return answer;
}

HRESULT FakeApplication::OpenStream(std::wstring* path, IStream** stream) {
  if (folder_.empty()) return CreateStreamOnHGlobal(nullptr, TRUE, stream);
  *path = folder_ + L"\\page" + std::to_wstring(pages_.size() + 1) + L".bmp";
  return SHCreateStreamOnFileEx(path->c_str(),
                                STGM_CREATE | STGM_READWRITE | STGM_SHARE_DENY_WRITE,
                                FILE_ATTRIBUTE_NORMAL, TRUE, nullptr, stream);
}

HRESULT STDMETHODCALLTYPE FakeApplication::GetNextStream(LONG lFlags, BSTR bstrItemName,
                                                         BSTR bstrFullItemName,
                                                         IStream** ppDestination) {
  if (!bstrItemName || !bstrFullItemName || !ppDestination) return E_INVALIDARG;
  *ppDestination = nullptr;
  const int index = nextStreamCalls_++;
  nextStreamFlags_.push_back(lFlags);
  const bool special = index == nextStreamIndex_;
  if (special && !nextStreamWithStream_) return nextStreamResult_;

  ReceivedPage page{bstrItemName, bstrFullItemName, std::wstring(), ComRef<IStream>()};
  const HRESULT hr = OpenStream(&page.path, page.stream.put());
  if (FAILED(hr)) return hr;
  *ppDestination = page.stream.get();
  (*ppDestination)->AddRef();
  pages_.push_back(std::move(page));
  return special ? nextStreamResult_ : S_OK;
}
