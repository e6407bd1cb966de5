// The 8-bit path: grey levels from the colour table, mean grey level, 256-entry
// tone table, table lookup.
#include <climits>
#if defined(_M_X64) || defined(__x86_64__) || defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <cstring>
#include <utility>

#include "adjust_internal.h"
#include "bmp_output.h"
#include "stream_io.h"

namespace {

// Sum of the first `width` bytes of a row. Every partial sum of the image is an
// integer far below 2^53, so adding whole row sums to a double gives exactly
// the sum that adding the pixels one by one would.
UINT64 RowSum(const BYTE* row, UINT32 width) {
  UINT64 sum = 0;
  UINT32 j = 0;
#if defined(_M_X64) || defined(__x86_64__) || defined(__SSE2__)
  // 16 pixels at a time: the sum of absolute differences against zero adds
  // each group of 8 bytes into a 64-bit lane.
  __m128i lanes = _mm_setzero_si128();
  const __m128i zero = _mm_setzero_si128();
  for (; j + 16 <= width; j += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + j));
    lanes = _mm_add_epi64(lanes, _mm_sad_epu8(bytes, zero));
  }
  alignas(16) UINT64 halves[2];
  _mm_store_si128(reinterpret_cast<__m128i*>(halves), lanes);
  sum = halves[0] + halves[1];
#endif
  for (; j < width; ++j) sum += row[j];
  return sum;
}

}  // namespace

BYTE GreyOfColour(BYTE red, BYTE green, BYTE blue) {
  return static_cast<BYTE>((299u * red + 587u * green + 114u * blue + 500u) / 1000u);
}

HRESULT ReadGreyLevels(IStream* page, const PageGeometry& geometry, BYTE levels[256]) {
  for (int i = 0; i < 256; ++i) levels[i] = static_cast<BYTE>(i);
  const ULONGLONG tableStart =
      sizeof(BITMAPFILEHEADER) + static_cast<ULONGLONG>(geometry.info.biSize);
  // The page holds everything up to bfOffBits.
  const ULONGLONG tableEnd = geometry.file.bfOffBits;
  if (tableEnd <= tableStart) return S_OK;
  ULONGLONG entries = (tableEnd - tableStart) / sizeof(RGBQUAD);
  const DWORD used = geometry.info.biClrUsed;
  const ULONGLONG declared = used == 0 || used > 256 ? 256 : used;
  if (entries > declared) entries = declared;
  if (entries == 0) return S_OK;

  // Entries the stream does not deliver stay black, as values beyond the table are.
  RGBQUAD table[256] = {};
  HRESULT hr = SeekFromStart(page, tableStart);
  if (FAILED(hr)) return hr;
  hr = ReadBytes(page, table, static_cast<ULONG>(entries * sizeof(RGBQUAD)));
  if (FAILED(hr)) return hr;
  for (int i = 0; i < 256; ++i) {
    levels[i] = static_cast<ULONGLONG>(i) < entries
                    ? GreyOfColour(table[i].rgbRed, table[i].rgbGreen, table[i].rgbBlue)
                    : 0;
  }
  return S_OK;
}

GreyMean::GreyMean(const BYTE levels[256]) : levels_(levels), identity_(true) {
  for (int i = 0; i < 256 && identity_; ++i) identity_ = levels[i] == i;
}

void GreyMean::AddRow(const BYTE* row, UINT32 width) {
  if (identity_) {
    sum_ += RowSum(row, width);
    return;
  }
  // Count each value, then weigh the counts with their levels: the same
  // integer that adding the levels pixel by pixel gives.
  UINT32 counts[256] = {};
  for (UINT32 j = 0; j < width; ++j) ++counts[row[j]];
  for (int i = 0; i < 256; ++i) sum_ += static_cast<UINT64>(counts[i]) * levels_[i];
}

float GreyMean::Mean(UINT32 width, UINT32 rows) const {
  const UINT32 count = width * rows;
  const double divisor = static_cast<double>(static_cast<float>(count));
  return static_cast<float>(static_cast<double>(sum_) / divisor);
}

