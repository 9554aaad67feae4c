#include "fec/IterativeFrameDecoder.h"

#include "fec/Fast8bitSoftViterbiUnit.h"
#include "fec/Randomization.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <numeric>

namespace {

constexpr int kStates = 64;
constexpr int16_t kForbidden = 8192; // metric of a state a pin rules out
constexpr uint8_t kMarker[4] = {0x1A, 0xCF, 0xFC, 0x1D};
constexpr int kWordBytes = 255;

// Correlation metrics: the metric of extended state 2j (new bit 0) for a pair is
// x1 * sign1[j] + x2 * sign2[j]; the other three branches of the butterfly are +-that, since
// flipping the oldest or the newest register bit flips both code bits.
struct TSigns {
    int32_t s1[32], s2[32];
};

TSigns MakeSigns() {
    TSigns t{};
    for (int j = 0; j < 32; ++j) {
        const int code = TFast8bitSoftViterbiDecoder::CodeOf(2 * j);
        t.s1[j] = (code & 2) ? -1 : 1; // a code bit 1 is a positive value, which lowers the metric
        t.s2[j] = (code & 1) ? -1 : 1;
    }
    return t;
}

const TSigns kSigns = MakeSigns();

inline int Clamp(int8_t x) {
    return x < -127 ? -127 : x;
}

} // namespace

TIterativeFrameDecoder::TIterativeFrameDecoder(bool aNrzm)
    : fNrzm(aNrzm), fPin(kWindow), fPinValue(kWindow), fDecision(static_cast<size_t>(kWindow) * kStates),
      fDelta(static_cast<size_t>(kWindow) * kStates), fStates(kWindow), fBitReliability(kWindow) {}

void TIterativeFrameDecoder::PinByte(int q, uint8_t aValue) {
    for (int k = 0; k < 8; ++k) {
        const size_t t = static_cast<size_t>(kLead + 8 * q + k);
        fPin[t] = 1;
        fPinValue[t] = static_cast<uint8_t>((aValue >> (7 - k)) & 1);
    }
}

namespace {

// The add-compare-select of the whole window on 16-bit metrics, lowered by the best after every
// step: states reachable from the best one within 7 steps stay within 7 x 508 of it, and a state
// a pin rules out is held at kForbidden, so no sum leaves 16 bits. Written for the compiler to
// vectorise.
inline __attribute__((always_inline)) void AcsBody(const int8_t* aSoft, const uint8_t* aPin,
                                                   const uint8_t* aPinValue, bool aNrzm, uint8_t* aDecision,
                                                   uint8_t* aDelta, int16_t* aLast) {
    // Allowed states after a pinned step, by the pinned value: the new state's top bit is the new
    // input bit; in an NRZ-M stream it must differ from the previous input bit (bit 4) by the pin.
    alignas(32) int16_t allowed[2][kStates];
    for (int v = 0; v < 2; ++v)
        for (int s = 0; s < kStates; ++s) {
            const int input = aNrzm ? (s >> 5) ^ ((s >> 4) & 1) : s >> 5;
            allowed[v][s] = input == v ? INT16_MIN : kForbidden; // max() keeps an allowed metric
        }
    alignas(32) int16_t M[kStates] = {}, N[kStates], A[32];
    for (int t = 0; t < TIterativeFrameDecoder::kWindow; ++t) {
        const int16_t x1 = static_cast<int16_t>(Clamp(aSoft[2 * t])),
                      x2 = static_cast<int16_t>(Clamp(aSoft[2 * t + 1]));
        for (int j = 0; j < 32; ++j)
            A[j] = static_cast<int16_t>(x1 * kSigns.s1[j] + x2 * kSigns.s2[j]);
        uint8_t* dec = aDecision + static_cast<size_t>(t) * kStates;
        uint8_t* delta = aDelta + static_cast<size_t>(t) * kStates;
        for (int j = 0; j < 32; ++j) {
            const int16_t p0 = M[2 * j], p1 = M[2 * j + 1], a = A[j];
            const int16_t c00 = static_cast<int16_t>(p0 + a), c01 = static_cast<int16_t>(p1 - a);
            const int16_t c10 = static_cast<int16_t>(p0 - a), c11 = static_cast<int16_t>(p1 + a);
            const int16_t d0 = static_cast<int16_t>(c00 - c01), d1 = static_cast<int16_t>(c10 - c11);
            N[j] = std::min(c00, c01);
            N[j + 32] = std::min(c10, c11);
            dec[j] = d0 > 0;
            dec[j + 32] = d1 > 0;
            const int16_t h0 = static_cast<int16_t>(std::abs(d0) >> 1),
                          h1 = static_cast<int16_t>(std::abs(d1) >> 1);
            delta[j] = static_cast<uint8_t>(std::min<int16_t>(h0, 255));
            delta[j + 32] = static_cast<uint8_t>(std::min<int16_t>(h1, 255));
        }
        if (aPin[t]) {
            const int16_t* rule = allowed[aPinValue[t]];
            for (int s = 0; s < kStates; ++s)
                N[s] = std::max(N[s], rule[s]);
        }
        int16_t least = N[0];
        for (int s = 1; s < kStates; ++s)
            least = std::min(least, N[s]);
        for (int s = 0; s < kStates; ++s)
            M[s] = std::min(static_cast<int16_t>(N[s] - least), static_cast<int16_t>(kForbidden));
    }
    std::memcpy(aLast, M, sizeof M);
}

// Built for AVX2 as well as the baseline, chosen at run time. (Not by target_clones: its ifunc
// resolver runs before a sanitizer's runtime is ready, and the ThreadSanitizer build crashed there.)
#if defined(__GNUC__) && defined(__x86_64__)
__attribute__((target("avx2"))) void AcsAvx2(const int8_t* aSoft, const uint8_t* aPin,
                                             const uint8_t* aPinValue, bool aNrzm, uint8_t* aDecision,
                                             uint8_t* aDelta, int16_t* aLast) {
    AcsBody(aSoft, aPin, aPinValue, aNrzm, aDecision, aDelta, aLast);
}
#endif

void Acs(const int8_t* aSoft, const uint8_t* aPin, const uint8_t* aPinValue, bool aNrzm, uint8_t* aDecision,
         uint8_t* aDelta, int16_t* aLast) {
#if defined(__GNUC__) && defined(__x86_64__)
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2) return AcsAvx2(aSoft, aPin, aPinValue, aNrzm, aDecision, aDelta, aLast);
#endif
    AcsBody(aSoft, aPin, aPinValue, aNrzm, aDecision, aDelta, aLast);
}

} // namespace

