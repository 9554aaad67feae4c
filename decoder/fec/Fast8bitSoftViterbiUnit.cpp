#include "fec/Fast8bitSoftViterbiUnit.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <string>
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

// The code is linear in the register: the butterflies take the codes of states 2i + 1, 2i + 64
// and 2i + 65 from that of 2i. (Checked against each single bit, which implies every pair and
// stays within every compiler's constant-evaluation limit.)
static_assert([] {
    if (Code(0) != 0) return false;
    for (int a = 0; a < 128; ++a)
        for (int b = 1; b < 128; b <<= 1)
            if (Code(a ^ b) != (Code(a) ^ Code(b))) return false;
    return true;
}());

bool CpuHasAvx2() {
#ifdef LRPT_VITERBI_SIMD
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
    return false;
#endif
}

bool CpuHasAvx512() {
#ifdef LRPT_VITERBI_SIMD
    return CpuHasAvx2() && __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl");
#else
    return false;
#endif
}

// The widest instruction set vkCompact may use: all the processor has, unless the environment
// variable LRPT_VITERBI_ISA says "avx2", "sse2" or "scalar" (read by every decoder made), so that
// whole programs can be shown, and tested, on this processor as they run on one without the wider
// sets.
TFast8bitSoftViterbiDecoder::TIsa IsaCap() {
    using TIsa = TFast8bitSoftViterbiDecoder::TIsa;
    const char* v = std::getenv("LRPT_VITERBI_ISA");
    const std::string name = v ? v : "";
    return name == "avx2"     ? TIsa::Avx2
           : name == "sse2"   ? TIsa::Sse2
           : name == "scalar" ? TIsa::Scalar
                              : TIsa::Avx512;
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
        const TIsa cap = fKernel == TViterbiKernel::vkCompact ? IsaCap() : TIsa::Avx512;
        if (fKernel == TViterbiKernel::vkCompact && CpuHasAvx512() && cap >= TIsa::Avx512)
            fIsa = TIsa::Avx512;
        else if ((fKernel == TViterbiKernel::vkCompact || fKernel == TViterbiKernel::vkCompactAvx2) &&
                 CpuHasAvx2() && cap >= TIsa::Avx2)
            fIsa = TIsa::Avx2;
        else if (fKernel != TViterbiKernel::vkCompactScalar && CpuHasSse2() && cap >= TIsa::Sse2)
            fIsa = TIsa::Sse2;
    }
}

TFast8bitSoftViterbiDecoder::~TFast8bitSoftViterbiDecoder() = default;

const char* TFast8bitSoftViterbiDecoder::Implementation() const {
    if (fKernel == TViterbiKernel::vkLutTable) return "table";
    switch (fIsa) {
    case TIsa::Avx512:
        return "avx512";
    case TIsa::Avx2:
        return "avx2";
    case TIsa::Sse2:
        return "sse2";
    default:
        return "scalar";
    }
}

