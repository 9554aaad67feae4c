// 8-bit greyscale pictures: reading PGM and BMP, writing PGM, and the
// built-in test patterns of the six channels.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace lrptsynth {

struct GreyImage {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels; // rows top-down, width bytes each
    std::uint8_t at(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width + x]; }
};

class PictureError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Reads a binary (P5) or plain (P2) PGM, or an uncompressed 8-, 24- or
// 32-bit BMP (colour is turned into grey as (R + 2G + B) / 4). Throws
// PictureError with the file name on anything else.
GreyImage readPicture(const std::string& path);
GreyImage readPictureFromMemory(const std::vector<std::uint8_t>& bytes, const std::string& nameForErrors);

// Writes a binary PGM. Throws PictureError when the file cannot be written.
void writePgm(const std::string& path, const GreyImage& img);

// Deterministic test pattern of channel 1..6, 1568 pixels wide: a gradient
// that differs per channel, shapes, fine stripes, a band of blocks whose
// values encode their block column and scan, and the scan number as a
// barcode at the left edge, so that misplaced blocks and rows show.
std::uint8_t testPatternPixel(int channel, int x, int y);

} // namespace lrptsynth
