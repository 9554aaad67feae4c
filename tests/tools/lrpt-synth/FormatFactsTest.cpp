// Facts that the on-air formats fix, checked on the generator's own output
// with helpers written here from the formats (not with the generator's code).
#include "FrameCoding.h"
#include "ImageEncoder.h"
#include "Interleaver.h"
#include "Synthesizer.h"
#include "TestConvEncoder.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

using namespace lrptsynth;

namespace {

// GF(256), polynomial 187 hex, by shift and add.
std::uint8_t gmul(std::uint8_t a, std::uint8_t b) {
    unsigned r = 0, x = a;
    for (int i = 0; i < 8; ++i) {
        if (b & (1u << i)) r ^= x;
        x <<= 1;
        if (x & 0x100) x ^= 0x187;
    }
    return static_cast<std::uint8_t>(r);
}
std::uint8_t gpow(std::uint8_t a, int e) {
    std::uint8_t r = 1;
    for (int i = 0; i < e; ++i)
        r = gmul(r, a);
    return r;
}
// True when c(beta^(111+i)) = 0 for i = 1..32, beta = alpha^11, for the word
// read with the given stride.
bool isCodeWord(const std::uint8_t* w, int stride) {
    const std::uint8_t beta = gpow(2, 11);
    for (int i = 1; i <= 32; ++i) {
        const std::uint8_t root = gpow(beta, 111 + i);
        std::uint8_t acc = 0, p = 1;
        for (int m = 0; m < 255; ++m) {
            acc ^= gmul(w[m * stride], p);
            p = gmul(p, root);
        }
        if (acc != 0) return false;
    }
    return true;
}

std::vector<std::uint8_t> prbs(std::size_t n) {
    std::vector<std::uint8_t> out;
    unsigned v = 0xFF;
    for (std::size_t k = 0; k < n; ++k) {
        unsigned b = 0;
        for (int j = 0; j < 8; ++j) {
            b = (b << 1) | (v & 1);
            const unsigned f = (v ^ v >> 3 ^ v >> 5 ^ v >> 7) & 1;
            v = (v >> 1) | (f << 7);
        }
        out.push_back(static_cast<std::uint8_t>(b));
    }
    return out;
}

SynthOptions smallPass() {
    SynthOptions o;
    o.durationSeconds = 8;
    o.leadInSeconds = 0.05;
    return o;
}

// The chain's view of a 72 k soft file: pairs exchanged as the decoder does.
std::vector<int> chainValues72(const std::vector<std::uint8_t>& s) {
    std::vector<int> v(s.size());
    for (std::size_t i = 0; i + 1 < s.size(); i += 2) {
        v[i] = static_cast<std::int8_t>(s[i + 1]);
        v[i + 1] = static_cast<std::int8_t>(s[i]);
    }
    return v;
}

} // namespace

TEST(FormatFacts, PseudoRandomSequenceStartAndPeriod) {
    const auto& seq = pseudoRandomSequence();
    const std::uint8_t head[8] = {0xFF, 0x48, 0x0E, 0xC0, 0x9A, 0x0D, 0x70, 0xBC};
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(seq[i], head[i]) << i;
    const auto ref = prbs(1020);
    for (std::size_t i = 0; i < seq.size(); ++i)
        ASSERT_EQ(seq[i], ref[i]) << i;
    for (std::size_t i = 255; i < seq.size(); ++i)
        ASSERT_EQ(seq[i], seq[i - 255]) << i;
}

// The decoder corrects before it removes the sequence; that only works
// because each interleaved slice of the sequence is itself a code word.
TEST(FormatFacts, EachInterleavedSliceOfTheSequenceIsACodeWord) {
    const auto seq = prbs(1020);
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(isCodeWord(seq.data() + i, 4)) << "slice " << i;
    auto broken = seq;
    broken[4 * 100 + 2] ^= 1;
    EXPECT_FALSE(isCodeWord(broken.data() + 2, 4));
}

TEST(FormatFacts, EveryCodeWordOfEveryTransmittedFrameHasZeroSyndromes) {
    const Recording rec = synthesize(smallPass());
    ASSERT_GE(rec.sentCadus.size() / 1024, 60u);
    const auto seq = prbs(1020);
    for (std::size_t f = 0; f < rec.sentCadus.size() / 1024; ++f) {
        const std::uint8_t* c = rec.sentCadus.data() + f * 1024;
        ASSERT_EQ(c[0], 0x1A);
        ASSERT_EQ(c[3], 0x1D);
        std::vector<std::uint8_t> plain(c + 4, c + 1024);
        for (int i = 0; i < 1020; ++i)
            plain[i] ^= seq[i];
        ASSERT_EQ(plain[0], 0x40);
        ASSERT_EQ(plain[1], 0x05);
        for (int w = 0; w < 4; ++w) {
            ASSERT_TRUE(isCodeWord(c + 4 + w, 4)) << "frame " << f << " word " << w << " as sent";
            ASSERT_TRUE(isCodeWord(plain.data() + w, 4)) << "frame " << f << " word " << w << " plain";
        }
    }
}

