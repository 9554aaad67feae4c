#include "ImageEncoder.h"

#include <algorithm>
#include <cmath>

namespace lrptsynth {

namespace {

// ITU-T T.81 Annex K: luminance DC (K.3) and AC (K.5) code counts per length
// and symbol lists, and the luminance quantisation table (K.1).
const std::uint8_t kDcBits[16] = {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
const std::uint8_t kDcVals[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
const std::uint8_t kAcBits[16] = {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d};
const std::uint8_t kAcVals[162] = {
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61, 0x07, 0x22,
    0x71, 0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52, 0xd1, 0xf0, 0x24, 0x33,
    0x62, 0x72, 0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x34,
    0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55,
    0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76,
    0x77, 0x78, 0x79, 0x7a, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96,
    0x97, 0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5,
    0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3, 0xd4,
    0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea, 0xf1,
    0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};
const std::array<int, 64> kBaseQuant = {
    16, 11,  10,  16, 24, 40, 51, 61, 12,  12,  14,  19,  26, 58, 60, 55,  14,  13,  16,  24, 40, 57,
    69, 56,  14,  17, 22, 29, 51, 87, 80,  62,  18,  22,  37, 56, 68, 109, 103, 77,  24,  35, 55, 64,
    81, 104, 113, 92, 49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98,  112, 100, 103, 99};

// Canonical codes: consecutive within a length, shifted left between lengths.
template <std::size_t N>
void buildCanonical(const std::uint8_t* bits, const std::uint8_t* vals, std::array<HuffCode, N>& table) {
    unsigned code = 0;
    int k = 0;
    for (int len = 1; len <= 16; ++len) {
        for (int i = 0; i < bits[len - 1]; ++i) {
            table[vals[k++]] = HuffCode{static_cast<std::uint8_t>(len), static_cast<std::uint16_t>(code)};
            ++code;
        }
        code <<= 1;
    }
}

std::array<int, 64> makeZigzag() {
    std::array<int, 64> zz{};
    int pos = 0;
    for (int s = 0; s < 15; ++s) {
        if (s % 2 == 0) {
            for (int u = std::min(s, 7); u >= 0 && s - u <= 7; --u)
                zz[u * 8 + (s - u)] = pos++;
        } else {
            for (int v = std::min(s, 7); v >= 0 && s - v <= 7; --v)
                zz[(s - v) * 8 + v] = pos++;
        }
    }
    return zz;
}

class BitWriter {
  public:
    explicit BitWriter(std::vector<std::uint8_t>& out) : fOut(out) {}
    void put(unsigned value, int n) {
        for (int i = n - 1; i >= 0; --i) {
            fAcc = (fAcc << 1) | ((value >> i) & 1u);
            if (++fCount == 8) {
                fOut.push_back(static_cast<std::uint8_t>(fAcc));
                fAcc = 0;
                fCount = 0;
            }
        }
    }
    void flush() {
        while (fCount != 0)
            put(1, 1);
    }

  private:
    std::vector<std::uint8_t>& fOut;
    unsigned fAcc = 0;
    int fCount = 0;
};

int category(int v) {
    int a = v < 0 ? -v : v;
    int s = 0;
    while (a) {
        ++s;
        a >>= 1;
    }
    return s;
}

unsigned amplitudeBits(int v, int s) {
    return static_cast<unsigned>(v >= 0 ? v : v + (1 << s) - 1);
}

} // namespace

const std::array<int, 64>& ImageEncoder::zigzag() {
    static const auto zz = makeZigzag();
    return zz;
}

const std::array<int, 64>& ImageEncoder::baseQuant() {
    return kBaseQuant;
}

ImageEncoder::ImageEncoder() {
    buildCanonical(kDcBits, kDcVals, fDc);
    buildCanonical(kAcBits, kAcVals, fAc);
    for (int u = 0; u < 8; ++u)
        for (int n = 0; n < 8; ++n)
            fDct[u][n] = u == 0 ? 1.0 / std::sqrt(8.0) : std::cos((2 * n + 1) * u * M_PI / 16) / 2;
}

std::array<int, 64> ImageEncoder::quantTable(int q) {
    const double f = q <= 50 ? std::nearbyint(5000.0 / q) : 200.0 - 2.0 * q;
    std::array<int, 64> t{};
    for (int i = 0; i < 64; ++i) {
        const int v = static_cast<int>(std::nearbyint(kBaseQuant[i] * f / 100.0));
        t[i] = v < 1 ? 1 : v;
    }
    return t;
}

std::vector<std::uint8_t> ImageEncoder::encodePacket(const std::uint8_t* strip, int firstBlock, int quality,
                                                     std::vector<std::array<int, 64>>* quantised) const {
    const auto qt = quantTable(quality);
    const auto& zz = zigzag();
    std::vector<std::uint8_t> out;
    out.reserve(512);
    BitWriter bw(out);
    int pred = 0;
    for (int b = 0; b < kBlocksPerPacket; ++b) {
        const int x0 = (firstBlock + b) * 8;
        double px[8][8];
        for (int y = 0; y < 8; ++y)
            for (int n = 0; n < 8; ++n)
                px[y][n] = strip[y * kLineWidth + x0 + n] - 128.0;
        // Orthonormal 2-D DCT, the transpose of the receiver's inverse.
        double tmp[8][8];
        for (int u = 0; u < 8; ++u)
            for (int n = 0; n < 8; ++n) {
                double s = 0;
                for (int y = 0; y < 8; ++y)
                    s += fDct[u][y] * px[y][n];
                tmp[u][n] = s;
            }
        std::array<int, 64> natural{};
        for (int u = 0; u < 8; ++u)
            for (int v = 0; v < 8; ++v) {
                double s = 0;
                for (int n = 0; n < 8; ++n)
                    s += tmp[u][n] * fDct[v][n];
                // The tables stop at DC category 11 and AC size 10.
                const int c = static_cast<int>(std::lround(s / qt[u * 8 + v]));
                natural[u * 8 + v] = std::clamp(c, -1023, 1023);
            }
        std::array<int, 64> zzc{};
        for (int i = 0; i < 64; ++i)
            zzc[zz[i]] = natural[i];

        const int diff = zzc[0] - pred;
        pred = zzc[0];
        const int ds = category(diff);
        bw.put(fDc[ds].code, fDc[ds].length);
        if (ds) bw.put(amplitudeBits(diff, ds), ds);
        int run = 0;
        for (int k = 1; k < 64; ++k) {
            const int v = zzc[k];
            if (v == 0) {
                ++run;
                continue;
            }
            while (run > 15) {
                bw.put(fAc[0xF0].code, fAc[0xF0].length);
                run -= 16;
            }
            const int s = category(v);
            const HuffCode& hc = fAc[(run << 4) | s];
            bw.put(hc.code, hc.length);
            bw.put(amplitudeBits(v, s), s);
            run = 0;
        }
        if (run > 0) bw.put(fAc[0x00].code, fAc[0x00].length);
        if (quantised) quantised->push_back(natural);
    }
    bw.flush();
    return out;
}

void ImageEncoder::reconstructBlock(const std::array<int, 64>& coef, int quality, std::uint8_t* out,
                                    int stride) const {
    const auto qt = quantTable(quality);
    int deq[8][8];
    for (int i = 0; i < 64; ++i)
        deq[i / 8][i % 8] = coef[i] * qt[i];
    double jpg1[8][8];
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 8; ++j) {
            double s = 0;
            for (int k = 0; k < 8; ++k)
                s += fDct[k][i] * deq[k][j];
            jpg1[i][j] = s;
        }
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 8; ++j) {
            double s = 0;
            for (int k = 0; k < 8; ++k)
                s += jpg1[i][k] * fDct[k][j];
            const double v = std::nearbyint(s + 128.0);
            out[i * stride + j] = static_cast<std::uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
        }
}

} // namespace lrptsynth
