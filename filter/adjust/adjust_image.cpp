// AdjustImage: reads the page's info header, works out the crop and
// dispatches on the bit depth.
#include "adjust.h"

#include <climits>

#include "adjust_gdiplus.h"
#include "adjust_internal.h"
#include "bounded_stream.h"
#include "stream_io.h"

HRESULT CheckInfoHeader(const BITMAPINFOHEADER& info) {
  if (info.biSize < sizeof(BITMAPINFOHEADER)) return InvalidDataResult();
  if (info.biCompression != BI_RGB) return NotSupportedResult();
  if (info.biWidth <= 0) return InvalidDataResult();
  if (info.biHeight == 0 || info.biHeight == LONG_MIN) return InvalidDataResult();
  if (info.biPlanes != 1) return InvalidDataResult();
  // The stored image, rows padded to 4 bytes, must fit 32 bits whatever path
  // decodes it.
  const ULONGLONG rowBytes = (static_cast<ULONGLONG>(info.biWidth) * info.biBitCount + 31) / 32 * 4;
  const ULONGLONG rows = info.biHeight < 0 ? -static_cast<LONGLONG>(info.biHeight) : info.biHeight;
  if (rowBytes * rows > UINT_MAX) return OverflowResult();
  // Depths with a colour table other than 1 and 8 bits cannot be adjusted:
  // the output carries no colour table for them.
  switch (info.biBitCount) {
    case 1:
    case 8:
    case 16:
    case 24:
    case 32: return S_OK;
    default: return NotSupportedResult();
  }
}

HRESULT CheckPageHoldsPixels(const BITMAPFILEHEADER& file, const BITMAPINFOHEADER& info,
                             ULONGLONG pageSize) {
  if (file.bfOffBits > 0x7FFFFFFFu) return InvalidDataResult();
  // The info header has been checked: the image fits 32 bits.
  const ULONGLONG rowBytes = (static_cast<ULONGLONG>(info.biWidth) * info.biBitCount + 31) / 32 * 4;
  const ULONGLONG rows = info.biHeight < 0 ? -static_cast<LONGLONG>(info.biHeight) : info.biHeight;
  if (pageSize < file.bfOffBits || pageSize - file.bfOffBits < rowBytes * rows) {
    return InvalidDataResult();
  }
  return S_OK;
}

HRESULT MakeCropRect(const BITMAPINFOHEADER& info, LONG left, LONG top, LONG width, LONG height,
                     CropRect* crop) {
  const LONG rows = info.biHeight < 0 ? -info.biHeight : info.biHeight;
  if (width == 0 || height == 0) {
    *crop = CropRect{0, 0, info.biWidth, rows};
    return S_OK;
  }
  if (width < 0 || height < 0) return E_INVALIDARG;
  const LONG w = width > info.biWidth ? info.biWidth : width;
  const LONG h = height > rows ? rows : height;
  const LONGLONG right = static_cast<LONGLONG>(left) + w;
  const LONGLONG bottom = static_cast<LONGLONG>(top) + h;
  if (right > LONG_MAX || bottom > LONG_MAX) return E_INVALIDARG;
  *crop = CropRect{left, top, static_cast<LONG>(right), static_cast<LONG>(bottom)};
  return S_OK;
}

HRESULT AdjustImage(LONG brightness, LONG contrast, IStream* working, IStream* destination,
                    ULONG64* byteCount, LONG left, LONG top, LONG width, LONG height) {
  if (!byteCount) return E_POINTER;
  if (!working || !destination) return E_INVALIDARG;

  // Every reader of the page, GDI+ included, reads it through the loan.
  LentPage page;
  HRESULT hr = page.Lend(working);
  if (FAILED(hr)) return hr;
  IStream* const input = page.get();

  BITMAPFILEHEADER file = {};
  BITMAPINFOHEADER info = {};
  hr = SeekFromStart(input, 0);
  if (FAILED(hr)) return hr;
  hr = ReadBytes(input, &file, sizeof(file));
  if (FAILED(hr)) return hr;
  hr = ReadBytes(input, &info, sizeof(info));
  if (FAILED(hr)) return hr;

  hr = CheckInfoHeader(info);
  if (FAILED(hr)) return hr;
  // The output's size comes from the header: a page that does not hold what
  // its header declares is refused before anything is written.
  hr = CheckPageHoldsPixels(file, info, page.size());
  if (FAILED(hr)) return hr;
  CropRect crop;
  hr = MakeCropRect(info, left, top, width, height, &crop);
  if (FAILED(hr)) return hr;

  BITMAPINFOHEADER header = info;
  if (info.biBitCount == 8) {
    HeapBuffer grey;
    hr = ApplyToneCurve(input, brightness, contrast, crop, &grey);
    if (FAILED(hr)) return hr;
    return WriteGreyBmp(grey.Get(), destination, crop, &header, byteCount);
  }
  return AdjustWithColourMatrix(brightness, contrast, input, destination, crop, &header, byteCount);
}
