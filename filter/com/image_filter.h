// ImageFilter: the WIA image processing filter. It stands between the driver
// and the application for one transfer, hands the driver a stream per page and
// applies brightness and contrast at the end of each page.
#pragma once

#include "com_ref.h"
#include "counting_stream.h"
#include "filter_stream.h"
#include "wia2.h"

class ImageFilter final : public IWiaImageFilter, public IWiaTransferCallback {
 public:
  // Reference count 0; the creator takes the first reference.
  ImageFilter() = default;
  ImageFilter(const ImageFilter&) = delete;
  ImageFilter& operator=(const ImageFilter&) = delete;

  // IUnknown (shared by both interfaces)
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

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
  ~ImageFilter() = default;

  ComRef<ZelFilterStream> currentStream_;
  // The application's stream of the current page as the adjustment writes
  // into it; absent when the page is not adjusted.
  ComRef<CountingStream> delivered_;
  ComRef<IWiaItem2> item_;
  ComRef<IWiaTransferCallback> applicationCallback_;
  bool errorLatch_ = false;
  LONG refCount_ = 0;
};

// Single-property reads through IWiaPropertyStorage::ReadMultiple; they return
// the result of ReadMultiple.
HRESULT ReadLongProperty(PROPID id, IWiaPropertyStorage* storage, LONG* value);
HRESULT ReadGuidProperty(PROPID id, IWiaPropertyStorage* storage, GUID* value);
