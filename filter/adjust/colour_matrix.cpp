// The colour-matrix path: every depth but 8 bits, drawn through GDI+ in bands.
#include <climits>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>

#include "adjust_gdiplus.h"
#include "bmp_output.h"
#include "com_ref.h"
#include "stream_io.h"

namespace {

// GDI+ for the length of one call.
class GdiplusSession {
 public:
  GdiplusSession() = default;
  GdiplusSession(const GdiplusSession&) = delete;
  GdiplusSession& operator=(const GdiplusSession&) = delete;
  ~GdiplusSession() {
    if (token_ != 0) Gdiplus::GdiplusShutdown(token_);
  }

  HRESULT Start() {
    const Gdiplus::GdiplusStartupInput input(nullptr, FALSE, FALSE);
    const Gdiplus::Status status = Gdiplus::GdiplusStartup(&token_, &input, nullptr);
    return status == Gdiplus::Ok ? S_OK : GdiplusFailureToHresult(status);
  }

 private:
  ULONG_PTR token_ = 0;
};

// Storage for one wrapper from GdipAlloc; null when there is none.
void* AllocateWrapper() { return Gdiplus::Bitmap::operator new(sizeof(Gdiplus::Bitmap)); }

// Disposes of a wrapper's image and returns its storage to GDI+ through the
// operator delete that pairs with AllocateWrapper's operator new: what a
// delete expression does, spelt out, since the static analyser takes the
// storage for freed once the expression starts and then reports GDI+'s
// own operator delete, which frees it, as a use after free.
struct BitmapDelete {
  void operator()(Gdiplus::Bitmap* bitmap) const {
    bitmap->~Bitmap();
    Gdiplus::Bitmap::operator delete(bitmap);
  }
};
using BitmapOwner = std::unique_ptr<Gdiplus::Bitmap, BitmapDelete>;

// The wrapper's last status: Ok, or the failure as an HRESULT.
HRESULT LastResult(const Gdiplus::Image& image) {
  const Gdiplus::Status status = image.GetLastStatus();
  return status == Gdiplus::Ok ? S_OK : GdiplusFailureToHresult(status);
}

// A bitmap of GDI+'s own memory (`scan0` null) or over `scan0`'s rows.
HRESULT NewBitmap(INT width, INT height, INT stride, Gdiplus::PixelFormat format, BYTE* scan0,
                  BitmapOwner* bitmap) {
  void* storage = AllocateWrapper();
  if (!storage) return E_OUTOFMEMORY;
  bitmap->reset(scan0 ? ::new (storage) Gdiplus::Bitmap(width, height, stride, format, scan0)
                      : ::new (storage) Gdiplus::Bitmap(width, height, format));
  return LastResult(**bitmap);
}

// What GDI+ makes of the page: its pixel format and horizontal resolution,
// and the colours of a 1-bit page. It decodes a page of the same headers and
// colour table holding only the first stored row (at most 64 KiB before the
// pixels), which it reads as it would the whole page without holding it.
struct Decoded {
  Gdiplus::PixelFormat format = 0;
  Gdiplus::REAL dpi = 0.0f;
  RGBQUAD colours[2] = {};
};

HRESULT DecodeHeaders(IStream* page, const PageGeometry& geometry, Decoded* decoded) {
  constexpr DWORD kMostBeforePixels = 64u << 10;
  const DWORD before =
      geometry.file.bfOffBits < kMostBeforePixels ? geometry.file.bfOffBits : kMostBeforePixels;
  if (before < sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER)) return InvalidDataResult();
  if (geometry.rowBytes > UINT_MAX - before) return OverflowResult();
  const DWORD size = before + geometry.rowBytes;
  HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, size);
  if (!memory) return E_OUTOFMEMORY;
  ComRef<IStream> shortPage;
  HRESULT hr = CreateStreamOnHGlobal(memory, TRUE, shortPage.put());
  if (FAILED(hr)) {
    GlobalFree(memory);
    return hr;
  }
  BYTE* bytes = static_cast<BYTE*>(GlobalLock(memory));
  if (!bytes) return E_OUTOFMEMORY;
  hr = SeekFromStart(page, 0);
  ULONG read = 0;
  if (SUCCEEDED(hr)) hr = page->Read(bytes, before, &read);
  if (SUCCEEDED(hr) && read < before) std::memset(bytes + read, 0, before - read);
  if (SUCCEEDED(hr)) hr = ReadStoredRows(page, geometry, 0, 1, bytes + before);
  if (SUCCEEDED(hr)) {
    BITMAPFILEHEADER file = geometry.file;
    BITMAPINFOHEADER info = geometry.info;
    file.bfSize = size;
    file.bfOffBits = before;
    info.biHeight = geometry.bottomUp ? 1 : -1;
    info.biSizeImage = geometry.rowBytes;
    std::memcpy(bytes, &file, sizeof(file));
    std::memcpy(bytes + sizeof(file), &info, sizeof(info));
  }
  GlobalUnlock(memory);
  if (FAILED(hr)) return hr;

  BitmapOwner bitmap;
  void* storage = AllocateWrapper();
  if (!storage) return E_OUTOFMEMORY;
  bitmap.reset(::new (storage) Gdiplus::Bitmap(shortPage.get(), TRUE));
  hr = LastResult(*bitmap);
  if (FAILED(hr)) return hr;
  decoded->format = bitmap->GetPixelFormat();
  hr = LastResult(*bitmap);
  if (FAILED(hr)) return hr;
  decoded->dpi = bitmap->GetHorizontalResolution();
  hr = LastResult(*bitmap);
  if (FAILED(hr)) return hr;
  if (geometry.info.biBitCount == 1) {
    OneBitColours(bitmap.get(), geometry.info.biClrUsed, decoded->colours);
  }
  return S_OK;
}

