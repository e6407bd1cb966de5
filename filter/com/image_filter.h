// ImageFilter: the WIA image processing filter. It stands between the driver
// and the application for one transfer, hands the driver a stream per page and
// applies brightness and contrast at the end of each page.
#pragma once

#include "com_ref.h"
#include "filter_stream.h"
#include "library_object.h"
#include "wia2.h"

class ImageFilter final : public IWiaImageFilter,
                          public IWiaTransferCallback,
                          public LibraryObject<ImageFilter> {
 public:
  // Reference count 0; the creator takes the first reference.
  ImageFilter() = default;

  // IUnknown (shared by both interfaces)
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return AddRefObject(); }
  ULONG STDMETHODCALLTYPE Release() override { return ReleaseObject(); }

  // IWiaImageFilter
  HRESULT STDMETHODCALLTYPE InitializeFilter(IWiaItem2* pWiaItem2,
                                             IWiaTransferCallback* pWiaTransferCallback) override;
  HRESULT STDMETHODCALLTYPE SetNewCallback(IWiaTransferCallback* pWiaTransferCallback) override;
  HRESULT STDMETHODCALLTYPE FilterPreviewImage(LONG lFlags, IWiaItem2* pWiaChildItem2,
                                               RECT InputImageExtents,
                                               IStream* pInputStream) override;
  HRESULT STDMETHODCALLTYPE ApplyProperties(IWiaPropertyStorage* pWiaPropertyStorage) override;

  // IWiaTransferCallback
  HRESULT STDMETHODCALLTYPE TransferCallback(LONG lFlags,
                                             WiaTransferParams* pWiaTransferParams) override;
  HRESULT STDMETHODCALLTYPE GetNextStream(LONG lFlags, BSTR bstrItemName, BSTR bstrFullItemName,
                                          IStream** ppDestination) override;

 private:
  friend class LibraryObject<ImageFilter>;
  ~ImageFilter() = default;

  ComRef<ZelFilterStream> currentStream_;
  ComRef<IWiaItem2> item_;
  ComRef<IWiaTransferCallback> applicationCallback_;
  bool errorLatch_ = false;
};

// Single-property reads through IWiaPropertyStorage::ReadMultiple; they return
// the result of ReadMultiple.
HRESULT ReadLongProperty(PROPID id, IWiaPropertyStorage* storage, LONG* value);
HRESULT ReadGuidProperty(PROPID id, IWiaPropertyStorage* storage, GUID* value);
