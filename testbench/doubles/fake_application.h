// FakeApplication: the scanning application's transfer callback. It hands out
// a destination stream per page (a file in a chosen folder, or memory), records
// every message it receives, and can answer chosen calls with chosen results.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "com_ref.h"
#include "test_object.h"
#include "wia2.h"

struct ReceivedMessage {
  LONG flags;
  WiaTransferParams params;  // as received
  HRESULT answer;            // what the application returned
};

// "STATUS", "END_OF_STREAM", ... for a transfer message number.
const char* MessageName(LONG message);

struct ReceivedPage {
  std::wstring itemName;
  std::wstring fullItemName;
  std::wstring path;  // empty for a memory stream
  ComRef<IStream> stream;
};

class FakeApplication final : public IWiaTransferCallback, public TestObject<FakeApplication> {
 public:
  // Streams go to files "<folder>\page<N>.bmp" (N from 1) when a folder is
  // given, else to memory. Null when out of memory.
  static FakeApplication* Create(const std::wstring& folder = std::wstring());

  // GetNextStream call number `index` (0-based) answers `result`; with
  // `withStream` a stream is handed out along with it.
  void AnswerNextStream(int index, HRESULT result, bool withStream) {
    nextStreamIndex_ = index;
    nextStreamResult_ = result;
    nextStreamWithStream_ = withStream;
  }
  // Memory streams handed out from now on answer their write number `index`
  // (0-based) with `result`, taking only its first `keep` bytes.
  void FailStreamWrite(int index, HRESULT result, ULONG keep = 0) {
    failWriteIndex_ = index;
    failWriteResult_ = result;
    failWriteKeep_ = keep;
  }
  // Streams handed out from now on come from `make` (a stream of the test's
  // own, such as one that fails a chosen call) in place of those above.
  void MakeStreamsWith(std::function<HRESULT(IStream**)> make) { makeStream_ = std::move(make); }
  // TransferCallback call number `index` (0-based) answers `result`.
  void AnswerMessage(int index, HRESULT result) {
    messageIndex_ = index;
    messageResult_ = result;
  }

  // Runs `hook` at the start of every GetNextStream and TransferCallback
  // (a test's way to call the filter back from inside its call).
  void DuringCalls(std::function<void()> hook) { hook_ = std::move(hook); }
  // Prints every call and message to standard output as it arrives.
  void SetEcho(bool echo) { echo_ = echo; }
  // Seconds each page took, in order: from the application's GetNextStream to
  // its answer to that page's end-of-stream message.
  const std::vector<double>& PageSeconds() const { return pageSeconds_; }

  const std::vector<ReceivedMessage>& Messages() const { return messages_; }
  const std::vector<ReceivedPage>& Pages() const { return pages_; }
  int NextStreamCalls() const { return nextStreamCalls_; }
  std::vector<LONG> NextStreamFlags() const { return nextStreamFlags_; }
  // The bytes the application received for page `index`.
  std::vector<BYTE> PageBytes(size_t index) const;
  // Drops the application's own references to the page streams (files are
  // closed and stay on disk).
  void ReleasePages() { pages_.clear(); }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return AddRefObject(); }
  ULONG STDMETHODCALLTYPE Release() override { return ReleaseObject(); }
  HRESULT STDMETHODCALLTYPE TransferCallback(LONG lFlags,
                                             WiaTransferParams* pWiaTransferParams) override;
  HRESULT STDMETHODCALLTYPE GetNextStream(LONG lFlags, BSTR bstrItemName, BSTR bstrFullItemName,
                                          IStream** ppDestination) override;

 private:
  friend class TestObject<FakeApplication>;
  FakeApplication() { AddRefObject(); }
  HRESULT OpenStream(std::wstring* path, IStream** stream);
  HRESULT HandOutStream(int index, BSTR itemName, BSTR fullItemName, IStream** destination);

  std::wstring folder_;
  std::function<void()> hook_;
  bool echo_ = false;
  int nextStreamIndex_ = -1;
  HRESULT nextStreamResult_ = S_OK;
  bool nextStreamWithStream_ = false;
  int failWriteIndex_ = -1;
  HRESULT failWriteResult_ = S_OK;
  ULONG failWriteKeep_ = 0;
  std::function<HRESULT(IStream**)> makeStream_;
  int messageIndex_ = -1;
  HRESULT messageResult_ = S_OK;
  int nextStreamCalls_ = 0;
  std::vector<LONG> nextStreamFlags_;
  std::vector<ReceivedMessage> messages_;
  std::vector<ReceivedPage> pages_;
  LARGE_INTEGER pageStart_ = {};
  bool pageStarted_ = false;
  std::vector<double> pageSeconds_;
};

// Seconds from `start` to now, on the performance counter.
double SecondsSince(const LARGE_INTEGER& start);
