// Image adjustment internals that work through GDI+: the colour-matrix path,
// the bitmap writer and the status mapping.
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

// Decodes the BMP in `working`, draws it through the colour matrix (1-bit
// images are left unchanged) and writes it with WriteBitmapBmp.
HRESULT AdjustWithColourMatrix(LONG brightness, LONG contrast, IStream* working,
                               IStream* destination, const CropRect& crop, BITMAPINFOHEADER* header,
                               ULONG64* byteCount);

// Writes `bitmap` to `destination` from position 0 as a bottom-up BMP file; a
// 1-bit bitmap keeps the two colours its decoder reports. `header` is the
// input's info header, rewritten in place.
HRESULT WriteBitmapBmp(Gdiplus::Bitmap* bitmap, IStream* destination, BITMAPINFOHEADER* header,
                       const CropRect& crop, Gdiplus::PixelFormat pixelFormat, double dpi,
                       ULONG64* byteCount);
