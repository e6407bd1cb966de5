// Image adjustment internals that work through GDI+: the colour-matrix path,
// the bitmap writer and the status mapping.
#pragma once

#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include "adjust_internal.h"
#include "page_writer.h"

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

// A bottom-up BMP file of the crop's size written into `destination` from
// position 0, a band of rows at a time: the bottom band first, each band's
// bottom row first. The headers go out with the first band, whose rows tell
// the row length. `header` is the input's info header, rewritten in place.
class BitmapFile {
 public:
  BitmapFile(IStream* destination, BITMAPINFOHEADER* header, const CropRect& crop, double dpi,
             ULONG64* byteCount);

  // Refuses what the file cannot be: an empty crop, a 1-bit crop other than
  // the whole image, more colours than the depth has.
  HRESULT Check();
  // After a band is locked: the lock's failure (a first band's counts 0
  // bytes written), or S_OK.
  HRESULT Locked(Gdiplus::Status lockStatus);
  // The `rows` locked rows of a band.
  HRESULT WriteRows(const Gdiplus::BitmapData& data, UINT rows);

  // The file's colour table: the two colours of a 1-bit image, zeros for
  // other depths.
  RGBQUAD colourTable[256] = {};

 private:
  HRESULT Start(UINT32 stride);

  PageWriter out_;
  BITMAPINFOHEADER* header_;
  ULONG64* byteCount_;
  double dpi_;
  LONGLONG width_;
  LONGLONG height_;
  bool oneBit_;
  bool wholeImage_;
  DWORD colours_ = 0;
  bool started_ = false;
  UINT32 stride_ = 0;
};

// Writes `bitmap` to `destination` from position 0 as a bottom-up BMP file
// (one band: the whole bitmap); a 1-bit bitmap keeps the two colours its
// decoder reports.
HRESULT WriteBitmapBmp(Gdiplus::Bitmap* bitmap, IStream* destination, BITMAPINFOHEADER* header,
                       const CropRect& crop, Gdiplus::PixelFormat pixelFormat, double dpi,
                       ULONG64* byteCount);
