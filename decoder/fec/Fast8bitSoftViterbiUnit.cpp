#include "fec/Fast8bitSoftViterbiUnit.h"

#include <algorithm>
#include <bit>

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#include <immintrin.h>
#define LRPT_VITERBI_AVX2 1
#endif

namespace {

constexpr int kPoly1 = 0171;
constexpr int kPoly2 = 0133;

constexpr int Code(int r) {
    return (std::popcount(static_cast<unsigned>(r & kPoly1)) & 1) << 1 |
           (std::popcount(static_cast<unsigned>(r & kPoly2)) & 1);
}

// Both generators tap the newest bit, so flipping it flips both code bits.
static_assert([] {
    for (int s = 0; s < 64; ++s)
        if (Code(s + 64) != (Code(s) ^ 3)) return false;
    return true;
}());

struct TCodeTables {
    alignas(32) int32_t lo[64]; // code bits of extended state s
    alignas(32) int32_t hi[64]; // code bits of extended state s + 64
};

constexpr TCodeTables MakeCodeTables() {
    TCodeTables t{};
    for (int s = 0; s < 64; ++s) {
        t.lo[s] = Code(s);
        t.hi[s] = Code(s + 64);
    }
    return t;
}

constexpr TCodeTables kCodes = MakeCodeTables();

inline int Clamp(int8_t x) {
    return x < -127 ? -127 : x;
}

inline size_t PairIndex(int x1, int x2) {
    return static_cast<size_t>(x1 + 127) * TFast8bitSoftViterbiDecoder::kSoftLevels +
           static_cast<size_t>(x2 + 127);
}

bool CpuHasAvx2() {
#ifdef LRPT_VITERBI_AVX2
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}

} // namespace

uint32_t TFast8bitSoftViterbiDecoder::BranchMetric(int x1, int x2, int c1, int c2) {
    const int d1 = x1 - kAmplitude * (2 * c1 - 1);
    const int d2 = x2 - kAmplitude * (2 * c2 - 1);
    return static_cast<uint32_t>(d1 * d1 + d2 * d2) / kAmplitude;
}

int TFast8bitSoftViterbiDecoder::CodeOf(int r) {
    return Code(r);
}

TFast8bitSoftViterbiDecoder::TFast8bitSoftViterbiDecoder(TViterbiKernel aKernel)
    : fKernel(aKernel), ESUM(fSumA.data()), ESUM1(fSumB.data()) {
    if (fKernel == TViterbiKernel::vkLutTable) {
        // The initial survivors point to the even predecessor, the choice a tie makes; any
        // content only influences the first 78 outputs, this one matches the compact memory.
        Mem = std::make_unique<TMemLine[]>(kMemLines);
        for (int i = 0; i < kMemLines; ++i) {
            for (int s = 0; s < kStates; ++s)
                Mem[i].l[s] = 2 * s;
            Mem[i].MinESUM = 0;
            Mem[i].MinSk = 0;
        }
        currMemLine = &Mem[0];

        LutTable = std::make_unique_for_overwrite<TLut64[]>(static_cast<size_t>(kSoftLevels) * kSoftLevels);
        for (int x1 = kSoftMin; x1 <= kSoftMax; ++x1) {
            for (int x2 = kSoftMin; x2 <= kSoftMax; ++x2) {
                uint32_t m[4];
                for (int c = 0; c < 4; ++c)
                    m[c] = BranchMetric(x1, x2, c >> 1, c & 1);
                TLut64& t = LutTable[PairIndex(x1, x2)];
                for (int s = 0; s < kStates; ++s) {
                    TLut& e = t[s];
                    e.G1 = m[kCodes.lo[s]];
                    e.G2 = m[kCodes.hi[s]];
                    e.flag = e.G1 < e.G2 ? 0 : 1;
                    e.min = e.G1 < e.G2 ? e.G1 : e.G2;
                }
            }
        }
    } else {
        fPairMetrics =
            std::make_unique_for_overwrite<uint16_t[]>(static_cast<size_t>(kSoftLevels) * kSoftLevels * 4);
        for (int x1 = kSoftMin; x1 <= kSoftMax; ++x1)
            for (int x2 = kSoftMin; x2 <= kSoftMax; ++x2)
                for (int c = 0; c < 4; ++c)
                    fPairMetrics[PairIndex(x1, x2) * 4 + c] =
                        static_cast<uint16_t>(BranchMetric(x1, x2, c >> 1, c & 1));
        fVectorised = fKernel == TViterbiKernel::vkCompact && CpuHasAvx2();
    }
}

TFast8bitSoftViterbiDecoder::~TFast8bitSoftViterbiDecoder() = default;

