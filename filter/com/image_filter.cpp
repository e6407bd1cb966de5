#include "image_filter.h"

#include <new>

namespace {

bool IsPassThroughCategory(const GUID& category) {
  return IsEqualGUID(category, WIA_CATEGORY_FINISHED_FILE) ||
         IsEqualGUID(category, WIA_CATEGORY_FOLDER);
}

// Clears the variant however the read ended.
class PropVariantHolder {
 public:
  PropVariantHolder() { PropVariantInit(&value_); }
  PropVariantHolder(const PropVariantHolder&) = delete;
  PropVariantHolder& operator=(const PropVariantHolder&) = delete;
  ~PropVariantHolder() { PropVariantClear(&value_); }
  PROPVARIANT* get() { return &value_; }

 private:
  PROPVARIANT value_;
};

HRESULT ReadOneProperty(PROPID id, IWiaPropertyStorage* storage, PROPVARIANT* value) {
  PROPSPEC property = {};
  property.ulKind = PRSPEC_PROPID;
  property.propid = id;
  return storage->ReadMultiple(1, &property, value);
}

}  // namespace

HRESULT ReadLongProperty(PROPID id, IWiaPropertyStorage* storage, LONG* value) {
  if (!value || !storage) return E_INVALIDARG;
  PropVariantHolder variant;
  const HRESULT hr = ReadOneProperty(id, storage, variant.get());
  if (FAILED(hr)) return hr;
  // An absent property (VT_EMPTY) or one of another type reads as 0.
  *value = variant.get()->vt == VT_I4 ? variant.get()->lVal : 0;
  return hr;
}

HRESULT ReadGuidProperty(PROPID id, IWiaPropertyStorage* storage, GUID* value) {
  if (!value || !storage) return E_INVALIDARG;
  PropVariantHolder variant;
  const HRESULT hr = ReadOneProperty(id, storage, variant.get());
  if (hr == S_OK && variant.get()->vt == VT_CLSID && variant.get()->puuid) {
    *value = *variant.get()->puuid;
  }
  return hr;
}

HRESULT STDMETHODCALLTYPE ImageFilter::QueryInterface(REFIID riid, void** ppvObject) {
  // This object's documented answer to a null out pointer.
  if (!ppvObject) return E_INVALIDARG;
  IWiaImageFilter* primary = this;
  IWiaTransferCallback* second = this;
  return QueryInterfaceFrom({{&IID_IUnknown, primary},
                             {&IID_IWiaImageFilter, primary},
                             {&IID_IWiaTransferCallback, second}},
                            riid, ppvObject);
}

HRESULT STDMETHODCALLTYPE
ImageFilter::InitializeFilter(IWiaItem2* pWiaItem2, IWiaTransferCallback* pWiaTransferCallback) {
  errorLatch_ = false;
  if (!pWiaItem2 || !pWiaTransferCallback) return E_INVALIDARG;
  GUID category = GUID_NULL;
  const HRESULT hr = pWiaItem2->GetItemCategory(&category);
  if (FAILED(hr)) return hr;
  if (IsPassThroughCategory(category) || IsEqualGUID(category, WIA_CATEGORY_ROOT)) {
    return E_NOTIMPL;
  }
  item_ = ComRef<IWiaItem2>::copy(pWiaItem2);
  applicationCallback_ = ComRef<IWiaTransferCallback>::copy(pWiaTransferCallback);
  return hr;
}

HRESULT STDMETHODCALLTYPE ImageFilter::SetNewCallback(IWiaTransferCallback* pWiaTransferCallback) {
  if (!pWiaTransferCallback) return E_INVALIDARG;
  applicationCallback_ = ComRef<IWiaTransferCallback>::copy(pWiaTransferCallback);
  return S_OK;
}

HRESULT STDMETHODCALLTYPE ImageFilter::FilterPreviewImage(LONG, IWiaItem2*, RECT, IStream*) {
  return E_INVALIDARG;
}

HRESULT STDMETHODCALLTYPE ImageFilter::ApplyProperties(IWiaPropertyStorage* pWiaPropertyStorage) {
  return pWiaPropertyStorage ? S_OK : E_INVALIDARG;
}

