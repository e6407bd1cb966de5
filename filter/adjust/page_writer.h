// How the filter writes into a stream it was handed: one write policy for
// every path, and one writer for a file that starts at position 0.
#pragma once

#include <windows.h>
#include <objidl.h>

#include "stream_io.h"

// Room made for a page in a stream ahead of its bytes: the stream is given
// the page's size in one SetSize call. A memory stream of the platform grows
// by copying its whole block each time a write passes its end, so a page
// written in pieces into an empty one would cost the square of its size;
// given its size once, it costs what its bytes cost. Whoever writes the page
// sees only what was written: while the room stands, the size is the larger
// of the stream's old size and the end of the bytes written. When the page
// ends short of the room, the stream is set back to that size, as if no room
// had been made; should even that SetSize fail, the stream holds zeros from
// there to the page's size. A stream that cannot tell its size, or refuses
// the new size, is written as it is.
class PageRoom {
 public:
  // Gives `stream` room for `size` bytes when it holds fewer.
  void Make(IStream* stream, ULONGLONG size);
  // The bytes written reach `end`.
  void Reached(ULONGLONG end) {
    if (end > end_) end_ = end;
  }
  // A page written in pieces wherever its writer puts them: a write of
  // `taken` bytes of `data` at `at`. The page starts where the first write
  // puts it; once its file header has arrived there in order, the stream
  // is given the page's size (bfSize).
  void Wrote(IStream* stream, ULONGLONG at, const void* data, ULONG taken);
  // The stream was given a size by the page's writer: the room is gone.
  void Forget() { made_ = false; }
  // While the room stands: true, with the size the writer sees.
  bool Visible(ULONGLONG* size) const {
    *size = end_ > oldSize_ ? end_ : oldSize_;
    return made_;
  }
  // The page has ended: a page short of its room gives the rest back.
  void End(IStream* stream);

 private:
  bool started_ = false;
  bool tried_ = false;
  bool made_ = false;
  ULONGLONG start_ = 0;
  BYTE header_[6] = {};
  ULONG headerBytes_ = 0;
  ULONGLONG end_ = 0;
  ULONGLONG oldSize_ = 0;
  ULONGLONG size_ = 0;
};

// Writes one file into `destination` from position 0, piece by piece, each
// piece with WriteAll; `*count` is kept at the bytes the stream took of the
// file (0 from Start on). The stream is given room for the file first
// (PageRoom), before the seek to 0, so that a stream whose SetSize moves its
// position still gets the file from 0.
class PageWriter {
 public:
  PageWriter(IStream* destination, ULONG64* count) : destination_(destination), count_(count) {}
  PageWriter(const PageWriter&) = delete;
  PageWriter& operator=(const PageWriter&) = delete;
  ~PageWriter() { room_.End(destination_); }

  // Makes room for a file of `fileSize` bytes and seeks to position 0.
  // Only a failing seek is a failure.
  HRESULT Start(ULONGLONG fileSize);
  // Writes all `size` bytes at the current end of the file.
  HRESULT Write(const void* data, ULONG size);

 private:
  IStream* destination_;
  ULONG64* count_;
  PageRoom room_;
};
