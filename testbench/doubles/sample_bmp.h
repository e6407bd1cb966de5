// Builds small BMP files for tests: bottom-up, uncompressed, with biSizeImage
// filled in and a palette for 1-bit (2 entries) and 8-bit (256 grey entries).
#pragma once

#include <windows.h>

#include <vector>

// bitsPerPixel 1, 8 or 24; the pixels form a diagonal gradient.
std::vector<BYTE> MakeSampleBmp(LONG width, LONG height, WORD bitsPerPixel);
