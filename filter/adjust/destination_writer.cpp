#include "destination_writer.h"

#include "stream_io.h"

DestinationWriter::~DestinationWriter() {
  if (!grown_ || written_ >= fileSize_) return;
  ULARGE_INTEGER size;
  size.QuadPart = written_ > oldSize_ ? written_ : oldSize_;
  destination_->SetSize(size);
}

HRESULT DestinationWriter::Start() {
  const HRESULT hr = SeekFromStart(destination_, 0);
  if (FAILED(hr)) return hr;
  STATSTG stat = {};
  if (FAILED(destination_->Stat(&stat, STATFLAG_NONAME))) return hr;
  oldSize_ = stat.cbSize.QuadPart;
  if (oldSize_ >= fileSize_) return hr;
  ULARGE_INTEGER size;
  size.QuadPart = fileSize_;
  grown_ = SUCCEEDED(destination_->SetSize(size));
  return hr;
}

HRESULT DestinationWriter::Write(const void* data, ULONG size) {
  return WriteBytes(destination_, data, size, &written_);
}
