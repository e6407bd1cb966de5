// CountingStream: passes every call to the application's stream and adds up
// the bytes its writes report, so that the end of a page can tell the
// application how much of the adjusted page reached it.
#pragma once

#include <windows.h>
#include <objidl.h>

#include "com_ref.h"

// Only the filter and its filter stream hold it, and both count in
// ModuleLockCount for as long as they do, so it does not count itself.
class CountingStream final : public IStream {
 public:
  // With one reference, owned by the caller; null when out of memory.
  static CountingStream* Create(IStream* target);
  CountingStream(const CountingStream&) = delete;
  CountingStream& operator=(const CountingStream&) = delete;

  // The sum of the counts every Write reported, failed writes included (a
  // write that fails part-way reports what it did write); a count above the
  // bytes offered is taken as the bytes offered. The writers of an adjusted
  // page write once from position 0, so this is how much of it arrived.
  ULONG64 BytesWritten() const { return written_; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* pcbRead) override;
  HRESULT STDMETHODCALLTYPE Write(const void* pv, ULONG cb, ULONG* pcbWritten) override;
  HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin,
                                 ULARGE_INTEGER* plibNewPosition) override;
  HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER libNewSize) override;
  HRESULT STDMETHODCALLTYPE CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead,
                                   ULARGE_INTEGER* pcbWritten) override;
  HRESULT STDMETHODCALLTYPE Commit(DWORD grfCommitFlags) override;
  HRESULT STDMETHODCALLTYPE Revert() override;
  HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb,
                                       DWORD dwLockType) override;
  HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb,
                                         DWORD dwLockType) override;
  HRESULT STDMETHODCALLTYPE Stat(STATSTG* pstatstg, DWORD grfStatFlag) override;
  HRESULT STDMETHODCALLTYPE Clone(IStream** ppstm) override;

 private:
  explicit CountingStream(IStream* target) : target_(ComRef<IStream>::copy(target)) {}
  ~CountingStream() = default;

  ComRef<IStream> target_;
  ULONG64 written_ = 0;
  LONG refCount_ = 1;
};
