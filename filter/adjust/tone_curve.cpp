// The 8-bit path: grey levels from the colour table, mean grey level, 256-entry
// tone table, table lookup.
#include <climits>
#if defined(_M_X64) || defined(__x86_64__) || defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <utility>

#include "adjust_internal.h"
#include "stream_io.h"

HRESULT GreyOutputSize(const CropRect& crop, UINT32* rowBytes, UINT32* imageBytes) {
  const LONGLONG width = static_cast<LONGLONG>(crop.right) - crop.left;
  const LONGLONG height = static_cast<LONGLONG>(crop.bottom) - crop.top;
  if (width <= 0 || height <= 0) return E_INVALIDARG;
  const ULONGLONG row = (static_cast<ULONGLONG>(width) + 3) & ~3ULL;
  const ULONGLONG image = row * static_cast<ULONGLONG>(height);
  // The file size (image plus headers and palette) must fit its 32-bit field.
  if (image > UINT_MAX - kGreyBitsOffset) return OverflowResult();
  *rowBytes = static_cast<UINT32>(row);
  *imageBytes = static_cast<UINT32>(image);
  return S_OK;
}

HRESULT CheckGreyLayout(const BITMAPINFOHEADER& info, const CropRect& crop, GreyLayout* layout) {
  if (info.biWidth <= 0 || info.biHeight == 0 || info.biHeight == LONG_MIN) {
    return InvalidDataResult();
  }
  const UINT32 width = static_cast<UINT32>(info.biWidth);
  const UINT32 rows = static_cast<UINT32>(info.biHeight < 0 ? -info.biHeight : info.biHeight);

  // Rows lie at their padded length however biSizeImage was worked out (a
  // driver may declare biWidth x rows for an odd width): the declared size
  // does not move them, it only has to hold the pixels themselves.
  const ULONGLONG row = (static_cast<ULONGLONG>(width) + 3) & ~3ULL;
  const ULONGLONG image = row * rows;
  if (image > UINT_MAX) return OverflowResult();
  if (info.biSizeImage != 0 && static_cast<ULONGLONG>(width) * rows > info.biSizeImage) {
    return InvalidDataResult();
  }
  const UINT32 stride = static_cast<UINT32>(row);
  const UINT32 imageBytes = static_cast<UINT32>(image);

  UINT32 outRow, outImage;
  const HRESULT hr = GreyOutputSize(crop, &outRow, &outImage);
  if (FAILED(hr)) return hr;

  *layout = GreyLayout{width, rows, stride, imageBytes, outRow, outImage, info.biHeight > 0};
  return S_OK;
}

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

HRESULT ReadGreyLevels(IStream* working, const BITMAPFILEHEADER& file, const BITMAPINFOHEADER& info,
                       ULONGLONG pageSize, BYTE levels[256]) {
  for (int i = 0; i < 256; ++i) levels[i] = static_cast<BYTE>(i);
  const ULONGLONG tableStart = sizeof(BITMAPFILEHEADER) + static_cast<ULONGLONG>(info.biSize);
  ULONGLONG tableEnd = file.bfOffBits;
  if (tableEnd > pageSize) tableEnd = pageSize;
  if (tableEnd <= tableStart) return S_OK;
  ULONGLONG entries = (tableEnd - tableStart) / sizeof(RGBQUAD);
  const ULONGLONG declared = info.biClrUsed == 0 || info.biClrUsed > 256 ? 256 : info.biClrUsed;
  if (entries > declared) entries = declared;
  if (entries == 0) return S_OK;

  // Entries the stream does not deliver stay black, as values beyond the table are.
  RGBQUAD table[256] = {};
  HRESULT hr = SeekFromStart(working, tableStart);
  if (FAILED(hr)) return hr;
  hr = ReadBytes(working, table, static_cast<ULONG>(entries * sizeof(RGBQUAD)));
  if (FAILED(hr)) return hr;
  for (int i = 0; i < 256; ++i) {
    levels[i] = static_cast<ULONGLONG>(i) < entries
                    ? GreyOfColour(table[i].rgbRed, table[i].rgbGreen, table[i].rgbBlue)
                    : 0;
  }
  return S_OK;
}

float MeanGreyLevel(const BYTE* pixels, UINT32 width, UINT32 rows, UINT32 stride) {
  return MeanGreyLevel(pixels, static_cast<SIZE_T>(rows) * stride, width, rows, stride);
}

float MeanGreyLevel(const BYTE* pixels, SIZE_T present, UINT32 width, UINT32 rows, UINT32 stride) {
  double sum = 0.0;
  for (UINT32 k = 0; k < rows; ++k) {
    const SIZE_T start = static_cast<SIZE_T>(k) * stride;
    if (start >= present) break;  // the rows after this one are all 0
    const SIZE_T inRow = present - start < width ? present - start : width;
    sum += static_cast<double>(RowSum(pixels + start, static_cast<UINT32>(inRow)));
  }
  const UINT32 count = width * rows;
  const double divisor = static_cast<double>(static_cast<float>(count));
  return static_cast<float>(sum / divisor);
}

