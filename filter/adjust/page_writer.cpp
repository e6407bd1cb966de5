#include "page_writer.h"

#include <cstring>

#include "stream_io.h"

void PageRoom::Make(IStream* stream, ULONGLONG size) {
  STATSTG stat = {};
  if (made_ || FAILED(stream->Stat(&stat, STATFLAG_NONAME))) return;
  oldSize_ = stat.cbSize.QuadPart;
  if (oldSize_ >= size) return;
  ULARGE_INTEGER room;
  room.QuadPart = size;
  made_ = SUCCEEDED(stream->SetSize(room));
  size_ = size;
}

void PageRoom::Wrote(IStream* stream, ULONGLONG at, const void* data, ULONG taken) {
  if (!started_) {
    started_ = true;
    start_ = at;
  }
  if (at == start_ + headerBytes_ && headerBytes_ < sizeof(header_)) {
    const ULONG more =
        taken < sizeof(header_) - headerBytes_ ? taken : sizeof(header_) - headerBytes_;
    std::memcpy(header_ + headerBytes_, data, more);
    headerBytes_ += more;
  }
  Reached(at + taken);
  if (headerBytes_ == sizeof(header_) && !tried_) {
    tried_ = true;
    DWORD fileSize = 0;
    std::memcpy(&fileSize, header_ + 2, sizeof(fileSize));
    if (header_[0] == 'B' && header_[1] == 'M') Make(stream, start_ + fileSize);
  }
}

void PageRoom::End(IStream* stream) {
  if (made_ && end_ < size_) {
    ULARGE_INTEGER size;
    Visible(&size.QuadPart);
    stream->SetSize(size);
  }
  made_ = false;
}

HRESULT PageWriter::Start(ULONGLONG fileSize) {
  *count_ = 0;
  room_.Make(destination_, fileSize);
  return SeekFromStart(destination_, 0);
}

HRESULT PageWriter::Write(const void* data, ULONG size) {
  ULONG taken = 0;
  const HRESULT hr = WriteAll(destination_, data, size, &taken);
  *count_ += taken;
  room_.Reached(*count_);
  return hr;
}
