#include "fec/Fast8bitSoftViterbiUnit.h"

#include <algorithm>
#include <bit>
#include <utility>
#include <vector>

#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#define LRPT_VITERBI_SIMD 1
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
    int32_t lo[64]; // code bits of extended state s
    int32_t hi[64]; // code bits of extended state s + 64
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

// The two soft values of pair n as one 16-bit index into the pair-metric table (first value in
// the low byte, whatever the byte order of the machine).
inline uint32_t RawPair(const int8_t* aEncode, int n) {
    return static_cast<uint8_t>(aEncode[2 * n]) |
           static_cast<uint32_t>(static_cast<uint8_t>(aEncode[2 * n + 1])) << 8;
}

// Lowest set bit of a non-zero mask.
inline uint32_t LowestBit(uint64_t aMask) {
    return static_cast<uint32_t>(std::countr_zero(aMask));
}

// The lowest state whose bits are set in a mask of two bits a state (states 0..31 in aLow, 32..63
// in aHigh, one of them non-zero), without a branch: which half holds it is a coin toss on noisy
// input.
inline uint32_t LowestState(uint64_t aLow, uint64_t aHigh) {
    const uint64_t high = -static_cast<uint64_t>(aLow == 0);
    return (LowestBit((aLow & ~high) | (aHigh & high)) + static_cast<uint32_t>(high & 64)) / 2;
}

#ifdef LRPT_VITERBI_SIMD
// pshufb controls that pick, for each of 16 consecutive states from a multiple of 16, the 16-bit
// metric of its code bits out of the four metrics held in bytes 0..7 of each 128-bit lane. The
// code is linear in the state, so the 16 states from 16k have the code bits of the states 0..15
// XORed with those of 16k: one control per XOR value c serves every group.
struct TShuffleTables {
    alignas(32) uint8_t ctl[4][32];
};

constexpr TShuffleTables MakeShuffleTables() {
    TShuffleTables t{};
    for (int c = 0; c < 4; ++c)
        for (int i = 0; i < 16; ++i) {
            t.ctl[c][2 * i] = static_cast<uint8_t>(2 * (Code(i) ^ c));
            t.ctl[c][2 * i + 1] = static_cast<uint8_t>(2 * (Code(i) ^ c) + 1);
        }
    return t;
}

constexpr TShuffleTables kShuffles = MakeShuffleTables();
static_assert([] {
    for (int s = 0; s < 128; ++s)
        if (Code(s) != (Code(s & 15) ^ Code(s & ~15))) return false;
    return true;
}());

// shufflelo/shufflehi immediates that pick the metrics of extended states first..first+7 from
// [m0 m1 m2 m3 m0 m1 m2 m3].
constexpr int ShuffleImm(int first) {
    return Code(first) | Code(first + 1) << 2 | Code(first + 2) << 4 | Code(first + 3) << 6;
}
#endif

bool CpuHasAvx2() {
#ifdef LRPT_VITERBI_SIMD
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
    return false;
#endif
}

bool CpuHasSse2() {
#ifdef LRPT_VITERBI_SIMD
    return true; // part of x86-64
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
        // Metrics of one pair for the four code-bit pairs, computed once for all 65,536 byte pairs.
        std::vector<uint16_t> m(static_cast<size_t>(kSoftLevels) * kSoftLevels * 4);
        for (int x1 = kSoftMin; x1 <= kSoftMax; ++x1)
            for (int x2 = kSoftMin; x2 <= kSoftMax; ++x2)
                for (int c = 0; c < 4; ++c)
                    m[PairIndex(x1, x2) * 4 + static_cast<size_t>(c)] =
                        static_cast<uint16_t>(BranchMetric(x1, x2, c >> 1, c & 1));
        fPairMetrics = std::make_unique_for_overwrite<uint64_t[]>(65536);
        for (uint32_t raw = 0; raw < 65536; ++raw) {
            const size_t pair =
                PairIndex(Clamp(static_cast<int8_t>(raw & 0xFF)), Clamp(static_cast<int8_t>(raw >> 8)));
            uint64_t packed = 0;
            for (int c = 0; c < 4; ++c)
                packed |= static_cast<uint64_t>(m[pair * 4 + static_cast<size_t>(c)]) << (16 * c);
            fPairMetrics[raw] = packed; // metric c in bytes 2c, 2c + 1 as the SIMD kernels read it
        }
        if (fKernel == TViterbiKernel::vkCompact && CpuHasAvx2())
            fIsa = TIsa::Avx2;
        else if (fKernel != TViterbiKernel::vkCompactScalar && CpuHasSse2())
            fIsa = TIsa::Sse2;
    }
}