float MeanGreyLevel(const BYTE* pixels, SIZE_T present, UINT32 width, UINT32 rows, UINT32 stride,
                    const BYTE levels[256]) {
  bool identity = true;
  for (int i = 0; i < 256 && identity; ++i) identity = levels[i] == i;
  if (identity) return MeanGreyLevel(pixels, present, width, rows, stride);

  // Count each value, then weigh the counts with their levels: the sum is the
  // same integer that adding the levels pixel by pixel gives.
  UINT64 counts[256] = {};
  UINT64 held = 0;
  for (UINT32 k = 0; k < rows; ++k) {
    const SIZE_T start = static_cast<SIZE_T>(k) * stride;
    if (start >= present) break;
    const SIZE_T inRow = present - start < width ? present - start : width;
    const BYTE* row = pixels + start;
    for (SIZE_T j = 0; j < inRow; ++j) ++counts[row[j]];
    held += inRow;
  }
  const UINT32 count = width * rows;
  counts[0] += count - held;  // the bytes the page lacks are value 0
  UINT64 sum = 0;
  for (int i = 0; i < 256; ++i) sum += counts[i] * levels[i];
  const double divisor = static_cast<double>(static_cast<float>(count));
  return static_cast<float>(static_cast<double>(sum) / divisor);
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

HRESULT ApplyToneCurve(IStream* working, LONG brightness, LONG contrast, const CropRect& crop,
                       HeapBuffer* grey) {
  if (!working || !grey) return E_INVALIDARG;

  BITMAPFILEHEADER file = {};
  BITMAPINFOHEADER info = {};
  HRESULT hr = SeekFromStart(working, 0);
  if (FAILED(hr)) return hr;
  hr = ReadBytes(working, &file, sizeof(file));
  if (FAILED(hr)) return hr;
  hr = ReadBytes(working, &info, sizeof(info));
  if (FAILED(hr)) return hr;

  GreyLayout layout;
  hr = CheckGreyLayout(info, crop, &layout);
  if (FAILED(hr)) return hr;

  // Only what the page holds of the declared image is read and kept: a
  // header cannot make this take memory beyond the page's own size. The
  // bytes the page lacks count as 0.
  STATSTG stat = {};
  hr = working->Stat(&stat, STATFLAG_NONAME);
  if (FAILED(hr)) return hr;
  const ULONGLONG pageSize = stat.cbSize.QuadPart;
  const UINT32 present = pageSize > file.bfOffBits
                             ? static_cast<UINT32>(pageSize - file.bfOffBits < layout.imageBytes
                                                       ? pageSize - file.bfOffBits
                                                       : layout.imageBytes)
                             : 0;
  BYTE levels[256];
  hr = ReadGreyLevels(working, file, info, pageSize, levels);
  if (FAILED(hr)) return hr;

  HeapBuffer input = HeapBuffer::AllocateZeroed(present > 0 ? present : 1);
  if (!input) return E_OUTOFMEMORY;
  hr = SeekFromStart(working, file.bfOffBits);
  if (FAILED(hr)) return hr;
  hr = ReadBytes(working, input.Get(), present);
  if (FAILED(hr)) return hr;

  HeapBuffer output = HeapBuffer::AllocateZeroed(layout.outImageBytes);
  if (!output) return E_OUTOFMEMORY;

  // The tone curve works on grey levels; one table takes a pixel value
  // through the colour table and the tone curve at once.
  BYTE tone[256];
  BuildToneTable(
      MeanGreyLevel(input.Get(), present, layout.width, layout.rows, layout.stride, levels),
      brightness, contrast, tone);
  BYTE table[256];
  for (int i = 0; i < 256; ++i) table[i] = tone[levels[i]];

  // Output pixel (j, r) takes image pixel (left + j, top + r), rows counted
  // from the image's top whatever order they are stored in; pixels outside
  // the image stay 0, as do the row padding bytes.
  const LONGLONG outWidth = static_cast<LONGLONG>(crop.right) - crop.left;
  const LONGLONG outHeight = static_cast<LONGLONG>(crop.bottom) - crop.top;
  LONGLONG firstColumn = -static_cast<LONGLONG>(crop.left);
  if (firstColumn < 0) firstColumn = 0;
  LONGLONG endColumn = static_cast<LONGLONG>(layout.width) - crop.left;
  if (endColumn > outWidth) endColumn = outWidth;
  for (LONGLONG r = 0; r < outHeight; ++r) {
    const LONGLONG imageRow = crop.top + r;
    if (imageRow < 0 || imageRow >= layout.rows) continue;
    const LONGLONG sourceRow =
        layout.bottomUp ? static_cast<LONGLONG>(layout.rows) - 1 - imageRow : imageRow;
    const LONGLONG count = endColumn - firstColumn;
    if (count <= 0) continue;
    // Of this row's columns, those the page holds are looked up; the rest
    // are value 0. Pointers and counts are fixed before the loops, so
    // nothing is re-read from memory that the stores could have changed.
    const LONGLONG rowStart = sourceRow * static_cast<LONGLONG>(layout.stride);
    const LONGLONG firstSource = rowStart + crop.left + firstColumn;
    LONGLONG held = static_cast<LONGLONG>(present) - firstSource;
    if (held < 0) held = 0;
    if (held > count) held = count;
    BYTE* target = output.Get() + static_cast<SIZE_T>(r) * layout.outRowBytes +
                   static_cast<SIZE_T>(firstColumn);
    const BYTE* source = input.Get() + static_cast<SIZE_T>(held > 0 ? firstSource : 0);
    for (LONGLONG j = 0; j < held; ++j) target[j] = table[source[j]];
    for (LONGLONG j = held; j < count; ++j) target[j] = table[0];
  }

  *grey = std::move(output);
  return S_OK;
}