void TIterativeFrameDecoder::Pass(const int8_t* aSoft) {
    ++fPasses;
    int16_t M[kStates];
    Acs(aSoft, fPin.data(), fPinValue.data(), fNrzm, fDecision.data(), fDelta.data(), M);

    int state = static_cast<int>(std::min_element(M, M + kStates) - M);
    for (int t = kWindow - 1; t >= 0; --t) {
        fStates[static_cast<size_t>(t)] = static_cast<uint8_t>(state);
        state = 2 * (state & 31) + fDecision[static_cast<size_t>(t) * kStates + static_cast<size_t>(state)];
    }

    for (int q = 0; q < kFrameBytes; ++q) {
        uint8_t byte = 0;
        for (int k = 0; k < 8; ++k) {
            const int st = fStates[static_cast<size_t>(kLead + 8 * q + k)];
            const int bit = fNrzm ? ((st >> 5) ^ (st >> 4)) & 1 : st >> 5;
            byte = static_cast<uint8_t>(byte << 1 | bit);
        }
        fBytes[static_cast<size_t>(q)] = byte;
    }
}

void TIterativeFrameDecoder::Reliabilities() {
    // Reliability of each bit the frame stage sees: the least metric difference of the paths that
    // lost to the survivor and carried the other value there. The path that lost at step t is
    // followed back until it joins the survivor (or kDepth steps); where it differs, its
    // difference bounds the bit's reliability. A state's top bit is the input bit of its step,
    // so a path differs in a plain bit where the top bits differ, in an NRZ-M bit where the top
    // two bits' difference does.
    constexpr int kDepth = 48;
    // Bits only the erasure choice reads: it needs the least reliable few of each word, and a
    // path that lost by this much marks none of those (measured: no frame lost, a third of the
    // time saved).
    constexpr uint8_t kCutoff = 120;
    std::fill(fBitReliability.begin(), fBitReliability.end(), 255);
    for (int t = 1; t < kWindow; ++t) {
        const int s = fStates[static_cast<size_t>(t)];
        const size_t at = static_cast<size_t>(t) * kStates + static_cast<size_t>(s);
        const uint8_t delta = fDelta[at];
        if (delta >= kCutoff) continue;
        int other = 2 * (s & 31) + (1 - fDecision[at]);
        for (int tau = t - 1; tau >= 0 && tau >= t - kDepth; --tau) {
            const int survivor = fStates[static_cast<size_t>(tau)];
            if (other == survivor) break;
            const int diff = other ^ survivor;
            if ((fNrzm ? (diff >> 5) ^ (diff >> 4) : diff >> 5) & 1)
                fBitReliability[static_cast<size_t>(tau)] =
                    std::min(fBitReliability[static_cast<size_t>(tau)], delta);
            other =
                2 * (other & 31) + fDecision[static_cast<size_t>(tau) * kStates + static_cast<size_t>(other)];
        }
    }

    for (int q = 0; q < kFrameBytes; ++q) {
        uint8_t least = 255;
        for (int k = 0; k < 8; ++k)
            least = std::min(least, fBitReliability[static_cast<size_t>(kLead + 8 * q + k)]);
        fReliability[static_cast<size_t>(q)] = least;
    }
}

void TIterativeFrameDecoder::Learn(const uint8_t* aFrame) {
    for (TField& field : fFields) {
        const uint8_t value = aFrame[field.fByte] & field.fMask;
        field.fRun = value == field.fValue ? field.fRun + 1 : 1;
        field.fValue = value;
    }
}

