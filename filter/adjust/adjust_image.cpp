// AdjustImage: reads and checks the page's headers, works out the crop and
// dispatches on the bit depth.
#include "adjust.h"

#include "adjust_gdiplus.h"
#include "adjust_internal.h"

HRESULT AdjustPage(LONG brightness, LONG contrast, IStream* page, const PageGeometry& geometry,
                   const CropRect& crop, UINT32 bandBytes, IStream* destination,
                   ULONG64* byteCount) {
  if (geometry.info.biBitCount == 8) {
    return ApplyToneCurve(page, geometry, brightness, contrast, crop, destination, byteCount);
  }
  return AdjustWithColourMatrix(brightness, contrast, page, geometry, crop, bandBytes, destination,
                                byteCount);
}

HRESULT AdjustImage(LONG brightness, LONG contrast, IStream* working, IStream* destination,
                    ULONG64* byteCount, LONG left, LONG top, LONG width, LONG height) {
  if (!byteCount) return E_POINTER;
  if (!working || !destination) return E_INVALIDARG;
  // The page's size bounds every read: nothing is read beyond it.
  STATSTG stat = {};
  HRESULT hr = working->Stat(&stat, STATFLAG_NONAME);
  if (FAILED(hr)) return hr;
  PageGeometry geometry;
  hr = ReadPageGeometry(working, stat.cbSize.QuadPart, &geometry);
  if (FAILED(hr)) return hr;
  CropRect crop;
  hr = MakeCropRect(geometry, left, top, width, height, &crop);
  if (FAILED(hr)) return hr;
  return AdjustPage(brightness, contrast, working, geometry, crop, BandBytesFor(geometry),
                    destination, byteCount);
}
