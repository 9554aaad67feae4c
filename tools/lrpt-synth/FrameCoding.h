// Transmit-side frame coding of the downlink: the pseudo-random sequence,
// the Reed-Solomon (255,223) code with four interleaved code words, the
// attached sync marker and the rate-1/2 convolutional code. Written from the
// on-air format only; shares nothing with the decoder.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace lrptsynth {

inline constexpr std::size_t kCaduSize = 1024;       // marker + coded frame
inline constexpr std::size_t kCodedFrameSize = 1020; // behind the marker
inline constexpr std::size_t kFrameSize = 892;       // transfer frame
inline constexpr std::size_t kCheckSize = 128;       // 4 x 32 check bytes
inline constexpr std::uint32_t kSyncMarker = 0x1ACFFC1D;

// The 1,020 bytes of the pseudo-random sequence (x^8+x^7+x^5+x^3+1, all-ones
// start, first output bit in the most significant bit) that the transmitter
// adds behind every marker.
const std::array<std::uint8_t, kCodedFrameSize>& pseudoRandomSequence();

// XORs `len` bytes starting at `data` with the sequence from its byte 0.
void applyPseudoRandom(std::uint8_t* data, std::size_t len);

// GF(256) with field polynomial 187 hex; alpha = 02, beta = alpha^11.
class Gf256 {
  public:
    static std::uint8_t mul(std::uint8_t a, std::uint8_t b);
    static std::uint8_t alphaPow(int e); // alpha^e, any e >= 0
    static std::uint8_t betaPow(int e) { return alphaPow((11 * e) % 255); }
};

// Reed-Solomon (255,223) with roots beta^112 ... beta^143 over the bytes as
// they are (no basis conversion). Symbol m of a code word is the coefficient
// of x^m; data are symbols 0..222, check symbols 223..254.
class ReedSolomonEncoder {
  public:
    ReedSolomonEncoder();

    // Fills word[223..254] so that word[0..254] is a code word.
    void encodeWord(std::uint8_t* word) const;

    // frame: 1,020 bytes; bytes 0..891 are data. Fills bytes 892..1019 so that
    // each interleaved word i (bytes i + 4m, m = 0..254) is a code word.
    void encodeFrame(std::uint8_t* frame) const;

    // The 32 syndromes S_i = c(beta^(111+i)), i = 1..32, of a 255-byte word
    // read with stride `stride` (1 for a plain word, 4 for a frame slice).
    static std::array<std::uint8_t, 32> syndromes(const std::uint8_t* word, std::size_t stride = 1);

    // Generator polynomial, g[0..32], g[32] = 1.
    const std::array<std::uint8_t, 33>& generator() const { return fGen; }

  private:
    std::array<std::uint8_t, 33> fGen{};
};

// Continuous k = 7 encoder, generators 171 and 133 octal, 171 first, no
// inversion. The register starts at zero and carries over between calls.
class ConvolutionalEncoder {
  public:
    // Appends two code bits (0/1) per input bit to `out`. Input bits are taken
    // most significant bit first from `bytes`.
    void encodeBytes(const std::uint8_t* bytes, std::size_t len, std::vector<std::uint8_t>& out);
    void encodeBit(unsigned bit, std::uint8_t& c1, std::uint8_t& c2);
    unsigned state() const { return fReg; }

  private:
    unsigned fReg = 0;
};

// NRZ-M differential encoding in place: e_k = e_(k-1) XOR b_k over the bits of
// `bytes`, most significant bit first; `previous` is e_(-1). Returns the last
// encoded bit, the `previous` of the next call, so a stream encoded in pieces
// is one continuous encoding.
unsigned nrzmEncode(std::uint8_t* bytes, std::size_t len, unsigned previous);

// Builds the 1,024-byte channel-access frame from an 892-byte transfer
// frame: check bytes over the plain frame, then the pseudo-random sequence
// over all 1,020 bytes, then the marker in front.
std::array<std::uint8_t, kCaduSize> buildCadu(const ReedSolomonEncoder& rs,
                                              const std::uint8_t* transferFrame);

} // namespace lrptsynth
