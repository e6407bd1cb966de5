#include "sample_bmp.h"

#include <cstring>

std::vector<BYTE> MakeSampleBmp(LONG width, LONG height, WORD bitsPerPixel) {
  const DWORD colours = bitsPerPixel == 1 ? 2 : bitsPerPixel == 8 ? 256 : 0;
  const DWORD stride = ((static_cast<DWORD>(width) * bitsPerPixel + 31) / 32) * 4;
  const DWORD imageSize = stride * static_cast<DWORD>(height);
  const DWORD offset = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER) + colours * 4;

  BITMAPFILEHEADER file = {};
  file.bfType = 0x4D42;
  file.bfSize = offset + imageSize;
  file.bfOffBits = offset;
  BITMAPINFOHEADER info = {};
  info.biSize = sizeof(info);
  info.biWidth = width;
  info.biHeight = height;
  info.biPlanes = 1;
  info.biBitCount = bitsPerPixel;
  info.biCompression = BI_RGB;
  info.biSizeImage = imageSize;
  info.biXPelsPerMeter = info.biYPelsPerMeter = 11811;  // 300 dpi
  info.biClrUsed = colours;

  std::vector<BYTE> bytes(file.bfSize, 0);
  std::memcpy(bytes.data(), &file, sizeof(file));
  std::memcpy(bytes.data() + sizeof(file), &info, sizeof(info));
  BYTE* palette = bytes.data() + sizeof(file) + sizeof(info);
  for (DWORD i = 0; i < colours; ++i) {
    const BYTE level = static_cast<BYTE>(colours == 2 ? i * 255 : i);
    palette[i * 4 + 0] = palette[i * 4 + 1] = palette[i * 4 + 2] = level;
  }
  BYTE* pixels = bytes.data() + offset;
  for (LONG y = 0; y < height; ++y) {
    BYTE* row = pixels + static_cast<size_t>(y) * stride;
    for (LONG x = 0; x < width; ++x) {
      const BYTE level = static_cast<BYTE>((x + y) * 255 / (width + height));
      if (bitsPerPixel == 8) {
        row[x] = level;
      } else if (bitsPerPixel == 24) {
        row[x * 3 + 0] = level;
        row[x * 3 + 1] = static_cast<BYTE>(x * 255 / width);
        row[x * 3 + 2] = static_cast<BYTE>(y * 255 / height);
      } else if (((x / 4) + (y / 4)) % 2) {
        row[x / 8] |= static_cast<BYTE>(0x80 >> (x % 8));
      }
    }
  }
  return bytes;
}
