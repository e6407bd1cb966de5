#include "bmp_check.h"

#include <cstdio>

#include "bmp_pages.h"

namespace robust {

namespace {

uint32_t Get32(const uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}
uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

std::string Fmt(const char* format, long long a, long long b = 0) {
  char buf[160];
  std::snprintf(buf, sizeof buf, format, a, b);
  return buf;
}

}  // namespace

std::string BmpProblem(const uint8_t* d, size_t size) {
  if (size < 54)
    return Fmt("file of %lld bytes is shorter than its headers", static_cast<long long>(size));
  if (d[0] != 'B' || d[1] != 'M') return "bfType is not BM";
  const uint32_t bfSize = Get32(d + 2);
  const uint32_t offBits = Get32(d + 10);
  if (bfSize != size)
    return Fmt("bfSize %lld differs from the file's %lld bytes", bfSize,
               static_cast<long long>(size));

  const uint32_t biSize = Get32(d + 14);
  const int32_t width = static_cast<int32_t>(Get32(d + 18));
  const int32_t height = static_cast<int32_t>(Get32(d + 22));
  const uint16_t planes = Get16(d + 26);
  const uint16_t bpp = Get16(d + 28);
  const uint32_t compression = Get32(d + 30);
  const uint32_t sizeImage = Get32(d + 34);
  const uint32_t clrUsed = Get32(d + 46);

  if (biSize != 40 && biSize != 52 && biSize != 56 && biSize != 108 && biSize != 124)
    return Fmt("biSize %lld is no info header size", biSize);
  if (width <= 0) return Fmt("biWidth %lld is not positive", width);
  if (height == 0 || height == INT32_MIN) return Fmt("biHeight %lld", height);
  if (planes != 1) return Fmt("biPlanes %lld", planes);
  if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32)
    return Fmt("biBitCount %lld is no standard depth", bpp);

  uint64_t tables = 0;  // bytes of masks and colour table after the header
  if (compression == 3) {
    if (bpp != 16 && bpp != 32) return Fmt("bit fields with depth %lld", bpp);
    if (biSize == 40) tables += 12;
  } else if (compression != 0) {
    return Fmt("biCompression %lld on a file written as plain rows", compression);
  }
  const uint64_t implied = bpp <= 8 ? (1ull << bpp) : 0;
  const uint64_t colours = clrUsed != 0 ? clrUsed : implied;
  if (bpp <= 8 && colours > implied)
    return Fmt("biClrUsed %lld exceeds the %lld colours of the depth", clrUsed,
               static_cast<long long>(implied));
  tables += colours * 4;
  if (14 + static_cast<uint64_t>(biSize) + tables > offBits)
    return Fmt("header and colour table (%lld bytes) overlap the pixels at %lld",
               static_cast<long long>(14 + biSize + tables), offBits);
  if (offBits > size) return Fmt("bfOffBits %lld beyond the file's end", offBits);

  const uint64_t rows = height < 0 ? static_cast<uint64_t>(-static_cast<int64_t>(height))
                                   : static_cast<uint64_t>(height);
  const uint64_t need = RowStride(width, bpp) * rows;
  if (offBits + need > size)
    return Fmt("pixel rows need %lld bytes, the file holds %lld after bfOffBits",
               static_cast<long long>(need), static_cast<long long>(size - offBits));
  if (sizeImage != 0 && (sizeImage < need || offBits + static_cast<uint64_t>(sizeImage) > size))
    return Fmt("biSizeImage %lld does not match rows of %lld bytes", sizeImage,
               static_cast<long long>(need));
  return std::string();
}

}  // namespace robust
