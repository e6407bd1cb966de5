// ForwardingStream<Derived>: an IStream that passes every call to a target
// stream. A derived class overrides only the calls it treats differently,
// and may decide what the target is by defining Target() itself.
//
// Without a target (a closed stream) every call but the three of IUnknown
// fails with E_POINTER and sets its out-parameters to their empty values:
// counts and positions 0, the STATSTG zeroed, the clone null, since a caller
// may use them without looking at the result.
//
// The object answers IUnknown, ISequentialStream and IStream; its reference
// count (AddRef and Release) is the derived class's.
#pragma once

#include <windows.h>
#include <objidl.h>

#include <utility>

#include "com_ref.h"

template <typename Derived>
class ForwardingStream : public IStream {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override {
    return QueryInterfaceFrom(
        {{&IID_IUnknown, this}, {&IID_ISequentialStream, this}, {&IID_IStream, this}}, riid,
        ppvObject);
  }

  HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* pcbRead) override {
    IStream* target = Self()->Target();
    return target ? target->Read(pv, cb, pcbRead) : Closed(pcbRead);
  }
  HRESULT STDMETHODCALLTYPE Write(const void* pv, ULONG cb, ULONG* pcbWritten) override {
    IStream* target = Self()->Target();
    return target ? target->Write(pv, cb, pcbWritten) : Closed(pcbWritten);
  }
  HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin,
                                 ULARGE_INTEGER* plibNewPosition) override {
    IStream* target = Self()->Target();
    return target ? target->Seek(dlibMove, dwOrigin, plibNewPosition) : Closed(plibNewPosition);
  }
  HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER libNewSize) override {
    IStream* target = Self()->Target();
    return target ? target->SetSize(libNewSize) : E_POINTER;
  }
  HRESULT STDMETHODCALLTYPE CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead,
                                   ULARGE_INTEGER* pcbWritten) override {
    IStream* target = Self()->Target();
    if (target) return target->CopyTo(pstm, cb, pcbRead, pcbWritten);
    Closed(pcbRead);
    return Closed(pcbWritten);
  }
  HRESULT STDMETHODCALLTYPE Commit(DWORD grfCommitFlags) override {
    IStream* target = Self()->Target();
    return target ? target->Commit(grfCommitFlags) : E_POINTER;
  }
  HRESULT STDMETHODCALLTYPE Revert() override {
    IStream* target = Self()->Target();
    return target ? target->Revert() : E_POINTER;
  }
  HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb,
                                       DWORD dwLockType) override {
    IStream* target = Self()->Target();
    return target ? target->LockRegion(libOffset, cb, dwLockType) : E_POINTER;
  }
  HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb,
                                         DWORD dwLockType) override {
    IStream* target = Self()->Target();
    return target ? target->UnlockRegion(libOffset, cb, dwLockType) : E_POINTER;
  }
  HRESULT STDMETHODCALLTYPE Stat(STATSTG* pstatstg, DWORD grfStatFlag) override {
    IStream* target = Self()->Target();
    return target ? target->Stat(pstatstg, grfStatFlag) : Closed(pstatstg);
  }
  HRESULT STDMETHODCALLTYPE Clone(IStream** ppstm) override {
    IStream* target = Self()->Target();
    return target ? target->Clone(ppstm) : Closed(ppstm);
  }

  // What the calls go to; null once the stream is closed.
  IStream* Target() const { return target_.get(); }

 protected:
  ~ForwardingStream() = default;

  // Clone for a stream of the derived class's own: `make(inner)` makes the
  // clone over the target's clone `inner`, or gives null when out of memory.
  template <typename Make>
  HRESULT CloneWith(IStream** ppstm, Make make) {
    IStream* target = Self()->Target();
    if (!target) return Closed(ppstm);
    if (!ppstm) return E_POINTER;
    *ppstm = nullptr;
    ComRef<IStream> inner;
    const HRESULT hr = target->Clone(inner.put());
    if (FAILED(hr)) return hr;
    if (!inner) return E_UNEXPECTED;
    *ppstm = make(std::move(inner));
    return *ppstm ? S_OK : E_OUTOFMEMORY;
  }

  // The answer of a closed stream, with the out-parameter emptied.
  template <typename Out>
  static HRESULT Closed(Out* out) {
    if (out) *out = Out();
    return E_POINTER;
  }

  ComRef<IStream> target_;

 private:
  friend Derived;
  explicit ForwardingStream(ComRef<IStream> target = ComRef<IStream>())
      : target_(std::move(target)) {}

  Derived* Self() { return static_cast<Derived*>(this); }
};
