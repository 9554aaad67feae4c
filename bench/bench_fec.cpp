// Speed of the error-correction units: Viterbi decoded bits per second on clean and on noisy soft
// values for each kernel, decoder construction, Reed-Solomon code words per second.
#include "fec/Fast8bitSoftViterbiUnit.h"
#include "fec/TrueRS_LRPT.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace {

constexpr int kPairs = 1 << 20; // decoded bits per benchmark iteration
constexpr int kBlock = 8192;    // pairs per Decode call, as the stage feeds them

// Soft pairs of a random bit sequence, encoded with the K = 7 code (171, 133 octal) at amplitude
// 70, with Gaussian noise of the given Es/N0 in dB (none when esN0dB is huge).
std::vector<int8_t> Soft(double esN0dB) {
    std::mt19937 rng(1);
    std::normal_distribution<double> noise(0.0, 70.0 / std::sqrt(std::pow(10.0, esN0dB / 10.0)));
    std::vector<int8_t> soft(2 * static_cast<size_t>(kPairs));
    unsigned reg = 0;
    for (int n = 0; n < kPairs; ++n) {
        reg = (reg >> 1) | ((rng() & 1u) << 6);
        const int c[2] = {__builtin_parity(reg & 0171), __builtin_parity(reg & 0133)};
        for (int j = 0; j < 2; ++j) {
            const double v = (c[j] ? 70.0 : -70.0) + (esN0dB < 100 ? noise(rng) : 0.0);
            soft[2 * n + j] = static_cast<int8_t>(std::clamp(std::lround(v), -128L, 127L));
        }
    }
    return soft;
}

void BM_ViterbiDecode(benchmark::State& state) {
    const auto kernel = static_cast<TViterbiKernel>(state.range(0));
    const bool noisy = state.range(1) != 0;
    const std::vector<int8_t> soft = Soft(noisy ? 2.0 : 1000.0);
    std::vector<uint8_t> out(kPairs);
    TFast8bitSoftViterbiDecoder dec(kernel);
    for (auto _ : state) {
        for (int pos = 0; pos < kPairs; pos += kBlock)
            dec.Decode(soft.data() + 2 * pos, out.data() + pos, kBlock);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * kPairs);
    state.counters["Mbit"] = benchmark::Counter(static_cast<double>(state.iterations()) * kPairs / 1e6,
                                                benchmark::Counter::kIsRate);
    state.SetLabel(std::string(dec.Implementation()) + (noisy ? ", noisy 2 dB" : ", clean"));
}
BENCHMARK(BM_ViterbiDecode)
    ->ArgsProduct({{static_cast<int>(TViterbiKernel::vkLutTable), static_cast<int>(TViterbiKernel::vkCompact),
                    static_cast<int>(TViterbiKernel::vkCompactAvx2),
                    static_cast<int>(TViterbiKernel::vkCompactSse2),
                    static_cast<int>(TViterbiKernel::vkCompactScalar)},
                   {0, 1}})
    ->Unit(benchmark::kMillisecond);

void BM_ViterbiCreate(benchmark::State& state) {
    const auto kernel = static_cast<TViterbiKernel>(state.range(0));
    for (auto _ : state) {
        TFast8bitSoftViterbiDecoder dec(kernel);
        benchmark::DoNotOptimize(&dec);
    }
}
BENCHMARK(BM_ViterbiCreate)
    ->Arg(static_cast<int>(TViterbiKernel::vkLutTable))
    ->Arg(static_cast<int>(TViterbiKernel::vkCompact))
    ->Unit(benchmark::kMillisecond);

// A systematic code word: data at 0..222, check symbols at 223..254 = x^32 D(x) mod g, with the
// generator g = prod (x - beta^i), i = 112..143.
std::vector<uint8_t> CodeWord() {
    const TGaloisTables& T = GaloisTables();
    std::vector<uint8_t> g{1};
    for (int i = 112; i <= 143; ++i) {
        std::vector<uint8_t> next(g.size() + 1, 0);
        for (size_t j = 0; j < g.size(); ++j) {
            next[j + 1] ^= g[j];
            next[j] ^= T.MUL[g[j]][T.EXP[i % 255]];
        }
        g = next;
    }
    std::mt19937 rng(2);
    std::vector<uint8_t> rem(255 + 32, 0), word(255);
    for (int j = 0; j < 223; ++j)
        word[j] = rem[j + 32] = static_cast<uint8_t>(rng());
    for (int deg = 254; deg >= 32; --deg)
        if (const uint8_t c = rem[deg])
            for (int j = 0; j <= 32; ++j)
                rem[deg - 32 + j] ^= T.MUL[c][g[j]];
    for (int j = 0; j < 32; ++j)
        word[223 + j] = rem[j];
    return word;
}

void BM_RSCheck(benchmark::State& state) {
    const int errors = static_cast<int>(state.range(0));
    const std::vector<uint8_t> word = CodeWord();
    std::vector<uint8_t> bad = word;
    for (int i = 0; i < errors; ++i)
        bad[static_cast<size_t>(i * 15 + 3)] ^= static_cast<uint8_t>(0x5A + i);
    TTrueRS rs;
    TPolinom cx(255, 255, false);
    int result = 0;
    for (auto _ : state) {
        std::copy(bad.begin(), bad.end(), cx.d);
        cx.l = 255;
        result = rs.Check(cx, cx);
        benchmark::DoNotOptimize(cx.d);
    }
    if (result != errors) state.SkipWithError("the code word was not corrected as expected");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RSCheck)->Arg(0)->Arg(16);

} // namespace
