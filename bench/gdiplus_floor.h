// The least GDI+ work for a colour-matrix adjustment, written directly with
// the GDI+ flat API and nothing of the product: decode the page from its
// stream, draw it once through a colour matrix into a new bitmap of the same
// size and pixel format, and lock the result for reading once.
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

// The colour matrix for brightness and contrast in thousandths: each of red,
// green and blue becomes S * c + O (see docs/performance.md for the values
// this benchmark uses).
void ColourMatrixFor(LONG brightness, LONG contrast, float matrix[5][5]);

// One floor run on `page` (a stream holding a BMP file; it is rewound).
// GDI+ must be started. When `pixels` is given it receives the locked rows,
// top row first, Stride bytes each.
HRESULT RunGdiplusFloor(IStream* page, LONG brightness, LONG contrast, FloorSteps* steps,
                        std::vector<BYTE>* pixels, UINT* stride);

}  // namespace bench
