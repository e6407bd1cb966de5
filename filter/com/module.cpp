// The library's lifetime: the lock count, the entry point, the class table
// behind DllGetClassObject, DllCanUnloadNow, and the one class factory.
#include "module.h"

#include <new>

#include "image_filter.h"

// {5E2B7C41-9A3D-4F86-B1C7-2D94E0A36F18}
const CLSID CLSID_VantrelFilter = {
    0x5E2B7C41, 0x9A3D, 0x4F86, {0xB1, 0xC7, 0x2D, 0x94, 0xE0, 0xA3, 0x6F, 0x18}};
// {A7D04E92-36C1-4B5F-8E2A-71C9F5B0D346}
const CLSID CLSID_VantrelFilterAlternate = {
    0xA7D04E92, 0x36C1, 0x4B5F, {0x8E, 0x2A, 0x71, 0xC9, 0xF5, 0xB0, 0xD3, 0x46}};

namespace {

// CFilterClass: the class factory of ImageFilter. There is one, static, for
// as long as the library is loaded: AddRef and Release only move the lock
// count, and always answer 2 and 1.
class CFilterClass final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override {
    return QueryInterfaceFrom({{&IID_IUnknown, this}, {&IID_IClassFactory, this}}, riid, ppvObject);
  }
  ULONG STDMETHODCALLTYPE AddRef() override {
    InterlockedIncrement(&ModuleLockCount);
    return 2;
  }
  ULONG STDMETHODCALLTYPE Release() override {
    InterlockedDecrement(&ModuleLockCount);
    return 1;
  }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid,
                                           void** ppvObject) override {
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
  HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) override {
    if (fLock) {
      InterlockedIncrement(&ModuleLockCount);
    } else {
      InterlockedDecrement(&ModuleLockCount);
    }
    return S_OK;
  }
};

// The classes served, in the order they are tested; both are ImageFilter.
const CLSID* const kServedClasses[] = {&CLSID_VantrelFilter, &CLSID_VantrelFilterAlternate};

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }

STDAPI DllCanUnloadNow() { return ModuleLockCount == 0 ? S_OK : S_FALSE; }

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
  static CFilterClass factory;
  if (!ppv) return E_INVALIDARG;
  *ppv = nullptr;
  for (const CLSID* served : kServedClasses) {
    if (IsEqualCLSID(rclsid, *served)) return factory.QueryInterface(riid, ppv);
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}
