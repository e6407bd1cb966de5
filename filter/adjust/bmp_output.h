// BmpOutput: the one writer of both paths. A BMP file written into a stream
// from position 0: Start writes its headers and colour table, then its rows
// are pushed in the order the file stores them. Every write follows the
// filter's write policy (WriteAll); `*count` is kept at the bytes the stream
// took of the file (0 from Start on). Start first gives a stream smaller
// than the file the file's size, before the seek to 0 (so a stream whose
// SetSize moves its position still gets the file from 0): a memory stream of
// the platform then grows once, not row by row. A file that ends short of
// that size gives the rest back when the output goes, leaving the stream at
// the larger of its old size and the end of what arrived.
#pragma once

#include <windows.h>
#include <objidl.h>

class BmpOutput {
 public:
  BmpOutput(IStream* destination, ULONG64* count) : destination_(destination), count_(count) {}
  BmpOutput(const BmpOutput&) = delete;
  BmpOutput& operator=(const BmpOutput&) = delete;
  ~BmpOutput();

  // Starts the file `info` describes (its biSize and biSizeImage set here),
  // with the first biClrUsed entries of `colours` as its colour table: rows
  // of biWidth x biBitCount bits padded to 4 bytes, |biHeight| of them. A
  // file of 4 GB or more is refused (ERROR_ARITHMETIC_OVERFLOW) before
  // anything is written; otherwise only a failing seek or write fails.
  HRESULT Start(BITMAPINFOHEADER* info, const RGBQUAD* colours);
  // The file's next `rows` rows: the first at `first`, each next one
  // `stride` bytes on in memory (negative: before).
  HRESULT Push(const BYTE* first, UINT rows, INT stride);

 private:
  HRESULT Write(const void* data, ULONG size);

  IStream* destination_;
  ULONG64* count_;
  UINT32 rowBytes_ = 0;
  ULONGLONG oldSize_ = 0;  // the stream's size before the file's was given
  ULONGLONG size_ = 0;     // the file's size, once the stream was given it
};
