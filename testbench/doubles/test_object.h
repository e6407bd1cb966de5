// TestObject<Derived>: the reference count of a test double. A double is no
// object of the library: it never counts in ModuleLockCount, so that a test
// can check that count while its doubles live.
#pragma once

#include <windows.h>

template <typename Derived>
class TestObject {
 public:
  // The count as it stands.
  LONG Refs() const { return refs_; }

 protected:
  ~TestObject() = default;

  ULONG AddRefObject() { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
  ULONG ReleaseObject() {
    const LONG left = InterlockedDecrement(&refs_);
    if (left == 0) delete static_cast<Derived*>(this);
    return static_cast<ULONG>(left);
  }

 private:
  LONG refs_ = 0;
};
