// How the filter writes into a stream it was handed: one write policy for
// every path, and one writer for a file that starts at position 0.
#pragma once

#include <windows.h>
#include <objidl.h>

// Writes all `size` bytes. A stream may take a write in parts and say so
// with a count below the size: the rest is offered again, as long as each
// call takes something. A call that succeeds but takes nothing fails with
// STG_E_MEDIUMFULL, the stream's room being spent. A count above what was
// offered is taken as what was offered. `taken` receives the bytes the
// stream took, a failing call's included. Returns the first failure, or the
// last call's success; nothing to write is still one call.
HRESULT WriteAll(IStream* stream, const void* data, ULONG size, ULONG* taken);

// Writes one file into `destination` from position 0, piece by piece, each
// piece with WriteAll; `*count` is kept at the bytes the stream took of the
// file (0 from construction on).
//
// A destination smaller than the file is first given the file's size in one
// SetSize call, before the seek to 0 (a stream whose SetSize moves its
// position still gets the file from 0). A memory stream of the platform grows
// by copying its whole block each time a write passes its end, so a file
// written a row at a time into an empty one would cost the square of its
// size; grown once, it costs what its bytes cost. A stream that cannot tell
// its size, or refuses the new size, is written as it is.
//
// A file that is not written whole (a write failed, or the writer stopped)
// leaves the stream at the size it would have had without the growth: the
// larger of its old size and the end of the bytes really written. Should
// even that SetSize fail, the stream holds zeros from there to the file's
// size.
class PageWriter {
 public:
  PageWriter(IStream* destination, ULONGLONG fileSize, ULONG64* count);
  PageWriter(const PageWriter&) = delete;
  PageWriter& operator=(const PageWriter&) = delete;
  ~PageWriter();

  // Makes room for the file and seeks to position 0. Only a failing seek is
  // a failure.
  HRESULT Start();
  // Writes all `size` bytes at the current end of the file.
  HRESULT Write(const void* data, ULONG size);

 private:
  IStream* destination_;
  ULONGLONG fileSize_;
  ULONG64* count_;
  ULONGLONG oldSize_ = 0;
  bool grown_ = false;
};
