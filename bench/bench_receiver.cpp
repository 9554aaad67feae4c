// Speed of the receiver model in model steps per second (one step is one internal sample, four
// per input frame). The input is a noisy QPSK signal with a carrier offset, so that the loops,
// the strobes and the slicer do their ordinary work.
#include "core/CostasReceiver.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace {

class TCountingSink : public SymbolSink {
  public:
    void Put(uint8_t aByte) override {
        fSum += aByte;
        ++fCount;
    }
    uint64_t fSum = 0;
    uint64_t fCount = 0;
};

// Several blocks of QPSK at 72000 symbols/s sampled at 196078 Hz (the default internal rate / 4),
// raised-cosine pulses, 2 kHz carrier offset, amplitude about 100 with noise.
std::vector<ReceiverBlock> MakeInput(int aBlocks) {
    const double rate = 196078.0, symRate = 72000.0, offset = 2000.0;
    std::mt19937 rng(12345);
    std::normal_distribution<double> noise(0.0, 15.0);
    const long n = long(aBlocks) * ReceiverBlock::FrameCount;
    const long symbols = long(n / rate * symRate) + 16;
    std::vector<int> si(symbols), sq(symbols);
    for (long k = 0; k < symbols; ++k) {
        si[k] = (rng() & 1) ? 1 : -1;
        sq[k] = (rng() & 1) ? 1 : -1;
    }
    std::vector<ReceiverBlock> blocks(aBlocks);
    for (long i = 0; i < n; ++i) {
        const double t = i / rate;
        const double u = t * symRate;
        double re = 0, im = 0;
        for (long k = long(u) - 3; k <= long(u) + 3; ++k) {
            if (k < 0 || k >= symbols) continue;
            const double x = u - double(k);
            const double p = std::fabs(x) < 1.5 ? 0.5 * (1 + std::cos(M_PI * x / 1.5)) : 0.0;
            re += si[k] * p;
            im += sq[k] * p;
        }
        const double ph = 2 * M_PI * offset * t;
        const double c = std::cos(ph), s = std::sin(ph);
        ReceiverFrame& f = blocks[i / ReceiverBlock::FrameCount].Frames[i % ReceiverBlock::FrameCount];
        f.I = int32_t(std::lround(80 * (re * c - im * s) + noise(rng)));
        f.Q = int32_t(std::lround(80 * (re * s + im * c) + noise(rng)));
    }
    return blocks;
}

void RunReceiver(benchmark::State& state, bool aWithDisplay) {
    static const std::vector<ReceiverBlock> input = MakeInput(16);
    TCostasReceiver rx;
    TDisplaySampler sampler;
    sampler.SetStepNs(250000000 / 196078);
    sampler.SetPixelNs(2000000 * 0.05);
    if (aWithDisplay) rx.SetDisplaySampler(&sampler);
    TCountingSink sink;
    size_t b = 0;
    for (auto _ : state) {
        rx.ProcessBlock(input[b], sink);
        b = (b + 1) % input.size();
    }
    benchmark::DoNotOptimize(sink.fSum);
    state.counters["steps/s"] = benchmark::Counter(double(state.iterations()) * ReceiverBlock::StepCount,
                                                   benchmark::Counter::kIsRate);
    state.counters["locked"] = rx.State().Locked ? 1 : 0;
}

void BM_ReceiverSteps(benchmark::State& state) {
    RunReceiver(state, false);
}
void BM_ReceiverStepsWithDisplay(benchmark::State& state) {
    RunReceiver(state, true);
}

} // namespace

BENCHMARK(BM_ReceiverSteps)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReceiverStepsWithDisplay)->Unit(benchmark::kMicrosecond);
