// The least GDI+ work for a colour-matrix adjustment, written directly with
// the GDI+ flat API and nothing of the product but its colour matrix
// (BuildColourMatrix): decode the page from its stream, draw it once through
// that matrix into a new bitmap of the same size and pixel format, and lock
// the result for reading once.
#pragma once

#include <windows.h>
#include <objidl.h>

#include <vector>

namespace bench {

// Keeps GDI+ started for the owner's lifetime.
class GdiplusStarted {
 public:
  GdiplusStarted();
  GdiplusStarted(const GdiplusStarted&) = delete;
  GdiplusStarted& operator=(const GdiplusStarted&) = delete;
  ~GdiplusStarted();
  bool Ok() const { return token_ != 0; }

 private:
  ULONG_PTR token_ = 0;
};

// Time spent in each step of one floor run, in seconds.
struct FloorSteps {
  double decode = 0.0;
  double draw = 0.0;  // target bitmap, graphics, attributes and the draw
  double lock = 0.0;  // lock and unlock of the target
};

// One floor run on `page` (a stream holding a BMP file; it is rewound).
// GDI+ must be started. When `pixels` is given it receives the locked rows,
// top row first, Stride bytes each.
HRESULT RunGdiplusFloor(IStream* page, LONG brightness, LONG contrast, FloorSteps* steps,
                        std::vector<BYTE>* pixels, UINT* stride);

}  // namespace bench
