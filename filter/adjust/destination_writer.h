// Writes a file into the destination stream from position 0, piece by piece.
#pragma once

#include <windows.h>
#include <objidl.h>

// A destination smaller than the file is first given the file's size in one
// SetSize call. A memory stream of the platform grows by copying its whole
// block each time a write passes its end, so a file written a row at a time
// into an empty one would cost the square of its size; grown once, it costs
// what its bytes cost. A stream that cannot tell its size, or refuses the new
// size, is written as it is.
//
// A file that is not written whole (a write failed, or the writer stopped)
// leaves the stream at the size it would have had without that step: the
// larger of its old size and the end of the bytes really written. Should even
// that SetSize fail, the stream holds zeros from there to the file's size.
class DestinationWriter {
 public:
  DestinationWriter(IStream* destination, ULONGLONG fileSize)
      : destination_(destination), fileSize_(fileSize) {}
  DestinationWriter(const DestinationWriter&) = delete;
  DestinationWriter& operator=(const DestinationWriter&) = delete;
  ~DestinationWriter();

  // Seeks to position 0 and makes room for the file. Only a failing seek is
  // a failure.
  HRESULT Start();
  // Writes all `size` bytes at the current end of the file (WriteBytes).
  HRESULT Write(const void* data, ULONG size);

 private:
  IStream* destination_;
  ULONGLONG fileSize_;
  ULONGLONG oldSize_ = 0;
  ULONGLONG written_ = 0;  // bytes the stream took, from position 0
  bool grown_ = false;
};
