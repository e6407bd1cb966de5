#include "bounded_stream.h"

#include <new>

HRESULT BoundedStream::Create(IStream* page, BoundedStream** wrapper) {
  if (!page || !wrapper) return E_INVALIDARG;
  *wrapper = nullptr;
  STATSTG stat = {};
  const HRESULT hr = page->Stat(&stat, STATFLAG_NONAME);
  if (FAILED(hr)) return hr;
  *wrapper = new (std::nothrow) BoundedStream(page, stat.cbSize.QuadPart);
  return *wrapper ? S_OK : E_OUTOFMEMORY;
}

HRESULT STDMETHODCALLTYPE BoundedStream::Read(void* buffer, ULONG size, ULONG* read) {
  if (!target_) return Closed(read);
  if (AtEnd()) {
    if (read) *read = 0;
    return S_OK;
  }
  ULONG count = 0;
  const HRESULT hr = target_->Read(buffer, size, &count);
  if (read) *read = count;
  if (SUCCEEDED(hr)) position_ += count;
  return hr;
}

HRESULT STDMETHODCALLTYPE BoundedStream::Seek(LARGE_INTEGER move, DWORD origin,
                                              ULARGE_INTEGER* position) {
  if (!target_) return Closed(position);
  ULARGE_INTEGER reached = {};
  const HRESULT hr = target_->Seek(move, origin, &reached);
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
  if (!target_ || AtEnd()) {
    Closed(read);
    Closed(written);
    return target_ ? S_OK : E_POINTER;
  }
  positionKnown_ = false;
  return target_->CopyTo(target, size, read, written);
}

HRESULT STDMETHODCALLTYPE BoundedStream::Clone(IStream** clone) {
  // A clone would escape the bounds and outlive the loan.
  if (clone) *clone = nullptr;
  return E_NOTIMPL;
}
