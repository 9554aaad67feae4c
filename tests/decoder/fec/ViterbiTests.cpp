#include "fec/Fast8bitSoftViterbiUnit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// Rate 1/2, K = 7 encoder written from the code's definition: the new bit enters bit 6 of a
// 7-bit register; the first symbol is the parity of the taps 171 (octal), the second of 133.
std::vector<int> Encode(const std::vector<uint8_t>& bits) {
    std::vector<int> code;
    code.reserve(2 * bits.size());
    unsigned reg = 0;
    for (uint8_t u : bits) {
        reg = (reg >> 1) | (static_cast<unsigned>(u) << 6);
        unsigned t1 = reg & 0171, t2 = reg & 0133, p1 = 0, p2 = 0;
        for (; t1; t1 >>= 1)
            p1 ^= t1 & 1;
        for (; t2; t2 >>= 1)
            p2 ^= t2 & 1;
        code.push_back(static_cast<int>(p1));
        code.push_back(static_cast<int>(p2));
    }
    return code;
}

std::vector<uint8_t> RandomBits(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> bits(n);
    for (auto& b : bits)
        b = static_cast<uint8_t>(rng() & 1);
    return bits;
}

// Maps code bits to +-amplitude and adds Gaussian noise of the given Es/N0 (dB) of the QPSK
// symbol (a pair of soft values), saturating at -128 / 127.
std::vector<int8_t> Modulate(const std::vector<int>& code, double amplitude, double esN0dB = 1e9,
                             uint32_t seed = 1) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> noise(0.0, amplitude / std::sqrt(std::pow(10.0, esN0dB / 10.0)));
    std::vector<int8_t> soft(code.size());
    for (size_t i = 0; i < code.size(); ++i) {
        double v = (code[i] ? amplitude : -amplitude) + (esN0dB < 1e8 ? noise(rng) : 0.0);
        soft[i] = static_cast<int8_t>(std::clamp(std::lround(v), -128L, 127L));
    }
    return soft;
}

struct TRun {
    std::vector<uint8_t> out;
    std::vector<long double> ber;
    std::vector<size_t> eventCalls; // index of the Decode call during which each event came
};

// Decodes the pairs in calls of the given lengths (one call when empty).
TRun DecodeAll(TFast8bitSoftViterbiDecoder& dec, const std::vector<int8_t>& soft,
               std::vector<int> calls = {}) {
    TRun run;
    const int pairs = static_cast<int>(soft.size() / 2);
    if (calls.empty()) calls.push_back(pairs);
    size_t call = 0;
    dec.SetOnBEREvent([&](TFast8bitSoftViterbiDecoder* sender, long double v) {
        EXPECT_EQ(sender, &dec);
        run.ber.push_back(v);
        run.eventCalls.push_back(call);
    });
    run.out.resize(pairs);
    int pos = 0;
    for (; call < calls.size() && pos < pairs; ++call) {
        const int len = std::min(calls[call], pairs - pos);
        dec.Decode(soft.data() + 2 * pos, run.out.data() + pos, len);
        pos += len;
    }
    EXPECT_EQ(pos, pairs);
    return run;
}

const TViterbiKernel kKernels[] = {TViterbiKernel::vkLutTable, TViterbiKernel::vkCompact,
                                   TViterbiKernel::vkCompactAvx2, TViterbiKernel::vkCompactSse2,
                                   TViterbiKernel::vkCompactScalar};
// The fast kernels, each compared with the table kernel.
const TViterbiKernel kFastKernels[] = {TViterbiKernel::vkCompact, TViterbiKernel::vkCompactAvx2,
                                       TViterbiKernel::vkCompactSse2, TViterbiKernel::vkCompactScalar};

class ViterbiKernels : public ::testing::TestWithParam<TViterbiKernel> {};

} // namespace

