// Soft-decision Viterbi decoder of the LRPT convolutional code: rate 1/2, constraint length 7,
// generators 171 and 133 (octal), the 171 symbol sent first, neither inverted.
//
// Input: pairs of signed 8-bit soft values, positive for a code bit 1, nominal amplitude 70.
// -128 is treated as -127. Output: one byte per pair, 0 or 255, trailing the encoder input by a
// fixed 78 bits (72 lines of path memory plus the 6 register bits); the first 78 outputs of a
// decoder belong to no input bit. Decoding is continuous: splitting the input into calls of any
// lengths gives the same output as one call.
//
// Every 65,536 pairs the decoder reports a quality figure through OnBEREvent: the average branch
// metric per bit along the best path over those pairs (0 for a clean signal at amplitude 70, 92
// for a clean signal at full scale, growing with noise), and renormalises its path metrics.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>

class TFast8bitSoftViterbiDecoder;

// Called on the thread that calls Decode.
using TBEREvent = std::function<void(TFast8bitSoftViterbiDecoder* Sender, long double BER)>;

// How the add-compare-select step gets its branch metrics. Every kernel yields identical bits and
// identical quality values.
enum class TViterbiKernel {
    // A table of 64 precomputed per-state records for every pair of soft values (about 66.6 MB,
    // filled when the decoder is created); the per-bit loop only looks up and adds. The reference.
    vkLutTable,
    // The four distinct branch metrics of a pair from a 512 KiB table and all 64 states in SIMD
    // registers as 16-bit metrics: AVX-512 (BW and VL, on 256-bit registers) when the processor has
    // it, else AVX2, else SSE2 (scalar on processors without any).
    vkCompact,
    // The compact kernel on SSE2 even when AVX2 is there (scalar without SSE2).
    vkCompactSse2,
    // The compact kernel, never vectorised.
    vkCompactScalar,
    // The compact kernel on AVX2 even when AVX-512 is there (as vkCompact without AVX2).
    vkCompactAvx2,
    // (The environment variable LRPT_VITERBI_ISA = "avx2", "sse2" or "scalar", read when a decoder
    // is made, caps what vkCompact uses: a program runs as on a processor without the wider sets.)
};

class TFast8bitSoftViterbiDecoder {
  public:
    static constexpr int kStates = 64;            // states: the six previous input bits
    static constexpr int kExtStates = 128;        // extended states: the register including the new bit
    static constexpr int kMemLines = 72;          // lines of path memory
    static constexpr int kDelay = 78;             // output delay in bits
    static constexpr uint32_t kBERPeriod = 65536; // pairs between quality reports
    static constexpr int kAmplitude = 70;         // expected soft value magnitude
    static constexpr int kSoftMin = -127, kSoftMax = 127;
    static constexpr int kSoftLevels = kSoftMax - kSoftMin + 1;

    // Branch metric record of one state for one received pair: G1 for the new bit 0 (extended
    // state s), G2 for the new bit 1 (extended state s + 64), min = the smaller, flag = 1 when G2
    // is the smaller or they are equal.
    struct TLut {
        uint32_t G1, G2, flag, min;
    };
    using TLut64 = std::array<TLut, kStates>;
    using TESUM = std::array<uint32_t, kExtStates>;
    // One step of path memory: l[s] is the extended state (0..127) the survivor of state s came
    // from; MinESUM the best metric of the step; MinSk the state of the best path at that step.
    struct TMemLine {
        std::array<uint32_t, kStates> l;
        uint32_t MinESUM;
        uint32_t MinSk;
    };

    explicit TFast8bitSoftViterbiDecoder(TViterbiKernel aKernel = TViterbiKernel::vkCompact);
    ~TFast8bitSoftViterbiDecoder();
    TFast8bitSoftViterbiDecoder(const TFast8bitSoftViterbiDecoder&) = delete;
    TFast8bitSoftViterbiDecoder& operator=(const TFast8bitSoftViterbiDecoder&) = delete;

    // Decodes len pairs: aEncode holds 2*len soft values (first value of a pair first), aDecode
    // receives len bytes of 0 / 255. len <= 0 does nothing. May call OnBEREvent.
    void Decode(const int8_t* aEncode, uint8_t* aDecode, int len);

    const TBEREvent& OnBEREvent() const { return fOnBEREvent; }
    void SetOnBEREvent(TBEREvent aEvent) { fOnBEREvent = std::move(aEvent); }

