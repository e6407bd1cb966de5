#include "fault_stream.h"

#include <cstring>
#include <new>

namespace robust {

FaultStream* FaultStream::Create(const void* bytes, size_t size) {
  IStream* inner = nullptr;
  if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, &inner))) return nullptr;
  auto owner = ::ComRef<IStream>::adopt(inner);
  if (size > 0) {
    ULONG written = 0;
    if (FAILED(inner->Write(bytes, static_cast<ULONG>(size), &written)) || written != size)
      return nullptr;
  }
  FaultStream* stream = new (std::nothrow) FaultStream(inner);
  if (!stream) return nullptr;
  owner.release();  // the new object owns that reference now
  return stream;
}

FaultStream* FaultStream::CreateGrowable() { return new (std::nothrow) FaultStream(); }

std::vector<unsigned char> FaultStream::Contents() const {
  if (!inner_) return buffer_;
  std::vector<unsigned char> out;
  HGLOBAL memory = nullptr;
  if (FAILED(GetHGlobalFromStream(inner_.get(), &memory))) return out;
  STATSTG stat = {};
  if (FAILED(inner_->Stat(&stat, STATFLAG_NONAME))) return out;
  const size_t size = static_cast<size_t>(stat.cbSize.QuadPart);
  const unsigned char* p = static_cast<const unsigned char*>(GlobalLock(memory));
  if (p) {
    out.assign(p, p + size);
    GlobalUnlock(memory);
  }
  return out;
}

bool FaultStream::Fails(const char* name) {
  ++calls_;
  log_.push_back(name);
  if (failAt_ != 0 && calls_ == failAt_) {
    failedCall_ = name;
    return true;
  }
  return false;
}

HRESULT FaultStream::QueryInterface(REFIID riid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (riid == IID_IUnknown || riid == IID_IStream || riid == IID_ISequentialStream) {
    *out = static_cast<IStream*>(this);
    AddRef();
    return S_OK;
  }
  return E_NOINTERFACE;
}

ULONG FaultStream::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }

ULONG FaultStream::Release() {
  const LONG left = InterlockedDecrement(&refs_);
  if (left == 0) delete this;
  return static_cast<ULONG>(left);
}

HRESULT FaultStream::Read(void* pv, ULONG cb, ULONG* pcbRead) {
  if (Fails("Read")) {
    if (pcbRead) *pcbRead = 0;
    return failure_;
  }
  if (!inner_) {
    const ULONGLONG available = position_ < buffer_.size() ? buffer_.size() - position_ : 0;
    const ULONG n = static_cast<ULONG>(available < cb ? available : cb);
    if (position_ > buffer_.size()) ++readsPastEnd_;
    if (n) std::memcpy(pv, buffer_.data() + position_, n);
    position_ += n;
    if (pcbRead) *pcbRead = n;
    return S_OK;
  }
  LARGE_INTEGER zero = {};
  ULARGE_INTEGER position = {};
  STATSTG stat = {};
  if (SUCCEEDED(inner_->Seek(zero, STREAM_SEEK_CUR, &position)) &&
      SUCCEEDED(inner_->Stat(&stat, STATFLAG_NONAME)) && position.QuadPart > stat.cbSize.QuadPart) {
    ++readsPastEnd_;
    if (pcbRead) *pcbRead = 0;
    return S_OK;
  }
  return inner_->Read(pv, cb, pcbRead);
}

HRESULT FaultStream::Write(const void* pv, ULONG cb, ULONG* pcbWritten) {
  if (Fails("Write")) {
    if (pcbWritten) *pcbWritten = 0;
    return failure_;
  }
  if (!inner_) {
    const ULONGLONG end = position_ + cb;
    if (end > 0x7FFFFFFFull) return STG_E_MEDIUMFULL;
    if (end > buffer_.size()) buffer_.resize(static_cast<size_t>(end));
    if (cb) std::memcpy(buffer_.data() + position_, pv, cb);
    position_ = end;
    if (pcbWritten) *pcbWritten = cb;
    return S_OK;
  }
  return inner_->Write(pv, cb, pcbWritten);
}

HRESULT FaultStream::Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* pos) {
  if (Fails("Seek")) return failure_;
  if (!inner_) {
    LONGLONG base = origin == STREAM_SEEK_SET   ? 0
                    : origin == STREAM_SEEK_CUR ? static_cast<LONGLONG>(position_)
                    : origin == STREAM_SEEK_END ? static_cast<LONGLONG>(buffer_.size())
                                                : -1;
    if (base < 0) return STG_E_INVALIDFUNCTION;
    const LONGLONG target = base + move.QuadPart;
    if (target < 0) return STG_E_INVALIDFUNCTION;
    position_ = static_cast<ULONGLONG>(target);
    if (pos) pos->QuadPart = position_;
    return S_OK;
  }
  return inner_->Seek(move, origin, pos);
}

HRESULT FaultStream::SetSize(ULARGE_INTEGER size) {
  if (Fails("SetSize")) return failure_;
  if (!inner_) {
    if (size.QuadPart > 0x7FFFFFFFull) return STG_E_MEDIUMFULL;
    buffer_.resize(static_cast<size_t>(size.QuadPart));
    return S_OK;
  }
  return inner_->SetSize(size);
}

HRESULT FaultStream::CopyTo(IStream* target, ULARGE_INTEGER cb, ULARGE_INTEGER* read,
                            ULARGE_INTEGER* written) {
  if (Fails("CopyTo")) return failure_;
  if (!inner_) return STG_E_INVALIDFUNCTION;
  return inner_->CopyTo(target, cb, read, written);
}

HRESULT FaultStream::Commit(DWORD flags) {
  if (Fails("Commit")) return failure_;
  if (!inner_) return S_OK;
  return inner_->Commit(flags);
}

HRESULT FaultStream::Revert() {
  if (Fails("Revert")) return failure_;
  if (!inner_) return S_OK;
  return inner_->Revert();
}

HRESULT FaultStream::LockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER cb, DWORD type) {
  if (Fails("LockRegion")) return failure_;
  if (!inner_) return STG_E_INVALIDFUNCTION;
  return inner_->LockRegion(offset, cb, type);
}

HRESULT FaultStream::UnlockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER cb, DWORD type) {
  if (Fails("UnlockRegion")) return failure_;
  if (!inner_) return STG_E_INVALIDFUNCTION;
  return inner_->UnlockRegion(offset, cb, type);
}

HRESULT FaultStream::Stat(STATSTG* stat, DWORD flags) {
  if (Fails("Stat")) return failure_;
  if (!inner_) {
    if (!stat) return STG_E_INVALIDPOINTER;
    *stat = STATSTG{};
    stat->type = STGTY_STREAM;
    stat->cbSize.QuadPart = buffer_.size();
    return S_OK;
  }
  return inner_->Stat(stat, flags);
}

HRESULT FaultStream::Clone(IStream** out) {
  if (Fails("Clone")) {
    if (out) *out = nullptr;
    return failure_;
  }
  if (!inner_) {
    if (out) *out = nullptr;
    return STG_E_INVALIDFUNCTION;
  }
  return inner_->Clone(out);
}

}  // namespace robust