void BuildToneTable(float mean, LONG brightness, LONG contrast, BYTE table[256]) {
  const float factor = static_cast<float>(contrast) / 1000.0f + 1.0f;
  // 64-bit so that brightness values far outside -1000..1000 cannot overflow.
  const LONGLONG scale = static_cast<LONGLONG>(brightness) + 1000;
  for (int i = 0; i < 256; ++i) {
    const float t = (static_cast<float>(i) - mean) * factor + mean;
    LONGLONG n;
    if (!(t > 0.0f)) {
      n = 0;  // truncation of anything below 1 gives at most 0 (NaN too)
    } else if (t >= 256.0f) {
      n = 255;
    } else {
      n = static_cast<LONG>(t);
      if (n > 255) n = 255;
    }
    const LONGLONG q = n * scale / 1000;
    table[i] = static_cast<BYTE>(q < 0 ? 0 : (q > 255 ? 255 : q));
  }
}

HRESULT ApplyToneCurve(IStream* page, const PageGeometry& geometry, LONG brightness, LONG contrast,
                       const CropRect& crop, IStream* destination, ULONG64* byteCount) {
  if (!page || !destination) return E_INVALIDARG;
  const LONGLONG width = static_cast<LONGLONG>(crop.right) - crop.left;
  const UINT32 outRowBytes = static_cast<UINT32>((width + 3) & ~3LL);
  BYTE levels[256];
  HRESULT hr = ReadGreyLevels(page, geometry, levels);
  if (FAILED(hr)) return hr;
  // One stored row and one output row at a time: the page is read where it
  // lies, twice, and never copied whole.
  HeapBuffer input = HeapBuffer::AllocateZeroed(geometry.rowBytes);
  HeapBuffer output = HeapBuffer::AllocateZeroed(outRowBytes);
  if (!input || !output) return E_OUTOFMEMORY;

  // The mean over the whole image.
  GreyMean mean(levels);
  for (UINT32 s = 0; s < geometry.rows; ++s) {
    hr = ReadStoredRows(page, geometry, s, 1, input.get());
    if (FAILED(hr)) return hr;
    mean.AddRow(input.get(), geometry.width);
  }
  // The tone curve works on grey levels; one table takes a pixel value
  // through the colour table and the tone curve at once.
  BYTE tone[256];
  BuildToneTable(mean.Mean(geometry.width, geometry.rows), brightness, contrast, tone);
  BYTE table[256];
  for (int i = 0; i < 256; ++i) table[i] = tone[levels[i]];

  // The file: top-down, 8 bits, a grey palette, the crop's size; the
  // 40-byte info header whatever the input had.
  BITMAPINFOHEADER header = geometry.info;
  header.biWidth = static_cast<LONG>(width);
  header.biHeight = -(crop.bottom - crop.top);
  header.biClrUsed = 256;
  RGBQUAD palette[256];
  for (int i = 0; i < 256; ++i) {
    palette[i] = RGBQUAD{static_cast<BYTE>(i), static_cast<BYTE>(i), static_cast<BYTE>(i), 0};
  }
  BmpOutput out(destination, byteCount);
  hr = out.Start(&header, palette);
  // Output pixel (j, r) takes image pixel (left + j, top + r), rows counted
  // from the image's top whatever order they are stored in; pixels outside
  // the image are 0 (black), as are the row padding bytes.
  const LONGLONG firstColumn = crop.left < 0 ? -static_cast<LONGLONG>(crop.left) : 0;
  LONGLONG endColumn = static_cast<LONGLONG>(geometry.width) - crop.left;
  if (endColumn > width) endColumn = width;
  for (LONGLONG y = crop.top; y < crop.bottom && SUCCEEDED(hr); ++y) {
    std::memset(output.get(), 0, outRowBytes);
    if (y >= 0 && y < geometry.rows && firstColumn < endColumn) {
      hr = ReadStoredRows(page, geometry, geometry.StoredRow(static_cast<UINT32>(y)), 1,
                          input.get());
      const BYTE* source = input.get() + crop.left + firstColumn;
      BYTE* target = output.get() + firstColumn;
      for (LONGLONG j = 0; j < endColumn - firstColumn; ++j) target[j] = table[source[j]];
    }
    if (SUCCEEDED(hr)) hr = out.Push(output.get(), 1, 0);
  }
  return hr;
}
