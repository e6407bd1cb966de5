#include "fake_stream.h"

#include <new>

FakeStream* FakeStream::Create() {
  FakeStream* stream = new (std::nothrow) FakeStream();
  if (!stream) return nullptr;
  if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, stream->inner_.put()))) {
    stream->Release();
    return nullptr;
  }
  return stream;
}

std::vector<BYTE> FakeStream::Contents() const { return ReadWholeStream(inner_.get()); }

HRESULT STDMETHODCALLTYPE FakeStream::QueryInterface(REFIID riid, void** ppvObject) {
  if (!ppvObject) return E_POINTER;
  *ppvObject = nullptr;
  if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IStream) &&
      !IsEqualIID(riid, IID_ISequentialStream)) {
    return E_NOINTERFACE;
  }
  *ppvObject = static_cast<IStream*>(this);
  AddRef();
  return S_OK;
}

HRESULT STDMETHODCALLTYPE FakeStream::Read(void* pv, ULONG cb, ULONG* pcbRead) {
  return inner_->Read(pv, cb, pcbRead);
}

HRESULT STDMETHODCALLTYPE FakeStream::Write(const void* pv, ULONG cb, ULONG* pcbWritten) {
  const int index = writes_++;
  if (index == failWriteIndex_) {
    ULONG kept = 0;
    if (failWriteKeep_ > 0) inner_->Write(pv, failWriteKeep_ < cb ? failWriteKeep_ : cb, &kept);
    if (pcbWritten) *pcbWritten = kept;
    return failWriteResult_;
  }
  ULARGE_INTEGER position = {};
  STATSTG stat = {};
  const LARGE_INTEGER zero = {};
  if (SUCCEEDED(inner_->Seek(zero, STREAM_SEEK_CUR, &position)) &&
      SUCCEEDED(inner_->Stat(&stat, STATFLAG_NONAME)) &&
      position.QuadPart + cb > stat.cbSize.QuadPart) {
    ++growths_;
  }
  return inner_->Write(pv, cb, pcbWritten);
}

HRESULT STDMETHODCALLTYPE FakeStream::Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin,
                                           ULARGE_INTEGER* plibNewPosition) {
  return inner_->Seek(dlibMove, dwOrigin, plibNewPosition);
}

HRESULT STDMETHODCALLTYPE FakeStream::SetSize(ULARGE_INTEGER libNewSize) {
  if (setSizeAnswer_ != S_OK) return setSizeAnswer_;
  return inner_->SetSize(libNewSize);
}

HRESULT STDMETHODCALLTYPE FakeStream::CopyTo(IStream* pstm, ULARGE_INTEGER cb,
                                             ULARGE_INTEGER* pcbRead, ULARGE_INTEGER* pcbWritten) {
  return inner_->CopyTo(pstm, cb, pcbRead, pcbWritten);
}

HRESULT STDMETHODCALLTYPE FakeStream::Commit(DWORD grfCommitFlags) {
  return inner_->Commit(grfCommitFlags);
}

HRESULT STDMETHODCALLTYPE FakeStream::Revert() { return inner_->Revert(); }

HRESULT STDMETHODCALLTYPE FakeStream::LockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb,
                                                 DWORD dwLockType) {
  return inner_->LockRegion(libOffset, cb, dwLockType);
}

HRESULT STDMETHODCALLTYPE FakeStream::UnlockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb,
                                                   DWORD dwLockType) {
  return inner_->UnlockRegion(libOffset, cb, dwLockType);
}

HRESULT STDMETHODCALLTYPE FakeStream::Stat(STATSTG* pstatstg, DWORD grfStatFlag) {
  return inner_->Stat(pstatstg, grfStatFlag);
}

HRESULT STDMETHODCALLTYPE FakeStream::Clone(IStream** ppstm) { return inner_->Clone(ppstm); }

std::vector<BYTE> ReadWholeStream(IStream* stream) {
  std::vector<BYTE> bytes;
  if (!stream) return bytes;
  ULARGE_INTEGER position = {};
  const LARGE_INTEGER zero = {};
  if (FAILED(stream->Seek(zero, STREAM_SEEK_CUR, &position))) return bytes;
  STATSTG stat = {};
  if (FAILED(stream->Stat(&stat, STATFLAG_NONAME))) return bytes;
  bytes.resize(static_cast<size_t>(stat.cbSize.QuadPart));
  ULONG read = 0;
  if (SUCCEEDED(stream->Seek(zero, STREAM_SEEK_SET, nullptr)) && !bytes.empty()) {
    stream->Read(bytes.data(), static_cast<ULONG>(bytes.size()), &read);
  }
  bytes.resize(read);
  LARGE_INTEGER back = {};
  back.QuadPart = static_cast<LONGLONG>(position.QuadPart);
  stream->Seek(back, STREAM_SEEK_SET, nullptr);
  return bytes;
}
