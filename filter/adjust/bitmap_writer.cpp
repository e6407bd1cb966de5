// WriteBitmapBmp: a bottom-up BMP file from a locked GDI+ bitmap; and the
// mapping of GDI+ statuses to HRESULTs.
#include <climits>
#include <cstddef>
#include <cstring>

#include "adjust_gdiplus.h"
#include "page_writer.h"

using Gdiplus::Status;

HRESULT GdiplusStatusToHresult(Status status) {
  switch (status) {
    case Gdiplus::Ok: return S_OK;
    case Gdiplus::GenericError: return E_FAIL;
    case Gdiplus::InvalidParameter: return E_INVALIDARG;
    case Gdiplus::OutOfMemory: return E_OUTOFMEMORY;
    case Gdiplus::ObjectBusy: return E_PENDING;
    case Gdiplus::InsufficientBuffer: return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    case Gdiplus::NotImplemented: return E_NOTIMPL;
    case Gdiplus::Win32Error: {
      const HRESULT error = static_cast<HRESULT>(GetLastError());
      if (error <= 0) return error;
      return static_cast<HRESULT>((static_cast<ULONG>(error) & 0xFFFF) | 0x80070000UL);
    }
    case Gdiplus::WrongState: return E_FAIL;
    case Gdiplus::Aborted: return E_ABORT;
    case Gdiplus::FileNotFound: return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    case Gdiplus::ValueOverflow: return E_FAIL;
    case Gdiplus::AccessDenied: return E_ACCESSDENIED;
    case Gdiplus::UnknownImageFormat: return HRESULT_FROM_WIN32(ERROR_INVALID_PIXEL_FORMAT);
    default: return E_FAIL;
  }
}

HRESULT GdiplusFailureToHresult(Status status) {
  const HRESULT hr = GdiplusStatusToHresult(status);
  return FAILED(hr) ? hr : E_FAIL;
}

namespace {

// Reads one size through the wrapper and tells whether the query failed.
template <typename Query>
HRESULT QuerySize(Gdiplus::Bitmap* bitmap, Query query, UINT* value) {
  bitmap->GetLastStatus();  // start from a clean status
  *value = query();
  const Status status = bitmap->GetLastStatus();
  return status == Gdiplus::Ok ? S_OK : GdiplusFailureToHresult(status);
}

// dpi * 10000 / 254 rounded; 0 (unspecified) when it does not fit the field.
LONG PelsPerMetre(double dpi) {
  const double value = dpi * 10000.0 / 254.0 + 0.5;
  if (!(value >= 0.0 && value < 2147483648.0)) return 0;
  return static_cast<LONG>(value);
}

}  // namespace

// The colour table of a 1-bit file: the page keeps its own colours (white,
// black included).
void OneBitColours(Gdiplus::Bitmap* bitmap, DWORD declared, RGBQUAD table[2]) {
  table[0] = RGBQUAD{0, 0, 0, 0};
  table[1] = RGBQUAD{255, 255, 255, 0};
  if (declared == 1) return;
  // Room for a palette of up to 256 entries, aligned as the palette.
  union {
    Gdiplus::ColorPalette palette;
    BYTE bytes[sizeof(Gdiplus::ColorPalette) + 255 * sizeof(Gdiplus::ARGB)];
  } storage;
  const size_t entries = offsetof(Gdiplus::ColorPalette, Entries);
  bitmap->GetLastStatus();  // start from a clean status
  const INT size = bitmap->GetPaletteSize();
  const bool fits = bitmap->GetLastStatus() == Gdiplus::Ok &&
                    size >= static_cast<INT>(entries + 2 * sizeof(Gdiplus::ARGB)) &&
                    size <= static_cast<INT>(sizeof(storage));
  if (!fits || bitmap->GetPalette(&storage.palette, size) != Gdiplus::Ok) {
    bitmap->GetLastStatus();  // a failed query leaves no status behind
    return;
  }
  if (storage.palette.Count < 2) return;
  for (int i = 0; i < 2; ++i) {
    Gdiplus::ARGB colour;
    std::memcpy(&colour, storage.bytes + entries + i * sizeof(colour), sizeof(colour));
    table[i] = RGBQUAD{static_cast<BYTE>(colour), static_cast<BYTE>(colour >> 8),
                       static_cast<BYTE>(colour >> 16), 0};
  }
}

BitmapFile::BitmapFile(IStream* destination, BITMAPINFOHEADER* header, const CropRect& crop,
                       double dpi, ULONG64* byteCount)
    : out_(destination, byteCount), header_(header), byteCount_(byteCount), dpi_(dpi) {
  width_ = static_cast<LONGLONG>(crop.right) - crop.left;
  height_ = static_cast<LONGLONG>(crop.bottom) - crop.top;
  oneBit_ = header->biBitCount <= 1;
  wholeImage_ = crop.left == 0 && crop.top == 0;
}

