// Test support for image adjustment and the filter built on it: BMP files
// built and parsed in memory, and streams holding them.
#pragma once

#include <windows.h>
#include <objidl.h>

#include <cstring>
#include <functional>
#include <utility>
#include <vector>

#include "adjust.h"
#include "com_ref.h"
#include "fault_stream.h"

namespace bmptest {

// Bytes per stored row of a BMP of this width and depth.
inline UINT32 BmpStride(LONG width, WORD bitCount) {
  return ((static_cast<UINT32>(width) * bitCount + 31) / 32) * 4;
}

// The parts of a BMP file; Bytes() lays them out. bfOffBits and bfSize are
// computed unless set (non-zero) by the test.
struct BmpFile {
  BITMAPFILEHEADER file = {};
  BITMAPINFOHEADER info = {};
  std::vector<BYTE> extraHeader;  // bytes after the 40-byte header (biSize > 40)
  std::vector<RGBQUAD> palette;
  std::vector<BYTE> pixels;  // stored rows, as in the file

  std::vector<BYTE> Bytes() const {
    BITMAPFILEHEADER f = file;
    const DWORD offset = static_cast<DWORD>(sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER) +
                                            extraHeader.size() + palette.size() * 4);
    f.bfType = 0x4D42;
    if (f.bfOffBits == 0) f.bfOffBits = offset;
    if (f.bfSize == 0) f.bfSize = offset + static_cast<DWORD>(pixels.size());
    std::vector<BYTE> out(sizeof(f) + sizeof(info));
    std::memcpy(out.data(), &f, sizeof(f));
    std::memcpy(out.data() + sizeof(f), &info, sizeof(info));
    out.insert(out.end(), extraHeader.begin(), extraHeader.end());
    for (const RGBQUAD& q : palette) {
      out.insert(out.end(), {q.rgbBlue, q.rgbGreen, q.rgbRed, q.rgbReserved});
    }
    out.resize(f.bfOffBits > out.size() ? f.bfOffBits : out.size(), 0);
    out.insert(out.end(), pixels.begin(), pixels.end());
    return out;
  }
};

// A BMP of width x height (negative height: top-down) whose stored row r,
// byte b is byteAt(r, b). The info header is filled in as a driver would:
// biSizeImage set, BI_RGB, 300 dpi.
inline BmpFile MakeBmp(LONG width, LONG height, WORD bitCount,
                       const std::function<BYTE(UINT32 row, UINT32 byte)>& byteAt,
                       std::vector<RGBQUAD> palette = {}) {
  BmpFile bmp;
  const UINT32 stride = BmpStride(width, bitCount);
  const UINT32 rows = static_cast<UINT32>(height < 0 ? -height : height);
  bmp.info.biSize = sizeof(BITMAPINFOHEADER);
  bmp.info.biWidth = width;
  bmp.info.biHeight = height;
  bmp.info.biPlanes = 1;
  bmp.info.biBitCount = bitCount;
  bmp.info.biCompression = BI_RGB;
  bmp.info.biSizeImage = stride * rows;
  bmp.info.biXPelsPerMeter = 11811;
  bmp.info.biYPelsPerMeter = 11811;
  bmp.info.biClrUsed = static_cast<DWORD>(palette.size());
  bmp.palette = std::move(palette);
  bmp.pixels.resize(static_cast<size_t>(stride) * rows);
  for (UINT32 r = 0; r < rows; ++r) {
    for (UINT32 b = 0; b < stride; ++b)
      bmp.pixels[static_cast<size_t>(r) * stride + b] = byteAt(r, b);
  }
  return bmp;
}

// 256 grey levels.
inline std::vector<RGBQUAD> GreyPalette() {
  std::vector<RGBQUAD> palette(256);
  for (int i = 0; i < 256; ++i) {
    palette[i] = RGBQUAD{static_cast<BYTE>(i), static_cast<BYTE>(i), static_cast<BYTE>(i), 0};
  }
  return palette;
}

// A memory stream holding `bytes`, positioned at 0.
inline ComRef<IStream> StreamOf(const std::vector<BYTE>& bytes) {
  ComRef<IStream> stream;
  if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, stream.put()))) return ComRef<IStream>();
  ULONG written = 0;
  if (!bytes.empty()) stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &written);
  LARGE_INTEGER zero = {};
  stream->Seek(zero, STREAM_SEEK_SET, nullptr);
  return stream;
}

