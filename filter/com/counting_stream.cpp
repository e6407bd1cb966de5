#include "counting_stream.h"

#include <new>

CountingStream* CountingStream::Create(IStream* target) {
  if (!target) return nullptr;
  return new (std::nothrow) CountingStream(target);
}

HRESULT STDMETHODCALLTYPE CountingStream::QueryInterface(REFIID riid, void** ppvObject) {
  return QueryInterfaceFrom(
      {{&IID_IUnknown, this}, {&IID_ISequentialStream, this}, {&IID_IStream, this}}, riid,
      ppvObject);
}

ULONG STDMETHODCALLTYPE CountingStream::AddRef() {
  return static_cast<ULONG>(InterlockedIncrement(&refCount_));
}

ULONG STDMETHODCALLTYPE CountingStream::Release() {
  const LONG count = InterlockedDecrement(&refCount_);
  if (count == 0) delete this;
  return static_cast<ULONG>(count);
}

HRESULT STDMETHODCALLTYPE CountingStream::Read(void* pv, ULONG cb, ULONG* pcbRead) {
  return target_->Read(pv, cb, pcbRead);
}

HRESULT STDMETHODCALLTYPE CountingStream::Write(const void* pv, ULONG cb, ULONG* pcbWritten) {
  ULONG count = 0;
  const HRESULT hr = target_->Write(pv, cb, &count);
  if (count > cb) count = cb;
  written_ += count;
  if (pcbWritten) *pcbWritten = count;
  return hr;
}

HRESULT STDMETHODCALLTYPE CountingStream::Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin,
                                               ULARGE_INTEGER* plibNewPosition) {
  return target_->Seek(dlibMove, dwOrigin, plibNewPosition);
}

HRESULT STDMETHODCALLTYPE CountingStream::SetSize(ULARGE_INTEGER libNewSize) {
  return target_->SetSize(libNewSize);
}

HRESULT STDMETHODCALLTYPE CountingStream::CopyTo(IStream* pstm, ULARGE_INTEGER cb,
                                                 ULARGE_INTEGER* pcbRead,
                                                 ULARGE_INTEGER* pcbWritten) {
  return target_->CopyTo(pstm, cb, pcbRead, pcbWritten);
}

HRESULT STDMETHODCALLTYPE CountingStream::Commit(DWORD grfCommitFlags) {
  return target_->Commit(grfCommitFlags);
}

HRESULT STDMETHODCALLTYPE CountingStream::Revert() { return target_->Revert(); }

HRESULT STDMETHODCALLTYPE CountingStream::LockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb,
                                                     DWORD dwLockType) {
  return target_->LockRegion(libOffset, cb, dwLockType);
}

HRESULT STDMETHODCALLTYPE CountingStream::UnlockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb,
                                                       DWORD dwLockType) {
  return target_->UnlockRegion(libOffset, cb, dwLockType);
}

HRESULT STDMETHODCALLTYPE CountingStream::Stat(STATSTG* pstatstg, DWORD grfStatFlag) {
  return target_->Stat(pstatstg, grfStatFlag);
}

HRESULT STDMETHODCALLTYPE CountingStream::Clone(IStream** ppstm) { return target_->Clone(ppstm); }