    TViterbiKernel Kernel() const { return fKernel; }
    // True when the add-compare-select runs on SIMD registers (AVX-512, AVX2 or SSE2).
    bool Vectorised() const { return fIsa != TIsa::Scalar && fKernel != TViterbiKernel::vkLutTable; }
    // "avx512", "avx2", "sse2", "scalar" or "table": the code that runs the add-compare-select.
    const char* Implementation() const;

    // The branch metric ((x1 - 70 e1)^2 + (x2 - 70 e2)^2) div 70 of a received pair against the
    // expected code bits c1, c2 (0 or 1, e = 2c - 1). Soft values are taken as given (-128 too).
    static uint32_t BranchMetric(int x1, int x2, int c1, int c2);
    // The two code bits of an extended state r (0..127): bit 1 = parity(r & 171o), bit 0 =
    // parity(r & 133o).
    static int CodeOf(int r);

    // The instruction sets of the compact kernel, narrowest first.
    enum class TIsa { Scalar, Sse2, Avx2, Avx512 };

  private:
    // Compact path memory: a ring of kRing steps. Bit s of fDec[step] is 1 when the survivor of
    // state s came from the odd extended state 2s + 1 (one word, so that a traceback step is a
    // shift of a word it can load ahead); fSk[step] is the state of the best path at that step as
    // the latest traceback recorded it.
    static constexpr uint32_t kRing = 256;
    // Steps of add-compare-select done before their tracebacks: with the 72 steps a traceback
    // reaches back, they must fit in the ring.
    static constexpr int kChunk = 64;
    static_assert(kChunk + kMemLines + 1 <= static_cast<int>(kRing));

    void DecodeLut(const int8_t* aEncode, uint8_t* aDecode, int len);
    void DecodeCompactScalar(const int8_t* aEncode, uint8_t* aDecode, int len);
#if defined(__GNUC__) && defined(__x86_64__)
    __attribute__((target("avx2,fma"))) void DecodeCompactAvx2(const int8_t* aEncode, uint8_t* aDecode,
                                                               int len);
    // The same loop (one source) with AVX-512's permutes and mask compares.
    __attribute__((target("avx2,fma,avx512bw,avx512vl"))) void DecodeCompactAvx512(const int8_t* aEncode,
                                                                                   uint8_t* aDecode, int len);
    void DecodeCompactSse2(const int8_t* aEncode, uint8_t* aDecode, int len);
#endif
    // Counts the step, reports quality and renormalises N every kBERPeriod steps (scalar kernel).
    void CountStep(uint32_t* N, uint32_t best);
    // Counts a step of a 16-bit kernel; true when its metrics must be lowered by best now (every
    // 16th step, and at every quality report, which it makes).
    bool CountStep16(uint32_t best);
    // Traceback of step aStep from bestState; returns the decoded bit as 0 / 255.
    uint8_t TraceStep(uint32_t aStep, uint32_t bestState);
    // Tracebacks of aCount steps from fStep on, whose best states are in aBest; advances fStep.
    void TraceChunk(const uint8_t* aBest, uint8_t* aDecode, int aCount);

    TViterbiKernel fKernel;
    TIsa fIsa = TIsa::Scalar;

    alignas(64) TESUM fSumA{};
    alignas(64) TESUM fSumB{};
    uint32_t* ESUM;  // new metrics of the step
    uint32_t* ESUM1; // previous metrics
    // Path metrics of the 16-bit kernels, natural order of extended states, lowered now and then
    // by a common amount; fLowered is what was taken off since the last quality report.
    alignas(64) std::array<uint16_t, kExtStates> fSum16{};
    uint32_t fLowered = 0;

    std::unique_ptr<TLut64[]> LutTable; // kSoftLevels^2 tables, vkLutTable only
    std::unique_ptr<TMemLine[]> Mem;    // kMemLines lines, vkLutTable only
    // The four branch metrics (code bits 00, 01, 10, 11) of every pair, indexed by the pair's two
    // bytes as they lie in memory (first value in the low byte); compact kernels only.
    std::unique_ptr<uint64_t[]> fPairMetrics;
    alignas(64) std::array<uint64_t, kRing> fDec{};
    std::array<uint8_t, kRing> fSk{};
    uint32_t fStep = 0; // steps decoded by a compact kernel (the ring index is its low bits)
    uint32_t currMEM = 0;
    TMemLine* currMemLine = nullptr;
    uint32_t NSH = 0;

    TBEREvent fOnBEREvent;
};