void TFast8bitSoftViterbiDecoder::Decode(const int8_t* aEncode, uint8_t* aDecode, int len) {
    if (len <= 0) return;
    if (fKernel == TViterbiKernel::vkLutTable) {
        DecodeLut(aEncode, aDecode, len);
        return;
    }
#ifdef LRPT_VITERBI_SIMD
    if (fIsa == TIsa::Avx512) {
        DecodeCompactAvx512(aEncode, aDecode, len);
        return;
    }
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
        d = ((d << 1) | static_cast<uint32_t>((fDec[j % kRing] >> d) & 1)) & 63;
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
        fDec[fStep % kRing] = dec;
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

// pshufb controls for the butterflies: for the 16 even states 2i, i = 16j + lane (j = 0, 1), the
// metric of code(2i) (A) and of its complement (C), picked out of the four metrics in bytes 0..7
// of each 128-bit lane. The odd state 2i + 1 and the extended states 2i + 64, 2i + 65 have the
// codes code(2i) ^ 3, code(2i) ^ 3 and code(2i): A and C serve all four.
struct TButterflyTables {
    alignas(32) uint8_t a[2][32];
    alignas(32) uint8_t c[2][32];
    alignas(32) uint8_t split[32]; // per 128-bit lane: the even 16-bit lanes, then the odd ones
};

constexpr TButterflyTables MakeButterflyTables() {
    TButterflyTables t{};
    for (int j = 0; j < 2; ++j)
        for (int l = 0; l < 16; ++l) {
            const int code = Code(2 * (16 * j + l));
            t.a[j][2 * l] = static_cast<uint8_t>(2 * code);
            t.a[j][2 * l + 1] = static_cast<uint8_t>(2 * code + 1);
            t.c[j][2 * l] = static_cast<uint8_t>(2 * (code ^ 3));
            t.c[j][2 * l + 1] = static_cast<uint8_t>(2 * (code ^ 3) + 1);
        }
    for (int h = 0; h < 2; ++h)
        for (int k = 0; k < 8; ++k) {
            const int lane = k < 4 ? 2 * k : 2 * (k - 4) + 1;
            t.split[16 * h + 2 * k] = static_cast<uint8_t>(2 * lane);
            t.split[16 * h + 2 * k + 1] = static_cast<uint8_t>(2 * lane + 1);
        }
    return t;
}

constexpr TButterflyTables kButterflies = MakeButterflyTables();
static_assert(Code(1) == 3 && Code(64) == 3, "the butterfly metrics assume these codes");

// Lanes 0, 2, ..., 14 of x then of y (even), and lanes 1, 3, ..., 15 of x then of y (odd).
__attribute__((target("avx2,fma"))) inline void Split(__m256i x, __m256i y, __m256i split, __m256i& even,
                                                      __m256i& odd) {
    const __m256i xs = _mm256_shuffle_epi8(x, split), ys = _mm256_shuffle_epi8(y, split);
    even = _mm256_permute4x64_epi64(_mm256_unpacklo_epi64(xs, ys), 0xD8);
    odd = _mm256_permute4x64_epi64(_mm256_unpackhi_epi64(xs, ys), 0xD8);
}

// Bit l set where lane l of x0 is greater than that of y0, bit 16 + l where lane l of x1 is
// greater than that of y1. (Packing works per 128-bit lane, so the mask comes with its middle two
// bytes swapped; they are put back in general registers, which have time to spare.)
__attribute__((target("avx2,fma"))) inline uint64_t GreaterMask(__m256i x0, __m256i y0, __m256i x1,
                                                                __m256i y1) {
    return static_cast<uint32_t>(
        _mm256_movemask_epi8(_mm256_packs_epi16(_mm256_cmpgt_epi16(x0, y0), _mm256_cmpgt_epi16(x1, y1))));
}

// GreaterMask's byte order (states 0-7, 16-23, 8-15, 24-31 in each half) made natural.
inline uint64_t SwapMiddleBytes(uint64_t aWord) {
    return (aWord & 0xFF0000FFFF0000FFull) | ((aWord << 8) & 0x00FF000000FF0000ull) |
           ((aWord >> 8) & 0x0000FF000000FF00ull);
}

// Bit 2l set where lane l of even equals v, bit 2l + 1 where lane l of odd does.
__attribute__((target("avx2,fma"))) inline uint64_t EqualMask(__m256i even, __m256i odd, __m256i v) {
    const __m256i highBytes = _mm256_set1_epi16(static_cast<short>(0xFF00));
    return static_cast<uint32_t>(_mm256_movemask_epi8(
        _mm256_blendv_epi8(_mm256_cmpeq_epi16(even, v), _mm256_cmpeq_epi16(odd, v), highBytes)));
}

__attribute__((target("avx2,fma"))) inline __m256i Load(const uint16_t* aAligned) {
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(aAligned));
}

// AVX-512 (BW, VL) forms of Split and GreaterMask: one two-source permute per output vector
// instead of two shuffles, an unpack and a lane permute, and decisions straight from mask
// compares, already in state order.
__attribute__((target("avx2,fma,avx512bw,avx512vl"))) inline void SplitWide(__m256i x, __m256i y,
                                                                            __m256i& even, __m256i& odd) {
    const __m256i evenLanes = _mm256_setr_epi16(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
    const __m256i oddLanes = _mm256_setr_epi16(1, 3, 5, 7, 9, 11, 13, 15, 17, 19, 21, 23, 25, 27, 29, 31);
    even = _mm256_permutex2var_epi16(x, evenLanes, y);
    odd = _mm256_permutex2var_epi16(x, oddLanes, y);
}

// A mask register's bits in a general register. In asm because g++ 12 miscompiles the plain
// conversion when it has to spill the mask: it stores the mask's 16 bits (kmovw to the stack) and
// reloads the widened value as 64 (movq), taking 48 bits of whatever the slot held. Seen under
// ThreadSanitizer, whose calls in the loop add the register pressure; nothing in the source is
// undefined, and the asm leaves the compiler no widening of a mask to fold.
__attribute__((target("avx2,fma,avx512bw,avx512vl"))) inline uint32_t MaskBits(__mmask16 aMask) {
    uint32_t bits;
    asm("kmovw %1, %0" : "=r"(bits) : "k"(aMask));
    return bits;
}

__attribute__((target("avx2,fma,avx512bw,avx512vl"))) inline uint64_t
GreaterMaskWide(__m256i x0, __m256i y0, __m256i x1, __m256i y1) {
    return static_cast<uint64_t>(MaskBits(_mm256_cmpgt_epi16_mask(x0, y0))) |
           static_cast<uint64_t>(MaskBits(_mm256_cmpgt_epi16_mask(x1, y1))) << 16;
}

} // namespace

