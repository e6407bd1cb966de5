#include "filter_stream.h"

#include <new>
#include <utility>

#include "../adjust/adjust.h"
#include "page_buffer_stream.h"
#include "page_writer.h"

IStream* ZelFilterStream::Target() {
  if (page_ && !page_->target_) target_.reset();
  return target_.get();
}

bool ZelFilterStream::Position(ULONGLONG* at) {
  if (!positionKnown_) {
    ULARGE_INTEGER position = {};
    const LARGE_INTEGER here = {};
    positionKnown_ = SUCCEEDED(target_->Seek(here, STREAM_SEEK_CUR, &position));
    position_ = position.QuadPart;
  }
  *at = position_;
  return positionKnown_;
}

ULONGLONG ZelFilterStream::WithinPage(ULONGLONG cb) {
  ULONGLONG size = 0;
  ULONGLONG at = 0;
  if (!Visible(&size) || !Position(&at)) return cb;
  return at >= size ? 0 : (cb < size - at ? cb : size - at);
}

HRESULT STDMETHODCALLTYPE ZelFilterStream::Write(const void* pv, ULONG cb, ULONG* pcbWritten) {
  IStream* target = Target();
  if (!target) return Closed(pcbWritten);
  ZelFilterStream* page = Page();
  // Only a page written straight into the application's stream is followed
  // through its positions, as long as the stream can tell them.
  ULONGLONG at = 0;
  const bool straight = !page->HasAdjustments() && Position(&at);
  ULONG taken = 0;
  const HRESULT hr = WriteAll(target, pv, cb, &taken);
  page->byteCount_ += taken;
  if (FAILED(hr) && SUCCEEDED(page->writeFailure_)) page->writeFailure_ = hr;
  if (straight) {
    position_ = at + taken;
    positionKnown_ = SUCCEEDED(hr);  // a failed write may have moved it otherwise
    page->room_.Wrote(target, at, pv, taken);
  }
  if (pcbWritten) *pcbWritten = taken;
  return hr;
}

HRESULT STDMETHODCALLTYPE ZelFilterStream::Read(void* pv, ULONG cb, ULONG* pcbRead) {
  IStream* target = Target();
  if (!target) return Closed(pcbRead);
  ULONG read = 0;
  const HRESULT hr = target->Read(pv, static_cast<ULONG>(WithinPage(cb)), &read);
  if (SUCCEEDED(hr)) position_ += read;
  if (pcbRead) *pcbRead = read;
  return hr;
}

HRESULT STDMETHODCALLTYPE ZelFilterStream::Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin,
                                                ULARGE_INTEGER* plibNewPosition) {
  IStream* target = Target();
  if (!target) return Closed(plibNewPosition);
  ULONGLONG size = 0;
  if (dwOrigin == STREAM_SEEK_END && Visible(&size)) {
    // The end the driver sees, not the room's.
    dwOrigin = STREAM_SEEK_SET;
    dlibMove.QuadPart += static_cast<LONGLONG>(size);
  }
  ULARGE_INTEGER position = {};
  const HRESULT hr = target->Seek(dlibMove, dwOrigin, &position);
  positionKnown_ = SUCCEEDED(hr);
  position_ = position.QuadPart;
  if (plibNewPosition) *plibNewPosition = position;
  return hr;
}

HRESULT STDMETHODCALLTYPE ZelFilterStream::SetSize(ULARGE_INTEGER libNewSize) {
  IStream* target = Target();
  if (!target) return E_POINTER;
  const HRESULT hr = target->SetSize(libNewSize);
  if (SUCCEEDED(hr)) Page()->room_.Forget();
  return hr;
}

HRESULT STDMETHODCALLTYPE ZelFilterStream::CopyTo(IStream* pstm, ULARGE_INTEGER cb,
                                                  ULARGE_INTEGER* pcbRead,
                                                  ULARGE_INTEGER* pcbWritten) {
  IStream* target = Target();
  if (!target) return ForwardingStream::CopyTo(pstm, cb, pcbRead, pcbWritten);
  cb.QuadPart = WithinPage(cb.QuadPart);
  positionKnown_ = false;
  return target->CopyTo(pstm, cb, pcbRead, pcbWritten);
}

HRESULT STDMETHODCALLTYPE ZelFilterStream::Stat(STATSTG* pstatstg, DWORD grfStatFlag) {
  const HRESULT hr = ForwardingStream::Stat(pstatstg, grfStatFlag);
  ULONGLONG size = 0;
  if (SUCCEEDED(hr) && pstatstg && Visible(&size)) pstatstg->cbSize.QuadPart = size;
  return hr;
}

HRESULT STDMETHODCALLTYPE ZelFilterStream::Clone(IStream** ppstm) {
  IStream* target = Target();
  if (!target) return Closed(ppstm);
  if (!ppstm) return E_POINTER;
  *ppstm = nullptr;
  ComRef<IStream> inner;
  const HRESULT hr = target->Clone(inner.put());
  if (FAILED(hr)) return hr;
  if (!inner) return E_UNEXPECTED;
  ZelFilterStream* clone = new (std::nothrow) ZelFilterStream();
  if (!clone) return E_OUTOFMEMORY;
  clone->page_ = ComRef<ZelFilterStream>::copy(Page());
  clone->target_ = std::move(inner);
  *ppstm = clone;
  return S_OK;
}

HRESULT ZelFilterStream::Initialize(LONG brightness, LONG contrast, IStream* applicationStream) {
  if (!applicationStream) return E_INVALIDARG;
  brightness_ = brightness;
  contrast_ = contrast;
  if (!HasAdjustments()) {
    target_ = ComRef<IStream>::copy(applicationStream);
    return S_OK;
  }
  destination_ = ComRef<IStream>::copy(applicationStream);
  return CreatePageBufferStream(target_.put());
}

HRESULT ZelFilterStream::ApplyAdjustments() {
  if (!HasAdjustments()) return writeFailure_;
  // Nothing of a buffered page has reached the application yet.
  byteCount_ = 0;
  if (FAILED(writeFailure_)) return writeFailure_;
  // Without the memory stream (never made, or already released) there is no
  // page to adjust.
  if (!target_ || !destination_) return E_POINTER;
  return AdjustImage(brightness_, contrast_, target_.get(), destination_.get(), &byteCount_, 0, 0,
                     0, 0);
}

HRESULT ZelFilterStream::DropBufferedPage() {
  if (!HasAdjustments()) return ApplyAdjustments();
  byteCount_ = 0;
  return E_ABORT;
}

HRESULT ZelFilterStream::ReleaseStreams() {
  if (!page_ && target_) room_.End(target_.get());
  destination_.reset();
  target_.reset();
  return S_OK;
}
