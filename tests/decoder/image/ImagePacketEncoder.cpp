#include "ImagePacketEncoder.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numbers>
#include <stdexcept>

namespace imagetest {

namespace {

// ITU-T T.81 Table K.1 (luminance quantisation), row-major.
constexpr int32_t LuminanceQuant[64] = {
    16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55, //
    14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62, //
    18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92, //
    49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};

// T.81 Tables K.3 and K.5 given as counts of codes per length and the symbols in code order.
constexpr int DCCounts[16] = {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
constexpr int ACCounts[16] = {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 125};
constexpr uint8_t ACSymbols[162] = {
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61, 0x07, //
    0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xA1, 0x08, 0x23, 0x42, 0xB1, 0xC1, 0x15, 0x52, 0xD1, 0xF0, //
    0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0A, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x25, 0x26, 0x27, 0x28, //
    0x29, 0x2A, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3A, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, //
    0x4A, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5A, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, //
    0x6A, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7A, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, //
    0x8A, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9A, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, //
    0xA8, 0xA9, 0xAA, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8, 0xB9, 0xBA, 0xC2, 0xC3, 0xC4, 0xC5, //
    0xC6, 0xC7, 0xC8, 0xC9, 0xCA, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7, 0xD8, 0xD9, 0xDA, 0xE1, 0xE2, //
    0xE3, 0xE4, 0xE5, 0xE6, 0xE7, 0xE8, 0xE9, 0xEA, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, //
    0xF9, 0xFA};

// Codes of one length are consecutive; moving to the next length doubles the next code.
template <size_t N>
void AssignCodes(const int (&aCounts)[16], const uint8_t* aSymbols, std::array<Code, N>& aOut) {
    uint32_t next = 0;
    int index = 0;
    for (int len = 1; len <= 16; ++len, next *= 2)
        for (int i = 0; i < aCounts[len - 1]; ++i)
            aOut[aSymbols[index++]] = Code{len, next++};
}

double Basis(int aFreq, int aN) {
    if (aFreq == 0) return 1.0 / std::sqrt(8.0);
    return std::cos((2 * aN + 1) * aFreq * std::numbers::pi / 16.0) / 2.0;
}

int Category(int32_t aValue) {
    int magnitude = std::abs(aValue), bits = 0;
    while (magnitude)
        magnitude >>= 1, ++bits;
    return bits;
}

uint32_t ValueBits(int32_t aValue, int aCategory) {
    return aValue >= 0 ? static_cast<uint32_t>(aValue) : static_cast<uint32_t>(aValue + (1 << aCategory) - 1);
}

// Nearest integer of aNum / aDen (aDen > 0), ties to even, in integers.
int32_t DivRoundEven(int64_t aNum, int64_t aDen) {
    int64_t q = aNum / aDen, r = aNum % aDen;
    if (r < 0) r += aDen, --q;
    if (2 * r > aDen || (2 * r == aDen && (q & 1))) ++q;
    return static_cast<int32_t>(q);
}

} // namespace

const std::array<int, 64>& ZigzagScan() {
    static const std::array<int, 64> scan = [] {
        std::array<int, 64> order{};
        int k = 0;
        for (int d = 0; d < 15; ++d) {
            // Odd anti-diagonals run down-left (row grows), even ones up-right.
            for (int i = 0; i <= d; ++i) {
                const int row = d % 2 ? i : d - i;
                const int col = d - row;
                if (row < 8 && col < 8) order[k++] = row * 8 + col;
            }
        }
        return order;
    }();
    return scan;
}

int32_t ScaleFactor(int32_t aQ) {
    return aQ <= 50 ? DivRoundEven(5000, aQ) : 200 - 2 * aQ;
}

Coefficients QuantTable(int32_t aQ) {
    const int32_t f = ScaleFactor(aQ);
    Coefficients table{};
    for (int i = 0; i < 64; ++i)
        table[i / 8][i % 8] = std::max(1, DivRoundEven(int64_t{LuminanceQuant[i]} * f, 100));
    return table;
}

void BitWriter::Put(uint32_t aBits, int aCount) {
    for (int i = aCount - 1; i >= 0; --i) {
        if (fBits % 8 == 0) fData.push_back(0);
        if ((aBits >> i) & 1) fData.back() |= static_cast<uint8_t>(0x80 >> (fBits % 8));
        ++fBits;
    }
}

std::vector<uint8_t> BitWriter::Bytes() const {
    return fData;
}

const std::array<Code, 12>& DCCodes() {
    static const std::array<Code, 12> codes = [] {
        std::array<Code, 12> out{};
        const uint8_t symbols[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
        AssignCodes(DCCounts, symbols, out);
        return out;
    }();
    return codes;
}

const std::array<Code, 256>& ACCodes() {
    static const std::array<Code, 256> codes = [] {
        std::array<Code, 256> out{};
        AssignCodes(ACCounts, ACSymbols, out);
        return out;
    }();
    return codes;
}

Coefficients ForwardQuantised(const Block& aPixels, const Coefficients& aQuant) {
    Coefficients out{};
    for (int u = 0; u < 8; ++u)
        for (int v = 0; v < 8; ++v) {
            double sum = 0;
            for (int y = 0; y < 8; ++y)
                for (int x = 0; x < 8; ++x)
                    sum += Basis(u, y) * Basis(v, x) * (aPixels[y][x] - 128.0);
            int32_t q = static_cast<int32_t>(std::lround(sum / aQuant[u][v]));
            const int32_t limit = (u == 0 && v == 0) ? 2047 : 1023;
            out[u][v] = std::clamp(q, -limit, limit);
        }
    return out;
}

void EncodeBlock(BitWriter& aOut, const Coefficients& aQuantised, int32_t& aPrevDC) {
    const auto& scan = ZigzagScan();
    const int32_t diff = aQuantised[0][0] - aPrevDC;
    aPrevDC = aQuantised[0][0];
    const int dcCat = Category(diff);
    if (dcCat > 11) throw std::range_error("DC difference too large for the test encoder");
    aOut.Put(DCCodes()[dcCat].Bits, DCCodes()[dcCat].Len);
    aOut.Put(ValueBits(diff, dcCat), dcCat);

    int run = 0;
    for (int k = 1; k < 64; ++k) {
        const int32_t value = aQuantised[scan[k] / 8][scan[k] % 8];
        if (value == 0) {
            ++run;
            continue;
        }
        for (; run > 15; run -= 16)
            aOut.Put(ACCodes()[0xF0].Bits, ACCodes()[0xF0].Len);
        const int size = Category(value);
        const Code& code = ACCodes()[run << 4 | size];
        aOut.Put(code.Bits, code.Len);
        aOut.Put(ValueBits(value, size), size);
        run = 0;
    }
    if (run > 0) aOut.Put(ACCodes()[0x00].Bits, ACCodes()[0x00].Len);
}

Block ReferenceDecode(const Coefficients& aQuantised, const Coefficients& aQuant) {
    double c[8][8], deq[8][8], tmp[8][8];
    for (int u = 0; u < 8; ++u)
        for (int n = 0; n < 8; ++n)
            c[u][n] = Basis(u, n);
    for (int u = 0; u < 8; ++u)
        for (int v = 0; v < 8; ++v)
            deq[u][v] = static_cast<double>(aQuantised[u][v] * aQuant[u][v]);
    // tmp = C^T x deq, then out = tmp x C.
    for (int y = 0; y < 8; ++y)
        for (int v = 0; v < 8; ++v) {
            double s = 0.0;
            for (int u = 0; u < 8; ++u)
                s += c[u][y] * deq[u][v];
            tmp[y][v] = s;
        }
    Block out{};
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) {
            double s = 0.0;
            for (int v = 0; v < 8; ++v)
                s += tmp[y][v] * c[v][x];
            const double level = std::nearbyint(s + 128.0);
            out[y][x] = static_cast<uint8_t>(std::clamp(level, 0.0, 255.0));
        }
    return out;
}

std::vector<uint8_t> WrapPacket(const PacketSpec& aSpec, const std::vector<uint8_t>& aData) {
    std::vector<uint8_t> p(20 + aData.size(), 0);
    const uint16_t apid = static_cast<uint16_t>(63 + aSpec.Channel);
    p[0] = static_cast<uint8_t>(0x08 | (apid >> 8));
    p[1] = static_cast<uint8_t>(apid);
    p[2] = static_cast<uint8_t>(0xC0 | (aSpec.Sequence >> 8 & 0x3F));
    p[3] = static_cast<uint8_t>(aSpec.Sequence);
    p[6] = 0;
    p[7] = 0;
    p[8] = static_cast<uint8_t>(aSpec.TimeMs >> 24);
    p[9] = static_cast<uint8_t>(aSpec.TimeMs >> 16);
    p[10] = static_cast<uint8_t>(aSpec.TimeMs >> 8);
    p[11] = static_cast<uint8_t>(aSpec.TimeMs);
    p[14] = static_cast<uint8_t>(aSpec.Mcu);
    p[17] = static_cast<uint8_t>(aSpec.LoggedWord >> 8);
    p[18] = static_cast<uint8_t>(aSpec.LoggedWord);
    p[19] = static_cast<uint8_t>(aSpec.Q);
    std::copy(aData.begin(), aData.end(), p.begin() + 20);
    const size_t lengthField = p.size() - 7;
    p[4] = static_cast<uint8_t>(lengthField >> 8 & 0x3F);
    p[5] = static_cast<uint8_t>(lengthField);
    return p;
}

std::vector<uint8_t> EncodePacket(const PacketSpec& aSpec, const std::vector<Block>& aBlocks,
                                  std::vector<Block>* aExpected) {
    // Q 0 is carried (the decoder skips such packets) but cannot scale a table.
    const Coefficients quant = QuantTable(std::max(aSpec.Q, 1));
    BitWriter bits;
    int32_t prevDC = 0;
    if (aExpected) aExpected->clear();
    for (const Block& block : aBlocks) {
        const Coefficients q = ForwardQuantised(block, quant);
        EncodeBlock(bits, q, prevDC);
        if (aExpected) aExpected->push_back(ReferenceDecode(q, quant));
    }
    return WrapPacket(aSpec, bits.Bytes());
}

uint8_t Scene(int aX, int aY, uint32_t aSeed) {
    uint32_t h =
        static_cast<uint32_t>(aX) * 73856093u ^ static_cast<uint32_t>(aY) * 19349663u ^ aSeed * 83492791u;
    h ^= h >> 13;
    h *= 0x5bd1e995u;
    h ^= h >> 15;
    const double noise = static_cast<double>(h % 41) - 20.0;
    const double smooth = 110.0 + 60.0 * std::sin(aX / 37.0) + 40.0 * std::cos((aY + aSeed) / 23.0);
    const double edge = ((aX / 64 + aY / 16) % 2) ? 30.0 : -30.0;
    return static_cast<uint8_t>(std::clamp(smooth + edge + noise, 0.0, 255.0));
}

} // namespace imagetest
