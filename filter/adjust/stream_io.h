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
