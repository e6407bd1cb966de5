#include "fake_item.h"

#include <new>

FakeWiaItem* FakeWiaItem::Create(const GUID& category) {
  FakeWiaItem* item = new (std::nothrow) FakeWiaItem();
  if (!item) return nullptr;
  item->category_ = category;
  item->SetGuid(published::ItemCategoryProperty, category);
  return item;
}

FakeWiaItem::~FakeWiaItem() {
  for (auto& entry : properties_) PropVariantClear(&entry.second);
}

void FakeWiaItem::SetVariant(PROPID id, const PROPVARIANT& value) {
  PROPVARIANT& slot = properties_[id];
  PropVariantClear(&slot);
  PropVariantCopy(&slot, &value);
}

void FakeWiaItem::SetLong(PROPID id, LONG value) {
  PROPVARIANT variant;
  PropVariantInit(&variant);
  variant.vt = VT_I4;
  variant.lVal = value;
  SetVariant(id, variant);
}

void FakeWiaItem::SetGuid(PROPID id, const GUID& value) {
  GUID copy = value;
  PROPVARIANT variant;
  PropVariantInit(&variant);
  variant.vt = VT_CLSID;
  variant.puuid = &copy;
  SetVariant(id, variant);  // PropVariantCopy makes its own CoTaskMem copy
}

void FakeWiaItem::AddChild(const std::wstring& fullName, FakeWiaItem* child) {
  children_[fullName] = ComRef<FakeWiaItem>::copy(child);
}

const PROPVARIANT* FakeWiaItem::Find(const PROPSPEC& property) const {
  if (property.ulKind != PRSPEC_PROPID) return nullptr;
  const auto found = properties_.find(property.propid);
  return found == properties_.end() ? nullptr : &found->second;
}

