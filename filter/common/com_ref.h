// ComRef<T>: the one owner of one COM reference, released when the owner goes
// away or is given another. The vocabulary: get() the pointer; put() drops
// what is held and hands out the slot a call that returns a reference fills;
// reset(p) releases and holds p (a reference the caller owned); release()
// hands the reference over without releasing it.
//
// QueryInterfaceFrom: the one QueryInterface of every object of the library,
// from a table of the identifiers it answers.
#pragma once

#include <objidl.h>
#include <unknwn.h>

#include <initializer_list>
#include <utility>

template <typename T>
class ComRef {
 public:
  ComRef() = default;
  ComRef(const ComRef&) = delete;
  ComRef& operator=(const ComRef&) = delete;
  ComRef(ComRef&& other) noexcept : ptr_(other.release()) {}
  ComRef& operator=(ComRef&& other) noexcept {
    if (this != &other) reset(other.release());
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

  void reset(T* ptr = nullptr) {
    T* old = std::exchange(ptr_, ptr);
    if (old) old->Release();
  }
  T* release() { return std::exchange(ptr_, nullptr); }
  T** put() {
    reset();
    return &ptr_;
  }
  // The same slot as a void**, for QueryInterface and CoCreateInstance.
  void** put_void() { return reinterpret_cast<void**>(put()); }

  T* get() const { return ptr_; }
  T* operator->() const { return ptr_; }
  explicit operator bool() const { return ptr_ != nullptr; }

 private:
  T* ptr_ = nullptr;
};

// One row of an object's interface table: the identifier and the pointer
// handed out for it.
struct InterfaceEntry {
  const IID* iid;
  IUnknown* object;
};

// A null out pointer is E_POINTER; an identifier in the table gets its
// pointer, AddRef'ed; any other gets a null pointer and E_NOINTERFACE.
inline HRESULT QueryInterfaceFrom(std::initializer_list<InterfaceEntry> table, REFIID riid,
                                  void** out) {
  if (!out) return E_POINTER;
  for (const InterfaceEntry& entry : table) {
    if (IsEqualIID(riid, *entry.iid)) {
      entry.object->AddRef();
      *out = entry.object;
      return S_OK;
    }
  }
  *out = nullptr;
  return E_NOINTERFACE;
}
