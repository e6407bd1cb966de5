#include "gdiplus_floor.h"

#include <gdiplus.h>

#include "adjust_gdiplus.h"
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
    const Gdiplus::ColorMatrix matrix = BuildColourMatrix(brightness, contrast);
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
