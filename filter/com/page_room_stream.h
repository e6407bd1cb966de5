// PageRoomStream: the application's stream as the driver writes a page
// straight into it (brightness and contrast 0), with room made for the page.
//
// A memory stream of the platform grows by copying its whole block each time
// a write passes its end, so a page written in pieces into an empty one would
// cost the square of its size. Once the page's headers have arrived in order
// where its first write put it, this stream gives the application's stream
// the page's size there in one SetSize: bfOffBits plus the rows the info
// header declares, each padded to 4 bytes, and only when that is bfSize. The
// room is withheld from a page whose headers are not those of an
// uncompressed BMP file (type "BM", an info header of 40 bytes or more, one
// plane, 1, 4, 8, 16, 24 or 32 bits, BI_RGB or BI_BITFIELDS, a positive
// width, bfOffBits past the info header), from a height of 0 (a page whose
// length is not known yet), at a position the stream cannot tell, and from a
// stream that cannot tell its size, already holds the page's size, or
// refuses the new size. After its SetSize the stream is put back where the
// write ended, and asked where it stands: a stream that cannot be put back
// there is set back to its size without the room, and the write fails with
// the seek's error (STG_E_SEEKERROR when the seek succeeded elsewhere).
//
// The writer sees only what was written: while the room stands, Stat, a
// seek from the end, Read and CopyTo stop at the larger of the stream's old
// size and the end of the bytes written. A SetSize of the writer's own takes
// the room away. End() gives back what the page did not fill, leaving the
// stream at that size, and where the writer left it, as it would be without
// the room. Every other call is passed on. A clone has a position of its
// own and writes into the same page.
#pragma once

#include <windows.h>
#include <objidl.h>

#include "forwarding_stream.h"
#include "library_object.h"

class PageRoomStream final : public ForwardingStream<PageRoomStream>,
                             public LibraryObject<PageRoomStream> {
 public:
  // Over `application`; reference count 1, owned by the creator.
  explicit PageRoomStream(IStream* application)
      : ForwardingStream(ComRef<IStream>::copy(application)) {
    AddRefObject();
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return AddRefObject(); }
  ULONG STDMETHODCALLTYPE Release() override { return ReleaseObject(); }

  HRESULT STDMETHODCALLTYPE Write(const void* pv, ULONG cb, ULONG* pcbWritten) override;
  HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* pcbRead) override;
  HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin,
                                 ULARGE_INTEGER* plibNewPosition) override;
  HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER libNewSize) override;
  HRESULT STDMETHODCALLTYPE CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead,
                                   ULARGE_INTEGER* pcbWritten) override;
  HRESULT STDMETHODCALLTYPE Stat(STATSTG* pstatstg, DWORD grfStatFlag) override;
  HRESULT STDMETHODCALLTYPE Clone(IStream** ppstm) override;

  // The page has ended: a page short of its room gives the rest back.
  void End();

 private:
  friend class LibraryObject<PageRoomStream>;
  ~PageRoomStream() = default;

  PageRoomStream* Page() { return page_ ? page_.get() : this; }
  // Where this stream (or clone) stands; false when the stream cannot tell.
  bool Position(ULONGLONG* at);
  // While the page's room stands: true, with the size the writer sees.
  bool Visible(ULONGLONG* size);
  // `cb` cut so as not to pass the visible end, from where the stream stands.
  ULONGLONG WithinPage(ULONGLONG cb);
  // The page's part of a write of `taken` bytes of `data` at `at` through
  // `stream`, which answered `hr`: gathers the headers, and makes the room
  // once they are whole.
  HRESULT Wrote(IStream* stream, ULONGLONG at, const void* data, ULONG taken, HRESULT hr);

  ComRef<PageRoomStream> page_;  // a clone's: the stream whose page it writes
  ULONGLONG position_ = 0;
  bool positionKnown_ = false;
  // The page's, kept by the first stream.
  bool started_ = false;
  bool tried_ = false;
  bool made_ = false;
  ULONGLONG start_ = 0;    // where the page's first write went
  ULONGLONG end_ = 0;      // the end of the bytes written
  ULONGLONG oldSize_ = 0;  // the stream's size before the room
  ULONGLONG size_ = 0;     // the stream's size with the room
  BYTE header_[sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER)] = {};
  ULONG headerBytes_ = 0;
};