TEST(FormatFacts, EncodedMarkerAppearsAtEveryFrameStart) {
    // Code symbols 12..59 of the encoded marker, D49C24FF2686 as bits.
    const std::uint64_t pattern = 0xD49C24FF2686ull;
    SynthOptions o = smallPass();
    o.amplitude = 100;
    const Recording rec = synthesize(o);
    const auto v = chainValues72(rec.bytes);
    int frames = 0;
    for (const auto& f : rec.frames) {
        ASSERT_TRUE(f.sent);
        for (int k = 0; k < 48; ++k) {
            const bool one = (pattern >> (47 - k)) & 1;
            ASSERT_EQ(v[static_cast<std::size_t>(f.firstValue + 12 + k)], one ? 100 : -100)
                << "frame " << frames << " symbol " << k;
        }
        ++frames;
    }
    EXPECT_GT(frames, 60);
    // And the whole value stream is the continuous encoding of the frames.
    const auto code = convEncode(rec.sentCadus);
    ASSERT_EQ(static_cast<std::int64_t>(code.size()) + rec.leadInValues, static_cast<std::int64_t>(v.size()));
    for (std::size_t i = 0; i < code.size(); ++i)
        ASSERT_EQ(v[static_cast<std::size_t>(rec.leadInValues) + i] > 0, code[i] == 1) << i;
}

TEST(FormatFacts, NrzmEncodesTheWholeStreamContinuouslyBeforeTheCode) {
    SynthOptions o = smallPass();
    o.nrzm = true;
    const Recording rec = synthesize(o);
    SynthOptions plainOptions = smallPass();
    const Recording plain = synthesize(plainOptions);
    // The frames on the air are the same; only the bits fed to the code change.
    ASSERT_EQ(rec.sentCadus, plain.sentCadus);

    // e_k = e_(k-1) XOR b_k from e_(-1) = 0 over all frames, markers included.
    std::vector<std::uint8_t> encoded(rec.sentCadus.size());
    unsigned e = 0;
    for (std::size_t i = 0; i < encoded.size(); ++i)
        for (int j = 7; j >= 0; --j) {
            e ^= (rec.sentCadus[i] >> j) & 1u;
            encoded[i] = static_cast<std::uint8_t>(encoded[i] | e << j);
        }
    const auto v = chainValues72(rec.bytes);
    const auto code = convEncode(encoded);
    ASSERT_EQ(static_cast<std::int64_t>(code.size()) + rec.leadInValues, static_cast<std::int64_t>(v.size()));
    for (std::size_t i = 0; i < code.size(); ++i)
        ASSERT_EQ(v[static_cast<std::size_t>(rec.leadInValues) + i] > 0, code[i] == 1) << i;

    // Each marker goes out as the encoded NRZ-M marker (1ACFFC1D differentially encoded from 0 is
    // 137557E9; its code symbols 12..59 are 10B02F33D207) or, after an encoded 1, as its
    // complement; both occur.
    const auto markerCode = convEncode({0x13, 0x75, 0x57, 0xE9});
    std::uint64_t pattern = 0;
    for (int k = 12; k < 60; ++k)
        pattern = pattern << 1 | markerCode[static_cast<std::size_t>(k)];
    ASSERT_EQ(pattern, 0x10B02F33D207ull);
    int complemented = 0, frames = 0;
    for (const auto& f : rec.frames) {
        const std::size_t first = static_cast<std::size_t>(f.firstValue) + 12;
        const bool flipped = (v[first] > 0) != (((pattern >> 47) & 1) != 0);
        for (int k = 0; k < 48; ++k) {
            const bool one = ((pattern >> (47 - k)) & 1) != flipped;
            ASSERT_EQ(v[first + static_cast<std::size_t>(k)] > 0, one)
                << "frame " << frames << " symbol " << k;
        }
        complemented += flipped;
        ++frames;
    }
    EXPECT_GT(complemented, 0);
    EXPECT_LT(complemented, frames);
}

