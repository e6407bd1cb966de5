// RegKeyHolder: the one owner of an open registry key.
#pragma once

#include <windows.h>
#include <cwchar>

class RegKeyHolder {
 public:
  RegKeyHolder() = default;
  ~RegKeyHolder() { Close(); }
  RegKeyHolder(const RegKeyHolder&) = delete;
  RegKeyHolder& operator=(const RegKeyHolder&) = delete;

  // Closes the key held, if any, and leaves the holder empty.
  void Close() {
    if (key_ != nullptr) {
      RegCloseKey(key_);
      key_ = nullptr;
    }
  }

  HKEY get() const { return key_; }

  // For the functions that open a key: closes what is held and hands out the
  // slot the new key's handle is written to.
  HKEY* Receive() {
    Close();
    return &key_;
  }

  // Sets a REG_SZ value to the text with its terminating NUL. A missing text
  // gives ERROR_INVALID_DATA without touching the registry.
  LSTATUS SetString(const wchar_t* name, const wchar_t* value) const {
    if (value == nullptr) return ERROR_INVALID_DATA;
    const size_t bytes = (wcslen(value) + 1) * sizeof(wchar_t);
    return RegSetValueExW(key_, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                          static_cast<DWORD>(bytes));
  }

 private:
  HKEY key_ = nullptr;
};
