// Image adjustment: brightness and contrast applied to one BMP page.
#pragma once

#include <windows.h>
#include <objidl.h>

// Reads the complete BMP file in `working`, applies brightness and contrast
// (thousandths, 0 = unchanged) and writes the adjusted BMP file into
// `destination` from position 0. `byteCount` receives the written file's size.
// left, top, width, height request a crop; a zero width or height means the
// whole image.
HRESULT AdjustImage(LONG brightness, LONG contrast, IStream* working, IStream* destination,
                    ULONG64* byteCount, LONG left, LONG top, LONG width, LONG height);