TEST(FormatFacts, HuffmanCodesAreTheStandardLuminanceCodes) {
    ImageEncoder enc;
    auto bits = [](const HuffCode& c) {
        std::string s;
        for (int i = c.length - 1; i >= 0; --i)
            s += ((c.code >> i) & 1) ? '1' : '0';
        return s;
    };
    // T.81 Table K.3.
    const char* dc[12] = {"00",   "010",   "011",    "100",     "101",      "110",
                          "1110", "11110", "111110", "1111110", "11111110", "111111110"};
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(bits(enc.dcCodes()[i]), dc[i]) << "DC category " << i;
    // T.81 Table K.5, a spread of entries.
    const std::pair<int, const char*> ac[] = {{0x00, "1010"},
                                              {0x01, "00"},
                                              {0x02, "01"},
                                              {0x03, "100"},
                                              {0x04, "1011"},
                                              {0x05, "11010"},
                                              {0x06, "1111000"},
                                              {0x07, "11111000"},
                                              {0x08, "1111110110"},
                                              {0x09, "1111111110000010"},
                                              {0x0A, "1111111110000011"},
                                              {0x11, "1100"},
                                              {0x12, "11011"},
                                              {0x13, "1111001"},
                                              {0x14, "111110110"},
                                              {0x21, "11100"},
                                              {0x22, "11111001"},
                                              {0x31, "111010"},
                                              {0x41, "111011"},
                                              {0x51, "1111010"},
                                              {0x61, "1111011"},
                                              {0x71, "11111010"},
                                              {0x81, "111111000"},
                                              {0x91, "111111001"},
                                              {0xA1, "111111010"},
                                              {0xB1, "1111111001"},
                                              {0xC1, "1111111010"},
                                              {0xD1, "11111111000"},
                                              {0xE1, "1111111111101011"},
                                              {0xF0, "11111111001"},
                                              {0xF1, "1111111111110101"},
                                              {0xFA, "1111111111111110"}};
    for (const auto& [sym, code] : ac)
        EXPECT_EQ(bits(enc.acCodes()[sym]), code) << std::hex << "AC symbol " << sym;
    int defined = 0;
    for (const auto& c : enc.acCodes())
        defined += c.length > 0;
    EXPECT_EQ(defined, 162);
}

TEST(FormatFacts, QuantisationScalesAsTheReceiverDoes) {
    EXPECT_EQ(ImageEncoder::quantTable(50), ImageEncoder::baseQuant());
    const auto q75 = ImageEncoder::quantTable(75); // F = 50; 13 x 0.5 rounds to even
    EXPECT_EQ(q75[0], 8);
    int thirteen = -1;
    for (int i = 0; i < 64; ++i)
        if (ImageEncoder::baseQuant()[i] == 13) thirteen = i;
    ASSERT_GE(thirteen, 0);
    EXPECT_EQ(q75[thirteen], 6);
    const auto q16 = ImageEncoder::quantTable(16); // F = round(312.5) = 312
    EXPECT_EQ(q16[0], 50);                         // 16 x 3.12 = 49.92
    for (int v : ImageEncoder::quantTable(100))
        EXPECT_EQ(v, 1);
}

// A deinterleaver written here: branch b (value index mod 36) waits
// (35 - b) x 73,728 values, so every value leaves exactly 35 x 73,728 values
// after it entered the interleaver's input... plus the interleaver's own b x 73,728.
TEST(FormatFacts, InterleaverAndAMatchingDeinterleaverRestoreTheOrderWithEqualDelay) {
    const std::int64_t step = 36 * 2048;
    const std::int64_t n = 72 * 80000; // ~ 78 store rows of every branch
    std::vector<std::uint8_t> in(static_cast<std::size_t>(n));
    std::mt19937 rng(7);
    for (auto& b : in)
        b = rng() & 1;
    std::vector<std::uint8_t> uw;
    const auto out = Interleaver::interleave(
        in, [](std::int64_t) { return 0u; }, &uw);
    ASSERT_EQ(out.size(), in.size() / 72 * 80);
    // Strip the unique words, checking each one.
    std::vector<std::uint8_t> data;
    for (std::size_t g = 0; g < out.size(); g += 80) {
        unsigned word = 0;
        for (int k = 0; k < 8; ++k)
            word = (word << 1) | out[g + k];
        ASSERT_EQ(word, 0x27u) << g;
        data.insert(data.end(), out.begin() + static_cast<std::ptrdiff_t>(g + 8),
                    out.begin() + static_cast<std::ptrdiff_t>(g + 80));
    }
    // Deinterleave: branch b delayed by (35 - b) steps; total delay 35 steps for all.
    const std::int64_t total = 35 * step;
    for (std::int64_t i = total; i < n; ++i) {
        const std::int64_t b = i % 36;
        const std::int64_t src = i - (35 - b) * step;
        ASSERT_EQ(data[static_cast<std::size_t>(src)], in[static_cast<std::size_t>(i - total)])
            << "value " << i;
    }
    // A deinterleaver with unequal delays (branch 0 not delayed) scrambles it.
    int wrong = 0;
    for (std::int64_t i = total; i < total + 36 * 1000; i += 36)
        wrong += data[static_cast<std::size_t>(i)] != in[static_cast<std::size_t>(i - total)];
    EXPECT_GT(wrong, 300);
}
