// ZelFilterStream: the stream the driver writes one page into. It counts
// every byte written and, when brightness or contrast is set, buffers the
// page in memory (a page buffer stream, page_buffer_stream.h) until the apply
// step writes the adjusted page into the application's stream.
#pragma once

#include <windows.h>
#include <objidl.h>

#include "forwarding_stream.h"
#include "page_writer.h"

class ZelFilterStream final : public ForwardingStream<ZelFilterStream> {
 public:
  // Reference count 1, owned by the creator; ModuleLockCount rises by one.
  ZelFilterStream() = default;

  // Writes go through the one write policy of the filter (WriteAll): a
  // write the stream takes only in part while answering success is
  // finished, and one that takes nothing fails with STG_E_MEDIUMFULL. The
  // count given back is what the stream took; the page counts it too.
  HRESULT STDMETHODCALLTYPE Write(const void* pv, ULONG cb, ULONG* pcbWritten) override;
  // A clone is a filter stream over the working stream's clone: a position
  // of its own, while its writes count for the page, and it closes with it.
  HRESULT STDMETHODCALLTYPE Clone(IStream** ppstm) override;
  // A page written straight into the application's stream gets room there
  // once its header has arrived (PageRoom): the driver is told the size,
  // seeks to the end and reads as if no room had been made.
  HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* pcbRead) override;
  HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin,
                                 ULARGE_INTEGER* plibNewPosition) override;
  HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER libNewSize) override;
  HRESULT STDMETHODCALLTYPE CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead,
                                   ULARGE_INTEGER* pcbWritten) override;
  HRESULT STDMETHODCALLTYPE Stat(STATSTG* pstatstg, DWORD grfStatFlag) override;

  // Called once on a fresh object. With adjustments the page is buffered in a
  // new memory stream and the application's stream becomes the destination;
  // without, the application's stream receives the writes directly.
  HRESULT Initialize(LONG brightness, LONG contrast, IStream* applicationStream);
  bool HasAdjustments() const { return brightness_ != 0 || contrast_ != 0; }
  // End of the page: writes the adjusted page into the destination stream.
  // A page a write failed to take whole (into the buffer, or into the
  // application's stream when there is nothing to adjust) is not complete:
  // that write's result is returned and nothing more is written. Afterwards
  // the count is what the application's stream holds of the page.
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
  // clones; after the end of the page, the bytes the application received.
  ULONG64 ByteCount() const { return byteCount_; }

  // What calls go to: the working stream; for a clone, its own clone of it,
  // as long as the page's stream holds its streams.
  IStream* Target();

 private:
  friend class LibraryObject<ZelFilterStream>;
  ~ZelFilterStream() { ReleaseStreams(); }

  ZelFilterStream* Page() { return page_ ? page_.get() : this; }
  // Where this stream (or clone) stands in the working stream; false when
  // the working stream cannot tell.
  bool Position(ULONGLONG* at);
  // The size the driver sees of a page given room, as Visible says.
  bool Visible(ULONGLONG* size) { return Page()->room_.Visible(size); }
  // `cb` cut so as not to pass the visible end, from where the stream stands.
  ULONGLONG WithinPage(ULONGLONG cb);

  ComRef<ZelFilterStream> page_;  // a clone's: the stream whose page it writes
  ComRef<IStream> destination_;
  ULONG64 byteCount_ = 0;
  LONG brightness_ = 0;
  LONG contrast_ = 0;
  HRESULT writeFailure_ = S_OK;  // the first failed write of the page
  PageRoom room_;                // of the page in the application's stream
  ULONGLONG position_ = 0;
  bool positionKnown_ = false;
};
