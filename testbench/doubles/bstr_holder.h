// BstrHolder: the single owner of one BSTR.
#pragma once

#include <windows.h>
#include <oleauto.h>

class BstrHolder {
 public:
  explicit BstrHolder(const wchar_t* text) : value_(SysAllocString(text)) {}
  BstrHolder(const BstrHolder&) = delete;
  BstrHolder& operator=(const BstrHolder&) = delete;
  ~BstrHolder() { SysFreeString(value_); }
  BSTR get() const { return value_; }

 private:
  BSTR value_;
};
