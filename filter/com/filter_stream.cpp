#include "filter_stream.h"

#include "../adjust/adjust.h"
#include "module.h"
#include "page_buffer_stream.h"

ZelFilterStream::ZelFilterStream() { AddRef(); }

ZelFilterStream::~ZelFilterStream() { ReleaseStreams(); }

HRESULT STDMETHODCALLTYPE ZelFilterStream::QueryInterface(REFIID riid, void** ppvObject) {
  return QueryStreamInterface(this, riid, ppvObject);
}

ULONG STDMETHODCALLTYPE ZelFilterStream::AddRef() {
  if (refCount_ == 0) ModuleAddRef();
  return static_cast<ULONG>(InterlockedIncrement(&refCount_));
}

ULONG STDMETHODCALLTYPE ZelFilterStream::Release() {
  const LONG count = InterlockedDecrement(&refCount_);
  if (count == 0) {
    delete this;
    ModuleRelease();
  }
  return static_cast<ULONG>(count);
}

HRESULT STDMETHODCALLTYPE ZelFilterStream::Read(void* pv, ULONG cb, ULONG* pcbRead) {
  if (!working_) {
    if (pcbRead) *pcbRead = 0;
    return E_POINTER;
  }
  return working_->Read(pv, cb, pcbRead);
}

HRESULT STDMETHODCALLTYPE ZelFilterStream::Write(const void* pv, ULONG cb, ULONG* pcbWritten) {
  if (!working_) {
    if (pcbWritten) *pcbWritten = 0;
    return E_POINTER;
  }
  // The caller may pass no count pointer; the count is then taken through one
  // of our own, so every successful write is counted.
  ULONG written = 0;
  ULONG* count = pcbWritten ? pcbWritten : &written;
  const HRESULT hr = working_->Write(pv, cb, count);
  if (FAILED(hr)) {
    // A page that could not be buffered whole is not adjusted: the apply step
    // reports the first such failure instead.
    if (HasAdjustments() && SUCCEEDED(bufferFailure_)) bufferFailure_ = hr;
    return hr;
  }
  byteCount_ += static_cast<ULONG64>(*count);
  return hr;
}

HRESULT STDMETHODCALLTYPE ZelFilterStream::Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin,
                                                ULARGE_INTEGER* plibNewPosition) {
  if (!working_) {
    if (plibNewPosition) plibNewPosition->QuadPart = 0;
    return E_POINTER;
  }
  return working_->Seek(dlibMove, dwOrigin, plibNewPosition);
}

HRESULT STDMETHODCALLTYPE ZelFilterStream::SetSize(ULARGE_INTEGER libNewSize) {
  if (!working_) return E_POINTER;
  return working_->SetSize(libNewSize);
}

HRESULT STDMETHODCALLTYPE ZelFilterStream::CopyTo(IStream* pstm, ULARGE_INTEGER cb,
                                                  ULARGE_INTEGER* pcbRead,
                                                  ULARGE_INTEGER* pcbWritten) {
  if (!working_) {
    if (pcbRead) pcbRead->QuadPart = 0;
    if (pcbWritten) pcbWritten->QuadPart = 0;
    return E_POINTER;
  }
  return working_->CopyTo(pstm, cb, pcbRead, pcbWritten);
}

HRESULT STDMETHODCALLTYPE ZelFilterStream::Commit(DWORD grfCommitFlags) {
  if (!working_) return E_POINTER;
  return working_->Commit(grfCommitFlags);
}

HRESULT STDMETHODCALLTYPE ZelFilterStream::Revert() {
  if (!working_) return E_POINTER;
  return working_->Revert();
}

HRESULT STDMETHODCALLTYPE ZelFilterStream::LockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb,
                                                      DWORD dwLockType) {
  if (!working_) return E_POINTER;
  return working_->LockRegion(libOffset, cb, dwLockType);
}

HRESULT STDMETHODCALLTYPE ZelFilterStream::UnlockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb,
                                                        DWORD dwLockType) {
  if (!working_) return E_POINTER;
  return working_->UnlockRegion(libOffset, cb, dwLockType);
}

HRESULT STDMETHODCALLTYPE ZelFilterStream::Stat(STATSTG* pstatstg, DWORD grfStatFlag) {
  if (!working_) {
    if (pstatstg) *pstatstg = STATSTG();
    return E_POINTER;
  }
  return working_->Stat(pstatstg, grfStatFlag);
}

HRESULT STDMETHODCALLTYPE ZelFilterStream::Clone(IStream** ppstm) {
  if (!working_) {
    if (ppstm) *ppstm = nullptr;
    return E_POINTER;
  }
  return working_->Clone(ppstm);
}

HRESULT ZelFilterStream::Initialize(LONG brightness, LONG contrast, IStream* applicationStream) {
  if (!applicationStream) return E_INVALIDARG;
  brightness_ = brightness;
  contrast_ = contrast;
  if (!HasAdjustments()) {
    working_ = ComRef<IStream>::copy(applicationStream);
    return S_OK;
  }
  destination_ = ComRef<IStream>::copy(applicationStream);
  IStream* memory = nullptr;
  const HRESULT hr = CreatePageBufferStream(&memory);
  if (FAILED(hr)) return hr;
  working_ = ComRef<IStream>::adopt(memory);
  return hr;
}

bool ZelFilterStream::HasAdjustments() const { return brightness_ != 0 || contrast_ != 0; }

HRESULT ZelFilterStream::ApplyAdjustments() {
  if (!HasAdjustments()) return S_OK;
  // Without the memory stream (never made, or already released) there is no
  // page to adjust.
  if (!working_ || !destination_) return E_POINTER;
  if (FAILED(bufferFailure_)) return bufferFailure_;
  return AdjustImage(brightness_, contrast_, working_.get(), destination_.get(), &byteCount_, 0, 0,
                     0, 0);
}

HRESULT ZelFilterStream::ReleaseStreams() {
  destination_.reset();
  working_.reset();
  return S_OK;
}
