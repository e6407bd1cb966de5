// ZelFilterStream: the stream the driver writes one page into. It counts every
// byte written and, when brightness or contrast is set, buffers the page in
// memory (a page buffer stream, page_buffer_stream.h) until the apply step
// writes the adjusted page into the application's stream.
#pragma once

#include <windows.h>
#include <objidl.h>

#include "com_ref.h"

class ZelFilterStream final : public IStream {
 public:
  // Reference count 1, owned by the creator; ModuleLockCount rises by one.
  ZelFilterStream();
  ZelFilterStream(const ZelFilterStream&) = delete;
  ZelFilterStream& operator=(const ZelFilterStream&) = delete;

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // ISequentialStream
  HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* pcbRead) override;
  HRESULT STDMETHODCALLTYPE Write(const void* pv, ULONG cb, ULONG* pcbWritten) override;

  // IStream
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

  // Called once on a fresh object. With adjustments the page is buffered in a
  // new memory stream and the application's stream becomes the destination;
  // without, the application's stream receives the writes directly.
  HRESULT Initialize(LONG brightness, LONG contrast, IStream* applicationStream);
  bool HasAdjustments() const;
  // End of the page: writes the adjusted page into the destination stream and
  // sets the byte count to its size. A page that a write failed to take whole
  // (into the buffer, or into the application's stream when there is nothing
  // to adjust) is not complete: that write's result is returned and the
  // destination is not touched. Otherwise nothing to do without adjustments.
  HRESULT ApplyAdjustments();
  // Drops both inner streams; the object and its byte count stay.
  HRESULT ReleaseStreams();
  // The sum of the bytes every write took, through this stream and its
  // clones; after a successful apply step, the adjusted file's size.
  ULONG64 ByteCount() const { return byteCount_; }

  // A write into `target` (the working stream or a clone of it), counted and
  // its failure remembered as a write through this stream is.
  HRESULT CountedWrite(IStream* target, const void* pv, ULONG cb, ULONG* pcbWritten);
  // Whether the inner streams are still held: a clone has nothing to work on
  // once they are gone.
  bool HoldsStreams() const { return static_cast<bool>(working_); }

 private:
  ~ZelFilterStream();

  ComRef<IStream> destination_;
  ComRef<IStream> working_;
  ULONG64 byteCount_ = 0;
  LONG brightness_ = 0;
  LONG contrast_ = 0;
  LONG refCount_ = 0;
  HRESULT writeFailure_ = S_OK;  // the first failed write of the page
};
