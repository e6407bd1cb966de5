// AdjustImage: reads and checks the page's headers, works out the crop and
// dispatches on the bit depth.
#include "adjust.h"

#include <climits>

#include "adjust_gdiplus.h"
#include "adjust_internal.h"
#include "bounded_stream.h"
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
  if (file.bfOffBits > 0x7FFFFFFFu) return InvalidDataResult();
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

namespace {

// Adjusts the page lent to the readers as `page`.
HRESULT AdjustLentPage(LONG brightness, LONG contrast, BoundedStream* page, IStream* destination,
                       ULONG64* byteCount, LONG left, LONG top, LONG width, LONG height) {
  PageGeometry geometry;
  HRESULT hr = ReadPageGeometry(page, page->Size(), &geometry);
  if (FAILED(hr)) return hr;
  CropRect crop;
  hr = MakeCropRect(geometry, left, top, width, height, &crop);
  if (FAILED(hr)) return hr;

  BITMAPINFOHEADER header = geometry.info;
  if (geometry.info.biBitCount == 8) {
    HeapBuffer grey;
    hr = ApplyToneCurve(page, geometry, brightness, contrast, crop, &grey);
    if (FAILED(hr)) return hr;
    return WriteGreyBmp(grey.Get(), destination, crop, &header, byteCount);
  }
  // GDI+ decodes the page from where the headers' read left it.
  return AdjustWithColourMatrix(brightness, contrast, page, destination, crop, &header, byteCount);
}

}  // namespace

HRESULT AdjustImage(LONG brightness, LONG contrast, IStream* working, IStream* destination,
                    ULONG64* byteCount, LONG left, LONG top, LONG width, LONG height) {
  if (!byteCount) return E_POINTER;
  if (!working || !destination) return E_INVALIDARG;
  // Every reader of the page, GDI+ included, reads it through the loan, and
  // the page is taken back from whoever still holds the loan afterwards.
  ComRef<BoundedStream> page;
  HRESULT hr = BoundedStream::Create(working, page.put());
  if (FAILED(hr)) return hr;
  hr = AdjustLentPage(brightness, contrast, page.get(), destination, byteCount, left, top, width,
                      height);
  page->Detach();
  return hr;
}