void TFast8bitSoftViterbiDecoder::Decode(const int8_t* aEncode, uint8_t* aDecode, int len) {
    if (len <= 0) return;
    if (fKernel == TViterbiKernel::vkLutTable) {
        DecodeLut(aEncode, aDecode, len);
        return;
    }
#ifdef LRPT_VITERBI_AVX2
    if (fVectorised) {
        DecodeCompactAvx2(aEncode, aDecode, len);
        return;
    }
#endif
    DecodeCompactScalar(aEncode, aDecode, len);
}

void TFast8bitSoftViterbiDecoder::CountStep(uint32_t* N, uint32_t best) {
    if (++NSH < kBERPeriod) return;
    if (fOnBEREvent) fOnBEREvent(this, static_cast<long double>(best) / 65536.0L);
    // best is the minimum of N, so nothing goes negative; metrics grow by at most 1,108 a step,
    // so 65,536 steps stay far below 2^31.
    for (int j = 0; j < kExtStates; ++j)
        N[j] -= best;
    NSH = 0;
}

void TFast8bitSoftViterbiDecoder::DecodeLut(const int8_t* aEncode, uint8_t* aDecode, int len) {
    for (int n = 0; n < len; ++n) {
        std::swap(ESUM, ESUM1);
        const uint32_t* M = ESUM1;
        uint32_t* N = ESUM;
        const TLut64& T = LutTable[PairIndex(Clamp(aEncode[2 * n]), Clamp(aEncode[2 * n + 1]))];

        uint32_t best = 0xFFFFFFFFu;
        uint32_t bestState = 0;
        for (int s = 0; s < kStates; ++s) {
            const uint32_t a = M[2 * s];
            const uint32_t b = M[2 * s + 1];
            uint32_t base;
            if (a > b) {
                currMemLine->l[s] = 2 * s + 1;
                base = b;
            } else {
                currMemLine->l[s] = 2 * s;
                base = a;
            }
            N[s] = base + T[s].G1;
            N[s + 64] = base + T[s].G2;
            if (base + T[s].min < best) {
                best = base + T[s].min;
                bestState = s;
            }
        }

        CountStep(N, best);

        // Traceback: walk the survivors back from the best state and record the path in MinSk,
        // stopping where it joins the path recorded by the previous step.
        const uint32_t c = currMEM;
        uint32_t d = bestState;
        for (uint32_t i = c + kMemLines; i >= c + 1; --i) {
            d = Mem[i % kMemLines].l[d] & 63;
            TMemLine& prev = Mem[(i - 1) % kMemLines];
            if (prev.MinSk == d) break;
            prev.MinSk = d;
        }
        const uint32_t out = Mem[c].MinSk;
        Mem[c].MinSk = bestState;
        aDecode[n] = (out & 1) ? 255 : 0;

        Mem[c].MinESUM = best;
        currMEM = (c + 1) % kMemLines;
        currMemLine = &Mem[currMEM];
    }
}

uint8_t TFast8bitSoftViterbiDecoder::TraceCompact(uint32_t bestState) {
    const uint32_t c = currMEM;
    uint32_t d = bestState;
    uint32_t j = c;
    for (int steps = 0; steps < kMemLines; ++steps) {
        d = ((d << 1) | static_cast<uint32_t>((fCompactMem[j].dec >> d) & 1)) & 63;
        j = j == 0 ? kMemLines - 1 : j - 1;
        if (fCompactMem[j].MinSk == d) break;
        fCompactMem[j].MinSk = d;
    }
    const uint32_t out = fCompactMem[c].MinSk;
    fCompactMem[c].MinSk = bestState;
    currMEM = c + 1 == kMemLines ? 0 : c + 1;
    return (out & 1) ? 255 : 0;
}

void TFast8bitSoftViterbiDecoder::DecodeCompactScalar(const int8_t* aEncode, uint8_t* aDecode, int len) {
    for (int n = 0; n < len; ++n) {
        std::swap(ESUM, ESUM1);
        const uint32_t* M = ESUM1;
        uint32_t* N = ESUM;
        const uint16_t* pm = &fPairMetrics[PairIndex(Clamp(aEncode[2 * n]), Clamp(aEncode[2 * n + 1])) * 4];
        const uint32_t m[4] = {pm[0], pm[1], pm[2], pm[3]};
        const uint32_t mn[4] = {std::min(m[0], m[3]), std::min(m[1], m[2]), std::min(m[1], m[2]),
                                std::min(m[0], m[3])};

        uint64_t dec = 0;
        uint32_t best = 0xFFFFFFFFu;
        uint32_t bestState = 0;
        for (int s = 0; s < kStates; ++s) {
            const uint32_t a = M[2 * s];
            const uint32_t b = M[2 * s + 1];
            const bool odd = a > b;
            const uint32_t base = odd ? b : a;
            dec |= static_cast<uint64_t>(odd) << s;
            const int code = kCodes.lo[s];
            N[s] = base + m[code];
            N[s + 64] = base + m[code ^ 3];
            if (base + mn[code] < best) {
                best = base + mn[code];
                bestState = s;
            }
        }
        fCompactMem[currMEM].dec = dec;
        CountStep(N, best);
        aDecode[n] = TraceCompact(bestState);
    }
}

