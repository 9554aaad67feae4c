// Speed of the precise receiver in input samples per second and times real time, at the rates
// of the field: 144 kS/s (two samples per symbol), 150, 196.078 (the generator's default) and
// 250 kS/s (not whole multiples of the symbol rate: the symbol timing interpolates), 1.024 and
// 2.048 MS/s (wideband recordings, decimated first). The input is root-raised-cosine QPSK at 72,000
// symbols/s, 2 kHz off the carrier, Es/N0 8 dB, so every stage does its ordinary work.
#include "precise/PreciseReceiver.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <complex>
#include <random>
#include <vector>

namespace {

std::vector<std::complex<float>> MakeInput(double aRate, double aSeconds) {
    const double rs = 72000, sps = aRate / rs, beta = 0.6;
    const long n = long(aRate * aSeconds);
    const long symbols = long(aSeconds * rs) + 20;
    std::mt19937 rng(7);
    std::vector<float> si(static_cast<size_t>(symbols)), sq(static_cast<size_t>(symbols));
    for (long k = 0; k < symbols; ++k) {
        si[size_t(k)] = (rng() & 1) ? 1.f : -1.f;
        sq[size_t(k)] = (rng() & 1) ? 1.f : -1.f;
    }
    auto rrc = [&](double t) {
        if (std::fabs(t) < 1e-9) return 1 - beta + 4 * beta / M_PI;
        if (std::fabs(std::fabs(t) - 1 / (4 * beta)) < 1e-9)
            return beta / std::sqrt(2.0) *
                   ((1 + 2 / M_PI) * std::sin(M_PI / (4 * beta)) +
                    (1 - 2 / M_PI) * std::cos(M_PI / (4 * beta)));
        return (std::sin(M_PI * t * (1 - beta)) + 4 * beta * t * std::cos(M_PI * t * (1 + beta))) /
               (M_PI * t * (1 - 16 * beta * beta * t * t));
    };
    const double sigma = std::sqrt(sps / std::pow(10.0, 0.8)) / std::sqrt(sps);
    std::normal_distribution<double> noise(0, sigma);
    std::vector<std::complex<float>> x(static_cast<size_t>(n));
    for (long m = 0; m < n; ++m) {
        const double u = double(m) / sps;
        double re = 0, im = 0;
        for (long k = long(u) - 6; k <= long(u) + 6; ++k) {
            if (k < 0 || k >= symbols) continue;
            const double p = rrc(u - double(k));
            re += si[size_t(k)] * p;
            im += sq[size_t(k)] * p;
        }
        const std::complex<double> c = std::polar(1.0, 2 * M_PI * 2000 * double(m) / aRate);
        const std::complex<double> v = std::complex<double>(re, im) * c / std::sqrt(sps);
        x[size_t(m)] = std::complex<float>(float(v.real() + noise(rng)), float(v.imag() + noise(rng)));
    }
    return x;
}

void BM_Precise(benchmark::State& state) {
    const double rate = double(state.range(0));
    const auto input = MakeInput(rate, 2.0);
    precise::TPreciseParams p;
    p.SampleRate = rate;
    precise::TPreciseReceiver rx(p);
    std::vector<precise::TSoftPair> symbols;
    constexpr size_t kBlock = 16384;
    size_t at = 0;
    int64_t samples = 0;
    for (auto _ : state) {
        const size_t n = std::min(kBlock, input.size() - at);
        symbols.clear();
        rx.Process(input.data() + at, n, symbols);
        benchmark::DoNotOptimize(symbols.data());
        samples += int64_t(n);
        at += n;
        if (at >= input.size()) at = 0;
    }
    state.counters["samples/s"] = benchmark::Counter(double(samples), benchmark::Counter::kIsRate);
    state.counters["x_realtime"] = benchmark::Counter(double(samples) / rate, benchmark::Counter::kIsRate);
    state.counters["locked"] = rx.Readouts().Locked ? 1 : 0;
}
BENCHMARK(BM_Precise)
    ->Arg(144000)
    ->Arg(150000)
    ->Arg(196078)
    ->Arg(250000)
    ->Arg(1024000)
    ->Arg(2048000)
    ->Unit(benchmark::kMillisecond);

} // namespace
