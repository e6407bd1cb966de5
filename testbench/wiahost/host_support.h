// Files, registry and small owners used by the WIA transfer host.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

class HandleHolder {
 public:
  explicit HandleHolder(HANDLE handle) : handle_(handle) {}
  HandleHolder(const HandleHolder&) = delete;
  HandleHolder& operator=(const HandleHolder&) = delete;
  ~HandleHolder() {
    if (valid()) CloseHandle(handle_);
  }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

class KeyHolder {
 public:
  KeyHolder() = default;
  KeyHolder(const KeyHolder&) = delete;
  KeyHolder& operator=(const KeyHolder&) = delete;
  ~KeyHolder() {
    if (key_) RegCloseKey(key_);
  }
  HKEY get() const { return key_; }
  HKEY* put() { return &key_; }

 private:
  HKEY key_ = nullptr;
};

class LibraryHolder {
 public:
  LibraryHolder() = default;
  LibraryHolder(const LibraryHolder&) = delete;
  LibraryHolder& operator=(const LibraryHolder&) = delete;
  ~LibraryHolder() {
    if (module_) FreeLibrary(module_);
  }
  void reset(HMODULE module) { module_ = module; }
  HMODULE get() const { return module_; }

 private:
  HMODULE module_ = nullptr;
};

// Initialises COM for the thread (multithreaded unless told otherwise) for its
// lifetime.
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

HRESULT ReadWholeFile(const std::wstring& path, std::vector<BYTE>* bytes);
HRESULT WriteWholeFile(const std::wstring& path, const std::vector<BYTE>& bytes);
// The folder of the running program, without a trailing separator.
std::wstring ProgramFolder();
// Registers `dllPath` as the in-process server of `clsid` under
// HKEY_LOCAL_MACHINE\SOFTWARE\Classes\CLSID, as a driver package does.
HRESULT RegisterInprocServer(const CLSID& clsid, const std::wstring& dllPath);
