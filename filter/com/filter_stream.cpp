#include "filter_stream.h"

#include <new>
#include <utility>

#include "adjust.h"
#include "page_buffer_stream.h"
#include "page_room_stream.h"
#include "stream_io.h"

IStream* ZelFilterStream::Target() {
  if (page_ && !page_->target_) target_.reset();
  return target_.get();
}

HRESULT STDMETHODCALLTYPE ZelFilterStream::Write(const void* pv, ULONG cb, ULONG* pcbWritten) {
  IStream* target = Target();
  if (!target) return Closed(pcbWritten);
  ZelFilterStream* page = Page();
  ULONG taken = 0;
  const HRESULT hr = WriteAll(target, pv, cb, &taken);
  page->byteCount_ += taken;
  if (FAILED(hr) && SUCCEEDED(page->writeFailure_)) page->writeFailure_ = hr;
  if (pcbWritten) *pcbWritten = taken;
  return hr;
}

HRESULT STDMETHODCALLTYPE ZelFilterStream::Clone(IStream** ppstm) {
  return CloneWith(ppstm, [this](ComRef<IStream> inner) {
    ZelFilterStream* clone = new (std::nothrow) ZelFilterStream();
    if (clone) {
      clone->page_ = ComRef<ZelFilterStream>::copy(Page());
      clone->target_ = std::move(inner);
    }
    return clone;
  });
}

HRESULT ZelFilterStream::Initialize(LONG brightness, LONG contrast, IStream* applicationStream) {
  if (!applicationStream) return E_INVALIDARG;
  brightness_ = brightness;
  contrast_ = contrast;
  if (!HasAdjustments()) {
    room_ = new (std::nothrow) PageRoomStream(applicationStream);
    target_.reset(room_);
    return room_ ? S_OK : E_OUTOFMEMORY;
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
  if (room_) room_->End();
  room_ = nullptr;
  destination_.reset();
  target_.reset();
  return S_OK;
}
