// FakeWiaItem: a scan item as the WIA service hands it to a filter. It is an
// IWiaItem2 (every slot, in published order) and an IWiaPropertyStorage (the
// whole interface) over a small property table. Children are found by their
// full item name. It answers QueryInterface only for the published identifiers
// of the test bench's own table (wia_published.h).
#pragma once

#include <map>
#include <string>
#include <vector>

#include "com_ref.h"
#include "test_object.h"
#include "wia2.h"
#include "wia_published.h"

class FakeWiaItem final : public IWiaItem2,
                          public IWiaPropertyStorage,
                          public TestObject<FakeWiaItem> {
 public:
  // A double with one reference, or null when out of memory.
  static FakeWiaItem* Create(const GUID& category);

  // Settings of the double.
  void SetCategoryResult(HRESULT result) { categoryResult_ = result; }
  void SetFindResult(HRESULT result) { findResult_ = result; }
  void SetStorageQueryResult(HRESULT result) { storageQueryResult_ = result; }
  // Property values (stored as given; the category property is set by Create).
  void SetLong(PROPID id, LONG value);
  void SetGuid(PROPID id, const GUID& value);
  void SetVariant(PROPID id, const PROPVARIANT& value);
  // Children are held (one reference each) and found by full name.
  void AddChild(const std::wstring& fullName, FakeWiaItem* child);
  void ClearChildren() { children_.clear(); }
  // Number of ReadMultiple calls and the ids read, in order.
  const std::vector<PROPID>& PropertiesRead() const { return propertiesRead_; }

  // IUnknown (one identity for both interfaces)
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return AddRefObject(); }
  ULONG STDMETHODCALLTYPE Release() override { return ReleaseObject(); }

  // IWiaItem2
  HRESULT STDMETHODCALLTYPE CreateChildItem(LONG lItemFlags, LONG lCreationFlags, BSTR bstrItemName,
                                            IWiaItem2** ppIWiaItem2) override;
  HRESULT STDMETHODCALLTYPE DeleteItem(LONG lFlags) override;
  HRESULT STDMETHODCALLTYPE EnumChildItems(const GUID* pCategoryGUID,
                                           IEnumWiaItem2** ppIEnumWiaItem2) override;
  HRESULT STDMETHODCALLTYPE FindItemByName(LONG lFlags, BSTR bstrFullItemName,
                                           IWiaItem2** ppIWiaItem2) override;
  HRESULT STDMETHODCALLTYPE GetItemCategory(GUID* pItemCategoryGUID) override;
  HRESULT STDMETHODCALLTYPE GetItemType(LONG* pItemType) override;
  HRESULT STDMETHODCALLTYPE DeviceDlg(LONG lFlags, HWND hwndParent, BSTR bstrFolderName,
                                      BSTR bstrFilename, LONG* plNumFiles, BSTR** ppbstrFilePaths,
                                      IWiaItem2** ppItem) override;
  HRESULT STDMETHODCALLTYPE DeviceCommand(LONG lFlags, const GUID* pCmdGUID,
                                          IWiaItem2** ppIWiaItem2) override;
  HRESULT STDMETHODCALLTYPE
  EnumDeviceCapabilities(LONG lFlags, IEnumWIA_DEV_CAPS** ppIEnumWIA_DEV_CAPS) override;
  HRESULT STDMETHODCALLTYPE CheckExtension(LONG lFlags, BSTR bstrName,
                                           REFIID riidExtensionInterface,
                                           BOOL* pbExtensionExists) override;
  HRESULT STDMETHODCALLTYPE GetExtension(LONG lFlags, BSTR bstrName, REFIID riidExtensionInterface,
                                         void** ppOut) override;
  HRESULT STDMETHODCALLTYPE GetParentItem(IWiaItem2** ppIWiaItem2) override;
  HRESULT STDMETHODCALLTYPE GetRootItem(IWiaItem2** ppIWiaItem2) override;
  HRESULT STDMETHODCALLTYPE GetPreviewComponent(LONG lFlags, IWiaPreview** ppWiaPreview) override;
  HRESULT STDMETHODCALLTYPE EnumRegisterEventInfo(LONG lFlags, const GUID* pEventGUID,
                                                  IEnumWIA_DEV_CAPS** ppIEnum) override;
  HRESULT STDMETHODCALLTYPE Diagnostic(ULONG ulSize, BYTE* pBuffer) override;

  // IWiaPropertyStorage
  HRESULT STDMETHODCALLTYPE ReadMultiple(ULONG cpspec, const PROPSPEC rgpspec[],
                                         PROPVARIANT rgpropvar[]) override;
  HRESULT STDMETHODCALLTYPE WriteMultiple(ULONG cpspec, const PROPSPEC rgpspec[],
                                          const PROPVARIANT rgpropvar[],
                                          PROPID propidNameFirst) override;
  HRESULT STDMETHODCALLTYPE DeleteMultiple(ULONG cpspec, const PROPSPEC rgpspec[]) override;
  HRESULT STDMETHODCALLTYPE ReadPropertyNames(ULONG cpropid, const PROPID rgpropid[],
                                              LPOLESTR rglpwstrName[]) override;
  HRESULT STDMETHODCALLTYPE WritePropertyNames(ULONG cpropid, const PROPID rgpropid[],
                                               const LPOLESTR rglpwstrName[]) override;
  HRESULT STDMETHODCALLTYPE DeletePropertyNames(ULONG cpropid, const PROPID rgpropid[]) override;
  HRESULT STDMETHODCALLTYPE Commit(DWORD grfCommitFlags) override;
  HRESULT STDMETHODCALLTYPE Revert() override;
  HRESULT STDMETHODCALLTYPE Enum(IEnumSTATPROPSTG** ppenum) override;
  HRESULT STDMETHODCALLTYPE SetTimes(const FILETIME* pctime, const FILETIME* patime,
                                     const FILETIME* pmtime) override;
  HRESULT STDMETHODCALLTYPE SetClass(REFCLSID clsid) override;
  HRESULT STDMETHODCALLTYPE Stat(STATPROPSETSTG* pstatpsstg) override;
  HRESULT STDMETHODCALLTYPE GetPropertyAttributes(ULONG cpspec, PROPSPEC rgpspec[], ULONG rgflags[],
                                                  PROPVARIANT rgpropvar[]) override;
  HRESULT STDMETHODCALLTYPE GetCount(ULONG* pulNumProps) override;
  HRESULT STDMETHODCALLTYPE GetPropertyStream(GUID* pCompatibilityId, IStream** ppIStream) override;
  HRESULT STDMETHODCALLTYPE SetPropertyStream(GUID* pCompatibilityId, IStream* pIStream) override;

 private:
  FakeWiaItem() { AddRefObject(); }
  ~FakeWiaItem();
  friend class TestObject<FakeWiaItem>;
  const PROPVARIANT* Find(const PROPSPEC& property) const;

  GUID category_ = GUID_NULL;
  CLSID class_ = GUID_NULL;
  HRESULT categoryResult_ = S_OK;
  HRESULT findResult_ = S_OK;
  HRESULT storageQueryResult_ = S_OK;
  std::map<PROPID, PROPVARIANT> properties_;
  std::map<std::wstring, ComRef<FakeWiaItem>> children_;
  std::vector<PROPID> propertiesRead_;
};
