#include "fake_application.h"

#include <shlwapi.h>

#include <cstdio>
#include <new>

#include "fault_stream.h"
#include "wia_published.h"

const char* MessageName(LONG message) {
  switch (message) {
    case published::MessageStatus: return "STATUS";
    case published::MessageEndOfStream: return "END_OF_STREAM";
    case published::MessageEndOfTransfer: return "END_OF_TRANSFER";
    case published::MessageDeviceStatus: return "DEVICE_STATUS";
    case published::MessageNewPage: return "NEW_PAGE";
    default: return "OTHER";
  }
}

double SecondsSince(const LARGE_INTEGER& start) {
  LARGE_INTEGER now = {};
  LARGE_INTEGER frequency = {};
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(now.QuadPart - start.QuadPart) /
         static_cast<double>(frequency.QuadPart);
}

FakeApplication* FakeApplication::Create(const std::wstring& folder) {
  FakeApplication* application = new (std::nothrow) FakeApplication();
  if (application) application->folder_ = folder;
  return application;
}

std::vector<BYTE> FakeApplication::PageBytes(size_t index) const {
  if (index >= pages_.size()) return {};
  return FaultStream::StreamBytes(pages_[index].stream.get());
}

HRESULT STDMETHODCALLTYPE FakeApplication::QueryInterface(REFIID riid, void** ppvObject) {
  return QueryInterfaceFrom({{&IID_IUnknown, this}, {&published::Ids().transferCallback, this}},
                            riid, ppvObject);
}

HRESULT STDMETHODCALLTYPE FakeApplication::TransferCallback(LONG lFlags,
                                                            WiaTransferParams* pWiaTransferParams) {
  if (!pWiaTransferParams) return E_INVALIDARG;
  if (hook_) hook_();
  const int index = static_cast<int>(messages_.size());
  const HRESULT answer = index == messageIndex_ ? messageResult_ : S_OK;
  messages_.push_back({lFlags, *pWiaTransferParams, answer});
  if (echo_) {
    std::printf(
        "application: message %d: %s percent %ld ulTransferredBytes %llu hrErrorStatus 0x%08lX "
        "-> 0x%08lX\n",
        index + 1, MessageName(pWiaTransferParams->lMessage),
        static_cast<long>(pWiaTransferParams->lPercentComplete),
        static_cast<unsigned long long>(pWiaTransferParams->ulTransferredBytes),
        static_cast<unsigned long>(pWiaTransferParams->hrErrorStatus),
        static_cast<unsigned long>(answer));
  }
  if (pWiaTransferParams->lMessage == published::MessageEndOfStream && pageStarted_) {
    pageSeconds_.push_back(SecondsSince(pageStart_));
    pageStarted_ = false;
  }
  return answer;
}

HRESULT FakeApplication::OpenStream(std::wstring* path, IStream** stream) {
  if (makeStream_) return makeStream_(stream);
  if (folder_.empty() && failWriteIndex_ >= 0) {
    ComRef<FaultStream> failing = FaultStream::Create();
    if (!failing) return E_OUTOFMEMORY;
    failing->Fail(StreamCall::Write, static_cast<unsigned>(failWriteIndex_) + 1, failWriteResult_,
                  failWriteKeep_);
    *stream = failing.release();
    return S_OK;
  }
  if (folder_.empty()) return CreateStreamOnHGlobal(nullptr, TRUE, stream);
  *path = folder_ + L"\\page" + std::to_wstring(pages_.size() + 1) + L".bmp";
  return SHCreateStreamOnFileEx(path->c_str(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_DENY_WRITE,
                                FILE_ATTRIBUTE_NORMAL, TRUE, nullptr, stream);
}

HRESULT STDMETHODCALLTYPE FakeApplication::GetNextStream(LONG lFlags, BSTR bstrItemName,
                                                         BSTR bstrFullItemName,
                                                         IStream** ppDestination) {
  if (!bstrItemName || !bstrFullItemName || !ppDestination) return E_INVALIDARG;
  if (hook_) hook_();
  QueryPerformanceCounter(&pageStart_);
  pageStarted_ = true;
  *ppDestination = nullptr;
  const int index = nextStreamCalls_++;
  nextStreamFlags_.push_back(lFlags);
  const HRESULT hr = HandOutStream(index, bstrItemName, bstrFullItemName, ppDestination);
  if (echo_) {
    std::printf("application: GetNextStream %d for \"%ls\" -> 0x%08lX%s\n", index + 1,
                bstrFullItemName, static_cast<unsigned long>(hr),
                *ppDestination ? " with a stream" : "");
  }
  return hr;
}

HRESULT FakeApplication::HandOutStream(int index, BSTR itemName, BSTR fullItemName,
                                       IStream** destination) {
  const bool special = index == nextStreamIndex_;
  if (special && !nextStreamWithStream_) return nextStreamResult_;

  ReceivedPage page{itemName, fullItemName, std::wstring(), ComRef<IStream>()};
  const HRESULT hr = OpenStream(&page.path, page.stream.put());
  if (FAILED(hr)) return hr;
  *destination = page.stream.get();
  (*destination)->AddRef();
  pages_.push_back(std::move(page));
  return special ? nextStreamResult_ : S_OK;
}
