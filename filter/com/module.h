// The library's lifetime: one count of everything a client can hold (live
// objects, factory references, server locks). The library may be unloaded
// exactly when it is 0. The count, the class table, DllGetClassObject and
// DllCanUnloadNow live in module.cpp.
#pragma once

#include <windows.h>
#include <unknwn.h>

// 0 at load.
extern LONG ModuleLockCount;

// The two class identifiers served, both for ImageFilter, in the order tested.
extern const CLSID CLSID_VantrelFilter;
extern const CLSID CLSID_VantrelFilterAlternate;

// The reference count of an object of the library. The rule is one for every
// object a client can hold: it keeps the module loaded from the moment its
// count leaves 0 until it is destroyed. Derived classes answer AddRef and
// Release with AddRefObject and ReleaseObject; objects of the test bench pass
// HoldsModule = false.
template <typename Derived, bool HoldsModule>
class ForwardingStream;

template <typename Derived, bool HoldsModule = true>
class LibraryObject {
 public:
  LibraryObject& operator=(const LibraryObject&) = delete;
  // For tests: the count as it stands.
  LONG Refs() const { return refs_; }

 protected:
  ~LibraryObject() = default;

  ULONG AddRefObject() {
    if constexpr (HoldsModule) {
      if (refs_ == 0) InterlockedIncrement(&ModuleLockCount);
    }
    return static_cast<ULONG>(InterlockedIncrement(&refs_));
  }
  ULONG ReleaseObject() {
    const LONG left = InterlockedDecrement(&refs_);
    if (left == 0) {
      delete static_cast<Derived*>(this);
      if constexpr (HoldsModule) InterlockedDecrement(&ModuleLockCount);
    }
    return static_cast<ULONG>(left);
  }

 private:
  // Only the object itself, or the stream base it is built on, makes one.
  friend Derived;
  friend class ForwardingStream<Derived, HoldsModule>;
  LibraryObject() = default;
  LibraryObject(const LibraryObject&) = delete;

  LONG refs_ = 0;
};