TFast8bitSoftViterbiDecoder::~TFast8bitSoftViterbiDecoder() = default;

const char* TFast8bitSoftViterbiDecoder::Implementation() const {
    if (fKernel == TViterbiKernel::vkLutTable) return "table";
    return fIsa == TIsa::Avx2 ? "avx2" : fIsa == TIsa::Sse2 ? "sse2" : "scalar";
}

void TFast8bitSoftViterbiDecoder::Decode(const int8_t* aEncode, uint8_t* aDecode, int len) {
    if (len <= 0) return;
    if (fKernel == TViterbiKernel::vkLutTable) {
        DecodeLut(aEncode, aDecode, len);
        return;
    }
#ifdef LRPT_VITERBI_SIMD
    if (fIsa == TIsa::Avx2) {
        DecodeCompactAvx2(aEncode, aDecode, len);
        return;
    }
    if (fIsa == TIsa::Sse2) {
        DecodeCompactSse2(aEncode, aDecode, len);
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

// The 16-bit kernels hold every metric below 2^15: all 128 extended states are reached from the
// best one of 7 steps before, so no metric exceeds the best by more than 7 x 1,108 = 7,756; the
// best grows by at most 1,108 a step, and lowering all metrics by the best every 16 steps keeps
// them below 7,756 + 16 x 1,108 = 25,484. Lowering all by the same amount changes no comparison;
// fLowered keeps the sum the reference would still hold at its report.
bool TFast8bitSoftViterbiDecoder::CountStep16(uint32_t best) {
    ++NSH;
    if (NSH == kBERPeriod) {
        if (fOnBEREvent) fOnBEREvent(this, static_cast<long double>(fLowered + best) / 65536.0L);
        fLowered = 0;
        NSH = 0;
        return true;
    }
    if ((NSH & 15) != 0) return false;
    fLowered += best;
    return true;
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

// The same walk as the table kernel's, on a ring longer than the 72 steps it reaches back: the
// line 72 steps back, which the table kernel shares with the current one, has a slot of its own.
uint8_t TFast8bitSoftViterbiDecoder::TraceStep(uint32_t aStep, uint32_t bestState) {
    uint32_t d = bestState;
    uint32_t j = aStep;
    for (int steps = 0; steps < kMemLines; ++steps) {
        const uint64_t word = fDec[j % kRing][d >> 5];
        d = ((d << 1) | static_cast<uint32_t>((word >> ((2 * d) & 63)) & 1)) & 63;
        --j;
        uint8_t& sk = fSk[j % kRing];
        if (sk == d) break;
        sk = static_cast<uint8_t>(d);
    }
    const uint32_t out = fSk[(aStep - kMemLines) % kRing];
    fSk[aStep % kRing] = static_cast<uint8_t>(bestState);
    return (out & 1) ? 255 : 0;
}

void TFast8bitSoftViterbiDecoder::TraceChunk(const uint8_t* aBest, uint8_t* aDecode, int aCount) {
    for (int i = 0; i < aCount; ++i)
        aDecode[i] = TraceStep(fStep + static_cast<uint32_t>(i), aBest[i]);
    fStep += static_cast<uint32_t>(aCount);
}

void TFast8bitSoftViterbiDecoder::DecodeCompactScalar(const int8_t* aEncode, uint8_t* aDecode, int len) {
    for (int n = 0; n < len; ++n) {
        std::swap(ESUM, ESUM1);
        const uint32_t* M = ESUM1;
        uint32_t* N = ESUM;
        const uint64_t pm = fPairMetrics[RawPair(aEncode, n)];
        const uint32_t m[4] = {static_cast<uint32_t>(pm & 0xFFFF), static_cast<uint32_t>((pm >> 16) & 0xFFFF),
                               static_cast<uint32_t>((pm >> 32) & 0xFFFF), static_cast<uint32_t>(pm >> 48)};
        const uint32_t mn[4] = {std::min(m[0], m[3]), std::min(m[1], m[2]), std::min(m[1], m[2]),
                                std::min(m[0], m[3])};

        uint64_t dec[2] = {0, 0};
        uint32_t best = 0xFFFFFFFFu;
        uint32_t bestState = 0;
        for (int s = 0; s < kStates; ++s) {
            const uint32_t a = M[2 * s];
            const uint32_t b = M[2 * s + 1];
            const bool odd = a > b;
            const uint32_t base = odd ? b : a;
            dec[s >> 5] |= static_cast<uint64_t>(odd) << ((2 * s) & 63);
            const int code = kCodes.lo[s];
            N[s] = base + m[code];
            N[s + 64] = base + m[code ^ 3];
            if (base + mn[code] < best) {
                best = base + mn[code];
                bestState = s;
            }
        }
        fDec[fStep % kRing] = {dec[0], dec[1]};
        CountStep(N, best);
        aDecode[n] = TraceStep(fStep, bestState);
        ++fStep;
    }
}

#ifdef LRPT_VITERBI_SIMD
// Sixteen states per vector, 16-bit metrics (see CountStep16), so every comparison is the signed
// 16-bit one. A chunk of steps runs its add-compare-selects back to back, keeping the metrics in
// registers, and then the tracebacks of the chunk.
namespace {

// The four branch metrics of eight pairs, as the pair-metric table holds them, computed instead
// of looked up: noisy input scatters over the 512 KiB table and misses the cache. The squares and
// their sums are exact in single precision; for a sum v = 70q + r (below 2^17) the product with
// the rounded 1/70 is within 2e-4 of q + r/70, and r/70 is 0 or at least 1/70, so adding 0.005
// before truncating yields q exactly.
__attribute__((target("avx2,fma"))) inline __m256i Metric(__m256 a, __m256 b) {
    return _mm256_cvttps_epi32(
        _mm256_fmadd_ps(_mm256_add_ps(a, b), _mm256_set1_ps(1.0f / 70.0f), _mm256_set1_ps(0.005f)));
}

__attribute__((target("avx2,fma"))) inline void PairMetricsAvx2(const int8_t* aPairs, uint64_t* aOut) {
    const __m256i w = _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(aPairs)));
    const __m256i floor = _mm256_set1_epi32(-127);
    const __m256 x1 =
        _mm256_cvtepi32_ps(_mm256_max_epi32(_mm256_srai_epi32(_mm256_slli_epi32(w, 16), 16), floor));
    const __m256 x2 = _mm256_cvtepi32_ps(_mm256_max_epi32(_mm256_srai_epi32(w, 16), floor));
    const __m256 amp = _mm256_set1_ps(70.0f);
    const __m256 d1one = _mm256_sub_ps(x1, amp), d1zero = _mm256_add_ps(x1, amp);
    const __m256 d2one = _mm256_sub_ps(x2, amp), d2zero = _mm256_add_ps(x2, amp);
    const __m256 s1one = _mm256_mul_ps(d1one, d1one), s1zero = _mm256_mul_ps(d1zero, d1zero);
    const __m256 s2one = _mm256_mul_ps(d2one, d2one), s2zero = _mm256_mul_ps(d2zero, d2zero);
    // Metric c (code bits c1 c2) in bits 16c..16c+15 of each pair's 64 bits.
    const __m256i m01 = _mm256_or_si256(Metric(s1zero, s2zero), _mm256_slli_epi32(Metric(s1zero, s2one), 16));
    const __m256i m23 = _mm256_or_si256(Metric(s1one, s2zero), _mm256_slli_epi32(Metric(s1one, s2one), 16));
    const __m256i lo = _mm256_unpacklo_epi32(m01, m23); // pairs 0, 1 | 4, 5
    const __m256i hi = _mm256_unpackhi_epi32(m01, m23); // pairs 2, 3 | 6, 7
    _mm256_store_si256(reinterpret_cast<__m256i*>(aOut), _mm256_permute2x128_si256(lo, hi, 0x20));
    _mm256_store_si256(reinterpret_cast<__m256i*>(aOut + 4), _mm256_permute2x128_si256(lo, hi, 0x31));
}

} // namespace

__attribute__((target("avx2,fma"))) void
TFast8bitSoftViterbiDecoder::DecodeCompactAvx2(const int8_t* aEncode, uint8_t* aDecode, int len) {
    __m256i v[8];
    for (int k = 0; k < 8; ++k)
        v[k] = _mm256_load_si256(reinterpret_cast<const __m256i*>(&fSum16[16 * k]));
    const __m256i low16 = _mm256_set1_epi32(0xFFFF);
    const uint64_t* pairMetrics = fPairMetrics.get();
    uint8_t best[kChunk];
    for (int done = 0; done < len;) {
        const int count = std::min(kChunk, len - done);
        alignas(32) uint64_t metrics[kChunk];
        int i = 0;
        for (; i + 8 <= count; i += 8)
            PairMetricsAvx2(aEncode + 2 * (done + i), metrics + i);
        for (; i < count; ++i)
            metrics[i] = pairMetrics[RawPair(aEncode, done + i)];
        for (i = 0; i < count; ++i) {
            const __m256i bm = _mm256_set1_epi64x(static_cast<long long>(metrics[i]));
            // The metrics of every state group: P[c] serves the groups whose first state has code c.
            __m256i P[4];
            for (int c = 0; c < 4; ++c)
                P[c] = _mm256_shuffle_epi8(
                    bm, _mm256_load_si256(reinterpret_cast<const __m256i*>(kShuffles.ctl[c])));
            constexpr int kGroupCode[4] = {Code(0), Code(16), Code(32), Code(48)};
            __m256i lo[4], hi[4];
            uint32_t odd[4], eqMask[4];
            __m256i t[4];
            for (int k = 0; k < 4; ++k) {
                // States 16k..16k+15 take their predecessors from M[32k..32k+31]: split the even
                // and the odd extended states (packing works per 128-bit lane, hence the permute).
                const __m256i a =
                    _mm256_permute4x64_epi64(_mm256_packus_epi32(_mm256_and_si256(v[2 * k], low16),
                                                                 _mm256_and_si256(v[2 * k + 1], low16)),
                                             0xD8);
                const __m256i b = _mm256_permute4x64_epi64(
                    _mm256_packus_epi32(_mm256_srli_epi32(v[2 * k], 16), _mm256_srli_epi32(v[2 * k + 1], 16)),
                    0xD8);
                odd[k] = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpgt_epi16(a, b)));
                const __m256i base = _mm256_min_epi16(a, b);
                lo[k] = _mm256_add_epi16(base, P[kGroupCode[k]]);
                hi[k] = _mm256_add_epi16(base, P[kGroupCode[k] ^ 3]);
                t[k] = _mm256_min_epi16(lo[k], hi[k]);
            }
            for (int k = 0; k < 4; ++k) {
                v[k] = lo[k];
                v[4 + k] = hi[k];
            }
            fDec[(fStep + static_cast<uint32_t>(i)) % kRing] = {odd[0] | static_cast<uint64_t>(odd[1]) << 32,
                                                                odd[2] | static_cast<uint64_t>(odd[3]) << 32};

            const __m256i m = _mm256_min_epi16(_mm256_min_epi16(t[0], t[1]), _mm256_min_epi16(t[2], t[3]));
            const __m128i m2 = _mm_min_epu16(_mm256_castsi256_si128(m), _mm256_extracti128_si256(m, 1));
            const uint32_t bestValue =
                static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_minpos_epu16(m2))) & 0xFFFF;
            // The lowest state reaching the minimum, as the strict compare of the reference keeps.
            const __m256i bb = _mm256_set1_epi16(static_cast<short>(bestValue));
            for (int k = 0; k < 4; ++k)
                eqMask[k] = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi16(t[k], bb)));
            const uint64_t eqLow = eqMask[0] | static_cast<uint64_t>(eqMask[1]) << 32;
            const uint64_t eqHigh = eqMask[2] | static_cast<uint64_t>(eqMask[3]) << 32;
            best[i] = static_cast<uint8_t>(LowestState(eqLow, eqHigh));
            if (CountStep16(bestValue))
                for (int k = 0; k < 8; ++k)
                    v[k] = _mm256_sub_epi16(v[k], bb);
        }
        TraceChunk(best, aDecode + done, count);
        done += count;
    }
    for (int k = 0; k < 8; ++k)
        _mm256_store_si256(reinterpret_cast<__m256i*>(&fSum16[16 * k]), v[k]);
}

