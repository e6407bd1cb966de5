#include "bounded_stream.h"

#include <new>

#include "module.h"

HRESULT BoundedStream::Create(IStream* page, BoundedStream** wrapper) {
  if (!page || !wrapper) return E_INVALIDARG;
  *wrapper = nullptr;
  STATSTG stat = {};
  const HRESULT hr = page->Stat(&stat, STATFLAG_NONAME);
  if (FAILED(hr)) return hr;
  BoundedStream* created = new (std::nothrow) BoundedStream(page, stat.cbSize.QuadPart);
  if (!created) return E_OUTOFMEMORY;
  *wrapper = created;
  return S_OK;
}

BoundedStream::BoundedStream(IStream* page, ULONGLONG size) : page_(page), size_(size) {
  page_->AddRef();
  AddRef();  // the creator's reference
}

BoundedStream::~BoundedStream() { Detach(); }

void BoundedStream::Detach() {
  if (page_) {
    page_->Release();
    page_ = nullptr;
  }
}

HRESULT STDMETHODCALLTYPE BoundedStream::QueryInterface(REFIID riid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IStream) ||
      IsEqualIID(riid, IID_ISequentialStream)) {
    *object = static_cast<IStream*>(this);
    AddRef();
    return S_OK;
  }
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE BoundedStream::AddRef() {
  if (references_ == 0) ModuleAddRef();
  return static_cast<ULONG>(InterlockedIncrement(&references_));
}

ULONG STDMETHODCALLTYPE BoundedStream::Release() {
  const LONG left = InterlockedDecrement(&references_);
  if (left == 0) {
    delete this;
    ModuleRelease();
  }
  return static_cast<ULONG>(left);
}

HRESULT STDMETHODCALLTYPE BoundedStream::Read(void* buffer, ULONG size, ULONG* read) {
  if (!page_) {
    if (read) *read = 0;
    return E_UNEXPECTED;
  }
  if (positionKnown_ && position_ >= size_) {
    if (read) *read = 0;
    return S_OK;
  }
  ULONG count = 0;
  const HRESULT hr = page_->Read(buffer, size, &count);
  if (read) *read = count;
  if (SUCCEEDED(hr)) position_ += count;
  return hr;
}

HRESULT STDMETHODCALLTYPE BoundedStream::Seek(LARGE_INTEGER move, DWORD origin,
                                              ULARGE_INTEGER* position) {
  if (!page_) {
    if (position) position->QuadPart = 0;
    return E_UNEXPECTED;
  }
  ULARGE_INTEGER reached = {};
  const HRESULT hr = page_->Seek(move, origin, &reached);
  if (SUCCEEDED(hr)) {
    position_ = reached.QuadPart;
    positionKnown_ = true;
  }
  if (position) *position = reached;
  return hr;
}

// The page is lent for reading only.
HRESULT STDMETHODCALLTYPE BoundedStream::Write(const void*, ULONG, ULONG* written) {
  if (written) *written = 0;
  return STG_E_ACCESSDENIED;
}

HRESULT STDMETHODCALLTYPE BoundedStream::SetSize(ULARGE_INTEGER) { return STG_E_ACCESSDENIED; }

HRESULT STDMETHODCALLTYPE BoundedStream::CopyTo(IStream* target, ULARGE_INTEGER size,
                                                ULARGE_INTEGER* read, ULARGE_INTEGER* written) {
  // Copying starts at the current position too; past the end nothing is copied.
  if (!page_ || (positionKnown_ && position_ >= size_)) {
    if (read) read->QuadPart = 0;
    if (written) written->QuadPart = 0;
    return page_ ? S_OK : E_UNEXPECTED;
  }
  positionKnown_ = false;
  return page_->CopyTo(target, size, read, written);
}

HRESULT STDMETHODCALLTYPE BoundedStream::Commit(DWORD flags) {
  return page_ ? page_->Commit(flags) : E_UNEXPECTED;
}

HRESULT STDMETHODCALLTYPE BoundedStream::Revert() { return page_ ? page_->Revert() : E_UNEXPECTED; }

HRESULT STDMETHODCALLTYPE BoundedStream::LockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER size,
                                                    DWORD type) {
  return page_ ? page_->LockRegion(offset, size, type) : E_UNEXPECTED;
}

HRESULT STDMETHODCALLTYPE BoundedStream::UnlockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER size,
                                                      DWORD type) {
  return page_ ? page_->UnlockRegion(offset, size, type) : E_UNEXPECTED;
}

HRESULT STDMETHODCALLTYPE BoundedStream::Stat(STATSTG* stat, DWORD flags) {
  if (!page_) {
    if (stat) *stat = STATSTG();
    return E_UNEXPECTED;
  }
  return page_->Stat(stat, flags);
}

HRESULT STDMETHODCALLTYPE BoundedStream::Clone(IStream** clone) {
  // A clone would escape the bounds and outlive the loan.
  if (clone) *clone = nullptr;
  return E_NOTIMPL;
}
