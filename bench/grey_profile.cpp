#include "grey_profile.h"

#include <cstdio>
#include <cstring>
#include <functional>
#include <utility>
#include <emmintrin.h>

#include "adjust.h"
#include "adjust_internal.h"

namespace bench {

namespace {

HRESULT ReadPixels(IStream* page, const PageSpec& pageShape, HeapBuffer* pixels) {
  *pixels = HeapBuffer::AllocateZeroed(PixelBytes(pageShape));
  if (!*pixels) return E_OUTOFMEMORY;
  LARGE_INTEGER offset;
  offset.QuadPart = PixelOffset(pageShape);
  HRESULT hr = page->Seek(offset, STREAM_SEEK_SET, nullptr);
  if (FAILED(hr)) return hr;
  ULONG read = 0;
  return page->Read(pixels->Get(), PixelBytes(pageShape), &read);
}

// The mean level as the library computes it, but with each row summed in a
// 64-bit integer first. Every partial sum is an integer below 2^53, so the
// double-precision total, and with it the mean, is exactly the same.
float MeanByRowSums(const BYTE* pixels, UINT32 width, UINT32 rows, UINT32 stride) {
  double sum = 0.0;
  for (UINT32 k = 0; k < rows; ++k) {
    const BYTE* row = pixels + static_cast<SIZE_T>(k) * stride;
    UINT64 rowSum = 0;
    for (UINT32 j = 0; j < width; ++j) rowSum += row[j];
    sum += static_cast<double>(rowSum);
  }
  const UINT32 count = width * rows;
  return static_cast<float>(sum / static_cast<double>(static_cast<float>(count)));
}

// The same sum with SSE2: _mm_sad_epu8 adds 16 bytes at a time into two
// 64-bit lanes. Exact integers again, so the mean is the same.
float MeanBySse2(const BYTE* pixels, UINT32 width, UINT32 rows, UINT32 stride) {
  double sum = 0.0;
  const __m128i zero = _mm_setzero_si128();
  for (UINT32 k = 0; k < rows; ++k) {
    const BYTE* row = pixels + static_cast<SIZE_T>(k) * stride;
    __m128i lanes = _mm_setzero_si128();
    UINT32 j = 0;
    for (; j + 16 <= width; j += 16) {
      const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + j));
      lanes = _mm_add_epi64(lanes, _mm_sad_epu8(bytes, zero));
    }
    UINT64 rowSum = static_cast<UINT64>(_mm_cvtsi128_si64(lanes)) +
                    static_cast<UINT64>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(lanes, lanes)));
    for (; j < width; ++j) rowSum += row[j];
    sum += static_cast<double>(rowSum);
  }
  const UINT32 count = width * rows;
  return static_cast<float>(sum / static_cast<double>(static_cast<float>(count)));
}

// The plain look-up, with the row pointers and the count in locals so that
// the compiler need not reload anything inside the loop.
void LookUpRows(const BYTE* table, const BYTE* input, BYTE* output, UINT32 width, UINT32 rows,
                UINT32 stride, UINT32 outStride) {
  for (UINT32 r = 0; r < rows; ++r) {
    const BYTE* source = input + static_cast<SIZE_T>(r) * stride;
    BYTE* target = output + static_cast<SIZE_T>(r) * outStride;
    for (UINT32 j = 0; j < width; ++j) target[j] = table[source[j]];
  }
}

// The library's tone curve on the page, its headers read as AdjustImage reads them.
HRESULT ToneCurve(IStream* page, const CropRect& crop, HeapBuffer* grey) {
  STATSTG stat = {};
  HRESULT hr = page->Stat(&stat, STATFLAG_NONAME);
  PageGeometry geometry;
  if (SUCCEEDED(hr)) hr = ReadPageGeometry(page, stat.cbSize.QuadPart, &geometry);
  if (SUCCEEDED(hr)) hr = ApplyToneCurve(page, geometry, 200, 0, crop, grey);
  return hr;
}

void PrintStep(const char* name, const Stats& stats, const Stats& whole) {
  std::printf("  %-46s %10s %10s %7s\n", name, FormatMs(stats.min).c_str(),
              FormatMs(stats.median).c_str(), FormatRatio(stats.min, whole.min).c_str());
}

}  // namespace