TEST(Viterbi, BranchMetricIsTheIntegerQuotientOfTheSquaredDistance) {
    EXPECT_EQ(TFast8bitSoftViterbiDecoder::BranchMetric(70, -70, 1, 0), 0u);
    EXPECT_EQ(TFast8bitSoftViterbiDecoder::BranchMetric(127, 127, 1, 1), 92u);   // 2*57^2 / 70
    EXPECT_EQ(TFast8bitSoftViterbiDecoder::BranchMetric(127, 127, 0, 0), 1108u); // 2*197^2 / 70
    EXPECT_EQ(TFast8bitSoftViterbiDecoder::BranchMetric(-127, -127, 1, 1), 1108u);
    EXPECT_EQ(TFast8bitSoftViterbiDecoder::BranchMetric(0, 1, 1, 0), (4900u + 5041u) / 70u);
    // Code bits of the extended states with only the newest bit / only the oldest bit set.
    EXPECT_EQ(TFast8bitSoftViterbiDecoder::CodeOf(64), 3);
    EXPECT_EQ(TFast8bitSoftViterbiDecoder::CodeOf(1), 3);
    EXPECT_EQ(TFast8bitSoftViterbiDecoder::CodeOf(2), 1); // 171o lacks tap 1, 133o has it
}

TEST_P(ViterbiKernels, CleanInputComesOutDelayedBy78BitsWithQualityZeroOr92) {
    const auto bits = RandomBits(3 * 65536 + 500, 7);
    const auto code = Encode(bits);
    for (double amplitude : {70.0, 127.0}) {
        TFast8bitSoftViterbiDecoder dec(GetParam());
        const TRun run = DecodeAll(dec, Modulate(code, amplitude));
        int errors = 0;
        for (size_t n = TFast8bitSoftViterbiDecoder::kDelay; n < bits.size(); ++n)
            errors += run.out[n] != (bits[n - TFast8bitSoftViterbiDecoder::kDelay] ? 255 : 0);
        EXPECT_EQ(errors, 0) << "amplitude " << amplitude;
        for (uint8_t b : run.out)
            ASSERT_TRUE(b == 0 || b == 255);
        ASSERT_EQ(run.ber.size(), 3u);
        for (long double v : run.ber)
            EXPECT_EQ(v, amplitude == 70.0 ? 0.0L : 92.0L) << "amplitude " << amplitude;
    }
}

TEST_P(ViterbiKernels, SplittingTheInputIntoCallsChangesNothing) {
    const auto soft = Modulate(Encode(RandomBits(2 * 65536 + 3000, 11)), 70.0, 2.0, 5);
    TFast8bitSoftViterbiDecoder whole(GetParam());
    const TRun one = DecodeAll(whole, soft);

    std::mt19937 rng(3);
    std::vector<int> lengths;
    for (int total = 0; total < static_cast<int>(soft.size() / 2);) {
        const int len = 1 + static_cast<int>(rng() % 700);
        lengths.push_back(len);
        total += len;
    }
    TFast8bitSoftViterbiDecoder pieces(GetParam());
    const TRun split = DecodeAll(pieces, soft, lengths);
    EXPECT_EQ(split.out, one.out);
    EXPECT_EQ(split.ber, one.ber);

    // Blocks of 8,192 pairs, as the stage feeds them: the event comes in every 8th call.
    TFast8bitSoftViterbiDecoder blocks(GetParam());
    const TRun stage = DecodeAll(blocks, soft, std::vector<int>(40, 8192));
    EXPECT_EQ(stage.out, one.out);
    ASSERT_EQ(stage.eventCalls.size(), 2u);
    EXPECT_EQ(stage.eventCalls[0], 7u);
    EXPECT_EQ(stage.eventCalls[1], 15u);
}

TEST_P(ViterbiKernels, MinusOneTwentyEightDecodesAsMinusOneTwentySeven) {
    auto soft = Modulate(Encode(RandomBits(20000, 13)), 110.0, 3.0, 9);
    ASSERT_NE(std::count(soft.begin(), soft.end(), int8_t{-128}), 0);
    auto clamped = soft;
    for (auto& v : clamped)
        v = std::max<int8_t>(v, -127);
    TFast8bitSoftViterbiDecoder a(GetParam()), b(GetParam());
    EXPECT_EQ(DecodeAll(a, soft).out, DecodeAll(b, clamped).out);
}

