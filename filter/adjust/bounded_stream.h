// A stream lent to readers of the page: reads stay inside the page, and the
// page is taken back when the reading is done.
#pragma once

#include <windows.h>
#include <objidl.h>

// Wraps the page's stream for the length of one adjustment.
//
// - A Read that starts at or past the end of the page reads nothing and
//   succeeds, as IStream promises; some memory streams instead copy from
//   beyond their block when positioned past the end.
// - Detach() lets go of the page. A reader that kept a reference to the
//   wrapper beyond its use (a failed decode may) then holds only the wrapper,
//   whose calls fail with E_UNEXPECTED and still set every out-parameter
//   (counts and positions 0, an empty STATSTG), since such a reader may use
//   them without looking at the result.
// - Like every object the library hands out, the wrapper counts in
//   ModuleLockCount while it lives, so the library stays loaded as long as
//   anyone holds it.
//
// Writing and resizing are refused: the page is lent for reading. Every other
// call is passed through unchanged, results included.
class BoundedStream final : public IStream {
 public:
  // The wrapper, with one reference owned by the caller, or an error: the
  // page's size must be known (Stat) before anything is read from it.
  static HRESULT Create(IStream* page, BoundedStream** wrapper);

  void Detach();
  // The page's size when it was lent.
  ULONGLONG Size() const { return size_; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE Read(void* buffer, ULONG size, ULONG* read) override;
  HRESULT STDMETHODCALLTYPE Write(const void* buffer, ULONG size, ULONG* written) override;
  HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin,
                                 ULARGE_INTEGER* position) override;
  HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER size) override;
  HRESULT STDMETHODCALLTYPE CopyTo(IStream* target, ULARGE_INTEGER size, ULARGE_INTEGER* read,
                                   ULARGE_INTEGER* written) override;
  HRESULT STDMETHODCALLTYPE Commit(DWORD flags) override;
  HRESULT STDMETHODCALLTYPE Revert() override;
  HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER size,
                                       DWORD type) override;
  HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER size,
                                         DWORD type) override;
  HRESULT STDMETHODCALLTYPE Stat(STATSTG* stat, DWORD flags) override;
  HRESULT STDMETHODCALLTYPE Clone(IStream** clone) override;

 private:
  BoundedStream(IStream* page, ULONGLONG size);
  ~BoundedStream();

  LONG references_ = 0;
  IStream* page_;           // one reference, until Detach
  ULONGLONG size_;          // the page's size when it was lent
  ULONGLONG position_ = 0;  // where the page stands, as far as this wrapper moved it
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
    if (stream_) {
      stream_->Detach();
      stream_->Release();
    }
  }
  HRESULT Lend(IStream* page) { return BoundedStream::Create(page, &stream_); }
  IStream* get() const { return stream_; }
  ULONGLONG size() const { return stream_ ? stream_->Size() : 0; }

 private:
  BoundedStream* stream_ = nullptr;
};
