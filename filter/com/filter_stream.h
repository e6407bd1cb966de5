// ZelFilterStream: the stream the driver writes one page into. It counts
// every byte written and forwards every call: when brightness or contrast is
// set, to a page buffer stream (page_buffer_stream.h) that holds the page
// until the apply step writes the adjusted page into the application's
// stream; without, to the application's stream through a PageRoomStream.
#pragma once

#include <windows.h>
#include <objidl.h>

#include "forwarding_stream.h"
#include "library_object.h"

class PageRoomStream;

class ZelFilterStream final : public ForwardingStream<ZelFilterStream>,
                              public LibraryObject<ZelFilterStream> {
 public:
  // Reference count 1, owned by the creator; ModuleLockCount rises by one.
  ZelFilterStream() { AddRefObject(); }
  ULONG STDMETHODCALLTYPE AddRef() override { return AddRefObject(); }
  ULONG STDMETHODCALLTYPE Release() override { return ReleaseObject(); }

  // Writes go through the one write policy of the filter (WriteAll): a
  // write the stream takes only in part while answering success is
  // finished, and one that takes nothing fails with STG_E_MEDIUMFULL. The
  // count given back is what the stream took; the page counts it too.
  HRESULT STDMETHODCALLTYPE Write(const void* pv, ULONG cb, ULONG* pcbWritten) override;
  // A clone is a filter stream over the working stream's clone: a position
  // of its own, while its writes count for the page, and it closes with it.
  HRESULT STDMETHODCALLTYPE Clone(IStream** ppstm) override;

  // Called once on a fresh object. With adjustments the page is buffered in a
  // new memory stream and the application's stream becomes the destination;
  // without, the application's stream receives the writes directly.
  HRESULT Initialize(LONG brightness, LONG contrast, IStream* applicationStream);
  bool HasAdjustments() const { return brightness_ != 0 || contrast_ != 0; }
  // End of the page: writes the adjusted page into the destination stream.
  // A page a write failed to take whole (into the buffer, or into the
  // application's stream when there is nothing to adjust) is not complete:
  // that write's result is returned and nothing more is written. Afterwards
  // the count is, for an adjusted page, the bytes the application's stream
  // took of the adjusted file; for a page written straight through, the
  // bytes every write of the driver's took, rewritten ones again.
  HRESULT ApplyAdjustments();
  // End of a page that is not to be adjusted: a buffered page is dropped
  // (E_ABORT, nothing delivered); a page written straight through is where
  // the driver put it, as ApplyAdjustments says.
  HRESULT DropBufferedPage();
  // Drops both inner streams; the object and its count stay. A page written
  // straight into the application's stream that ended short of its room
  // gives the rest back first.
  HRESULT ReleaseStreams();
  // The sum of the bytes every write took, through this stream and its
  // clones; after the end of the page, as ApplyAdjustments says.
  ULONG64 ByteCount() const { return byteCount_; }

  // What calls go to: the working stream; for a clone, its own clone of it,
  // as long as the page's stream holds its streams.
  IStream* Target();

 private:
  friend class LibraryObject<ZelFilterStream>;
  ~ZelFilterStream() { ReleaseStreams(); }

  ZelFilterStream* Page() { return page_ ? page_.get() : this; }

  ComRef<ZelFilterStream> page_;  // a clone's: the stream whose page it writes
  ComRef<IStream> destination_;
  PageRoomStream* room_ = nullptr;  // the working stream of a page written straight through
  ULONG64 byteCount_ = 0;
  LONG brightness_ = 0;
  LONG contrast_ = 0;
  HRESULT writeFailure_ = S_OK;  // the first failed write of the page
};