#define LRPT_ACS_WIDE 0
#define LRPT_ACS_NAME DecodeCompactAvx2
#define LRPT_ACS_TARGET "avx2,fma"
#include "fec/Fast8bitSoftViterbiAcs.inc"
#undef LRPT_ACS_WIDE
#undef LRPT_ACS_NAME
#undef LRPT_ACS_TARGET
#define LRPT_ACS_WIDE 1
#define LRPT_ACS_NAME DecodeCompactAvx512
#define LRPT_ACS_TARGET "avx2,fma,avx512bw,avx512vl"
#include "fec/Fast8bitSoftViterbiAcs.inc"
#undef LRPT_ACS_WIDE
#undef LRPT_ACS_NAME
#undef LRPT_ACS_TARGET

namespace {

// The even (e) and odd (o) lanes of two vectors of eight metrics below 2^15, those of x first.
inline void SplitEvenOdd(__m128i x, __m128i y, __m128i& e, __m128i& o) {
    e = _mm_packs_epi32(_mm_srai_epi32(_mm_slli_epi32(x, 16), 16), _mm_srai_epi32(_mm_slli_epi32(y, 16), 16));
    o = _mm_packs_epi32(_mm_srai_epi32(x, 16), _mm_srai_epi32(y, 16));
}

// Bit s from lane s % 8 of vector s / 8 of eight vectors of 16-bit masks.
inline uint64_t StateMask(const __m128i* m) {
    uint64_t bits = 0;
    for (int j = 0; j < 4; ++j)
        bits |= static_cast<uint64_t>(
                    static_cast<uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(m[2 * j], m[2 * j + 1]))))
                << (16 * j);
    return bits;
}

// pshuflw/pshufhw immediate that picks, for the even states 2l, l = first..first + 3, the metric of
// code(2l) ^ v out of [m0 m1 m2 m3].
constexpr int EvenImm(int v, int first) {
    int imm = 0;
    for (int t = 0; t < 4; ++t)
        imm |= (Code(2 * (first + t)) ^ v) << (2 * t);
    return imm;
}

// Lane l: the metric of code(2l) ^ v, from bm = [m0 m1 m2 m3 m0 m1 m2 m3].
// The immediates are constexpr variables: without optimisation the intrinsics are macros that
// take only a constant expression, which a constexpr function's call in their argument is not.
template <int v> inline __m128i EvenMetrics(__m128i bm) {
    constexpr int low = EvenImm(v, 0), high = EvenImm(v, 4);
    return _mm_shufflehi_epi16(_mm_shufflelo_epi16(bm, low), high);
}

} // namespace