// Draws all of `source` 1:1 into `target` through the colour matrix, its top
// left corner at (dx, dy). The graphics context and attributes live only for
// the draw.
Gdiplus::Status DrawThroughMatrix(Gdiplus::Bitmap* source, Gdiplus::Bitmap* target, LONGLONG dx,
                                  LONGLONG dy, INT width, INT height,
                                  const Gdiplus::ColorMatrix& matrix) {
  Gdiplus::Graphics graphics(target);
  Gdiplus::ImageAttributes attributes;
  Gdiplus::Status status = graphics.GetLastStatus();
  if (status == Gdiplus::Ok) {
    status =
        graphics.TranslateTransform(static_cast<Gdiplus::REAL>(dx), static_cast<Gdiplus::REAL>(dy),
                                    Gdiplus::MatrixOrderPrepend);
  }
  if (status == Gdiplus::Ok) {
    status = attributes.SetColorMatrix(&matrix, Gdiplus::ColorMatrixFlagsDefault,
                                       Gdiplus::ColorAdjustTypeDefault);
  }
  if (status == Gdiplus::Ok) {
    status = graphics.DrawImage(source, Gdiplus::Rect(0, 0, width, height), 0, 0, width, height,
                                Gdiplus::UnitPixel, &attributes, nullptr, nullptr);
  }
  return status;
}

}  // namespace

// dpi * 10000 / 254 rounded; 0 (unspecified) when it does not fit the field.
LONG PelsPerMetre(double dpi) {
  const double value = dpi * 10000.0 / 254.0 + 0.5;
  if (!(value >= 0.0 && value < 2147483648.0)) return 0;
  return static_cast<LONG>(value);
}

