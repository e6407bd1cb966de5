#include "bmp_output.h"

#include <climits>
#include <cstddef>

#include "adjust_internal.h"
#include "stream_io.h"

BmpOutput::~BmpOutput() {
  if (size_ == 0 || *count_ >= size_) return;
  ULARGE_INTEGER size;
  size.QuadPart = oldSize_ > *count_ ? oldSize_ : *count_;
  destination_->SetSize(size);
}

HRESULT BmpOutput::Start(BITMAPINFOHEADER* info, const RGBQUAD* colours) {
  const ULONGLONG rows =
      info->biHeight < 0 ? -static_cast<LONGLONG>(info->biHeight) : info->biHeight;
  const ULONGLONG rowBytes =
      (static_cast<ULONGLONG>(info->biWidth) * info->biBitCount + 31) / 32 * 4;
  const DWORD bitsOffset =
      sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER) + info->biClrUsed * sizeof(RGBQUAD);
  if (rowBytes * rows > UINT_MAX - bitsOffset) return OverflowResult();
  rowBytes_ = static_cast<UINT32>(rowBytes);
  info->biSize = sizeof(BITMAPINFOHEADER);
  info->biSizeImage = static_cast<DWORD>(rowBytes * rows);
  BITMAPFILEHEADER file = {};
  file.bfType = 0x4D42;  // "BM"
  file.bfOffBits = bitsOffset;
  file.bfSize = bitsOffset + info->biSizeImage;
  *count_ = 0;
  STATSTG stat = {};
  ULARGE_INTEGER size;
  size.QuadPart = file.bfSize;
  if (SUCCEEDED(destination_->Stat(&stat, STATFLAG_NONAME)) && stat.cbSize.QuadPart < file.bfSize &&
      SUCCEEDED(destination_->SetSize(size))) {
    oldSize_ = stat.cbSize.QuadPart;
    size_ = file.bfSize;
  }
  HRESULT hr = SeekFromStart(destination_, 0);
  if (SUCCEEDED(hr)) hr = Write(&file, sizeof(file));
  if (SUCCEEDED(hr)) hr = Write(info, sizeof(*info));
  if (SUCCEEDED(hr)) hr = Write(colours, info->biClrUsed * sizeof(RGBQUAD));
  return hr;
}

HRESULT BmpOutput::Push(const BYTE* first, UINT rows, INT stride) {
  HRESULT hr = S_OK;
  for (UINT k = 0; k < rows && SUCCEEDED(hr); ++k) {
    hr = Write(first + static_cast<std::ptrdiff_t>(k) * stride, rowBytes_);
  }
  return hr;
}

HRESULT BmpOutput::Write(const void* data, ULONG size) {
  ULONG taken = 0;
  const HRESULT hr = WriteAll(destination_, data, size, &taken);
  *count_ += taken;
  return hr;
}
