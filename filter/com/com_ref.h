// ComRef<T>: the single owner of one COM reference, released when the owner
// goes away or is given another reference.
#pragma once

#include <objidl.h>
#include <unknwn.h>

template <typename T>
class ComRef {
 public:
  ComRef() = default;
  ComRef(const ComRef&) = delete;
  ComRef& operator=(const ComRef&) = delete;
  ComRef(ComRef&& other) noexcept : ptr_(other.detach()) {}
  ComRef& operator=(ComRef&& other) noexcept {
    if (this != &other) attach(other.detach());
    return *this;
  }
  ~ComRef() { reset(); }

  // Takes over a reference the caller already owns.
  static ComRef adopt(T* ptr) {
    ComRef ref;
    ref.ptr_ = ptr;
    return ref;
  }
  // Takes a new reference of its own.
  static ComRef copy(T* ptr) {
    if (ptr) ptr->AddRef();
    return adopt(ptr);
  }

  void reset() { attach(nullptr); }
  void attach(T* ptr) {
    T* old = ptr_;
    ptr_ = ptr;
    if (old) old->Release();
  }
  T* detach() {
    T* ptr = ptr_;
    ptr_ = nullptr;
    return ptr;
  }

  T* get() const { return ptr_; }
  T* operator->() const { return ptr_; }
  explicit operator bool() const { return ptr_ != nullptr; }

  // Out parameter for a call that hands over a new reference; drops the old one.
  T** put() {
    reset();
    return &ptr_;
  }

 private:
  T* ptr_ = nullptr;
};

// QueryInterface for a stream object that answers IUnknown, ISequentialStream
// and IStream, all with its IStream pointer.
inline HRESULT QueryStreamInterface(IStream* stream, REFIID riid, void** ppvObject) {
  if (!ppvObject) return E_POINTER;
  *ppvObject = nullptr;
  if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_ISequentialStream) &&
      !IsEqualIID(riid, IID_IStream)) {
    return E_NOINTERFACE;
  }
  *ppvObject = stream;
  stream->AddRef();
  return S_OK;
}
