// CFilterClass: the library's single, static class factory for ImageFilter.
#pragma once

#include <windows.h>
#include <unknwn.h>

// The two class identifiers served, both for ImageFilter, in the order tested.
extern const CLSID CLSID_VantrelFilter;
extern const CLSID CLSID_VantrelFilterAlternate;

class CFilterClass final : public IClassFactory {
 public:
  CFilterClass() = default;
  CFilterClass(const CFilterClass&) = delete;
  CFilterClass& operator=(const CFilterClass&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
  // The factory lives as long as the library: AddRef and Release only move
  // ModuleLockCount and always answer 2 and 1.
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid,
                                           void** ppvObject) override;
  HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) override;
};
