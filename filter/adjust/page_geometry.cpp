// The page's geometry: its headers read and checked once for every path, the
// crop, and its stored rows read where they lie.
#include <climits>
#include <cstring>

#include "adjust_internal.h"
#include "stream_io.h"

HRESULT ReadPageGeometry(IStream* page, ULONGLONG pageSize, PageGeometry* geometry) {
  BITMAPFILEHEADER file = {};
  BITMAPINFOHEADER info = {};
  HRESULT hr = SeekFromStart(page, 0);
  if (FAILED(hr)) return hr;
  hr = ReadBytes(page, &file, sizeof(file));
  if (FAILED(hr)) return hr;
  hr = ReadBytes(page, &info, sizeof(info));
  if (FAILED(hr)) return hr;

  if (info.biSize < sizeof(BITMAPINFOHEADER)) return InvalidDataResult();
  if (info.biCompression != BI_RGB) return NotSupportedResult();
  if (info.biWidth <= 0) return InvalidDataResult();
  if (info.biHeight == 0 || info.biHeight == LONG_MIN) return InvalidDataResult();
  if (info.biPlanes != 1) return InvalidDataResult();
  const UINT32 width = static_cast<UINT32>(info.biWidth);
  const UINT32 rows = static_cast<UINT32>(info.biHeight < 0 ? -info.biHeight : info.biHeight);
  // The stored image, rows padded to 4 bytes, must fit 32 bits whatever path
  // reads it.
  const ULONGLONG rowBytes = (static_cast<ULONGLONG>(width) * info.biBitCount + 31) / 32 * 4;
  if (rowBytes * rows > UINT_MAX) return OverflowResult();
  // Depths with a colour table other than 1 and 8 bits cannot be adjusted:
  // the output carries no colour table for them.
  switch (info.biBitCount) {
    case 1:
    case 8:
    case 16:
    case 24:
    case 32: break;
    default: return NotSupportedResult();
  }
  // Rows lie at their padded length however biSizeImage was worked out (a
  // driver may declare biWidth x rows for an odd width): the declared size
  // does not move them, it only has to hold the pixels themselves.
  if (info.biBitCount == 8 && info.biSizeImage != 0 &&
      static_cast<ULONGLONG>(width) * rows > info.biSizeImage) {
    return InvalidDataResult();
  }
  // The output's size comes from the header: a page that does not hold what
  // its header declares is refused before anything is written.
  // Rows are read back by seeking the page, whose seeks take a position of
  // 2 GB or more as a negative one: pixels must end before 2 GB.
  if (file.bfOffBits + rowBytes * rows > 0x7FFFFFFFu) return InvalidDataResult();
  if (pageSize < file.bfOffBits || pageSize - file.bfOffBits < rowBytes * rows) {
    return InvalidDataResult();
  }
  *geometry = PageGeometry{file,
                           info,
                           pageSize,
                           width,
                           rows,
                           static_cast<UINT32>(rowBytes),
                           static_cast<UINT32>(rowBytes * rows),
                           info.biHeight > 0};
  return S_OK;
}

HRESULT MakeCropRect(const PageGeometry& page, LONG left, LONG top, LONG width, LONG height,
                     CropRect* crop) {
  const LONG columns = static_cast<LONG>(page.width);
  const LONG rows = static_cast<LONG>(page.rows);
  if (width == 0 || height == 0) {
    *crop = CropRect{0, 0, columns, rows};
    return S_OK;
  }
  if (width < 0 || height < 0) return E_INVALIDARG;
  const LONG w = width > columns ? columns : width;
  const LONG h = height > rows ? rows : height;
  const LONGLONG right = static_cast<LONGLONG>(left) + w;
  const LONGLONG bottom = static_cast<LONGLONG>(top) + h;
  if (right > LONG_MAX || bottom > LONG_MAX) return E_INVALIDARG;
  *crop = CropRect{left, top, static_cast<LONG>(right), static_cast<LONG>(bottom)};
  return S_OK;
}

HRESULT ReadStoredRows(IStream* page, const PageGeometry& geometry, UINT32 first, UINT32 count,
                       BYTE* rows) {
  const ULONG bytes = count * geometry.rowBytes;  // within the image: below 4 GB
  HRESULT hr = SeekFromStart(
      page, geometry.file.bfOffBits + static_cast<ULONGLONG>(first) * geometry.rowBytes);
  if (FAILED(hr)) return hr;
  ULONG read = 0;
  hr = page->Read(rows, bytes, &read);
  if (FAILED(hr)) return hr;
  if (read < bytes) std::memset(rows + read, 0, bytes - read);
  return S_OK;
}

UINT32 BandBytesFor(const PageGeometry& geometry) {
  // A thirty-second of the page's image, between 64 KiB and kBandBytes.
  const UINT32 share = geometry.imageBytes / 32;
  return share < (64u << 10) ? (64u << 10) : (share > kBandBytes ? kBandBytes : share);
}
