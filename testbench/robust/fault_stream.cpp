#include "fault_stream.h"

#include <new>

namespace robust {

FaultStream* FaultStream::Create(const void* bytes, size_t size) {
  IStream* inner = nullptr;
  if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, &inner))) return nullptr;
  ComRef<IStream> owner(inner);
  if (size > 0) {
    ULONG written = 0;
    if (FAILED(inner->Write(bytes, static_cast<ULONG>(size), &written)) || written != size)
      return nullptr;
  }
  FaultStream* stream = new (std::nothrow) FaultStream(inner);
  if (!stream) return nullptr;
  inner->AddRef();  // the new object owns its own reference
  return stream;
}

std::vector<unsigned char> FaultStream::Contents() const {
  std::vector<unsigned char> out;
  HGLOBAL memory = nullptr;
  if (FAILED(GetHGlobalFromStream(inner_.Get(), &memory))) return out;
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
  return inner_->Read(pv, cb, pcbRead);
}

HRESULT FaultStream::Write(const void* pv, ULONG cb, ULONG* pcbWritten) {
  if (Fails("Write")) {
    if (pcbWritten) *pcbWritten = 0;
    return failure_;
  }
  return inner_->Write(pv, cb, pcbWritten);
}

HRESULT FaultStream::Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* pos) {
  if (Fails("Seek")) return failure_;
  return inner_->Seek(move, origin, pos);
}

HRESULT FaultStream::SetSize(ULARGE_INTEGER size) {
  if (Fails("SetSize")) return failure_;
  return inner_->SetSize(size);
}

HRESULT FaultStream::CopyTo(IStream* target, ULARGE_INTEGER cb, ULARGE_INTEGER* read,
                            ULARGE_INTEGER* written) {
  if (Fails("CopyTo")) return failure_;
  return inner_->CopyTo(target, cb, read, written);
}

HRESULT FaultStream::Commit(DWORD flags) {
  if (Fails("Commit")) return failure_;
  return inner_->Commit(flags);
}

HRESULT FaultStream::Revert() {
  if (Fails("Revert")) return failure_;
  return inner_->Revert();
}

HRESULT FaultStream::LockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER cb, DWORD type) {
  if (Fails("LockRegion")) return failure_;
  return inner_->LockRegion(offset, cb, type);
}

HRESULT FaultStream::UnlockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER cb, DWORD type) {
  if (Fails("UnlockRegion")) return failure_;
  return inner_->UnlockRegion(offset, cb, type);
}

HRESULT FaultStream::Stat(STATSTG* stat, DWORD flags) {
  if (Fails("Stat")) return failure_;
  return inner_->Stat(stat, flags);
}

HRESULT FaultStream::Clone(IStream** out) {
  if (Fails("Clone")) {
    if (out) *out = nullptr;
    return failure_;
  }
  return inner_->Clone(out);
}

}  // namespace robust
