// An IStream that forwards to a real memory stream and can fail its k-th
// call with a chosen HRESULT, for fault injection. It counts its own
// references so a test can see that every reference it handed out came back.
#pragma once

#include <windows.h>
#include <objidl.h>

#include <string>
#include <vector>

#include "com_ref.h"

namespace robust {

class FaultStream final : public IStream {
 public:
  // Creates a stream holding `bytes`, positioned at their end (as a driver
  // leaves it after writing a page), over a memory stream of the platform
  // (CreateStreamOnHGlobal). Returns null if that cannot be made.
  static FaultStream* Create(const void* bytes, size_t size);
  // Creates an empty stream over a growable buffer of its own. The
  // platform's memory stream reallocates on every Write, which makes a page
  // written row by row quadratic in its height; an application's stream
  // need not be like that.
  static FaultStream* CreateGrowable();

  // Fail the k-th call (1-based, counted over every IStream method except
  // the IUnknown ones) with `failure`; 0 disables.
  void FailCall(unsigned k, HRESULT failure) {
    failAt_ = k;
    failure_ = failure;
  }
  unsigned Calls() const { return calls_; }
  // The method name of each call so far, in order.
  const std::vector<const char*>& CallLog() const { return log_; }
  // Name of the call that was failed, or null if none was.
  const char* FailedCall() const { return failedCall_; }
  LONG Refs() const { return refs_; }
  // Reads that started past the stream's end. Wine's memory stream reads
  // out of bounds there (and crashes far past the end); Windows reads
  // nothing. This stream records each such read and reads nothing.
  unsigned ReadsPastEnd() const { return readsPastEnd_; }
  // The whole content of the inner stream.
  std::vector<unsigned char> Contents() const;

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  // ISequentialStream
  HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* pcbRead) override;
  HRESULT STDMETHODCALLTYPE Write(const void* pv, ULONG cb, ULONG* pcbWritten) override;
  // IStream
  HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* pos) override;
  HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER size) override;
  HRESULT STDMETHODCALLTYPE CopyTo(IStream* target, ULARGE_INTEGER cb, ULARGE_INTEGER* read,
                                   ULARGE_INTEGER* written) override;
  HRESULT STDMETHODCALLTYPE Commit(DWORD flags) override;
  HRESULT STDMETHODCALLTYPE Revert() override;
  HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER cb,
                                       DWORD type) override;
  HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER cb,
                                         DWORD type) override;
  HRESULT STDMETHODCALLTYPE Stat(STATSTG* stat, DWORD flags) override;
  HRESULT STDMETHODCALLTYPE Clone(IStream** out) override;

 private:
  explicit FaultStream(IStream* inner) : inner_(::ComRef<IStream>::adopt(inner)) {}
  FaultStream() = default;
  ~FaultStream() = default;
  // Counts a call; true when this call is the one to fail.
  bool Fails(const char* name);

  ::ComRef<IStream> inner_;
  LONG refs_ = 1;
  unsigned calls_ = 0;
  unsigned failAt_ = 0;
  HRESULT failure_ = S_OK;
  const char* failedCall_ = nullptr;
  unsigned readsPastEnd_ = 0;
  // The growable buffer, when there is no inner stream.
  std::vector<unsigned char> buffer_;
  ULONGLONG position_ = 0;
  std::vector<const char*> log_;
};

}  // namespace robust