int TIterativeFrameDecoder::Repair(const int8_t* aSoft, uint8_t* aFrame) {
    const auto byteOf = [](int aWord, int m) { return 4 + aWord + 4 * m; };
    bool decoded[4];
    std::array<std::array<uint8_t, kWordBytes>, 4> corrected{};
    TPolinom word{255, 255, true};
    int failing = 0;
    for (int i = 0; i < 4; ++i) {
        for (int m = 0; m < kWordBytes; ++m)
            word.d[m] = aFrame[byteOf(i, m)];
        decoded[i] = fRS.Check(word, word) < TTrueRS::kFatal;
        std::memcpy(corrected[static_cast<size_t>(i)].data(), word.d, kWordBytes);
        failing += !decoded[i];
    }
    const auto learnCorrected = [&] {
        uint8_t header[16] = {}; // the fields lie below byte 16
        for (int q = 4; q < 16; ++q)
            header[q] = corrected[static_cast<size_t>((q - 4) % 4)][static_cast<size_t>((q - 4) / 4)];
        Learn(header);
    };
    if (failing == 0) {
        learnCorrected();
        return 0;
    }

    const auto& pn = RandomizationTable();
    int gained = 0;
    for (int pass = 0; pass < kMaxPasses && failing > 0; ++pass) {
        std::fill(fPin.begin(), fPin.end(), 0);
        for (int q = 0; q < 4; ++q) {
            PinByte(q, kMarker[q]);
            PinByte(kFrameBytes + q, kMarker[q]); // the next frame's marker
        }
        // Version and spacecraft id, the same in every frame: 40 and the top two bits of 05.
        PinByte(4, static_cast<uint8_t>(0x40 ^ pn[0]));
        for (int i = 0; i < 4; ++i)
            if (decoded[i])
                for (int m = 0; m < kWordBytes; ++m)
                    PinByte(byteOf(i, m), corrected[static_cast<size_t>(i)][static_cast<size_t>(m)]);
        // Fields the pass has shown, in words that did not decode.
        for (const TField& field : fFields) {
            if (field.fRun < kSettled || decoded[(field.fByte - 4) % 4]) continue;
            for (int k = 0; k < 8; ++k) {
                if (!((field.fMask >> (7 - k)) & 1)) continue;
                const size_t t = static_cast<size_t>(kLead + 8 * field.fByte + k);
                fPin[t] = 1;
                fPinValue[t] = static_cast<uint8_t>((field.fValue >> (7 - k)) & 1);
            }
        }
        // Byte 5 belongs to word 1: pin its top two bits only when the word is not pinned whole.
        if (!decoded[1]) {
            const uint8_t value = static_cast<uint8_t>(0x05 ^ pn[1]);
            for (int k = 0; k < 2; ++k) {
                const size_t t = static_cast<size_t>(kLead + 8 * 5 + k);
                fPin[t] = 1;
                fPinValue[t] = static_cast<uint8_t>((value >> (7 - k)) & 1);
            }
        }
        Pass(aSoft);
        bool reliabilities = false; // computed when a word first needs erasures

        int newly = 0;
        for (int i = 0; i < 4; ++i) {
            if (decoded[i]) continue;
            uint8_t hard[kWordBytes];
            for (int m = 0; m < kWordBytes; ++m)
                hard[m] = fBytes[static_cast<size_t>(byteOf(i, m))];
            std::memcpy(word.d, hard, kWordBytes);
            word.l = 255;
            const bool plain = fRS.Check(word, word) < TTrueRS::kFatal;
            bool ok = plain;
            uint8_t* fixed = corrected[static_cast<size_t>(i)].data();
            if (plain) {
                std::memcpy(fixed, word.d, kWordBytes);
            } else {
                if (!reliabilities) {
                    Reliabilities();
                    reliabilities = true;
                }
                uint8_t order[kWordBytes];
                std::iota(order, order + kWordBytes, 0);
                std::stable_sort(order, order + kWordBytes, [&](uint8_t a, uint8_t b) {
                    return fReliability[static_cast<size_t>(byteOf(i, a))] <
                           fReliability[static_cast<size_t>(byteOf(i, b))];
                });
                for (const int count : kErasureTries) {
                    std::memcpy(fixed, hard, kWordBytes);
                    if (fRS.CheckErasures(fixed, order, count) < TTrueRS::kFatal) {
                        ok = true;
                        break;
                    }
                }
            }
            if (!ok) continue;
            decoded[i] = true;
            --failing;
            ++newly;
            // The frame stage decodes these bytes again: the received ones when plain decoding
            // suffices, so that it counts the corrections; the corrected ones otherwise.
            const uint8_t* out = plain ? hard : fixed;
            for (int m = 0; m < kWordBytes; ++m)
                aFrame[byteOf(i, m)] = out[m];
        }
        gained += newly;
        if (newly == 0) break;
    }
    if (failing == 0) learnCorrected();
    return gained;
}
