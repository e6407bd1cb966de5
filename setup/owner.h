// Owner<T, Close>: the one owner of a Windows resource (a kernel handle, a
// registry key, a loaded library, an INF handle, a block from LocalAlloc).
// It releases what it holds when it goes out of scope or is given another,
// and keeps the thread's last error across that release, so an owner that
// goes away between a failing call and the GetLastError after it changes
// nothing.
//
// The vocabulary: get() the value; put() drops what is held and hands out
// the slot an opening call writes into; reset(v) releases and holds v;
// release() lets go without releasing. Null and INVALID_HANDLE_VALUE both
// mean nothing held.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <utility>

template <typename T, auto Close>
class Owner {
 public:
  Owner() noexcept = default;
  explicit Owner(T value) noexcept : value_(value) {}
  Owner(const Owner&) = delete;
  Owner& operator=(const Owner&) = delete;
  Owner(Owner&& other) noexcept : value_(other.release()) {}
  Owner& operator=(Owner&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~Owner() { reset(); }

  T get() const noexcept { return value_; }
  explicit operator bool() const noexcept { return Held(value_); }

  T* put() noexcept {
    reset();
    return &value_;
  }
  void reset(T value = T()) noexcept {
    const T old = std::exchange(value_, value);
    if (!Held(old)) return;
    const DWORD error = GetLastError();
    Close(old);
    SetLastError(error);
  }
  T release() noexcept { return std::exchange(value_, T()); }

 private:
  static bool Held(T value) noexcept {
    const void* raw = static_cast<const void*>(value);
    return raw != nullptr && raw != INVALID_HANDLE_VALUE;
  }

  T value_ = T();
};

using HandleOwner = Owner<HANDLE, &CloseHandle>;
using RegKeyHolder = Owner<HKEY, &RegCloseKey>;
using LibraryOwner = Owner<HMODULE, &FreeLibrary>;
using InfOwner = Owner<HINF, &SetupCloseInfFile>;
// Security descriptors, access lists and other blocks the platform hands
// out from LocalAlloc.
using LocalOwner = Owner<HLOCAL, &LocalFree>;