void RunGreyProfile(const PageSpec& pageShape, const Options& options) {
  ComRef<IStream> page;
  HRESULT hr = MakePageStream(pageShape, page.put());
  if (FAILED(hr)) return;
  const CropRect crop = {0, 0, pageShape.width, pageShape.height};
  const ULONG64 fileBytes = FileBytes(pageShape);
  ComRef<IStream> destination;
  HeapBuffer pixels;
  HeapBuffer grey;
  float meanLibrary = 0.0f;
  float meanRowSums = 0.0f;
  float meanSse2 = 0.0f;
  auto sized = [&]() { return MakeMemoryStream(fileBytes, destination.put()); };
  auto release = [&]() { destination.reset(); };

  auto readPixels = [&]() { return ReadPixels(page.get(), pageShape, &pixels); };
  auto dropPixels = [&]() { pixels.Reset(); };
  auto readPixelsAndGrey = [&]() -> HRESULT {
    HRESULT result = ReadPixels(page.get(), pageShape, &pixels);
    if (SUCCEEDED(result) && !grey) result = ToneCurve(page.get(), crop, &grey);
    return result;
  };
  BYTE table[256];
  BuildToneTable(128.0f, 200, 0, table);

  std::vector<Variant> steps;
  auto add = [&](const char* name, std::function<HRESULT()> prepare, std::function<HRESULT()> body,
                 std::function<void()> finish) {
    Variant v;
    v.name = name;
    v.runs = options.runs;
    v.prepare = std::move(prepare);
    v.body = std::move(body);
    v.finish = std::move(finish);
    steps.push_back(std::move(v));
  };
  add(
      "AdjustImage, whole", sized,
      [&]() {
        ULONG64 written = 0;
        return AdjustImage(200, 0, page.get(), destination.get(), &written, 0, 0, 0, 0);
      },
      release);
  add(
      "ApplyToneCurve (allocate, read, mean, look up)", nullptr,
      [&]() { return ToneCurve(page.get(), crop, &grey); }, nullptr);
  add("  zero-filled allocation + Read of the pixels", nullptr, readPixels, dropPixels);
  add(
      "  zero-filled allocation, every page touched", nullptr,
      [&]() -> HRESULT {
        HeapBuffer block = HeapBuffer::AllocateZeroed(PixelBytes(pageShape));
        if (!block) return E_OUTOFMEMORY;
        for (DWORD i = 0; i < PixelBytes(pageShape); i += 4096) block.Get()[i] = 1;
        return S_OK;
      },
      nullptr);
  // One way of taking the mean level of the pixels, its result kept.
  auto addMean = [&](const char* name, float (*mean)(const BYTE*, UINT32, UINT32, UINT32),
                     float* result) {
    add(
        name, readPixels,
        [&, mean, result]() {
          *result = mean(pixels.Get(), pageShape.width, pageShape.height, RowStride(pageShape));
          return S_OK;
        },
        dropPixels);
  };
  addMean("  MeanGreyLevel", MeanGreyLevel, &meanLibrary);
  addMean("  mean with integer row sums (same result)", MeanByRowSums, &meanRowSums);
  addMean("  mean with SSE2 byte sums (same result)", MeanBySse2, &meanSse2);
  add(
      "  look-up alone, plain loop per row", readPixelsAndGrey,
      [&]() {
        LookUpRows(table, pixels.Get(), grey.Get(), pageShape.width, pageShape.height,
                   RowStride(pageShape), RowStride(pageShape));
        return S_OK;
      },
      dropPixels);
  add(
      "WriteGreyBmp into a sized memory stream",
      [&]() -> HRESULT {
        HRESULT result = sized();
        if (SUCCEEDED(result) && !grey) result = ToneCurve(page.get(), crop, &grey);
        return result;
      },
      [&]() {
        BITMAPINFOHEADER header = {};
        header.biSize = sizeof header;
        header.biWidth = pageShape.width;
        header.biHeight = pageShape.height;
        header.biPlanes = 1;
        header.biBitCount = 8;
        ULONG64 written = 0;
        return WriteGreyBmp(grey.Get(), destination.get(), crop, &header, &written);
      },
      release);
  RunSideBySide(&steps, true);
  grey.Reset();

  std::printf("\n-- where the 8-bit path's time goes: %s, sized memory destination\n",
              pageShape.name);
  std::printf("  %-46s %10s %10s %7s\n", "step", "min ms", "median ms", "x whole");
  for (const Variant& v : steps) {
    if (FAILED(v.result)) {
      std::printf("  %-46s failed %s\n", v.name.c_str(), FormatHr(v.result).c_str());
    } else {
      PrintStep(v.name.c_str(), v.stats, steps[0].stats);
    }
  }
  const bool same = std::memcmp(&meanLibrary, &meanRowSums, sizeof(float)) == 0 &&
                    std::memcmp(&meanLibrary, &meanSse2, sizeof(float)) == 0;
  std::printf("  means: library %.9g, integer row sums %.9g, SSE2 %.9g (%s)\n", meanLibrary,
              meanRowSums, meanSse2, same ? "identical" : "DIFFERENT");
}

}  // namespace bench
