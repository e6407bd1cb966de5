#include "filter_library.h"

#include "com_ref.h"

namespace {

void* Proc(HMODULE module, const char* name) {
  return module ? reinterpret_cast<void*>(GetProcAddress(module, name)) : nullptr;
}

}  // namespace

bool FilterLibrary::Load(const std::wstring& path) {
  module_.reset(LoadLibraryW(path.c_str()));
  getClassObject_ = reinterpret_cast<decltype(getClassObject_)>(Proc(get(), "DllGetClassObject"));
  canUnloadNow_ = reinterpret_cast<decltype(canUnloadNow_)>(Proc(get(), "DllCanUnloadNow"));
  return Loaded();
}

HMODULE FilterLibrary::release() {
  getClassObject_ = nullptr;
  canUnloadNow_ = nullptr;
  return module_.release();
}

HRESULT FilterLibrary::GetClassObject(REFCLSID clsid, REFIID iid, void** out) const {
  if (!getClassObject_) return HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
  return getClassObject_(clsid, iid, out);
}

HRESULT FilterLibrary::CanUnloadNow() const {
  return canUnloadNow_ ? canUnloadNow_() : HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
}

HRESULT FilterLibrary::CreateFilter(IWiaImageFilter** filter, const CLSID& clsid) const {
  *filter = nullptr;
  ComRef<IClassFactory> factory;
  const HRESULT hr = GetClassObject(clsid, IID_IClassFactory, factory.put_void());
  if (FAILED(hr)) return hr;
  return factory->CreateInstance(nullptr, published::Ids().imageFilter,
                                 reinterpret_cast<void**>(filter));
}
