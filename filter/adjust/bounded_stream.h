// A stream lent to readers of the page: reads stay inside the page, and the
// page is taken back when the reading is done.
#pragma once

#include <windows.h>
#include <objidl.h>

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
  static HRESULT Create(IStream* page, BoundedStream** wrapper);

  void Detach() { target_.reset(); }
  // The page's size when it was lent.
  ULONGLONG Size() const { return size_; }

  HRESULT STDMETHODCALLTYPE Read(void* buffer, ULONG size, ULONG* read) override;
  HRESULT STDMETHODCALLTYPE Write(const void* buffer, ULONG size, ULONG* written) override;
  HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin,
                                 ULARGE_INTEGER* position) override;
  HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER size) override;
  HRESULT STDMETHODCALLTYPE CopyTo(IStream* target, ULARGE_INTEGER size, ULARGE_INTEGER* read,
                                   ULARGE_INTEGER* written) override;
  HRESULT STDMETHODCALLTYPE Clone(IStream** clone) override;

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

// Owns one reference to a BoundedStream and detaches it from the page when it
// goes out of scope.
class LentPage {
 public:
  LentPage() = default;
  LentPage(const LentPage&) = delete;
  LentPage& operator=(const LentPage&) = delete;
  ~LentPage() {
    if (stream_) stream_->Detach();
  }
  HRESULT Lend(IStream* page) { return BoundedStream::Create(page, stream_.put()); }
  IStream* get() const { return stream_.get(); }
  ULONGLONG size() const { return stream_ ? stream_->Size() : 0; }

 private:
  ComRef<BoundedStream> stream_;
};
