#include "filter_stream.h"

#include <new>
#include <utility>

#include "../adjust/adjust.h"
#include "module.h"
#include "page_buffer_stream.h"

namespace {

// A clone of the filter stream: a position of its own in the working stream
// (through the working stream's own clone), while its writes are counted and
// their failures remembered by the filter stream it came from, so that what
// the application is told covers every byte the page got. Once the filter
// stream has let go of its inner streams, the clone has nothing to work on
// either. It holds a reference to the filter stream, which counts in
// ModuleLockCount for it.
class FilterStreamClone final : public IStream {
 public:
  static HRESULT Create(ZelFilterStream* owner, IStream* working, IStream** clone) {
    ComRef<IStream> inner;
    const HRESULT hr = working->Clone(inner.put());
    if (FAILED(hr)) return hr;
    if (!inner) return E_UNEXPECTED;
    FilterStreamClone* created = new (std::nothrow) FilterStreamClone(owner, std::move(inner));
    if (!created) return E_OUTOFMEMORY;
    *clone = created;
    return S_OK;
  }
  FilterStreamClone(const FilterStreamClone&) = delete;
  FilterStreamClone& operator=(const FilterStreamClone&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override {
    return QueryInterfaceFrom(
        {{&IID_IUnknown, this}, {&IID_ISequentialStream, this}, {&IID_IStream, this}}, riid,
        ppvObject);
  }
  ULONG STDMETHODCALLTYPE AddRef() override {
    return static_cast<ULONG>(InterlockedIncrement(&refCount_));
  }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG count = InterlockedDecrement(&refCount_);
    if (count == 0) delete this;
    return static_cast<ULONG>(count);
  }
  HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* pcbRead) override {
    if (!Open()) {
      if (pcbRead) *pcbRead = 0;
      return E_POINTER;
    }
    return working_->Read(pv, cb, pcbRead);
  }
  HRESULT STDMETHODCALLTYPE Write(const void* pv, ULONG cb, ULONG* pcbWritten) override {
    if (!Open()) {
      if (pcbWritten) *pcbWritten = 0;
      return E_POINTER;
    }
    return owner_->CountedWrite(working_.get(), pv, cb, pcbWritten);
  }
  HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin,
                                 ULARGE_INTEGER* plibNewPosition) override {
    if (!Open()) {
      if (plibNewPosition) plibNewPosition->QuadPart = 0;
      return E_POINTER;
    }
    return working_->Seek(dlibMove, dwOrigin, plibNewPosition);
  }
  HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER libNewSize) override {
    return Open() ? working_->SetSize(libNewSize) : E_POINTER;
  }
  HRESULT STDMETHODCALLTYPE CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead,
                                   ULARGE_INTEGER* pcbWritten) override {
    if (!Open()) {
      if (pcbRead) pcbRead->QuadPart = 0;
      if (pcbWritten) pcbWritten->QuadPart = 0;
      return E_POINTER;
    }
    return working_->CopyTo(pstm, cb, pcbRead, pcbWritten);
  }
  HRESULT STDMETHODCALLTYPE Commit(DWORD grfCommitFlags) override {
    return Open() ? working_->Commit(grfCommitFlags) : E_POINTER;
  }
  HRESULT STDMETHODCALLTYPE Revert() override { return Open() ? working_->Revert() : E_POINTER; }
  HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb,
                                       DWORD dwLockType) override {
    return Open() ? working_->LockRegion(libOffset, cb, dwLockType) : E_POINTER;
  }
  HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb,
                                         DWORD dwLockType) override {
    return Open() ? working_->UnlockRegion(libOffset, cb, dwLockType) : E_POINTER;
  }
  HRESULT STDMETHODCALLTYPE Stat(STATSTG* pstatstg, DWORD grfStatFlag) override {
    if (!Open()) {
      if (pstatstg) *pstatstg = STATSTG();
      return E_POINTER;
    }
    return working_->Stat(pstatstg, grfStatFlag);
  }
  HRESULT STDMETHODCALLTYPE Clone(IStream** ppstm) override {
    if (!ppstm) return E_POINTER;
    *ppstm = nullptr;
    return Open() ? Create(owner_.get(), working_.get(), ppstm) : E_POINTER;
  }

 private:
  FilterStreamClone(ZelFilterStream* owner, ComRef<IStream> working)
      : owner_(ComRef<ZelFilterStream>::copy(owner)), working_(std::move(working)) {}
  ~FilterStreamClone() = default;

  // Lets go of the working stream's clone as soon as the filter stream has
  // let go of the working stream.
  bool Open() {
    if (!owner_->HoldsStreams()) working_.reset();
    return static_cast<bool>(working_);
  }

  ComRef<ZelFilterStream> owner_;
  ComRef<IStream> working_;  // the working stream's own clone
  LONG refCount_ = 1;
};

}  // namespace

ZelFilterStream::ZelFilterStream() { AddRef(); }

ZelFilterStream::~ZelFilterStream() { ReleaseStreams(); }

HRESULT STDMETHODCALLTYPE ZelFilterStream::QueryInterface(REFIID riid, void** ppvObject) {
  return QueryInterfaceFrom(
      {{&IID_IUnknown, this}, {&IID_ISequentialStream, this}, {&IID_IStream, this}}, riid,
      ppvObject);
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
  return CountedWrite(working_.get(), pv, cb, pcbWritten);
}

HRESULT ZelFilterStream::CountedWrite(IStream* target, const void* pv, ULONG cb,
                                      ULONG* pcbWritten) {
  // The caller may pass no count pointer; the count is then taken through one
  // of our own, so every write is counted.
  ULONG written = 0;
  ULONG* count = pcbWritten ? pcbWritten : &written;
  *count = 0;
  const HRESULT hr = target->Write(pv, cb, count);
  // A write that fails part-way still took the bytes it reports: they are in
  // the stream. A count above the bytes offered is taken as the bytes offered.
  byteCount_ += static_cast<ULONG64>(*count < cb ? *count : cb);
  // A page that was not taken whole is not complete: the apply step reports
  // the first such failure.
  if (FAILED(hr) && SUCCEEDED(writeFailure_)) writeFailure_ = hr;
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
  if (!ppstm) return E_POINTER;
  *ppstm = nullptr;
  if (!working_) return E_POINTER;
  return FilterStreamClone::Create(this, working_.get(), ppstm);
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
  if (!HasAdjustments()) return writeFailure_;
  // Without the memory stream (never made, or already released) there is no
  // page to adjust.
  if (!working_ || !destination_) return E_POINTER;
  if (FAILED(writeFailure_)) return writeFailure_;
  return AdjustImage(brightness_, contrast_, working_.get(), destination_.get(), &byteCount_, 0, 0,
                     0, 0);
}

HRESULT ZelFilterStream::ReleaseStreams() {
  destination_.reset();
  working_.reset();
  return S_OK;
}
