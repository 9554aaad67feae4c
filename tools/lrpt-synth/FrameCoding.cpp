#include "FrameCoding.h"

#include <cstring>

namespace lrptsynth {

namespace {

struct GfTables {
    std::array<std::uint8_t, 255> exp{};
    std::array<int, 256> log{};
    GfTables() {
        unsigned v = 1;
        for (int i = 0; i < 255; ++i) {
            exp[i] = static_cast<std::uint8_t>(v);
            log[v] = i;
            v <<= 1;
            if (v & 0x100) v ^= 0x187;
        }
    }
};

const GfTables& gf() {
    static const GfTables t;
    return t;
}

std::array<std::uint8_t, kCodedFrameSize> makeSequence() {
    std::array<std::uint8_t, kCodedFrameSize> seq{};
    unsigned v = 0xFF;
    for (auto& byte : seq) {
        unsigned b = 0;
        for (int j = 0; j < 8; ++j) {
            unsigned out = v & 1u;
            unsigned f = (v ^ (v >> 3) ^ (v >> 5) ^ (v >> 7)) & 1u;
            v = (v >> 1) | (f << 7);
            b = (b << 1) | out;
        }
        byte = static_cast<std::uint8_t>(b);
    }
    return seq;
}

} // namespace

const std::array<std::uint8_t, kCodedFrameSize>& pseudoRandomSequence() {
    static const auto seq = makeSequence();
    return seq;
}

void applyPseudoRandom(std::uint8_t* data, std::size_t len) {
    const auto& seq = pseudoRandomSequence();
    for (std::size_t i = 0; i < len && i < seq.size(); ++i)
        data[i] ^= seq[i];
}

std::uint8_t Gf256::mul(std::uint8_t a, std::uint8_t b) {
    if (a == 0 || b == 0) return 0;
    const auto& t = gf();
    return t.exp[(t.log[a] + t.log[b]) % 255];
}

std::uint8_t Gf256::alphaPow(int e) {
    return gf().exp[e % 255];
}

ReedSolomonEncoder::ReedSolomonEncoder() {
    // g(x) = prod (x - beta^i), i = 112..143; minus is plus in GF(2^8).
    fGen.fill(0);
    fGen[0] = 1;
    int deg = 0;
    for (int i = 112; i <= 143; ++i) {
        const std::uint8_t root = Gf256::betaPow(i);
        for (int j = deg + 1; j > 0; --j)
            fGen[j] = fGen[j - 1] ^ Gf256::mul(fGen[j], root);
        fGen[0] = Gf256::mul(fGen[0], root);
        ++deg;
    }
}

void ReedSolomonEncoder::encodeWord(std::uint8_t* word) const {
    // The root set is symmetric, so the word read backwards is a code word as
    // well; encode that reversed word the usual systematic way (data in the
    // high powers) and write its remainder back into symbols 223..254.
    std::array<std::uint8_t, 32> rem{};
    for (int m = 0; m < 223; ++m) {
        const std::uint8_t fb = word[m] ^ rem[31];
        for (int j = 31; j > 0; --j)
            rem[j] = rem[j - 1] ^ Gf256::mul(fb, fGen[j]);
        rem[0] = Gf256::mul(fb, fGen[0]);
    }
    for (int j = 0; j < 32; ++j)
        word[254 - j] = rem[j];
}

void ReedSolomonEncoder::encodeFrame(std::uint8_t* frame) const {
    std::uint8_t word[255];
    for (int i = 0; i < 4; ++i) {
        for (int m = 0; m < 223; ++m)
            word[m] = frame[i + 4 * m];
        encodeWord(word);
        for (int m = 223; m < 255; ++m)
            frame[i + 4 * m] = word[m];
    }
}

std::array<std::uint8_t, 32> ReedSolomonEncoder::syndromes(const std::uint8_t* word, std::size_t stride) {
    std::array<std::uint8_t, 32> s{};
    for (int i = 1; i <= 32; ++i) {
        const std::uint8_t root = Gf256::betaPow(111 + i);
        // Horner from the highest power down.
        std::uint8_t acc = 0;
        for (int m = 254; m >= 0; --m)
            acc = Gf256::mul(acc, root) ^ word[m * stride];
        s[i - 1] = acc;
    }
    return s;
}

void ConvolutionalEncoder::encodeBit(unsigned bit, std::uint8_t& c1, std::uint8_t& c2) {
    fReg = (fReg >> 1) | ((bit & 1u) << 6);
    c1 = static_cast<std::uint8_t>(__builtin_parity(fReg & 0171u));
    c2 = static_cast<std::uint8_t>(__builtin_parity(fReg & 0133u));
}

void ConvolutionalEncoder::encodeBytes(const std::uint8_t* bytes, std::size_t len,
                                       std::vector<std::uint8_t>& out) {
    const std::size_t base = out.size();
    out.resize(base + len * 16);
    std::uint8_t* p = out.data() + base;
    for (std::size_t i = 0; i < len; ++i) {
        for (int j = 7; j >= 0; --j) {
            encodeBit((bytes[i] >> j) & 1u, p[0], p[1]);
            p += 2;
        }
    }
}

unsigned nrzmEncode(std::uint8_t* bytes, std::size_t len, unsigned previous) {
    unsigned e = previous & 1u;
    for (std::size_t i = 0; i < len; ++i) {
        unsigned out = 0;
        for (int j = 7; j >= 0; --j) {
            e ^= (bytes[i] >> j) & 1u;
            out = (out << 1) | e;
        }
        bytes[i] = static_cast<std::uint8_t>(out);
    }
    return e;
}

std::array<std::uint8_t, kCaduSize> buildCadu(const ReedSolomonEncoder& rs,
                                              const std::uint8_t* transferFrame) {
    std::array<std::uint8_t, kCaduSize> cadu{};
    cadu[0] = 0x1A;
    cadu[1] = 0xCF;
    cadu[2] = 0xFC;
    cadu[3] = 0x1D;
    std::uint8_t* f = cadu.data() + 4;
    std::memcpy(f, transferFrame, kFrameSize);
    rs.encodeFrame(f);
    applyPseudoRandom(f, kCodedFrameSize);
    return cadu;
}

} // namespace lrptsynth
