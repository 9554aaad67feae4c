// A small JPEG-like encoder of image packets, written for the tests independently of the decoder:
// forward DCT, quantisation by the scaled luminance table, standard luminance Huffman codes.
// It also computes what a decoder must draw for the coefficients it emitted.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace imagetest {

using Block = std::array<std::array<uint8_t, 8>, 8>;        // [row][column] grey levels
using Coefficients = std::array<std::array<int32_t, 8>, 8>; // [vertical freq][horizontal freq]

// Zigzag scan: entry k is the natural (row * 8 + column) position of the k-th coefficient.
const std::array<int, 64>& ZigzagScan();

// Quality factor scaling of the luminance quantisation table (integers only, ties to even).
int32_t ScaleFactor(int32_t aQ);
Coefficients QuantTable(int32_t aQ);

// Bits, most significant first.
class BitWriter {
  public:
    void Put(uint32_t aBits, int aCount);
    // Pads the last byte with zero bits and returns the bytes.
    std::vector<uint8_t> Bytes() const;
    int64_t BitCount() const { return fBits; }

  private:
    std::vector<uint8_t> fData;
    int64_t fBits = 0;
};

struct Code {
    int Len = 0;
    uint32_t Bits = 0;
};
// Standard luminance codes: DC by category 0..11, AC by symbol byte (run << 4 | size).
const std::array<Code, 12>& DCCodes();
const std::array<Code, 256>& ACCodes();

// Forward DCT of a block (levels minus 128), quantised; coefficients clamped to what the codes
// can carry (|AC| <= 1023).
Coefficients ForwardQuantised(const Block& aPixels, const Coefficients& aQuant);

// Appends one block; aPrevDC is the previous quantised DC of the packet (0 at its start).
void EncodeBlock(BitWriter& aOut, const Coefficients& aQuantised, int32_t& aPrevDC);

// What the decoder must draw for quantised coefficients: dequantise, inverse transform in double
// precision (products summed in increasing index order), +128, round ties to even, clamp.
Block ReferenceDecode(const Coefficients& aQuantised, const Coefficients& aQuant);

struct PacketSpec {
    int Channel = 1;     // APID 63 + channel
    uint32_t TimeMs = 0; // ms of the day
    int Mcu = 0;         // number of the first block
    int Q = 50;
    uint16_t LoggedWord = 0; // bytes 17-18
    uint16_t Sequence = 0;
};

// A whole packet (6-byte primary header + secondary header + Q + entropy data) around aData.
std::vector<uint8_t> WrapPacket(const PacketSpec& aSpec, const std::vector<uint8_t>& aData);

// Encodes aBlocks (up to 14) into one packet; aExpected receives the decoded pixels per block.
std::vector<uint8_t> EncodePacket(const PacketSpec& aSpec, const std::vector<Block>& aBlocks,
                                  std::vector<Block>* aExpected = nullptr);

// A deterministic test scene: smooth gradients, edges and noise; value at column x, row y.
uint8_t Scene(int aX, int aY, uint32_t aSeed);

} // namespace imagetest