#ifdef LRPT_VITERBI_AVX2
// Eight states per vector. Path metrics stay below 2^31 (see CountStep), so the signed compare
// of AVX2 orders them like the unsigned compare of the reference.
__attribute__((target("avx2"))) void
TFast8bitSoftViterbiDecoder::DecodeCompactAvx2(const int8_t* aEncode, uint8_t* aDecode, int len) {
    __m256i idxLo[8], idxHi[8];
    for (int k = 0; k < 8; ++k) {
        idxLo[k] = _mm256_load_si256(reinterpret_cast<const __m256i*>(&kCodes.lo[8 * k]));
        idxHi[k] = _mm256_load_si256(reinterpret_cast<const __m256i*>(&kCodes.hi[8 * k]));
    }
    for (int n = 0; n < len; ++n) {
        std::swap(ESUM, ESUM1);
        const uint32_t* M = ESUM1;
        uint32_t* N = ESUM;
        const uint16_t* pm = &fPairMetrics[PairIndex(Clamp(aEncode[2 * n]), Clamp(aEncode[2 * n + 1])) * 4];
        const __m256i m4 = _mm256_broadcastsi128_si256(
            _mm_cvtepu16_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(pm))));

        __m256i t[8];
        __m256i bestv = _mm256_set1_epi32(-1);
        uint64_t dec = 0;
        for (int k = 0; k < 8; ++k) {
            // States 8k..8k+7 take their predecessors from M[16k..16k+15]: split even and odd.
            const __m256 v0 =
                _mm256_castsi256_ps(_mm256_load_si256(reinterpret_cast<const __m256i*>(M + 16 * k)));
            const __m256 v1 =
                _mm256_castsi256_ps(_mm256_load_si256(reinterpret_cast<const __m256i*>(M + 16 * k + 8)));
            const __m256i a =
                _mm256_permute4x64_epi64(_mm256_castps_si256(_mm256_shuffle_ps(v0, v1, 0x88)), 0xD8);
            const __m256i b =
                _mm256_permute4x64_epi64(_mm256_castps_si256(_mm256_shuffle_ps(v0, v1, 0xDD)), 0xD8);
            const __m256i odd = _mm256_cmpgt_epi32(a, b);
            dec |= static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_ps(_mm256_castsi256_ps(odd))))
                   << (8 * k);
            const __m256i base = _mm256_min_epu32(a, b);
            const __m256i g1 = _mm256_permutevar8x32_epi32(m4, idxLo[k]);
            const __m256i g2 = _mm256_permutevar8x32_epi32(m4, idxHi[k]);
            _mm256_store_si256(reinterpret_cast<__m256i*>(N + 8 * k), _mm256_add_epi32(base, g1));
            _mm256_store_si256(reinterpret_cast<__m256i*>(N + 64 + 8 * k), _mm256_add_epi32(base, g2));
            t[k] = _mm256_add_epi32(base, _mm256_min_epu32(g1, g2));
            bestv = _mm256_min_epu32(bestv, t[k]);
        }
        __m128i x = _mm_min_epu32(_mm256_castsi256_si128(bestv), _mm256_extracti128_si256(bestv, 1));
        x = _mm_min_epu32(x, _mm_shuffle_epi32(x, 0x4E));
        x = _mm_min_epu32(x, _mm_shuffle_epi32(x, 0xB1));
        const uint32_t best = static_cast<uint32_t>(_mm_cvtsi128_si32(x));
        // The lowest state reaching the minimum, as the strict compare of the reference keeps.
        const __m256i bb = _mm256_set1_epi32(static_cast<int>(best));
        uint32_t bestState = 0;
        for (int k = 0; k < 8; ++k) {
            const int mask = _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(t[k], bb)));
            if (mask != 0) {
                bestState = 8 * k + static_cast<uint32_t>(std::countr_zero(static_cast<unsigned>(mask)));
                break;
            }
        }

        fCompactMem[currMEM].dec = dec;
        CountStep(N, best);
        aDecode[n] = TraceCompact(bestState);
    }
}
#endif