namespace {

// Metrics of the extended states first..first+7 picked out of bm = [m0 m1 m2 m3 m0 m1 m2 m3].
template <int first> inline __m128i GroupMetrics(__m128i bm) {
    return _mm_shufflehi_epi16(_mm_shufflelo_epi16(bm, ShuffleImm(first)), ShuffleImm(first + 4));
}

// Even (e) and odd (o) extended states of two vectors of eight metrics below 2^15.
inline void SplitEvenOdd(__m128i x, __m128i y, __m128i& e, __m128i& o) {
    e = _mm_packs_epi32(_mm_srai_epi32(_mm_slli_epi32(x, 16), 16), _mm_srai_epi32(_mm_slli_epi32(y, 16), 16));
    o = _mm_packs_epi32(_mm_srai_epi32(x, 16), _mm_srai_epi32(y, 16));
}

// One group of eight states: k picks states 8k..8k+7.
template <int k>
inline void AcsGroup(const __m128i* v, __m128i bm, __m128i* lo, __m128i* hi, __m128i* odd, __m128i* t) {
    __m128i a, b;
    SplitEvenOdd(v[2 * k], v[2 * k + 1], a, b);
    odd[k] = _mm_cmpgt_epi16(a, b);
    const __m128i base = _mm_min_epi16(a, b);
    lo[k] = _mm_add_epi16(base, GroupMetrics<8 * k>(bm));
    hi[k] = _mm_add_epi16(base, GroupMetrics<8 * k + 64>(bm));
    t[k] = _mm_min_epi16(lo[k], hi[k]);
}

template <int... k>
inline void AcsAll(std::integer_sequence<int, k...>, const __m128i* v, __m128i bm, __m128i* lo, __m128i* hi,
                   __m128i* odd, __m128i* t) {
    (AcsGroup<k>(v, bm, lo, hi, odd, t), ...);
}

// 64 bits from four vectors of 16-bit masks: bits 2s and 2s + 1 from lane s % 8 of vector s / 8.
inline uint64_t Mask64(const __m128i* m) {
    uint64_t bits = 0;
    for (int j = 0; j < 4; ++j)
        bits |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(m[j]))) << (16 * j);
    return bits;
}

} // namespace

