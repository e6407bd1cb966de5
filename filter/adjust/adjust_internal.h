// Image adjustment internals: crop rectangle, 8-bit tone curve, grey writer.
#pragma once

#include <windows.h>
#include <objidl.h>

#include "heap_buffer.h"

// Left, top, right, bottom; right and bottom exclusive.
struct CropRect {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
};

// The page as its headers describe it, read and checked once by
// ReadPageGeometry and handed on to the path that adjusts it.
struct PageGeometry {
  BITMAPFILEHEADER file;
  BITMAPINFOHEADER info;
  ULONGLONG pageSize;  // the page stream's size
  UINT32 width;        // pixels per row (biWidth)
  UINT32 rows;         // |biHeight|
  UINT32 rowBytes;     // a stored row: width x depth bits, padded to 4 bytes
  UINT32 imageBytes;   // rowBytes x rows, all held by the page from bfOffBits on
  bool bottomUp;       // the bottom row stored first (positive biHeight)
};

constexpr DWORD kGreyPaletteBytes = 256 * 4;
constexpr DWORD kGreyBitsOffset =
    sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER) + kGreyPaletteBytes;

// Failure results for malformed pages.
inline HRESULT InvalidDataResult() { return HRESULT_FROM_WIN32(ERROR_INVALID_DATA); }
inline HRESULT NotSupportedResult() { return HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED); }
inline HRESULT OverflowResult() { return HRESULT_FROM_WIN32(ERROR_ARITHMETIC_OVERFLOW); }

// Reads the page's two headers from `page` (of `pageSize` bytes) and
// checks them once for every path. Refused: info headers shorter than 40
// bytes, compressed, of non-positive width, zero height or more than 2^31
// rows, planes other than 1, depths other than 1, 8, 16, 24 and 32 bits, an
// image of 4 GB or more, an 8-bit biSizeImage other than 0 too small for
// the unpadded pixels, pixels from 2 GB into the page or later, and a page
// that does not hold every row at its padded length from bfOffBits on.
HRESULT ReadPageGeometry(IStream* page, ULONGLONG pageSize, PageGeometry* geometry);

// The crop that a request of left, top, width, height gives on the page: a
// zero width or height means the whole image, a larger one is clipped to it.
HRESULT MakeCropRect(const PageGeometry& page, LONG left, LONG top, LONG width, LONG height,
                     CropRect* crop);

// Output row size and image size of a grey image of the crop's size.
HRESULT GreyOutputSize(const CropRect& crop, UINT32* rowBytes, UINT32* imageBytes);

// The grey level of a colour table entry: 299/1000 of red, 587/1000 of green
// and 114/1000 of blue, rounded half up, so a grey entry keeps its level.
BYTE GreyOfColour(BYTE red, BYTE green, BYTE blue);

// The grey level of each pixel value of an 8-bit page, from the page's own
// colour table: the entries that lie between the info header and bfOffBits,
// within the page, at most biClrUsed of them (256 when biClrUsed is 0 or
// larger). Values beyond a shorter table are black (0). A page with no room
// for a table takes its values as grey levels.
HRESULT ReadGreyLevels(IStream* page, const PageGeometry& geometry, BYTE levels[256]);

// Mean grey level over `rows` rows of `width` bytes, `stride` bytes apart.
float MeanGreyLevel(const BYTE* pixels, UINT32 width, UINT32 rows, UINT32 stride);
// The mean of the levels that `levels` gives the pixel values.
float MeanGreyLevel(const BYTE* pixels, UINT32 width, UINT32 rows, UINT32 stride,
                    const BYTE levels[256]);

// The 256-entry tone table for an image of mean level `mean`.
void BuildToneTable(float mean, LONG brightness, LONG contrast, BYTE table[256]);

// Reads the 8-bit BMP in `working`, takes each pixel's grey level from its
// colour table, applies the tone curve and hands back the grey image:
// crop-height rows of (crop width + 3) & ~3 bytes, the top row first whatever
// the page's storage order. The crop counts from the image's top-left corner.
HRESULT ApplyToneCurve(IStream* page, const PageGeometry& geometry, LONG brightness, LONG contrast,
                       const CropRect& crop, HeapBuffer* grey);

// Writes `grey` (crop-height rows of (crop width + 3) & ~3 bytes) to
// `destination` from position 0 as a top-down 8-bit file with a grey palette.
// `header` is the input's info header, rewritten in place.
HRESULT WriteGreyBmp(const BYTE* grey, IStream* destination, const CropRect& crop,
                     BITMAPINFOHEADER* header, ULONG64* byteCount);
