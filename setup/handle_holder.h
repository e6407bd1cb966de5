// Scoped owner of a kernel handle (a file, a folder, a mutex): closes it
// when it goes out of scope or is given another, on every path.
#pragma once

#include <windows.h>

class HandleHolder {
 public:
  // Takes the handle as the opening call gave it: null and
  // INVALID_HANDLE_VALUE both mean none.
  explicit HandleHolder(HANDLE handle = nullptr) noexcept : handle_(handle) {}
  ~HandleHolder() { Close(); }
  HandleHolder(const HandleHolder&) = delete;
  HandleHolder& operator=(const HandleHolder&) = delete;
  HandleHolder(HandleHolder&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
  HandleHolder& operator=(HandleHolder&& other) noexcept {
    if (this != &other) {
      Close();
      handle_ = other.handle_;
      other.handle_ = nullptr;
    }
    return *this;
  }

  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }
  void Close() {
    if (valid()) CloseHandle(handle_);
    handle_ = nullptr;
  }

 private:
  HANDLE handle_;
};
