// A stream lent to readers of the page: reads stay inside the page, and the
// page is taken back when the reading is done.
#pragma once

#include <windows.h>
#include <objidl.h>

#include <new>

#include "forwarding_stream.h"

// Wraps the page's stream for the length of one adjustment.
//
// - A Read that starts at or past the end of the page reads nothing and
//   succeeds, as IStream promises; some memory streams instead copy from
//   beyond their block when positioned past the end.
// - Detach() lets go of the page. A reader that kept a reference to the
//   wrapper beyond its use (a failed decode may) then holds a closed stream
//   (forwarding_stream.h); like every object of the library, it keeps the
//   module loaded while anyone holds it.
//
// Writing and resizing are refused: the page is lent for reading. Every other
// call is passed through unchanged, results included.
class BoundedStream final : public ForwardingStream<BoundedStream> {
 public:
  // The wrapper, with one reference owned by the caller, or an error: the
  // page's size must be known (Stat) before anything is read from it.
  static HRESULT Create(IStream* page, BoundedStream** wrapper) {
    if (!page || !wrapper) return E_INVALIDARG;
    *wrapper = nullptr;
    STATSTG stat = {};
    const HRESULT hr = page->Stat(&stat, STATFLAG_NONAME);
    if (FAILED(hr)) return hr;
    *wrapper = new (std::nothrow) BoundedStream(page, stat.cbSize.QuadPart);
    return *wrapper ? S_OK : E_OUTOFMEMORY;
  }

  void Detach() { target_.reset(); }
  // The page's size when it was lent.
  ULONGLONG Size() const { return size_; }

  HRESULT STDMETHODCALLTYPE Read(void* buffer, ULONG size, ULONG* read) override {
    if (!target_) return Closed(read);
    ULONG count = 0;
    const HRESULT hr = AtEnd() ? S_OK : target_->Read(buffer, size, &count);
    if (read) *read = count;
    if (SUCCEEDED(hr)) position_ += count;
    return hr;
  }
  HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin,
                                 ULARGE_INTEGER* position) override {
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
  // Copying starts at the current position too; past the end nothing is copied.
  HRESULT STDMETHODCALLTYPE CopyTo(IStream* target, ULARGE_INTEGER size, ULARGE_INTEGER* read,
                                   ULARGE_INTEGER* written) override {
    if (target_ && !AtEnd()) {
      positionKnown_ = false;
      return target_->CopyTo(target, size, read, written);
    }
    Closed(read);
    Closed(written);
    return target_ ? S_OK : E_POINTER;
  }
  // The page is lent for reading only.
  HRESULT STDMETHODCALLTYPE Write(const void*, ULONG, ULONG* written) override {
    if (written) *written = 0;
    return STG_E_ACCESSDENIED;
  }
  HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER) override { return STG_E_ACCESSDENIED; }
  // A clone would escape the bounds and outlive the loan.
  HRESULT STDMETHODCALLTYPE Clone(IStream** clone) override {
    if (clone) *clone = nullptr;
    return E_NOTIMPL;
  }

 private:
  friend class LibraryObject<BoundedStream>;
  BoundedStream(IStream* page, ULONGLONG size)
      : ForwardingStream(ComRef<IStream>::copy(page)), size_(size) {}
  ~BoundedStream() = default;
  // Whether the page stands at or past its end, as far as this wrapper moved it.
  bool AtEnd() const { return positionKnown_ && position_ >= size_; }

  ULONGLONG size_;
  ULONGLONG position_ = 0;
  bool positionKnown_ = false;
};