// The colour table of a 1-bit file: the page keeps its own colours (white,
// black included).
void OneBitColours(Gdiplus::Bitmap* bitmap, DWORD declared, RGBQUAD table[2]) {
  table[0] = RGBQUAD{0, 0, 0, 0};
  table[1] = RGBQUAD{255, 255, 255, 0};
  if (declared == 1) return;
  // Room for a palette of up to 256 entries, aligned as the palette.
  union {
    Gdiplus::ColorPalette palette;
    BYTE bytes[sizeof(Gdiplus::ColorPalette) + 255 * sizeof(Gdiplus::ARGB)];
  } storage;
  const size_t entries = offsetof(Gdiplus::ColorPalette, Entries);
  bitmap->GetLastStatus();  // start from a clean status
  const INT size = bitmap->GetPaletteSize();
  const bool fits = bitmap->GetLastStatus() == Gdiplus::Ok &&
                    size >= static_cast<INT>(entries + 2 * sizeof(Gdiplus::ARGB)) &&
                    size <= static_cast<INT>(sizeof(storage));
  if (!fits || bitmap->GetPalette(&storage.palette, size) != Gdiplus::Ok) {
    bitmap->GetLastStatus();  // a failed query leaves no status behind
    return;
  }
  if (storage.palette.Count < 2) return;
  for (int i = 0; i < 2; ++i) {
    Gdiplus::ARGB colour;
    std::memcpy(&colour, storage.bytes + entries + i * sizeof(colour), sizeof(colour));
    table[i] = RGBQUAD{static_cast<BYTE>(colour), static_cast<BYTE>(colour >> 8),
                       static_cast<BYTE>(colour >> 16), 0};
  }
}

Gdiplus::ColorMatrix BuildColourMatrix(LONG brightness, LONG contrast) {
  // Integer halving in 64 bits, so that no input can overflow it.
  LONGLONG contrastHalf = (static_cast<LONGLONG>(contrast) + 1000) / 2;
  LONGLONG brightnessHalf = (static_cast<LONGLONG>(brightness) + 1000) / 2;
  if (contrastHalf < 1) contrastHalf = 1;
  if (brightnessHalf < 1) brightnessHalf = 1;

  float pivot = static_cast<float>(1000 - brightnessHalf) / 1000.0f;
  if (pivot > 0.95f) pivot = 0.95f;
  float c = static_cast<float>(contrastHalf) / 1000.0f;
  if (c > 1.0f) c = 1.0f;

  float scale;
  if (c <= 0.5f) {
    scale = c + c;
  } else {
    if (c == 1.0f) c = 0.9999f;
    scale = 0.5f / (1.0f - c);
  }
  float offset = 0.5f - pivot * scale;
  if (offset == 0.0f) offset = 0.00001f;

  Gdiplus::ColorMatrix matrix = {};
  matrix.m[0][0] = scale;
  matrix.m[1][1] = scale;
  matrix.m[2][2] = scale;
  matrix.m[3][3] = 1.0f;
  matrix.m[4][0] = offset;
  matrix.m[4][1] = offset;
  matrix.m[4][2] = offset;
  matrix.m[4][4] = 1.0f;
  return matrix;
}

