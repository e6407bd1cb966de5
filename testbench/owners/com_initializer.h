// ComInitializer: COM initialised on this thread, in the apartment asked for
// (the multithreaded one unless told otherwise), for the owner's lifetime.
#pragma once

#include <windows.h>
#include <objbase.h>

class ComInitializer {
 public:
  explicit ComInitializer(DWORD model = COINIT_MULTITHREADED)
      : result_(CoInitializeEx(nullptr, model)) {}
  ComInitializer(const ComInitializer&) = delete;
  ComInitializer& operator=(const ComInitializer&) = delete;
  ~ComInitializer() {
    if (SUCCEEDED(result_)) CoUninitialize();
  }
  HRESULT result() const { return result_; }

 private:
  HRESULT result_;
};
