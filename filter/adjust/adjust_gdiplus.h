// Image adjustment internals that work through GDI+: the colour-matrix path
// (colour_matrix.cpp) and the status mapping (gdiplus_status.cpp).
#pragma once

#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include "adjust_internal.h"

// Maps a GDI+ status to an HRESULT.
HRESULT GdiplusStatusToHresult(Gdiplus::Status status);

// For a status known to be a failure: its mapping, or E_FAIL where the mapping
// would read as success (Win32Error with no last error set).
HRESULT GdiplusFailureToHresult(Gdiplus::Status status);

// The 5 x 5 colour matrix for brightness and contrast (thousandths).
Gdiplus::ColorMatrix BuildColourMatrix(LONG brightness, LONG contrast);

// Every depth but 8 bits: the crop drawn through the colour matrix (1-bit
// images are left unchanged) and written as a bottom-up file, a band of
// about `bandBytes` of the page's rows at a time, the bottom band first.
// GDI+ decodes only the page's headers and colour table, with its first
// row; each band is a bitmap over the page's rows as they are stored.
HRESULT AdjustWithColourMatrix(LONG brightness, LONG contrast, IStream* page,
                               const PageGeometry& geometry, const CropRect& crop, UINT32 bandBytes,
                               IStream* destination, ULONG64* byteCount);

// A resolution in dots per inch as pels per metre, rounded; 0 (unspecified)
// when it does not fit the field.
LONG PelsPerMetre(double dpi);

// The two colours of a 1-bit bitmap's pixels as its decoder reports them;
// black, white when the page declares fewer than two (`declared` 1; 0 means
// the depth's two) or the decoder reports fewer.
void OneBitColours(Gdiplus::Bitmap* bitmap, DWORD declared, RGBQUAD table[2]);

// Locks a bitmap's rows for reading, and unlocks them when it goes out of
// scope (the unlock status stays on the wrapper).
class BitsLock {
 public:
  explicit BitsLock(Gdiplus::Bitmap* bitmap) : bitmap_(bitmap) {}
  BitsLock(const BitsLock&) = delete;
  BitsLock& operator=(const BitsLock&) = delete;
  ~BitsLock() {
    if (locked_) bitmap_->UnlockBits(&data_);
  }

  Gdiplus::Status Lock(UINT width, UINT height, Gdiplus::PixelFormat format) {
    Gdiplus::Rect rect(0, 0, static_cast<INT>(width), static_cast<INT>(height));
    const Gdiplus::Status status =
        bitmap_->LockBits(&rect, Gdiplus::ImageLockModeRead, format, &data_);
    locked_ = status == Gdiplus::Ok;
    return status;
  }
  const Gdiplus::BitmapData& Data() const { return data_; }

 private:
  Gdiplus::Bitmap* bitmap_;
  Gdiplus::BitmapData data_ = {};
  bool locked_ = false;
};