HRESULT AdjustWithColourMatrix(LONG brightness, LONG contrast, IStream* page,
                               const PageGeometry& geometry, const CropRect& crop, UINT32 bandBytes,
                               IStream* destination, ULONG64* byteCount) {
  if (!page || !destination) return E_INVALIDARG;
  if (!byteCount) return E_POINTER;

  GdiplusSession session;
  HRESULT hr = session.Start();
  if (FAILED(hr)) return hr;
  Decoded decoded;
  hr = DecodeHeaders(page, geometry, &decoded);
  if (FAILED(hr)) return hr;
  // The bands are bitmaps over the stored rows: the decoder must see them as
  // they are stored.
  if (Gdiplus::GetPixelFormatSize(decoded.format) != geometry.info.biBitCount) {
    return NotSupportedResult();
  }

  const bool oneBit = geometry.info.biBitCount == 1;
  const INT width = static_cast<INT>(crop.right - crop.left);
  const LONG height = crop.bottom - crop.top;
  // 1-bit images are written whole.
  if (oneBit && (crop.left != 0 || crop.top != 0 || static_cast<UINT32>(width) != geometry.width ||
                 static_cast<UINT32>(height) != geometry.rows)) {
    return E_INVALIDARG;
  }
  // The file: bottom-up, the crop's size, the page's depth. A 1-bit image
  // always gets both colours, even where the page declared fewer (0 means
  // two); no depth gets more than 256 entries.
  BITMAPINFOHEADER header = geometry.info;
  header.biWidth = width;
  header.biHeight = height;
  if (oneBit && header.biClrUsed < 2) header.biClrUsed = 2;
  if ((oneBit && header.biClrUsed > 2) || header.biClrUsed > 256) return InvalidDataResult();
  if (!oneBit) header.biXPelsPerMeter = header.biYPelsPerMeter = PelsPerMetre(decoded.dpi);
  RGBQUAD colours[256] = {decoded.colours[0], decoded.colours[1]};
  const Gdiplus::ColorMatrix matrix = BuildColourMatrix(brightness, contrast);

  // Bands of output rows, the bottom band first; each holds the image rows
  // its output rows show, read top row first.
  UINT32 bandRows = bandBytes / geometry.rowBytes;
  if (bandRows == 0) bandRows = 1;
  if (bandRows > geometry.rows) bandRows = geometry.rows;
  HeapBuffer band = HeapBuffer::AllocateZeroed(static_cast<SIZE_T>(bandRows) * geometry.rowBytes);
  if (!band) return E_OUTOFMEMORY;
  const UINT32 used = (geometry.width + 7) / 8;  // the bytes of a 1-bit row's pixels
  BmpOutput out(destination, byteCount);
  hr = out.Start(&header, colours);
  if (FAILED(hr)) return hr;
  for (LONG end = height; end > 0;) {
    const LONG start = end > static_cast<LONG>(bandRows) ? end - static_cast<LONG>(bandRows) : 0;
    // The image rows of output rows start..end: top + start ... top + end.
    LONGLONG first = static_cast<LONGLONG>(crop.top) + start;
    LONGLONG last = static_cast<LONGLONG>(crop.top) + end;
    if (first < 0) first = 0;
    if (last > geometry.rows) last = geometry.rows;
    const UINT32 count = last > first ? static_cast<UINT32>(last - first) : 0;
    for (UINT32 k = 0; k < count; ++k) {
      const UINT32 y = static_cast<UINT32>(first) + k;
      BYTE* row = band.get() + static_cast<SIZE_T>(k) * geometry.rowBytes;
      hr = ReadStoredRows(page, geometry, geometry.StoredRow(y), 1, row);
      if (FAILED(hr)) return hr;
      // A decoded 1-bit row holds its pixels' bytes and zeros to its end,
      // whatever the page held there.
      if (oneBit) std::memset(row + used, 0, geometry.rowBytes - used);
    }
    BitmapOwner source;
    BitmapOwner target;
    Gdiplus::Bitmap* rows = nullptr;
    if (count > 0) {
      hr = NewBitmap(static_cast<INT>(geometry.width), static_cast<INT>(count),
                     static_cast<INT>(geometry.rowBytes), decoded.format, band.get(), &source);
      if (FAILED(hr)) return hr;
    }
    if (oneBit) {
      rows = source.get();  // 1-bit images are written unchanged
    } else {
      hr = NewBitmap(width, end - start, 0, decoded.format, nullptr, &target);
      if (FAILED(hr)) return hr;
      if (count > 0) {
        const Gdiplus::Status status = DrawThroughMatrix(
            source.get(), target.get(), -static_cast<LONGLONG>(crop.left), first - crop.top - start,
            static_cast<INT>(geometry.width), static_cast<INT>(count), matrix);
        if (status != Gdiplus::Ok) return GdiplusFailureToHresult(status);
      }
      rows = target.get();
    }
    BitsLock lock(rows);
    const Gdiplus::Status status =
        lock.Lock(static_cast<UINT>(width), static_cast<UINT>(end - start), decoded.format);
    if (status != Gdiplus::Ok) return GdiplusFailureToHresult(status);
    // Scan0 is the band's top row whatever the sign of Stride; the file
    // takes the bottom row first.
    const Gdiplus::BitmapData& data = lock.Data();
    const BYTE* top = static_cast<const BYTE*>(data.Scan0);
    // The file's rows are read from GDI+'s: its stride must cover one.
    const LONGLONG stride = data.Stride;
    if (!top || data.Height != static_cast<UINT>(end - start) ||
        (stride < 0 ? -stride : stride) <
            (static_cast<LONGLONG>(width) * header.biBitCount + 31) / 32 * 4) {
      return InvalidDataResult();
    }
    hr = out.Push(top + static_cast<std::ptrdiff_t>(data.Height - 1) * data.Stride, data.Height,
                  -data.Stride);
    if (FAILED(hr)) return hr;
    end = start;
  }
  return hr;
}