HRESULT STDMETHODCALLTYPE FakeWiaItem::QueryInterface(REFIID riid, void** ppvObject) {
  if (!ppvObject) return E_POINTER;
  *ppvObject = nullptr;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, published::Ids().item2)) {
    *ppvObject = static_cast<IWiaItem2*>(this);
  } else if (IsEqualIID(riid, published::Ids().propertyStorage)) {
    if (FAILED(storageQueryResult_)) return storageQueryResult_;
    *ppvObject = static_cast<IWiaPropertyStorage*>(this);
  } else {
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

// IWiaItem2: what a filter calls is modelled; the rest answers E_NOTIMPL with
// its out pointers cleared.

HRESULT STDMETHODCALLTYPE FakeWiaItem::CreateChildItem(LONG, LONG, BSTR, IWiaItem2** ppIWiaItem2) {
  if (ppIWiaItem2) *ppIWiaItem2 = nullptr;
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE FakeWiaItem::DeleteItem(LONG) { return E_NOTIMPL; }

HRESULT STDMETHODCALLTYPE FakeWiaItem::EnumChildItems(const GUID*,
                                                      IEnumWiaItem2** ppIEnumWiaItem2) {
  if (ppIEnumWiaItem2) *ppIEnumWiaItem2 = nullptr;
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE FakeWiaItem::FindItemByName(LONG, BSTR bstrFullItemName,
                                                      IWiaItem2** ppIWiaItem2) {
  if (!bstrFullItemName || !ppIWiaItem2) return E_INVALIDARG;
  *ppIWiaItem2 = nullptr;
  if (FAILED(findResult_)) return findResult_;
  const auto found = children_.find(bstrFullItemName);
  if (found == children_.end()) return S_FALSE;
  *ppIWiaItem2 = found->second.get();
  (*ppIWiaItem2)->AddRef();
  return findResult_;
}

HRESULT STDMETHODCALLTYPE FakeWiaItem::GetItemCategory(GUID* pItemCategoryGUID) {
  if (!pItemCategoryGUID) return E_INVALIDARG;
  if (FAILED(categoryResult_)) return categoryResult_;
  *pItemCategoryGUID = category_;
  return categoryResult_;
}

HRESULT STDMETHODCALLTYPE FakeWiaItem::GetItemType(LONG* pItemType) {
  if (!pItemType) return E_INVALIDARG;
  *pItemType = 0;
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE FakeWiaItem::DeviceDlg(LONG, HWND, BSTR, BSTR, LONG* plNumFiles,
                                                 BSTR** ppbstrFilePaths, IWiaItem2** ppItem) {
  if (plNumFiles) *plNumFiles = 0;
  if (ppbstrFilePaths) *ppbstrFilePaths = nullptr;
  if (ppItem) *ppItem = nullptr;
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE FakeWiaItem::DeviceCommand(LONG, const GUID*, IWiaItem2** ppIWiaItem2) {
  if (ppIWiaItem2) *ppIWiaItem2 = nullptr;
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE
FakeWiaItem::EnumDeviceCapabilities(LONG, IEnumWIA_DEV_CAPS** ppIEnumWIA_DEV_CAPS) {
  if (ppIEnumWIA_DEV_CAPS) *ppIEnumWIA_DEV_CAPS = nullptr;
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE FakeWiaItem::CheckExtension(LONG, BSTR, REFIID, BOOL* pbExtensionExists) {
  if (pbExtensionExists) *pbExtensionExists = FALSE;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE FakeWiaItem::GetExtension(LONG, BSTR, REFIID, void** ppOut) {
  if (ppOut) *ppOut = nullptr;
  return E_NOINTERFACE;
}

HRESULT STDMETHODCALLTYPE FakeWiaItem::GetParentItem(IWiaItem2** ppIWiaItem2) {
  if (ppIWiaItem2) *ppIWiaItem2 = nullptr;
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE FakeWiaItem::GetRootItem(IWiaItem2** ppIWiaItem2) {
  if (ppIWiaItem2) *ppIWiaItem2 = nullptr;
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE FakeWiaItem::GetPreviewComponent(LONG, IWiaPreview** ppWiaPreview) {
  if (ppWiaPreview) *ppWiaPreview = nullptr;
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE FakeWiaItem::EnumRegisterEventInfo(LONG, const GUID*,
                                                             IEnumWIA_DEV_CAPS** ppIEnum) {
  if (ppIEnum) *ppIEnum = nullptr;
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE FakeWiaItem::Diagnostic(ULONG, BYTE*) { return E_NOTIMPL; }

// IWiaPropertyStorage, with IPropertyStorage's rules: S_FALSE when none of the
// requested properties exists, absent ones read as VT_EMPTY.

HRESULT STDMETHODCALLTYPE FakeWiaItem::ReadMultiple(ULONG cpspec, const PROPSPEC rgpspec[],
                                                    PROPVARIANT rgpropvar[]) {
  if (cpspec == 0) return S_FALSE;
  if (!rgpspec || !rgpropvar) return E_INVALIDARG;
  bool any = false;
  for (ULONG i = 0; i < cpspec; ++i) {
    if (rgpspec[i].ulKind == PRSPEC_PROPID) propertiesRead_.push_back(rgpspec[i].propid);
    PropVariantInit(&rgpropvar[i]);
    const PROPVARIANT* value = Find(rgpspec[i]);
    if (!value) continue;
    const HRESULT hr = PropVariantCopy(&rgpropvar[i], value);
    if (FAILED(hr)) {
      for (ULONG j = 0; j <= i; ++j) PropVariantClear(&rgpropvar[j]);
      return hr;
    }
    any = true;
  }
  return any ? S_OK : S_FALSE;
}

HRESULT STDMETHODCALLTYPE FakeWiaItem::WriteMultiple(ULONG cpspec, const PROPSPEC rgpspec[],
                                                     const PROPVARIANT rgpropvar[], PROPID) {
  if (cpspec == 0) return S_OK;
  if (!rgpspec || !rgpropvar) return E_INVALIDARG;
  for (ULONG i = 0; i < cpspec; ++i) {
    if (rgpspec[i].ulKind != PRSPEC_PROPID) return STG_E_INVALIDPARAMETER;
  }
  for (ULONG i = 0; i < cpspec; ++i) SetVariant(rgpspec[i].propid, rgpropvar[i]);
  return S_OK;
}

HRESULT STDMETHODCALLTYPE FakeWiaItem::DeleteMultiple(ULONG cpspec, const PROPSPEC rgpspec[]) {
  if (cpspec == 0) return S_OK;
  if (!rgpspec) return E_INVALIDARG;
  for (ULONG i = 0; i < cpspec; ++i) {
    if (rgpspec[i].ulKind != PRSPEC_PROPID) continue;
    const auto found = properties_.find(rgpspec[i].propid);
    if (found == properties_.end()) continue;
    PropVariantClear(&found->second);
    properties_.erase(found);
  }
  return S_OK;
}

HRESULT STDMETHODCALLTYPE FakeWiaItem::ReadPropertyNames(ULONG cpropid, const PROPID[],
                                                         LPOLESTR rglpwstrName[]) {
  for (ULONG i = 0; rglpwstrName && i < cpropid; ++i) rglpwstrName[i] = nullptr;
  return S_FALSE;  // the double keeps no names
}

HRESULT STDMETHODCALLTYPE FakeWiaItem::WritePropertyNames(ULONG, const PROPID[], const LPOLESTR[]) {
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE FakeWiaItem::DeletePropertyNames(ULONG, const PROPID[]) {
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE FakeWiaItem::Commit(DWORD) { return S_OK; }

HRESULT STDMETHODCALLTYPE FakeWiaItem::Revert() { return S_OK; }

HRESULT STDMETHODCALLTYPE FakeWiaItem::Enum(IEnumSTATPROPSTG** ppenum) {
  if (ppenum) *ppenum = nullptr;
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE FakeWiaItem::SetTimes(const FILETIME*, const FILETIME*, const FILETIME*) {
  return S_OK;
}

HRESULT STDMETHODCALLTYPE FakeWiaItem::SetClass(REFCLSID clsid) {
  class_ = clsid;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE FakeWiaItem::Stat(STATPROPSETSTG* pstatpsstg) {
  if (!pstatpsstg) return E_INVALIDARG;
  *pstatpsstg = STATPROPSETSTG();
  pstatpsstg->clsid = class_;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE FakeWiaItem::GetPropertyAttributes(ULONG cpspec, PROPSPEC rgpspec[],
                                                             ULONG rgflags[],
                                                             PROPVARIANT rgpropvar[]) {
  if (cpspec == 0) return S_FALSE;
  if (!rgpspec || !rgflags || !rgpropvar) return E_INVALIDARG;
  bool any = false;
  for (ULONG i = 0; i < cpspec; ++i) {
    PropVariantInit(&rgpropvar[i]);
    const bool found = Find(rgpspec[i]) != nullptr;
    rgflags[i] = found ? WIA_PROP_READ | WIA_PROP_WRITE | WIA_PROP_NONE : 0;
    any = any || found;
  }
  return any ? S_OK : S_FALSE;
}

HRESULT STDMETHODCALLTYPE FakeWiaItem::GetCount(ULONG* pulNumProps) {
  if (!pulNumProps) return E_INVALIDARG;
  *pulNumProps = static_cast<ULONG>(properties_.size());
  return S_OK;
}

HRESULT STDMETHODCALLTYPE FakeWiaItem::GetPropertyStream(GUID* pCompatibilityId,
                                                         IStream** ppIStream) {
  if (pCompatibilityId) *pCompatibilityId = GUID_NULL;
  if (ppIStream) *ppIStream = nullptr;
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE FakeWiaItem::SetPropertyStream(GUID*, IStream*) { return E_NOTIMPL; }
