// Reference counting shared by the test doubles: each double starts with one
// reference, owned by its creator, and frees itself at 0. Refs() lets a test
// check that every reference handed out came back.
#pragma once

#include <windows.h>

template <typename Derived>
class RefCounted {
 public:
  LONG Refs() const { return refs_; }

 protected:
  RefCounted() = default;
  ~RefCounted() = default;
  ULONG AddRefImpl() { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
  ULONG ReleaseImpl() {
    const LONG count = InterlockedDecrement(&refs_);
    if (count == 0) delete static_cast<Derived*>(this);
    return static_cast<ULONG>(count);
  }

 private:
  LONG refs_ = 1;
};