// Everything `stream` holds, from 0 to its end.
inline std::vector<BYTE> StreamBytes(IStream* stream) { return FaultStream::StreamBytes(stream); }

// A BMP file taken apart for checks. Valid() is false when the bytes are too
// short for the two headers.
struct ParsedBmp {
  BITMAPFILEHEADER file = {};
  BITMAPINFOHEADER info = {};
  std::vector<BYTE> bytes;

  explicit ParsedBmp(std::vector<BYTE> data) : bytes(std::move(data)) {
    if (Valid()) {
      std::memcpy(&file, bytes.data(), sizeof(file));
      std::memcpy(&info, bytes.data() + sizeof(file), sizeof(info));
    }
  }
  bool Valid() const { return bytes.size() >= sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER); }
  RGBQUAD PaletteEntry(size_t i) const {
    RGBQUAD q;
    std::memcpy(&q, bytes.data() + 54 + 4 * i, 4);
    return q;
  }
  // Byte b of stored row r of the pixel data (no bounds check beyond the file).
  BYTE Pixel(UINT32 stride, UINT32 r, UINT32 b) const {
    const size_t at = file.bfOffBits + static_cast<size_t>(r) * stride + b;
    return at < bytes.size() ? bytes[at] : 0;
  }
};

// Little-endian fields of a byte vector (0 past its end).
inline DWORD U32At(const std::vector<BYTE>& b, size_t at) {
  if (at + 4 > b.size()) return 0;
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<DWORD>(b[at + 3]) << 24);
}
inline WORD U16At(const std::vector<BYTE>& b, size_t at) {
  if (at + 2 > b.size()) return 0;
  return static_cast<WORD>(b[at] | (b[at + 1] << 8));
}
inline LONG I32At(const std::vector<BYTE>& b, size_t at) { return static_cast<LONG>(U32At(b, at)); }

// Appends little-endian values, for building expected files field by field.
inline void Put16(std::vector<BYTE>& b, WORD v) { b.insert(b.end(), {BYTE(v), BYTE(v >> 8)}); }
inline void Put32(std::vector<BYTE>& b, DWORD v) {
  b.insert(b.end(), {BYTE(v), BYTE(v >> 8), BYTE(v >> 16), BYTE(v >> 24)});
}

// A stream over `content` whose call number k (1-based) of kind `call` fails
// with `result`, changing nothing.
inline ComRef<FaultStream> MakeFailingStream(StreamCall call, unsigned k, HRESULT result,
                                             const std::vector<BYTE>& content = {}) {
  ComRef<FaultStream> stream = FaultStream::Create(content);
  stream->Fail(call, k, result);
  return stream;
}

// A value the count never takes, to show that it was left alone.
constexpr ULONG64 kUntouchedCount = 0xDEADBEEFCAFEull;

// What one AdjustImage call on memory streams gave.
struct AdjustOutcome {
  HRESULT hr;
  ULONG64 byteCount;         // kUntouchedCount when not set
  std::vector<BYTE> output;  // the destination stream, initially empty
};

// AdjustImage from a memory stream holding `input` into `destination`; the
// outcome's output is everything `destination` holds afterwards.
inline AdjustOutcome RunAdjustImageInto(IStream* destination, const std::vector<BYTE>& input,
                                        LONG brightness, LONG contrast, LONG left = 0, LONG top = 0,
                                        LONG width = 0, LONG height = 0) {
  ComRef<IStream> working = StreamOf(input);
  AdjustOutcome outcome{E_UNEXPECTED, kUntouchedCount, {}};
  outcome.hr = AdjustImage(brightness, contrast, working.get(), destination, &outcome.byteCount,
                           left, top, width, height);
  outcome.output = StreamBytes(destination);
  return outcome;
}

// The same into a new, empty memory stream.
inline AdjustOutcome RunAdjustImage(const std::vector<BYTE>& input, LONG brightness, LONG contrast,
                                    LONG left = 0, LONG top = 0, LONG width = 0, LONG height = 0) {
  ComRef<IStream> destination = StreamOf({});
  return RunAdjustImageInto(destination.get(), input, brightness, contrast, left, top, width,
                            height);
}

}  // namespace bmptest
