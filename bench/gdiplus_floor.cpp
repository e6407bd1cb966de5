#include "gdiplus_floor.h"

#include <cstring>
#include <gdiplus.h>

#include "bench_support.h"

namespace bench {

namespace flat = Gdiplus::DllExports;

namespace {

HRESULT FromStatus(Gdiplus::GpStatus status) {
  return status == Gdiplus::Ok ? S_OK : MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 0x200 + status);
}

// GDI+ objects of the flat API, each with the call that disposes of it.
using ImageOwner = Owner<Gdiplus::GpBitmap*, &flat::GdipDisposeImage>;
using GraphicsOwner = Owner<Gdiplus::GpGraphics*, &flat::GdipDeleteGraphics>;
using AttributesOwner = Owner<Gdiplus::GpImageAttributes*, &flat::GdipDisposeImageAttributes>;

}  // namespace

GdiplusStarted::GdiplusStarted() {
  Gdiplus::GdiplusStartupInput input;
  if (Gdiplus::GdiplusStartup(&token_, &input, nullptr) != Gdiplus::Ok) token_ = 0;
}

GdiplusStarted::~GdiplusStarted() {
  if (token_ != 0) Gdiplus::GdiplusShutdown(token_);
}

// Written here from the matrix's definition rather than taken from the
// product, so that the floor contains none of the product's code.
void ColourMatrixFor(LONG brightness, LONG contrast, float matrix[5][5]) {
  // B: the input level that maps to mid-grey; S: the slope about it.
  LONG contrastHalf = (contrast + 1000) / 2;
  LONG brightnessHalf = (brightness + 1000) / 2;
  if (contrastHalf < 1) contrastHalf = 1;
  if (brightnessHalf < 1) brightnessHalf = 1;
  float pivot = static_cast<float>(1000 - brightnessHalf) / 1000.0f;
  if (pivot > 0.95f) pivot = 0.95f;
  float c = static_cast<float>(contrastHalf) / 1000.0f;
  if (c > 1.0f) c = 1.0f;
  float slope;
  if (c <= 0.5f) {
    slope = c + c;
  } else {
    if (c == 1.0f) c = 0.9999f;
    slope = 0.5f / (1.0f - c);
  }
  float offset = 0.5f - pivot * slope;
  if (offset == 0.0f) offset = 0.00001f;
  std::memset(matrix, 0, sizeof(float) * 25);
  matrix[0][0] = matrix[1][1] = matrix[2][2] = slope;
  matrix[3][3] = 1.0f;
  matrix[4][0] = matrix[4][1] = matrix[4][2] = offset;
  matrix[4][4] = 1.0f;
}

HRESULT RunGdiplusFloor(IStream* page, LONG brightness, LONG contrast, FloorSteps* steps,
                        std::vector<BYTE>* pixels, UINT* stride) {
  LARGE_INTEGER zero = {};
  HRESULT hr = page->Seek(zero, STREAM_SEEK_SET, nullptr);
  if (FAILED(hr)) return hr;

  double t0 = NowSeconds();
  ImageOwner source;
  hr = FromStatus(flat::GdipCreateBitmapFromStreamICM(page, source.put()));
  if (FAILED(hr)) return hr;
  Gdiplus::PixelFormat format = 0;
  UINT width = 0;
  UINT height = 0;
  flat::GdipGetImagePixelFormat(source.get(), &format);
  flat::GdipGetImageWidth(source.get(), &width);
  flat::GdipGetImageHeight(source.get(), &height);
  double t1 = NowSeconds();

  ImageOwner target;
  hr = FromStatus(flat::GdipCreateBitmapFromScan0(static_cast<INT>(width), static_cast<INT>(height),
                                                  0, format, nullptr, target.put()));
  if (FAILED(hr)) return hr;
  {
    GraphicsOwner graphics;
    AttributesOwner attributes;
    hr = FromStatus(flat::GdipGetImageGraphicsContext(target.get(), graphics.put()));
    if (FAILED(hr)) return hr;
    hr = FromStatus(flat::GdipCreateImageAttributes(attributes.put()));
    if (FAILED(hr)) return hr;
    Gdiplus::ColorMatrix matrix;
    ColourMatrixFor(brightness, contrast, matrix.m);
    hr = FromStatus(flat::GdipSetImageAttributesColorMatrix(
        attributes.get(), Gdiplus::ColorAdjustTypeDefault, TRUE, &matrix, nullptr,
        Gdiplus::ColorMatrixFlagsDefault));
    if (FAILED(hr)) return hr;
    const INT w = static_cast<INT>(width);
    const INT h = static_cast<INT>(height);
    hr = FromStatus(flat::GdipDrawImageRectRectI(graphics.get(), source.get(), 0, 0, w, h, 0, 0, w,
                                                 h, Gdiplus::UnitPixel, attributes.get(), nullptr,
                                                 nullptr));
    if (FAILED(hr)) return hr;
  }
  double t2 = NowSeconds();

  Gdiplus::GpRect all(0, 0, static_cast<INT>(width), static_cast<INT>(height));
  Gdiplus::BitmapData data = {};
  hr = FromStatus(
      flat::GdipBitmapLockBits(target.get(), &all, Gdiplus::ImageLockModeRead, format, &data));
  if (FAILED(hr)) return hr;
  if (pixels != nullptr && data.Stride > 0) {
    const BYTE* scan0 = static_cast<const BYTE*>(data.Scan0);
    pixels->assign(scan0, scan0 + static_cast<size_t>(data.Stride) * data.Height);
    *stride = static_cast<UINT>(data.Stride);
  }
  flat::GdipBitmapUnlockBits(target.get(), &data);
  double t3 = NowSeconds();

  if (steps != nullptr) {
    steps->decode = t1 - t0;
    steps->draw = t2 - t1;
    steps->lock = t3 - t2;
  }
  return S_OK;
}

}  // namespace bench