// Eight states per vector, otherwise as the AVX2 kernel.
void TFast8bitSoftViterbiDecoder::DecodeCompactSse2(const int8_t* aEncode, uint8_t* aDecode, int len) {
    __m128i v[16];
    for (int k = 0; k < 16; ++k)
        v[k] = _mm_load_si128(reinterpret_cast<const __m128i*>(&fSum16[8 * k]));
    uint8_t best[kChunk];
    for (int done = 0; done < len;) {
        const int count = std::min(kChunk, len - done);
        for (int i = 0; i < count; ++i) {
            const int n = done + i;
            const __m128i bm = _mm_set1_epi64x(static_cast<long long>(fPairMetrics[RawPair(aEncode, n)]));
            __m128i lo[8], hi[8], odd[8], t[8];
            AcsAll(std::make_integer_sequence<int, 8>{}, v, bm, lo, hi, odd, t);
            for (int k = 0; k < 8; ++k) {
                v[k] = lo[k];
                v[8 + k] = hi[k];
            }
            fDec[(fStep + static_cast<uint32_t>(i)) % kRing] = {Mask64(odd), Mask64(odd + 4)};

            __m128i m = _mm_min_epi16(_mm_min_epi16(_mm_min_epi16(t[0], t[1]), _mm_min_epi16(t[2], t[3])),
                                      _mm_min_epi16(_mm_min_epi16(t[4], t[5]), _mm_min_epi16(t[6], t[7])));
            m = _mm_min_epi16(m, _mm_shuffle_epi32(m, 0x4E));
            m = _mm_min_epi16(m, _mm_shuffle_epi32(m, 0xB1));
            m = _mm_min_epi16(m, _mm_shufflelo_epi16(m, 0xB1));
            const uint32_t bestValue = static_cast<uint32_t>(_mm_cvtsi128_si32(m)) & 0xFFFF;
            const __m128i bb = _mm_set1_epi16(static_cast<short>(bestValue));
            __m128i eq[8];
            for (int k = 0; k < 8; ++k)
                eq[k] = _mm_cmpeq_epi16(t[k], bb);
            const uint64_t eqLow = Mask64(eq), eqHigh = Mask64(eq + 4);
            best[i] = static_cast<uint8_t>(LowestState(eqLow, eqHigh));
            if (CountStep16(bestValue))
                for (int k = 0; k < 16; ++k)
                    v[k] = _mm_sub_epi16(v[k], bb);
        }
        TraceChunk(best, aDecode + done, count);
        done += count;
    }
    for (int k = 0; k < 16; ++k)
        _mm_store_si128(reinterpret_cast<__m128i*>(&fSum16[8 * k]), v[k]);
}
#endif
