// The library's lifetime: one count of everything a client can hold (live
// objects, factory references, server locks). The library may be unloaded
// exactly when it is 0 (DllCanUnloadNow, module.cpp).
#pragma once

#include <windows.h>

// 0 at load.
inline LONG ModuleLockCount = 0;

// The reference count of an object of the library. The rule is one for every
// object of the library: it keeps the module loaded from the moment its
// count leaves 0 until it is destroyed. Derived classes answer AddRef and
// Release with AddRefObject and ReleaseObject.
template <typename Derived>
class LibraryObject {
 public:
  LibraryObject& operator=(const LibraryObject&) = delete;

 protected:
  ~LibraryObject() = default;

  ULONG AddRefObject() {
    if (refs_ == 0) InterlockedIncrement(&ModuleLockCount);
    return static_cast<ULONG>(InterlockedIncrement(&refs_));
  }
  ULONG ReleaseObject() {
    const LONG left = InterlockedDecrement(&refs_);
    if (left == 0) {
      delete static_cast<Derived*>(this);
      InterlockedDecrement(&ModuleLockCount);
    }
    return static_cast<ULONG>(left);
  }

 private:
  // Only the object itself makes one.
  friend Derived;
  LibraryObject() = default;
  LibraryObject(const LibraryObject&) = delete;

  LONG refs_ = 0;
};