TEST_P(ViterbiKernels, ErrorRateFallsAsTheNoiseFalls) {
    const auto bits = RandomBits(200000, 21);
    const auto code = Encode(bits);
    std::vector<double> rates, quality;
    for (double esN0 : {1.0, 2.0, 3.0, 4.0}) {
        TFast8bitSoftViterbiDecoder dec(GetParam());
        const TRun run = DecodeAll(dec, Modulate(code, 70.0, esN0, 17));
        size_t errors = 0;
        for (size_t n = TFast8bitSoftViterbiDecoder::kDelay; n < bits.size(); ++n)
            errors += run.out[n] != (bits[n - TFast8bitSoftViterbiDecoder::kDelay] ? 255 : 0);
        rates.push_back(static_cast<double>(errors) / static_cast<double>(bits.size()));
        ASSERT_FALSE(run.ber.empty());
        quality.push_back(static_cast<double>(run.ber.front()));
    }
    // Raw hard decisions at 1 dB err on about 13 % of the code bits; the code must do far better.
    EXPECT_GT(rates[0], 0.0);
    EXPECT_LT(rates[0], 0.06);
    EXPECT_LT(rates[1], 0.01);
    EXPECT_LT(rates[3], 1e-4);
    for (size_t i = 1; i < rates.size(); ++i) {
        EXPECT_TRUE(rates[i] < rates[i - 1] || rates[i] == 0.0) << i;
        EXPECT_LT(quality[i], quality[i - 1]) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Kernels, ViterbiKernels, ::testing::ValuesIn(kKernels),
                         [](const ::testing::TestParamInfo<TViterbiKernel>& info) {
                             switch (info.param) {
                             case TViterbiKernel::vkLutTable:
                                 return "LutTable";
                             case TViterbiKernel::vkCompact:
                                 return "Compact";
                             case TViterbiKernel::vkCompactAvx2:
                                 return "CompactAvx2";
                             case TViterbiKernel::vkCompactSse2:
                                 return "CompactSse2";
                             default:
                                 return "CompactScalar";
                             }
                         });

// LRPT_VITERBI_ISA caps the default kernel's instruction set (so that a whole program runs here as
// on a processor without the wider sets); the explicit kernels keep theirs. Each case in a child
// process, which keeps the variable out of the other tests.
TEST(Viterbi, EnvironmentCapsTheDefaultKernelsInstructionSet) {
    const std::string widest = TFast8bitSoftViterbiDecoder().Implementation();
    const std::vector<std::string> order = {"scalar", "sse2", "avx2", "avx512"};
    auto rank = [&](const std::string& aName) {
        return std::find(order.begin(), order.end(), aName) - order.begin();
    };
    for (const std::string cap : {"avx2", "sse2", "scalar", "bogus"}) {
        SCOPED_TRACE(cap);
        const std::string want = cap == "bogus" ? widest : order[size_t(std::min(rank(cap), rank(widest)))];
        const std::string explicitWant = rank(widest) >= 2 ? "avx2" : widest;
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            setenv("LRPT_VITERBI_ISA", cap.c_str(), 1);
            const bool capped = TFast8bitSoftViterbiDecoder().Implementation() == want;
            const bool explicitKept =
                TFast8bitSoftViterbiDecoder(TViterbiKernel::vkCompactAvx2).Implementation() == explicitWant;
            _exit(capped && explicitKept ? 0 : 1);
        }
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wanted " << want;
    }
}

