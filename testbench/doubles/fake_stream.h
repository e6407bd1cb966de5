// FakeStream: an IStream over a memory stream that can be told to fail its
// writes, for testing what a stream's callers do with failures.
#pragma once

#include <windows.h>
#include <objidl.h>

#include <vector>

#include "com_ref.h"
#include "ref_counted.h"

class FakeStream final : public IStream, public RefCounted<FakeStream> {
 public:
  // Returns a double with one reference, or null when no memory stream could
  // be made.
  static FakeStream* Create();

  // The write with this 0-based index answers `result` having taken only its
  // first `keep` bytes (none by default), and reports that count: a failure,
  // or with S_OK a short write that claims success.
  void FailWrite(int index, HRESULT result, ULONG keep = 0) {
    failWriteIndex_ = index;
    failWriteResult_ = result;
    failWriteKeep_ = keep;
  }
  // SetSize answers `result` and changes nothing, unless it is S_OK.
  void AnswerSetSize(HRESULT result) { setSizeAnswer_ = result; }
  int Writes() const { return writes_; }
  // Writes that ended past the stream's end, growing it.
  int Growths() const { return growths_; }
  // Everything the stream holds, from position 0, without moving its position.
  std::vector<BYTE> Contents() const;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
  ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }
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
  FakeStream() = default;
  ComRef<IStream> inner_;
  int writes_ = 0;
  int failWriteIndex_ = -1;
  HRESULT failWriteResult_ = S_OK;
  ULONG failWriteKeep_ = 0;
  HRESULT setSizeAnswer_ = S_OK;
  int growths_ = 0;
};

// Reads a whole stream from position 0 and leaves its position as it was.
std::vector<BYTE> ReadWholeStream(IStream* stream);
