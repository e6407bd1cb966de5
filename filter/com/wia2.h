// WIA 2.0 interfaces, types and identifiers used by the image filter.
//
// The Windows SDK declares them in <wia_lh.h>; the MinGW-w64 headers carry only
// WIA 1.0 (<wia.h>: IWiaPropertyStorage, the property ids), so the missing
// declarations follow here. The method order of each interface is its vtable
// order and must match the published binary interface slot for slot.
#pragma once

#include <windows.h>
#include <objidl.h>
#include <propidl.h>

#if __has_include(<wia_lh.h>)

#include <wia_lh.h>

#else

#include <wia.h>

struct IEnumWiaItem2;
struct IWiaPreview;

#ifndef WIA_IPA_ITEM_CATEGORY
#define WIA_IPA_ITEM_CATEGORY 4125
#endif

#define WIA_TRANSFER_MSG_STATUS 1
#define WIA_TRANSFER_MSG_END_OF_STREAM 2
#define WIA_TRANSFER_MSG_END_OF_TRANSFER 3
#define WIA_TRANSFER_MSG_DEVICE_STATUS 5
#define WIA_TRANSFER_MSG_NEW_PAGE 6

#ifndef WIA_STATUS_SKIP_ITEM
#define WIA_STATUS_SKIP_ITEM ((HRESULT)0x00210009L)
#endif

// The structure's tag as the platform publishes it, reserved name and all.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
typedef struct _WiaTransferParams {
  LONG lMessage;
  LONG lPercentComplete;
  ULONG64 ulTransferredBytes;
  HRESULT hrErrorStatus;
} WiaTransferParams;

EXTERN_C const IID IID_IWiaTransferCallback;
EXTERN_C const IID IID_IWiaImageFilter;
EXTERN_C const IID IID_IWiaItem2;
EXTERN_C const GUID WIA_CATEGORY_FINISHED_FILE;
EXTERN_C const GUID WIA_CATEGORY_FOLDER;
EXTERN_C const GUID WIA_CATEGORY_ROOT;
EXTERN_C const GUID WiaImgFmt_RAW;

// {27D4EAAF-28A6-4CA5-9AAB-E678168B9527}
struct IWiaTransferCallback : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE TransferCallback(LONG lFlags,
                                                     WiaTransferParams* pWiaTransferParams) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetNextStream(LONG lFlags, BSTR bstrItemName,
                                                  BSTR bstrFullItemName,
                                                  IStream** ppDestination) = 0;
};

// {6CBA0075-1287-407D-9B77-CF0E030435CC}
struct IWiaItem2 : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE CreateChildItem(LONG lItemFlags, LONG lCreationFlags,
                                                    BSTR bstrItemName, IWiaItem2** ppIWiaItem2) = 0;
  virtual HRESULT STDMETHODCALLTYPE DeleteItem(LONG lFlags) = 0;
  virtual HRESULT STDMETHODCALLTYPE EnumChildItems(const GUID* pCategoryGUID,
                                                   IEnumWiaItem2** ppIEnumWiaItem2) = 0;
  virtual HRESULT STDMETHODCALLTYPE FindItemByName(LONG lFlags, BSTR bstrFullItemName,
                                                   IWiaItem2** ppIWiaItem2) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetItemCategory(GUID* pItemCategoryGUID) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetItemType(LONG* pItemType) = 0;
  virtual HRESULT STDMETHODCALLTYPE DeviceDlg(LONG lFlags, HWND hwndParent, BSTR bstrFolderName,
                                              BSTR bstrFilename, LONG* plNumFiles,
                                              BSTR** ppbstrFilePaths, IWiaItem2** ppItem) = 0;
  virtual HRESULT STDMETHODCALLTYPE DeviceCommand(LONG lFlags, const GUID* pCmdGUID,
                                                  IWiaItem2** ppIWiaItem2) = 0;
  virtual HRESULT STDMETHODCALLTYPE
  EnumDeviceCapabilities(LONG lFlags, IEnumWIA_DEV_CAPS** ppIEnumWIA_DEV_CAPS) = 0;
  virtual HRESULT STDMETHODCALLTYPE CheckExtension(LONG lFlags, BSTR bstrName,
                                                   REFIID riidExtensionInterface,
                                                   BOOL* pbExtensionExists) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetExtension(LONG lFlags, BSTR bstrName,
                                                 REFIID riidExtensionInterface, void** ppOut) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetParentItem(IWiaItem2** ppIWiaItem2) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetRootItem(IWiaItem2** ppIWiaItem2) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetPreviewComponent(LONG lFlags,
                                                        IWiaPreview** ppWiaPreview) = 0;
  virtual HRESULT STDMETHODCALLTYPE EnumRegisterEventInfo(LONG lFlags, const GUID* pEventGUID,
                                                          IEnumWIA_DEV_CAPS** ppIEnum) = 0;
  virtual HRESULT STDMETHODCALLTYPE Diagnostic(ULONG ulSize, BYTE* pBuffer) = 0;
};

// {A8A79FFA-450B-41F1-8F87-849CCD94EBF6}
struct IWiaImageFilter : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE
  InitializeFilter(IWiaItem2* pWiaItem2, IWiaTransferCallback* pWiaTransferCallback) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetNewCallback(IWiaTransferCallback* pWiaTransferCallback) = 0;
  virtual HRESULT STDMETHODCALLTYPE FilterPreviewImage(LONG lFlags, IWiaItem2* pWiaChildItem2,
                                                       RECT InputImageExtents,
                                                       IStream* pInputStream) = 0;
  virtual HRESULT STDMETHODCALLTYPE ApplyProperties(IWiaPropertyStorage* pWiaPropertyStorage) = 0;
};

#endif
