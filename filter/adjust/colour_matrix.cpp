// The colour-matrix path: every depth but 8 bits, drawn through GDI+.
#include <climits>
#include <memory>
#include <new>

#include "adjust_gdiplus.h"

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

HRESULT DecodeSource(IStream* working, BitmapOwner* source) {
  void* storage = AllocateWrapper();
  if (!storage) return E_OUTOFMEMORY;
  source->reset(::new (storage) Gdiplus::Bitmap(working, TRUE));
  return LastResult(**source);
}

HRESULT CreateTarget(INT width, INT height, Gdiplus::PixelFormat format, BitmapOwner* target) {
  void* storage = AllocateWrapper();
  if (!storage) return E_OUTOFMEMORY;
  target->reset(::new (storage) Gdiplus::Bitmap(width, height, format));
  return LastResult(**target);
}

// Draws all of `source` 1:1 into `target` through the colour matrix, shifted by
// (-left, -top). The graphics context and attributes live only for the draw.
Gdiplus::Status DrawThroughMatrix(Gdiplus::Bitmap* source, Gdiplus::Bitmap* target,
                                  const CropRect& crop, UINT width, UINT height, LONG brightness,
                                  LONG contrast) {
  Gdiplus::Graphics graphics(target);
  Gdiplus::ImageAttributes attributes;
  Gdiplus::Status status = graphics.GetLastStatus();
  if (status == Gdiplus::Ok) {
    status = graphics.TranslateTransform(
        static_cast<Gdiplus::REAL>(-static_cast<LONGLONG>(crop.left)),
        static_cast<Gdiplus::REAL>(-static_cast<LONGLONG>(crop.top)), Gdiplus::MatrixOrderPrepend);
  }
  if (status == Gdiplus::Ok) {
    const Gdiplus::ColorMatrix matrix = BuildColourMatrix(brightness, contrast);
    status = attributes.SetColorMatrix(&matrix, Gdiplus::ColorMatrixFlagsDefault,
                                       Gdiplus::ColorAdjustTypeDefault);
  }
  if (status == Gdiplus::Ok) {
    const INT w = static_cast<INT>(width);
    const INT h = static_cast<INT>(height);
    status = graphics.DrawImage(source, Gdiplus::Rect(0, 0, w, h), 0, 0, w, h, Gdiplus::UnitPixel,
                                &attributes, nullptr, nullptr);
  }
  return status;
}

}  // namespace

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

HRESULT AdjustWithColourMatrix(LONG brightness, LONG contrast, IStream* working,
                               IStream* destination, const CropRect& crop, BITMAPINFOHEADER* header,
                               ULONG64* byteCount) {
  if (!working || !destination || !header) return E_INVALIDARG;
  if (!byteCount) return E_POINTER;

  GdiplusSession session;
  HRESULT hr = session.Start();
  if (FAILED(hr)) return hr;

  // Declared so that the source is deleted first; both go before GDI+ shuts down.
  BitmapOwner target;
  BitmapOwner source;
  hr = DecodeSource(working, &source);
  if (FAILED(hr)) return hr;

  const Gdiplus::PixelFormat format = source->GetPixelFormat();
  hr = LastResult(*source);
  if (FAILED(hr)) return hr;
  const Gdiplus::REAL dpi = source->GetHorizontalResolution();
  hr = LastResult(*source);
  if (FAILED(hr)) return hr;

  Gdiplus::Bitmap* output = source.get();
  if (header->biBitCount != 1) {
    const LONGLONG width = static_cast<LONGLONG>(crop.right) - crop.left;
    const LONGLONG height = static_cast<LONGLONG>(crop.bottom) - crop.top;
    if (width <= 0 || height <= 0 || width > INT_MAX || height > INT_MAX) return E_INVALIDARG;
    hr = CreateTarget(static_cast<INT>(width), static_cast<INT>(height), format, &target);
    if (FAILED(hr)) return hr;

    const UINT sourceWidth = source->GetWidth();
    hr = LastResult(*source);
    if (FAILED(hr)) return hr;
    const UINT sourceHeight = source->GetHeight();
    hr = LastResult(*source);
    if (FAILED(hr)) return hr;

    const Gdiplus::Status status = DrawThroughMatrix(source.get(), target.get(), crop, sourceWidth,
                                                     sourceHeight, brightness, contrast);
    if (status != Gdiplus::Ok) return GdiplusFailureToHresult(status);
    output = target.get();
  }
  return WriteBitmapBmp(output, destination, header, crop, format, static_cast<double>(dpi),
                        byteCount);
}
