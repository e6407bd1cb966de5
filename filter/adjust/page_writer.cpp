#include "page_writer.h"

#include "stream_io.h"

HRESULT WriteAll(IStream* stream, const void* data, ULONG size, ULONG* taken) {
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

PageWriter::PageWriter(IStream* destination, ULONGLONG fileSize, ULONG64* count)
    : destination_(destination), fileSize_(fileSize), count_(count) {
  *count_ = 0;
}

PageWriter::~PageWriter() {
  if (!grown_ || *count_ >= fileSize_) return;
  ULARGE_INTEGER size;
  size.QuadPart = *count_ > oldSize_ ? *count_ : oldSize_;
  destination_->SetSize(size);
}

HRESULT PageWriter::Start() {
  STATSTG stat = {};
  if (SUCCEEDED(destination_->Stat(&stat, STATFLAG_NONAME))) {
    oldSize_ = stat.cbSize.QuadPart;
    if (oldSize_ < fileSize_) {
      ULARGE_INTEGER size;
      size.QuadPart = fileSize_;
      grown_ = SUCCEEDED(destination_->SetSize(size));
    }
  }
  return SeekFromStart(destination_, 0);
}

HRESULT PageWriter::Write(const void* data, ULONG size) {
  ULONG taken = 0;
  const HRESULT hr = WriteAll(destination_, data, size, &taken);
  *count_ += taken;
  return hr;
}
