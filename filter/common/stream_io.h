// How the filter reads and writes a stream it was handed: the one write
// policy of every path (WriteAll), and small helpers of the readers.
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
inline HRESULT WriteAll(IStream* stream, const void* data, ULONG size, ULONG* taken) {
  const BYTE* next = static_cast<const BYTE*>(data);
  *taken = 0;
  ULONG none = 0;
  HRESULT hr = size == 0 ? stream->Write(data, 0, &none) : S_OK;
  while (*taken < size) {
    const ULONG offered = size - *taken;
    ULONG written = 0;
    hr = stream->Write(next, offered, &written);
    if (written > offered) written = offered;
    *taken += written;
    if (FAILED(hr)) return hr;
    if (written == 0) return STG_E_MEDIUMFULL;
    next += written;
  }
  return hr;
}

// Moves the stream to `offset` bytes from its start.
inline HRESULT SeekFromStart(IStream* stream, ULONGLONG offset) {
  LARGE_INTEGER move;
  move.QuadPart = static_cast<LONGLONG>(offset);
  return stream->Seek(move, STREAM_SEEK_SET, nullptr);
}

// One Read call; a short read is not an error (the rest of `buffer` keeps its contents).
inline HRESULT ReadBytes(IStream* stream, void* buffer, ULONG size) {
  ULONG read = 0;
  return stream->Read(buffer, size, &read);
}
