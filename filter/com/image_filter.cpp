#include "image_filter.h"

#include <new>

#include "module.h"

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
  if (!ppvObject) return E_INVALIDARG;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IWiaImageFilter)) {
    *ppvObject = static_cast<IWiaImageFilter*>(this);
  } else if (IsEqualIID(riid, IID_IWiaTransferCallback)) {
    *ppvObject = static_cast<IWiaTransferCallback*>(this);
  } else {
    *ppvObject = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

ULONG STDMETHODCALLTYPE ImageFilter::AddRef() {
  if (refCount_ == 0) ModuleAddRef();
  return static_cast<ULONG>(InterlockedIncrement(&refCount_));
}

ULONG STDMETHODCALLTYPE ImageFilter::Release() {
  const LONG count = InterlockedDecrement(&refCount_);
  if (count == 0) {
    delete this;
    ModuleRelease();
  }
  return static_cast<ULONG>(count);
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
  delivered_.reset();

  ComRef<IStream> applicationStream;
  HRESULT hr = applicationCallback_->GetNextStream(0, bstrItemName, bstrFullItemName,
                                                   applicationStream.put());
  // A stream handed back with a skip or cancel answer is never used; the
  // owner releases it on return.
  if (hr == S_FALSE || hr == WIA_STATUS_SKIP_ITEM) return hr;
  if (FAILED(hr)) return hr;
  if (!applicationStream) return E_UNEXPECTED;

  ComRef<IWiaItem2> child;
  hr = item_->FindItemByName(0, bstrFullItemName, child.put());
  if (FAILED(hr)) return hr;
  if (!child) return E_UNEXPECTED;

  LONG brightness = 0;
  LONG contrast = 0;
  GUID category = GUID_NULL;
  GUID format = GUID_NULL;
  {
    ComRef<IWiaPropertyStorage> storage;
    hr = child->QueryInterface(IID_IWiaPropertyStorage, reinterpret_cast<void**>(storage.put()));
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

  // A page with adjustments is buffered, and reaches the application only
  // through the adjustment's writes: they are counted on their way.
  IStream* destination = applicationStream.get();
  if (brightness != 0 || contrast != 0) {
    CountingStream* counter = CountingStream::Create(applicationStream.get());
    if (!counter) return E_OUTOFMEMORY;
    delivered_ = ComRef<CountingStream>::adopt(counter);
    destination = counter;
  }

  ZelFilterStream* stream = new (std::nothrow) ZelFilterStream();
  if (!stream) return E_OUTOFMEMORY;
  currentStream_ = ComRef<ZelFilterStream>::adopt(stream);
  hr = stream->Initialize(brightness, contrast, destination);
  if (FAILED(hr)) return hr;
  return stream->QueryInterface(IID_IStream, reinterpret_cast<void**>(ppDestination));
}

HRESULT STDMETHODCALLTYPE ImageFilter::TransferCallback(LONG lFlags,
                                                        WiaTransferParams* pWiaTransferParams) {
  if (!pWiaTransferParams) return E_INVALIDARG;
  if (!applicationCallback_) return E_UNEXPECTED;

  const bool endOfStream = pWiaTransferParams->lMessage == WIA_TRANSFER_MSG_END_OF_STREAM;
  HRESULT applyResult = S_OK;
  if (ZelFilterStream* stream = currentStream_.get()) {
    pWiaTransferParams->ulTransferredBytes = stream->ByteCount();
    if (endOfStream) {
      // A buffered page reaches the application only through the adjustment's
      // writes, and not at all while the filter is latched: the page is then
      // dropped and counts as aborted. A page written straight through is in
      // the application's stream already, whole unless a write failed.
      applyResult = stream->HasAdjustments() && errorLatch_ ? E_ABORT : stream->ApplyAdjustments();
      if (SUCCEEDED(applyResult)) {
        pWiaTransferParams->ulTransferredBytes = stream->ByteCount();
      } else {
        // What the application did receive, and that its page failed,
        // unless the driver already reported a failure of its own.
        pWiaTransferParams->ulTransferredBytes = stream->HasAdjustments()
                                                     ? (delivered_ ? delivered_->BytesWritten() : 0)
                                                     : stream->ByteCount();
        if (SUCCEEDED(pWiaTransferParams->hrErrorStatus)) {
          pWiaTransferParams->hrErrorStatus = applyResult;
        }
      }
      stream->ReleaseStreams();
    }
  }

  const HRESULT applicationResult =
      applicationCallback_->TransferCallback(lFlags, pWiaTransferParams);
  const HRESULT hr = FAILED(applyResult) ? applyResult : applicationResult;

  if (endOfStream) {
    currentStream_.reset();
    delivered_.reset();
  }
  if (hr != S_OK) errorLatch_ = true;
  return hr;
}