// The fast kernels must reproduce the table kernel bit for bit, quality values included, on
// input that exercises every tie rule: noisy pairs from the whole soft range (-128 included),
// all-zero stretches where every metric ties, and saturated stretches.
TEST(Viterbi, FastKernelsMatchTheTableKernelExactly) {
    std::vector<int8_t> soft = Modulate(Encode(RandomBits(150000, 31)), 70.0, -1.0, 41);
    std::mt19937 rng(8);
    for (int i = 0; i < 20000; ++i)
        soft.push_back(static_cast<int8_t>(rng() & 0xFF));
    soft.insert(soft.end(), 6000, 0);
    const auto loud = Modulate(Encode(RandomBits(30000, 32)), 127.0, 6.0, 42);
    soft.insert(soft.end(), loud.begin(), loud.end());
    soft.insert(soft.begin() + 1000, 2000, 0);

    TFast8bitSoftViterbiDecoder reference(TViterbiKernel::vkLutTable);
    const TRun ref = DecodeAll(reference, soft);
    ASSERT_EQ(ref.ber.size(), 2u);
    for (TViterbiKernel k : kFastKernels) {
        TFast8bitSoftViterbiDecoder fast(k);
        const TRun got = DecodeAll(fast, soft);
        EXPECT_EQ(got.out, ref.out) << fast.Implementation();
        EXPECT_EQ(got.ber, ref.ber) << fast.Implementation();
    }
    if (std::string(TFast8bitSoftViterbiDecoder(TViterbiKernel::vkCompactAvx2).Implementation()) != "avx2")
        GTEST_SKIP() << "no AVX2 on this processor: the AVX2 kernel was not compared";
    if (std::string(TFast8bitSoftViterbiDecoder(TViterbiKernel::vkCompact).Implementation()) != "avx512")
        GTEST_SKIP() << "no AVX-512 (BW, VL) on this processor: the AVX-512 kernel was not compared";
}

// Random soft values of the whole range, fed in calls of random lengths, across several quality
// reports: every kernel gives the table kernel's bits and values. Long full-scale stretches push
// the spread of the path metrics towards its bound, short stretches of one value make ties.
TEST(Viterbi, RandomInputMatchesTheTableKernelForEveryKernel) {
    for (uint32_t seed : {51u, 52u}) {
        std::mt19937 rng(seed);
        std::vector<int8_t> soft;
        while (soft.size() < 2 * (2 * 65536 + 5000)) {
            const int run = 1 + static_cast<int>(rng() % 3000);
            switch (rng() % 4) {
            case 0: // uniform over every byte
                for (int i = 0; i < run; ++i)
                    soft.push_back(static_cast<int8_t>(rng() & 0xFF));
                break;
            case 1: // full scale, random signs
                for (int i = 0; i < run; ++i)
                    soft.push_back(rng() & 1 ? int8_t{127} : int8_t{-128});
                break;
            case 2: // one value repeated
                soft.insert(soft.end(), static_cast<size_t>(run), static_cast<int8_t>(rng() & 0xFF));
                break;
            default: { // a noisy encoded stretch
                const auto part =
                    Modulate(Encode(RandomBits(static_cast<size_t>(run), seed + rng())), 70.0, 1.0, seed + 7);
                soft.insert(soft.end(), part.begin(), part.end());
            }
            }
        }
        soft.resize(2 * (2 * 65536 + 5000));
        std::vector<int> lengths;
        for (int total = 0; total < static_cast<int>(soft.size() / 2);) {
            lengths.push_back(1 + static_cast<int>(rng() % 200));
            total += lengths.back();
        }
        TFast8bitSoftViterbiDecoder reference(TViterbiKernel::vkLutTable);
        const TRun ref = DecodeAll(reference, soft);
        ASSERT_EQ(ref.ber.size(), 2u);
        for (TViterbiKernel k : kFastKernels) {
            TFast8bitSoftViterbiDecoder fast(k);
            const TRun got = DecodeAll(fast, soft, lengths);
            EXPECT_EQ(got.out, ref.out) << fast.Implementation() << " seed " << seed;
            EXPECT_EQ(got.ber, ref.ber) << fast.Implementation() << " seed " << seed;
        }
    }
}

TEST(Viterbi, NonPositiveLengthDecodesNothing) {
    TFast8bitSoftViterbiDecoder dec;
    const int8_t soft[2] = {70, 70};
    uint8_t out[1] = {42};
    dec.Decode(soft, out, 0);
    dec.Decode(soft, out, -5);
    EXPECT_EQ(out[0], 42);
}
