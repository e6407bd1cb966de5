#include "class_factory.h"

#include <new>

#include "image_filter.h"
#include "module.h"

// {5E2B7C41-9A3D-4F86-B1C7-2D94E0A36F18}
const CLSID CLSID_VantrelFilter = {
    0x5E2B7C41, 0x9A3D, 0x4F86, {0xB1, 0xC7, 0x2D, 0x94, 0xE0, 0xA3, 0x6F, 0x18}};
// {A7D04E92-36C1-4B5F-8E2A-71C9F5B0D346}
const CLSID CLSID_VantrelFilterAlternate = {
    0xA7D04E92, 0x36C1, 0x4B5F, {0x8E, 0x2A, 0x71, 0xC9, 0xF5, 0xB0, 0xD3, 0x46}};

HRESULT STDMETHODCALLTYPE CFilterClass::QueryInterface(REFIID riid, void** ppvObject) {
  if (!ppvObject) return E_POINTER;
  *ppvObject = nullptr;
  if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory)) {
    return E_NOINTERFACE;
  }
  *ppvObject = static_cast<IClassFactory*>(this);
  AddRef();
  return S_OK;
}

ULONG STDMETHODCALLTYPE CFilterClass::AddRef() {
  ModuleAddRef();
  return 2;
}

ULONG STDMETHODCALLTYPE CFilterClass::Release() {
  ModuleRelease();
  return 1;
}

HRESULT STDMETHODCALLTYPE CFilterClass::CreateInstance(IUnknown* pUnkOuter, REFIID riid,
                                                       void** ppvObject) {
  if (!ppvObject) return E_POINTER;
  *ppvObject = nullptr;
  if (pUnkOuter) return CLASS_E_NOAGGREGATION;
  ImageFilter* filter = new (std::nothrow) ImageFilter();
  if (!filter) return E_OUTOFMEMORY;
  filter->AddRef();
  const HRESULT hr = filter->QueryInterface(riid, ppvObject);
  filter->Release();
  return hr;
}

HRESULT STDMETHODCALLTYPE CFilterClass::LockServer(BOOL fLock) {
  if (fLock) {
    ModuleAddRef();
  } else {
    ModuleRelease();
  }
  return S_OK;
}

STDAPI DllCanUnloadNow() { return ModuleLockCount == 0 ? S_OK : S_FALSE; }

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
  static CFilterClass factory;
  if (!ppv) return E_INVALIDARG;
  *ppv = nullptr;
  if (!IsEqualCLSID(rclsid, CLSID_VantrelFilter) &&
      !IsEqualCLSID(rclsid, CLSID_VantrelFilterAlternate)) {
    return CLASS_E_CLASSNOTAVAILABLE;
  }
  if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory)) {
    return E_NOINTERFACE;
  }
  *ppv = static_cast<IClassFactory*>(&factory);
  factory.AddRef();
  return S_OK;
}