// The butterflies of the AVX2 kernel, eight states per vector: n[c][k] lane l holds N[2i], N[2i + 1],
// N[2i + 64], N[2i + 65] (c = 0..3) of i = 8k + l. The even states 16k + 2l take the metrics of
// code(2l) ^ code(16k): code(16k) is 0, 3, 2, 1 for k = 0..3.
void TFast8bitSoftViterbiDecoder::DecodeCompactSse2(const int8_t* aEncode, uint8_t* aDecode, int len) {
    static_assert(Code(16) == 3 && Code(32) == 2 && Code(48) == 1,
                  "the metric choice below assumes these codes");
    __m128i n[4][4];
    {
        alignas(16) uint16_t parts[4][32];
        for (int i = 0; i < 32; ++i) {
            parts[0][i] = fSum16[static_cast<size_t>(2 * i)];
            parts[1][i] = fSum16[static_cast<size_t>(2 * i + 1)];
            parts[2][i] = fSum16[static_cast<size_t>(2 * i + 64)];
            parts[3][i] = fSum16[static_cast<size_t>(2 * i + 65)];
        }
        for (int c = 0; c < 4; ++c)
            for (int k = 0; k < 4; ++k)
                n[c][k] = _mm_load_si128(reinterpret_cast<const __m128i*>(&parts[c][8 * k]));
    }
    uint8_t best[kChunk];
    for (int done = 0; done < len;) {
        const int count = std::min(kChunk, len - done);
        for (int i = 0; i < count; ++i) {
            // Survivors of states 8k + l (from n[0], n[1]) and 32 + 8k + l (from n[2], n[3]).
            __m128i base[8], greater[8];
            for (int k = 0; k < 4; ++k) {
                base[k] = _mm_min_epi16(n[0][k], n[1][k]);
                base[4 + k] = _mm_min_epi16(n[2][k], n[3][k]);
                greater[k] = _mm_cmpgt_epi16(n[0][k], n[1][k]);
                greater[4 + k] = _mm_cmpgt_epi16(n[2][k], n[3][k]);
            }
            fDec[(fStep + static_cast<uint32_t>(i)) % kRing] = StateMask(greater);
            __m128i e[4], o[4]; // states 16k + 2l and 16k + 2l + 1
            for (int k = 0; k < 4; ++k)
                SplitEvenOdd(base[2 * k], base[2 * k + 1], e[k], o[k]);

            const __m128i bm =
                _mm_set1_epi64x(static_cast<long long>(fPairMetrics[RawPair(aEncode, done + i)]));
            const __m128i x[4] = {EvenMetrics<0>(bm), EvenMetrics<1>(bm), EvenMetrics<2>(bm),
                                  EvenMetrics<3>(bm)};
            constexpr int kGroupCode[4] = {0, 3, 2, 1};
            __m128i te[4], to[4];
            for (int k = 0; k < 4; ++k) {
                const __m128i a = x[kGroupCode[k]], c = x[kGroupCode[k] ^ 3];
                n[0][k] = _mm_add_epi16(e[k], a);
                n[1][k] = _mm_add_epi16(o[k], c);
                n[2][k] = _mm_add_epi16(e[k], c);
                n[3][k] = _mm_add_epi16(o[k], a);
                te[k] = _mm_min_epi16(n[0][k], n[2][k]);
                to[k] = _mm_min_epi16(n[1][k], n[3][k]);
            }
            __m128i m =
                _mm_min_epi16(_mm_min_epi16(_mm_min_epi16(te[0], to[0]), _mm_min_epi16(te[1], to[1])),
                              _mm_min_epi16(_mm_min_epi16(te[2], to[2]), _mm_min_epi16(te[3], to[3])));
            m = _mm_min_epi16(m, _mm_shuffle_epi32(m, 0x4E));
            m = _mm_min_epi16(m, _mm_shuffle_epi32(m, 0xB1));
            m = _mm_min_epi16(m, _mm_shufflelo_epi16(m, 0xB1));
            const uint32_t bestValue = static_cast<uint32_t>(_mm_cvtsi128_si32(m)) & 0xFFFF;
            const __m128i bb = _mm_set1_epi16(static_cast<short>(bestValue));
            // The lowest state reaching the minimum: bit 2l of the even states' masks and bit
            // 2l + 1 of the odd states' give state 16k + the bit's index.
            uint64_t reach = 0;
            for (int k = 0; k < 4; ++k) {
                const uint32_t even = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi16(te[k], bb)));
                const uint32_t odd = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi16(to[k], bb)));
                reach |= static_cast<uint64_t>((even & 0x5555u) | (odd & 0xAAAAu)) << (16 * k);
            }
            best[i] = static_cast<uint8_t>(LowestBit(reach));
            if (CountStep16(bestValue))
                for (auto& part : n)
                    for (auto& vector : part)
                        vector = _mm_sub_epi16(vector, bb);
        }
        TraceChunk(best, aDecode + done, count);
        done += count;
    }
    alignas(16) uint16_t parts[4][32];
    for (int c = 0; c < 4; ++c)
        for (int k = 0; k < 4; ++k)
            _mm_store_si128(reinterpret_cast<__m128i*>(&parts[c][8 * k]), n[c][k]);
    for (int i = 0; i < 32; ++i) {
        fSum16[static_cast<size_t>(2 * i)] = parts[0][i];
        fSum16[static_cast<size_t>(2 * i + 1)] = parts[1][i];
        fSum16[static_cast<size_t>(2 * i + 64)] = parts[2][i];
        fSum16[static_cast<size_t>(2 * i + 65)] = parts[3][i];
    }
}
#endif
