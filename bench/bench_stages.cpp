// Stages before the frame layer, stepped without threads: sync before Viterbi alone, the Viterbi
// stage alone, and the two together, on clean and on noisy encoded frames. Reported as soft values
// per second; one second of a 72 k signal is 144,000 values, so times real time is that figure
// divided by 144,000 (shown as the "x_realtime" counter).
#include "fec/LRPT_SyncBeforeViterbiUnit.h"
#include "fec/LRPT_ViterbiThreadUnit.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace {

std::vector<int8_t> EncodedFrames(int frames, double sigma) {
    std::mt19937 rng(5);
    std::normal_distribution<double> noise(0, sigma);
    std::vector<int8_t> out;
    int r = 0;
    for (int f = 0; f < frames; ++f)
        for (int i = 0; i < 1024; ++i) {
            const uint8_t marker[4] = {0x1A, 0xCF, 0xFC, 0x1D};
            const uint8_t byte = i < 4 ? marker[i] : static_cast<uint8_t>(rng());
            for (int b = 7; b >= 0; --b) {
                r = (r >> 1) | ((byte >> b & 1) << 6);
                for (const int g : {0171, 0133}) {
                    const double v = (__builtin_parity(r & g) ? 70 : -70) + (sigma > 0 ? noise(rng) : 0);
                    out.push_back(static_cast<int8_t>(std::clamp(std::lround(v), -127L, 127L)));
                }
            }
        }
    return out;
}

void Report(benchmark::State& state, int64_t values) {
    state.SetItemsProcessed(values);
    state.counters["x_realtime"] =
        benchmark::Counter(static_cast<double>(values) / 144000.0, benchmark::Counter::kIsRate);
}

// A fresh sync stage over the whole input, stepped until it finds too little.
void RunSync(const std::vector<int8_t>& input) {
    TSHORTstream in("in", true, true, nullptr), out("out", true, true, nullptr);
    TSyncBeforeViterbi sync(&in, &out, "");
    in.Write(input.data(), static_cast<int32_t>(input.size()));
    while (sync.DoStep(&in, &out))
        in.ClearNotActualMemory();
    benchmark::DoNotOptimize(out.Size());
}

void BM_Sync(benchmark::State& state) {
    const auto input = EncodedFrames(64, static_cast<double>(state.range(0)));
    int64_t values = 0;
    for (auto _ : state) {
        RunSync(input);
        values += static_cast<int64_t>(input.size());
    }
    Report(state, values);
}
BENCHMARK(BM_Sync)->Arg(0)->Arg(30)->Unit(benchmark::kMillisecond);

// The unlocked search sliding through noise (the edges of a pass, a loss of lock).
void BM_SyncSearchNoise(benchmark::State& state) {
    std::mt19937 rng(9);
    std::normal_distribution<double> noise(0, 60);
    std::vector<int8_t> input(1 << 20);
    for (auto& v : input)
        v = static_cast<int8_t>(std::clamp(std::lround(noise(rng)), -127L, 127L));
    int64_t values = 0;
    for (auto _ : state) {
        RunSync(input);
        values += static_cast<int64_t>(input.size()) - TSyncBeforeViterbi::BlockSize + 1;
    }
    Report(state, values);
}
BENCHMARK(BM_SyncSearchNoise)->Unit(benchmark::kMillisecond);

void BM_ViterbiStage(benchmark::State& state) {
    const auto encoded = EncodedFrames(64, static_cast<double>(state.range(0)));
    const std::vector<int8_t> input(encoded.begin() + 12, encoded.begin() + 12 + 63 * 16384);
    TSHORTstream in("in", true, true, nullptr), out("out", true, true, nullptr);
    TViterbiThread viterbi(&in, &out, "");
    viterbi.BeforeExecute();
    int64_t values = 0;
    for (auto _ : state) {
        in.Write(input.data(), static_cast<int32_t>(input.size()));
        while (viterbi.DoStep(&in, &out))
            in.ClearNotActualMemory();
        out.Seek(int64_t{0}, TSeekOrigin::soEnd);
        out.ClearNotActualMemory();
        values += static_cast<int64_t>(input.size());
    }
    Report(state, values);
}
BENCHMARK(BM_ViterbiStage)->Arg(0)->Arg(30)->Unit(benchmark::kMillisecond);

void BM_SyncAndViterbi(benchmark::State& state) {
    const auto input = EncodedFrames(64, static_cast<double>(state.range(0)));
    int64_t values = 0;
    for (auto _ : state) {
        TSHORTstream in("in", true, true, nullptr), mid("mid", true, true, nullptr),
            out("out", true, true, nullptr);
        TSyncBeforeViterbi sync(&in, &mid, "");
        TViterbiThread viterbi(&mid, &out, "");
        viterbi.BeforeExecute();
        in.Write(input.data(), static_cast<int32_t>(input.size()));
        while (sync.DoStep(&in, &mid))
            in.ClearNotActualMemory();
        while (viterbi.DoStep(&mid, &out))
            mid.ClearNotActualMemory();
        values += static_cast<int64_t>(input.size());
    }
    Report(state, values);
}
BENCHMARK(BM_SyncAndViterbi)->Arg(0)->Arg(30)->Unit(benchmark::kMillisecond);

} // namespace
