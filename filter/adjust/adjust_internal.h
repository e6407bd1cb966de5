// Image adjustment internals: the page's geometry and the crop
// (page_geometry.cpp), and the 8-bit path (tone_curve.cpp).
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

  // Where image row `y` (0 the top row) is stored: its index among the
  // stored rows.
  UINT32 StoredRow(UINT32 y) const { return bottomUp ? rows - 1 - y : y; }
};

// The memory the colour path draws in besides the page: bands of about this
// many bytes of the page's rows (at least one row), never more than a small
// share of the page.
constexpr UINT32 kBandBytes = 1u << 20;
UINT32 BandBytesFor(const PageGeometry& geometry);

// Failure results for malformed pages.
inline HRESULT InvalidDataResult() { return HRESULT_FROM_WIN32(ERROR_INVALID_DATA); }
inline HRESULT NotSupportedResult() { return HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED); }
inline HRESULT OverflowResult() { return HRESULT_FROM_WIN32(ERROR_ARITHMETIC_OVERFLOW); }

// Reads the page's two headers from `page` (of `pageSize` bytes) and
// checks them once for every path. Refused: info headers shorter than 40
// bytes, compressed, of non-positive width, zero height or more than 2^31
// rows, planes other than 1, depths other than 1, 8, 16, 24 and 32 bits, an
// image of 4 GB or more, an 8-bit biSizeImage other than 0 too small for
// the unpadded pixels, pixels that end 2 GB or more into the page, and a page
// that does not hold every row at its padded length from bfOffBits on.
HRESULT ReadPageGeometry(IStream* page, ULONGLONG pageSize, PageGeometry* geometry);

// Reads `count` stored rows from stored row `first` on into `rows`; what a
// short read leaves is zero.
HRESULT ReadStoredRows(IStream* page, const PageGeometry& geometry, UINT32 first, UINT32 count,
                       BYTE* rows);

// The crop that a request of left, top, width, height gives on the page: a
// zero width or height means the whole image, a larger one is clipped to it.
HRESULT MakeCropRect(const PageGeometry& page, LONG left, LONG top, LONG width, LONG height,
                     CropRect* crop);

// AdjustImage's work once the page's headers are read: the page in `page`,
// colour rows drawn in bands of about `bandBytes` bytes.
HRESULT AdjustPage(LONG brightness, LONG contrast, IStream* page, const PageGeometry& geometry,
                   const CropRect& crop, UINT32 bandBytes, IStream* destination,
                   ULONG64* byteCount);

// The grey level of a colour table entry: 299/1000 of red, 587/1000 of green
// and 114/1000 of blue, rounded half up, so a grey entry keeps its level.
BYTE GreyOfColour(BYTE red, BYTE green, BYTE blue);

// The grey level of each pixel value of an 8-bit page, from the page's own
// colour table: the entries that lie between the info header and bfOffBits,
// within the page, at most biClrUsed of them (256 when biClrUsed is 0 or
// larger). Values beyond a shorter table are black (0). A page with no room
// for a table takes its values as grey levels.
HRESULT ReadGreyLevels(IStream* page, const PageGeometry& geometry, BYTE levels[256]);

// The mean of an image's grey levels, added up row by row: every partial sum
// is an integer far below 2^53, so the mean is exactly the quotient of the
// whole sum and the pixel count (the count taken to single precision),
// rounded to single precision, whatever the order of the rows.
class GreyMean {
 public:
  explicit GreyMean(const BYTE levels[256]);
  // Adds the first `width` pixel values of a row.
  void AddRow(const BYTE* row, UINT32 width);
  float Mean(UINT32 width, UINT32 rows) const;

 private:
  const BYTE* levels_;
  bool identity_;
  UINT64 sum_ = 0;
};

// The 256-entry tone table for an image of mean level `mean`.
void BuildToneTable(float mean, LONG brightness, LONG contrast, BYTE table[256]);

// The 8-bit path: each pixel's grey level from the page's colour table, the
// tone curve over the whole image's mean level, and the crop written as a
// top-down 8-bit file with a grey palette (BmpOutput), the page's rows read
// one at a time where they lie. The crop
// counts from the image's top-left corner and comes out upright whatever the
// page's storage order; pixels outside the image are 0.
HRESULT ApplyToneCurve(IStream* page, const PageGeometry& geometry, LONG brightness, LONG contrast,
                       const CropRect& crop, IStream* destination, ULONG64* byteCount);