HRESULT STDMETHODCALLTYPE ImageFilter::GetNextStream(LONG, BSTR bstrItemName, BSTR bstrFullItemName,
                                                     IStream** ppDestination) {
  if (!bstrItemName || !bstrFullItemName || !ppDestination) return E_INVALIDARG;
  *ppDestination = nullptr;
  // Each page's child item is looked up through the scan item, so both the
  // item and the callback must be held.
  if (!applicationCallback_ || !item_) return E_UNEXPECTED;
  currentStream_.reset();

  // The application and the item may let go of what the filter holds (a
  // SetNewCallback from inside the call): the calls out hold their own
  // references, and so does the filter itself.
  const auto self = ComRef<IWiaImageFilter>::copy(this);
  const auto callback = ComRef<IWiaTransferCallback>::copy(applicationCallback_.get());
  const auto item = ComRef<IWiaItem2>::copy(item_.get());

  ComRef<IStream> applicationStream;
  HRESULT hr = callback->GetNextStream(0, bstrItemName, bstrFullItemName, applicationStream.put());
  // A stream handed back with a skip or cancel answer is never used; the
  // owner releases it on return.
  if (hr == S_FALSE || hr == WIA_STATUS_SKIP_ITEM) return hr;
  if (FAILED(hr)) return hr;
  if (!applicationStream) return E_UNEXPECTED;

  ComRef<IWiaItem2> child;
  hr = item->FindItemByName(0, bstrFullItemName, child.put());
  if (FAILED(hr)) return hr;
  if (!child) return E_UNEXPECTED;

  LONG brightness = 0;
  LONG contrast = 0;
  GUID category = GUID_NULL;
  GUID format = GUID_NULL;
  {
    ComRef<IWiaPropertyStorage> storage;
    hr = child->QueryInterface(IID_IWiaPropertyStorage, storage.put_void());
    if (FAILED(hr)) return hr;
    if (!storage) return E_UNEXPECTED;
    ReadLongProperty(WIA_IPS_BRIGHTNESS, storage.get(), &brightness);
    ReadLongProperty(WIA_IPS_CONTRAST, storage.get(), &contrast);
    ReadGuidProperty(WIA_IPA_ITEM_CATEGORY, storage.get(), &category);
    ReadGuidProperty(WIA_IPA_FORMAT, storage.get(), &format);
  }

  if (IsPassThroughCategory(category) || IsEqualGUID(format, WiaImgFmt_RAW)) {
    *ppDestination = applicationStream.release();
    return S_OK;
  }

  ZelFilterStream* stream = new (std::nothrow) ZelFilterStream();
  if (!stream) return E_OUTOFMEMORY;
  currentStream_.reset(stream);
  hr = stream->Initialize(brightness, contrast, applicationStream.get());
  if (FAILED(hr)) return hr;
  return stream->QueryInterface(IID_IStream, reinterpret_cast<void**>(ppDestination));
}

HRESULT STDMETHODCALLTYPE ImageFilter::TransferCallback(LONG lFlags,
                                                        WiaTransferParams* pWiaTransferParams) {
  if (!pWiaTransferParams) return E_INVALIDARG;
  if (!applicationCallback_) return E_UNEXPECTED;

  const auto self = ComRef<IWiaImageFilter>::copy(this);
  const auto callback = ComRef<IWiaTransferCallback>::copy(applicationCallback_.get());
  const bool endOfStream = pWiaTransferParams->lMessage == WIA_TRANSFER_MSG_END_OF_STREAM;
  HRESULT applyResult = S_OK;
  // The page of this message: the application's answer may already start
  // the next one.
  ComRef<ZelFilterStream> stream = ComRef<ZelFilterStream>::copy(currentStream_.get());
  if (stream && endOfStream) {
    // A buffered page reaches the application only through the adjustment,
    // and not at all while the filter is latched: it is then dropped. The
    // count is then what the application's stream holds of the page, and a
    // page that did not arrive whole fails, unless the driver already
    // reported a failure of its own.
    applyResult = errorLatch_ ? stream->DropBufferedPage() : stream->ApplyAdjustments();
    if (FAILED(applyResult) && SUCCEEDED(pWiaTransferParams->hrErrorStatus)) {
      pWiaTransferParams->hrErrorStatus = applyResult;
    }
    stream->ReleaseStreams();
  }
  if (stream) pWiaTransferParams->ulTransferredBytes = stream->ByteCount();

  const HRESULT applicationResult = callback->TransferCallback(lFlags, pWiaTransferParams);
  const HRESULT hr = FAILED(applyResult) ? applyResult : applicationResult;

  if (endOfStream && currentStream_.get() == stream.get()) currentStream_.reset();
  if (hr != S_OK) errorLatch_ = true;
  return hr;
}
