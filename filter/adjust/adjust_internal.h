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

// Sizes that an 8-bit page and its crop give, all checked to fit 32 bits.
struct GreyLayout {
  UINT32 width;          // input pixels per row (biWidth)
  UINT32 rows;           // input rows (|biHeight|)
  UINT32 stride;         // bytes per stored input row: biWidth rounded up to 4
  UINT32 imageBytes;     // bytes of input pixel data: stride times rows
  UINT32 outRowBytes;    // output row: crop width rounded up to 4
  UINT32 outImageBytes;  // crop height times outRowBytes
  bool bottomUp;         // rows stored bottom row first (positive biHeight)
};

constexpr DWORD kGreyPaletteBytes = 256 * 4;
constexpr DWORD kGreyBitsOffset =
    sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER) + kGreyPaletteBytes;

// Failure results for malformed pages.
inline HRESULT InvalidDataResult() { return HRESULT_FROM_WIN32(ERROR_INVALID_DATA); }
inline HRESULT NotSupportedResult() { return HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED); }
inline HRESULT OverflowResult() { return HRESULT_FROM_WIN32(ERROR_ARITHMETIC_OVERFLOW); }

// Rejects info headers no path can work with: shorter than 40 bytes,
// compressed, non-positive width, zero height, depths other than 1, 8, 16,
// 24 and 32 bits.
HRESULT CheckInfoHeader(const BITMAPINFOHEADER& info);

// Refuses, as invalid data, a page of `pageSize` bytes that does not hold
// the pixels its headers declare: every row at its length padded to 4 bytes,
// the last row's padding included, from bfOffBits on. An offset to the
// pixels of 2 GB or more is refused whatever the page's size.
HRESULT CheckPageHoldsPixels(const BITMAPFILEHEADER& file, const BITMAPINFOHEADER& info,
                             ULONGLONG pageSize);

// The crop that a request of left, top, width, height gives on `info`: a zero
// width or height means the whole image, a larger one is clipped to the image.
HRESULT MakeCropRect(const BITMAPINFOHEADER& info, LONG left, LONG top, LONG width, LONG height,
                     CropRect* crop);

// Output row size and image size of a grey image of the crop's size.
HRESULT GreyOutputSize(const CropRect& crop, UINT32* rowBytes, UINT32* imageBytes);

// Everything the 8-bit path needs to stay inside its buffers. Rows are stored
// at biWidth bytes rounded up to 4, whatever biSizeImage says; a biSizeImage
// other than 0 that cannot even hold biWidth bytes per row is invalid data.
HRESULT CheckGreyLayout(const BITMAPINFOHEADER& info, const CropRect& crop, GreyLayout* layout);

// The grey level of a colour table entry: 299/1000 of red, 587/1000 of green
// and 114/1000 of blue, rounded half up, so a grey entry keeps its level.
BYTE GreyOfColour(BYTE red, BYTE green, BYTE blue);

// The grey level of each pixel value of an 8-bit page, from the page's own
// colour table: the entries that lie between the info header and bfOffBits,
// within the page, at most biClrUsed of them (256 when biClrUsed is 0 or
// larger). Values beyond a shorter table are black (0). A page with no room
// for a table takes its values as grey levels.
HRESULT ReadGreyLevels(IStream* working, const BITMAPFILEHEADER& file, const BITMAPINFOHEADER& info,
                       ULONGLONG pageSize, BYTE levels[256]);

// Mean grey level over `rows` rows of `width` bytes, `stride` bytes apart.
float MeanGreyLevel(const BYTE* pixels, UINT32 width, UINT32 rows, UINT32 stride);
// The same when only the first `present` bytes of the image are held: the
// bytes beyond count as 0.
float MeanGreyLevel(const BYTE* pixels, SIZE_T present, UINT32 width, UINT32 rows, UINT32 stride);
// The mean of the levels that `levels` gives the pixel values, the missing
// bytes counting as value 0.
float MeanGreyLevel(const BYTE* pixels, SIZE_T present, UINT32 width, UINT32 rows, UINT32 stride,
                    const BYTE levels[256]);

// The 256-entry tone table for an image of mean level `mean`.
void BuildToneTable(float mean, LONG brightness, LONG contrast, BYTE table[256]);

// Reads the 8-bit BMP in `working`, takes each pixel's grey level from its
// colour table, applies the tone curve and hands back the grey image:
// crop-height rows of (crop width + 3) & ~3 bytes, the top row first whatever
// the page's storage order. The crop counts from the image's top-left corner.
HRESULT ApplyToneCurve(IStream* working, LONG brightness, LONG contrast, const CropRect& crop,
                       HeapBuffer* grey);

// Writes `grey` (crop-height rows of (crop width + 3) & ~3 bytes) to
// `destination` from position 0 as a top-down 8-bit file with a grey palette.
// `header` is the input's info header, rewritten in place.
HRESULT WriteGreyBmp(const BYTE* grey, IStream* destination, const CropRect& crop,
                     BITMAPINFOHEADER* header, ULONG64* byteCount);
