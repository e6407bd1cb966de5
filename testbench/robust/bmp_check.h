// Checks that a byte string is a well-formed, self-consistent BMP file, as a
// reader other than our own would need it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace robust {

// Returns an empty string when the file is well formed, else what is wrong.
// Rules: "BM"; bfSize equals the file's length; an info header of a known
// size (40, 52, 56, 108 or 124) with positive width, non-zero height, one
// plane and a standard depth (1, 4, 8, 16, 24, 32); uncompressed, or bit
// fields for 16 and 32 bits with their masks; the header, masks and colour
// table fit before bfOffBits; the colour count fits the depth; every row of
// the declared image lies within the file, and so does biSizeImage.
std::string BmpProblem(const uint8_t* data, size_t size);

}  // namespace robust