HRESULT BitmapFile::Check() {
  // 1-bit images are written whole: their crop must be the image.
  if (width_ <= 0 || height_ <= 0 || width_ > INT_MAX || height_ > INT_MAX) return E_INVALIDARG;
  if (oneBit_ && !wholeImage_) return E_INVALIDARG;
  // A 1-bit image always gets both palette entries, even where the input
  // declared fewer (0 means two); no depth gets more than 256 entries.
  colours_ = header_->biClrUsed;
  if (header_->biBitCount == 1 && colours_ < 2) colours_ = 2;
  if ((oneBit_ && colours_ > 2) || colours_ > 256) return InvalidDataResult();
  return S_OK;
}

HRESULT BitmapFile::Locked(Status lockStatus) {
  header_->biSize = sizeof(BITMAPINFOHEADER);
  header_->biWidth = static_cast<LONG>(width_);
  header_->biHeight = static_cast<LONG>(height_);
  if (lockStatus == Gdiplus::Ok) return S_OK;
  if (!started_) *byteCount_ = 0;
  return GdiplusFailureToHresult(lockStatus);
}

HRESULT BitmapFile::WriteRows(const Gdiplus::BitmapData& data, UINT rows) {
  // Scan0 is the top row whatever the sign of Stride: a negative one (a
  // bitmap stored bottom-up) steps from each row to the one above in memory.
  if (data.Stride == 0 || data.Stride == INT_MIN || data.Height != rows || !data.Scan0) {
    return InvalidDataResult();
  }
  const UINT32 stride = static_cast<UINT32>(data.Stride < 0 ? -data.Stride : data.Stride);
  HRESULT hr = started_ ? (stride == stride_ ? S_OK : InvalidDataResult()) : Start(stride);
  if (FAILED(hr)) return hr;
  // Bottom row first.
  const BYTE* scan0 = static_cast<const BYTE*>(data.Scan0);
  for (UINT k = 0; k < rows; ++k) {
    const std::ptrdiff_t offset = static_cast<std::ptrdiff_t>(rows - 1 - k) * data.Stride;
    hr = out_.Write(scan0 + offset, stride);
    if (FAILED(hr)) return hr;
  }
  return hr;
}

HRESULT BitmapFile::Start(UINT32 stride) {
  constexpr DWORD kHeaderBytes = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER);
  const DWORD bitsOffset = kHeaderBytes + colours_ * 4;
  const ULONGLONG imageBytes = static_cast<ULONGLONG>(stride) * static_cast<ULONGLONG>(height_);
  if (imageBytes > UINT_MAX - bitsOffset) return OverflowResult();
  started_ = true;
  stride_ = stride;
  header_->biClrUsed = colours_;
  header_->biSizeImage = static_cast<DWORD>(imageBytes);
  if (header_->biBitCount > 1) {
    header_->biXPelsPerMeter = PelsPerMetre(dpi_);
    header_->biYPelsPerMeter = header_->biXPelsPerMeter;
  }
  BITMAPFILEHEADER file = {};
  file.bfType = 0x4D42;  // "BM"
  file.bfOffBits = bitsOffset;
  file.bfSize = bitsOffset + header_->biSizeImage;
  HRESULT hr = out_.Start(file.bfSize);
  if (FAILED(hr)) return hr;
  hr = out_.Write(&file, sizeof(file));
  if (FAILED(hr)) return hr;
  hr = out_.Write(header_, sizeof(*header_));
  if (FAILED(hr)) return hr;
  return out_.Write(colourTable, colours_ * 4);
}

HRESULT WriteBitmapBmp(Gdiplus::Bitmap* bitmap, IStream* destination, BITMAPINFOHEADER* header,
                       const CropRect& crop, Gdiplus::PixelFormat pixelFormat, double dpi,
                       ULONG64* byteCount) {
  if (!bitmap || !destination || !header) return E_INVALIDARG;
  if (!byteCount) return E_POINTER;

  UINT height = 0, width = 0;
  HRESULT hr = QuerySize(
      bitmap, [bitmap] { return bitmap->GetHeight(); }, &height);
  if (FAILED(hr)) return hr;
  hr = QuerySize(
      bitmap, [bitmap] { return bitmap->GetWidth(); }, &width);
  if (FAILED(hr)) return hr;

  // The file declares the crop's size and holds the bitmap's rows: they must
  // agree.
  if (static_cast<LONGLONG>(crop.right) - crop.left != width ||
      static_cast<LONGLONG>(crop.bottom) - crop.top != height) {
    return E_INVALIDARG;
  }
  BitmapFile file(destination, header, crop, dpi, byteCount);
  hr = file.Check();
  if (FAILED(hr)) return hr;
  // The colour table is read before the bitmap is locked: a locked bitmap
  // may answer nothing else.
  if (header->biBitCount == 1) OneBitColours(bitmap, header->biClrUsed, file.colourTable);
  BitsLock lock(bitmap);
  hr = file.Locked(lock.Lock(width, height, pixelFormat));
  if (FAILED(hr)) return hr;
  return file.WriteRows(lock.Data(), height);
}
