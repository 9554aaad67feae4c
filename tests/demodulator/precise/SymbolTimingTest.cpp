// The symbol timing on its own, at numbers of samples per symbol that are not whole (the rates of
// users' recordings: 150,000, 196,078 and 250,000 S/s for 72,000 symbols/s) and with the sender's
// clock 100 ppm off either way: after the loop has settled, every symbol comes out on the
// constellation's points, for QPSK and for offset QPSK (where I must be taken half a symbol
// before Q). A wrong interpolation row, a misplaced half-symbol offset or a loop that does not
// follow the clock spreads the points far beyond the bound.
#include "precise/SymbolTiming.h"

#include <cmath>
#include <complex>
#include <gtest/gtest.h>
#include <random>
#include <vector>

namespace {

double Rrc(double aT, double aBeta) {
    if (std::fabs(aT) < 1e-9) return 1 - aBeta + 4 * aBeta / M_PI;
    if (std::fabs(std::fabs(aT) - 1 / (4 * aBeta)) < 1e-9)
        return aBeta / std::sqrt(2.0) *
               ((1 + 2 / M_PI) * std::sin(M_PI / (4 * aBeta)) +
                (1 - 2 / M_PI) * std::cos(M_PI / (4 * aBeta)));
    return (std::sin(M_PI * aT * (1 - aBeta)) + 4 * aBeta * aT * std::cos(M_PI * aT * (1 + aBeta))) /
           (M_PI * aT * (1 - 16 * aBeta * aBeta * aT * aT));
}

// Noise-free root-raised-cosine QPSK (roll-off 0.6, pulses +-8 symbols) at aSps samples per
// nominal symbol, the symbols aClockPpm faster than nominal; offset QPSK delays Q by half a symbol.
std::vector<std::complex<float>> Signal(double aSps, double aClockPpm, bool aOqpsk, size_t aSymbols) {
    std::mt19937 rng(11);
    std::vector<float> si(aSymbols), sq(aSymbols);
    for (size_t k = 0; k < aSymbols; ++k) {
        si[k] = (rng() & 1) ? 1.f : -1.f;
        sq[k] = (rng() & 1) ? 1.f : -1.f;
    }
    const double perSample = (1 + aClockPpm * 1e-6) / aSps; // symbols per sample
    const size_t n = size_t(double(aSymbols) / perSample) - size_t(10 * aSps);
    std::vector<std::complex<float>> x(n);
    for (size_t m = 0; m < n; ++m) {
        const double u = double(m) * perSample + 0.37;
        double re = 0, im = 0;
        for (long k = long(u) - 8; k <= long(u) + 9; ++k) {
            if (k < 0 || k >= long(aSymbols)) continue;
            re += si[size_t(k)] * Rrc(u - double(k), 0.6);
            im += sq[size_t(k)] * Rrc(u - double(k) - (aOqpsk ? 0.5 : 0), 0.6);
        }
        x[m] = {float(re), float(im)};
    }
    return x;
}

TEST(PreciseSymbolTimingTest, SettlesOnTheConstellationAtAnyRatioAndClockOffset) {
    struct TCase {
        double Sps, Ppm;
        bool Oqpsk;
    };
    for (const TCase c :
         {TCase{150000 / 72000.0, 100, true}, TCase{150000 / 72000.0, -100, false},
          TCase{196078 / 72000.0, -100, true}, TCase{250000 / 72000.0, 100, true},
          TCase{250000 / 72000.0, -100, false}, TCase{2.0, 100, true}, TCase{5.3, -100, true}}) {
        SCOPED_TRACE(testing::Message()
                     << c.Sps << " samples/symbol, " << c.Ppm << " ppm, oqpsk " << c.Oqpsk);
        constexpr size_t kSymbols = 40000;
        const std::vector<std::complex<float>> x = Signal(c.Sps, c.Ppm, c.Oqpsk, kSymbols);
        precise::TSymbolTiming timing(c.Sps, c.Oqpsk, 0.002, 0.6f);
        std::vector<std::complex<float>> out;
        std::complex<float> y;
        for (const std::complex<float> s : x)
            if (timing.Push(s, y)) out.push_back(y);
        // One symbol per sent symbol, less the filter's delay and the tail.
        ASSERT_NEAR(double(out.size()), double(kSymbols), 20 + 10 * c.Sps);
        // The loop follows the clock: its period is the sender's.
        EXPECT_NEAR(timing.Period() / c.Sps, 1 / (1 + c.Ppm * 1e-6), 3e-5);
        // Error vector against the nearest point, relative to the points' amplitude, over the
        // symbols after the first 10,000 (the loop's pull-in).
        double amp = 0, err = 0;
        const size_t from = 10000;
        for (size_t k = from; k < out.size(); ++k)
            amp += std::fabs(out[k].real()) + std::fabs(out[k].imag());
        amp /= 2.0 * double(out.size() - from);
        double worst = 0;
        for (size_t k = from; k < out.size(); ++k) {
            const double dr = std::fabs(out[k].real()) - amp, di = std::fabs(out[k].imag()) - amp;
            err += dr * dr + di * di;
            worst = std::max({worst, std::fabs(dr), std::fabs(di)});
        }
        const double evmDb = 10 * std::log10(err / (2.0 * double(out.size() - from)) / (amp * amp));
        EXPECT_LT(evmDb, -35);
        EXPECT_LT(worst / amp, 0.1);
    }
}

} // namespace
