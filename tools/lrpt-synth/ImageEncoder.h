// JPEG-like coding of one image packet: 14 blocks of 8x8 picture samples,
// forward DCT, quantisation with the standard luminance table scaled by the
// packet's quality factor, DC prediction reset per packet, Huffman coding
// with the standard luminance DC and AC tables, no byte stuffing.
// Also reproduces what a decoder following the image format draws from the
// coefficients that were sent (the ground truth).
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace lrptsynth {

struct HuffCode {
    std::uint8_t length = 0; // 0: no code
    std::uint16_t code = 0;  // right-aligned
};

class ImageEncoder {
  public:
    static constexpr int kBlocksPerPacket = 14;
    static constexpr int kBlocksPerLine = 196;
    static constexpr int kLineWidth = 1568;

    ImageEncoder();

    // Quantisation table for quality q (1..255) in natural order, scaled with
    // ties-to-even rounding and a floor of 1, exactly as the receiver does.
    static std::array<int, 64> quantTable(int q);

    // Encodes blocks [firstBlock, firstBlock + 14) of an 8-row strip.
    // strip: 8 rows of kLineWidth samples. Returns the entropy-coded bytes (the
    // last byte padded with 1 bits). quantised receives 14 x 64 coefficients in
    // natural order (what was sent); may be null.
    std::vector<std::uint8_t> encodePacket(const std::uint8_t* strip, int firstBlock, int quality,
                                           std::vector<std::array<int, 64>>* quantised) const;

    // The pixels a decoder reproduces from quantised coefficients (natural
    // order) at quality q: dequantise, double-precision inverse DCT summed in
    // increasing index order, +128, round half to even, clamp to 0..255.
    // out: 8 rows with stride `stride`.
    void reconstructBlock(const std::array<int, 64>& coef, int quality, std::uint8_t* out, int stride) const;

    const std::array<HuffCode, 12>& dcCodes() const { return fDc; }
    // Indexed by (run << 4) | size.
    const std::array<HuffCode, 256>& acCodes() const { return fAc; }

    static const std::array<int, 64>& zigzag(); // natural index -> zigzag position
    static const std::array<int, 64>& baseQuant();

  private:
    std::array<HuffCode, 12> fDc{};
    std::array<HuffCode, 256> fAc{};
    double fDct[8][8]; // fDct[u][n]
};

} // namespace lrptsynth
