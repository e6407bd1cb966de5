// Small helpers over IStream used by the readers and writers.
#pragma once

#include <windows.h>
#include <objidl.h>

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

// Writes all `size` bytes. A stream may take a write in parts and say so
// with a count below the size: the rest is offered again, as long as each
// call takes something. A call that succeeds but takes nothing fails with
// STG_E_MEDIUMFULL, the stream's room being spent. A count above what was
// offered is taken as what was offered. Returns the first failure, or the
// last call's success; nothing to write is still one call. `taken`, when
// given, grows by the bytes the stream took, a failing call's included.
inline HRESULT WriteBytes(IStream* stream, const void* data, ULONG size,
                          ULONGLONG* taken = nullptr) {
  const BYTE* next = static_cast<const BYTE*>(data);
  ULONG none = 0;
  HRESULT hr = size == 0 ? stream->Write(data, 0, &none) : S_OK;
  while (size > 0) {
    ULONG written = 0;
    hr = stream->Write(next, size, &written);
    if (written > size) written = size;
    if (taken) *taken += written;
    if (FAILED(hr)) return hr;
    if (written == 0) return STG_E_MEDIUMFULL;
    next += written;
    size -= written;
  }
  return hr;
}
