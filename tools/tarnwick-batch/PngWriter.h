// PNG writer for 24-bit pictures (no Qt needed by the batch tools), on libpng.
#pragma once

#include <cstdint>
#include <string>

// Writes aHeight rows of aWidth pixels, each row aStride bytes apart starting at aBits, pixels as
// blue, green, red bytes, to an 8-bit PNG: grey when every pixel is grey, RGB otherwise. Throws
// std::runtime_error naming the file on failure. Compressed for speed (up filter, run-length
// matching at the lowest level): the pixels are exact, the file is not the smallest possible.
void WritePngBgr(const std::string& aFileName, const uint8_t* aBits, int aWidth, int aHeight, int aStride);
