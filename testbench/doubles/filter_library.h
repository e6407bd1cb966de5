// FilterLibrary: a build of Vantrel.dll loaded by path, as COM loads an
// in-process server, with the two entry points COM calls found by name.
#pragma once

#include <windows.h>

#include <string>

#include "owner.h"
#include "wia2.h"
#include "wia_published.h"

class FilterLibrary {
 public:
  FilterLibrary() = default;
  explicit FilterLibrary(const std::wstring& path) { Load(path); }

  // Loads `path` in place of the library held; true when it has both entry
  // points.
  bool Load(const std::wstring& path);
  bool Loaded() const { return getClassObject_ != nullptr && canUnloadNow_ != nullptr; }
  HMODULE get() const { return module_.get(); }
  // Frees the library held.
  void reset() { const LibraryOwner held(release()); }
  // Lets go of the library without freeing it: it stays loaded for good.
  HMODULE release();

  // DllGetClassObject and DllCanUnloadNow (S_OK exactly when the library's
  // object count is 0); ERROR_PROC_NOT_FOUND when nothing is loaded.
  HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** out) const;
  HRESULT CanUnloadNow() const;
  // A filter of class `clsid`, made by the library's class factory.
  HRESULT CreateFilter(IWiaImageFilter** filter,
                       const CLSID& clsid = published::Ids().filterFirst) const;

 private:
  LibraryOwner module_;
  HRESULT(STDAPICALLTYPE* getClassObject_)(REFCLSID, REFIID, void**) = nullptr;
  HRESULT(STDAPICALLTYPE* canUnloadNow_)() = nullptr;
};
