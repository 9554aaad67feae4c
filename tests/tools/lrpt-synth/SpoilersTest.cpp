// The generator's receiver spoilers, measured on its float samples: each does what its option says
// and nothing else (the recording without it, subtracted, leaves exactly the spoiler).
#include "CommandLine.h"
#include "Synthesizer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <vector>

using namespace lrptsynth;

namespace {

using cd = std::complex<double>;
constexpr double kRate = 144000;

SynthOptions floatBaseband() {
    SynthOptions o;
    o.form = OutputForm::Iq;
    o.sampleFormat = SampleFormat::F32;
    o.sampleRate = kRate;
    o.durationSeconds = 0.5;
    o.leadInSeconds = 0;
    o.tailFrames = 0;
    o.wavLevel = 0.1;
    return o;
}

// Headerless cf32 frames (Q, I) as I + jQ.
std::vector<cd> samples(const SynthOptions& o) {
    const Recording r = synthesize(o);
    std::vector<cd> x(r.bytes.size() / 8);
    for (size_t k = 0; k < x.size(); ++k) {
        float q, i;
        std::memcpy(&q, r.bytes.data() + 8 * k, 4);
        std::memcpy(&i, r.bytes.data() + 8 * k + 4, 4);
        x[k] = {i, q};
    }
    return x;
}

double power(const std::vector<cd>& x) {
    double p = 0;
    for (const cd& v : x)
        p += std::norm(v);
    return p / double(x.size());
}

} // namespace

// A spur is a line of the stated power relative to the signal's (2 level^2), at the signal's
// starting carrier plus its offset, drifting on its own: the difference the spurs make is exactly
// their two lines.
TEST(Spoilers, SpursAreLinesOfTheStatedPowerAndFrequency) {
    SynthOptions o = floatBaseband();
    o.carrierOffsetHz = 1200;
    o.driftHzPerS = 40; // the signal's drift: the spur keeps its own
    const std::vector<cd> clean = samples(o);
    o.spurs = {{-9000, 3, 0}, {20000, -6, 25}};
    const std::vector<cd> spoilt = samples(o);
    ASSERT_EQ(clean.size(), spoilt.size());
    const double signal = power(clean);
    EXPECT_NEAR(signal, 2 * 0.1 * 0.1, 0.002);
    double rest = 0;
    for (size_t n = 0; n < clean.size(); ++n) {
        const double t = double(n) / kRate;
        const cd lines = std::sqrt(2 * std::pow(10.0, 0.3)) * 0.1 * std::polar(1.0, 2 * M_PI * -7800 * t) +
                         std::sqrt(2 * std::pow(10.0, -0.6)) * 0.1 *
                             std::polar(1.0, 2 * M_PI * (21200 * t + 12.5 * t * t));
        rest = std::max(rest, std::abs(spoilt[n] - clean[n] - lines));
    }
    EXPECT_LT(rest, 1e-5);
}

// A second path is the signal again, later, weaker and turned; a sample clock PPM fast takes that
// many more samples for the same symbols; I/Q imbalance and DC offset act on the recorded branches.
TEST(Spoilers, EchoClockImbalanceAndOffsetDoWhatTheySay) {
    SynthOptions o = floatBaseband();
    const std::vector<cd> clean = samples(o);

    SynthOptions e = o;
    e.echo = Echo{3 / kRate * 1e6, -6, 120}; // three samples late
    const std::vector<cd> echoed = samples(e);
    const cd gain = std::polar(std::pow(10.0, -6 / 20.0), 120 * M_PI / 180);
    double worst = 0;
    for (size_t n = 3; n < clean.size(); ++n)
        worst = std::max(worst, std::abs(echoed[n] - clean[n] - gain * clean[n - 3]));
    EXPECT_LT(worst, 1e-5);

    SynthOptions c = o;
    c.clockPpm = 1000;
    EXPECT_NEAR(double(samples(c).size()), double(clean.size()) * 1.001, 2);

    SynthOptions iq = o;
    iq.iqGainDb = 2;
    iq.iqPhaseDeg = 10;
    iq.dcI = 0.5;
    iq.dcQ = -0.25;
    const std::vector<cd> bent = samples(iq);
    const double g = std::pow(10.0, 2 / 20.0), lean = 10 * M_PI / 180;
    worst = 0;
    for (size_t n = 0; n < clean.size(); ++n) {
        const double i = clean[n].real() / std::sqrt(g) + 0.05;
        const double q =
            std::sqrt(g) * (clean[n].imag() * std::cos(lean) + clean[n].real() * std::sin(lean)) - 0.025;
        worst = std::max(worst, std::abs(bent[n] - cd(i, q)));
    }
    EXPECT_LT(worst, 1e-5);
}

// Phase noise: the carrier's phase walks at random with the variance its linewidth says
// (2 pi x linewidth x time), while the amplitude is untouched.
TEST(Spoilers, PhaseNoiseIsARandomWalkOfTheStatedLinewidth) {
    SynthOptions o = floatBaseband();
    o.durationSeconds = 2;
    const std::vector<cd> clean = samples(o);
    o.phaseNoiseHz = 20;
    const std::vector<cd> noisy = samples(o);
    // Phase of noisy / clean wherever the signal is not near zero; increments over 2 ms.
    const size_t lag = size_t(0.002 * kRate);
    double sum = 0;
    size_t count = 0;
    for (size_t n = lag; n < clean.size(); n += 97) {
        if (std::abs(clean[n]) < 0.05 || std::abs(clean[n - lag]) < 0.05) continue;
        EXPECT_NEAR(std::abs(noisy[n]), std::abs(clean[n]), 1e-5);
        const double d = std::arg((noisy[n] / clean[n]) * std::conj(noisy[n - lag] / clean[n - lag]));
        sum += d * d;
        ++count;
    }
    ASSERT_GT(count, 1000u);
    EXPECT_NEAR(sum / double(count), 2 * M_PI * 20 * 0.002, 0.2 * 2 * M_PI * 20 * 0.002);
}

// The command line: --spur repeats and takes an optional drift; malformed values and spoilers of a
// symbol file are refused.
TEST(Spoilers, CommandLine) {
    const CommandLine c = parseCommandLine({"--spur", "1000:3", "--spur", "-2500.5:-10:4", "--echo", "2:-8",
                                            "--iq-imbalance", "0.5:2", "-o", "x.wav"});
    ASSERT_EQ(c.options.spurs.size(), 2u);
    EXPECT_EQ(c.options.spurs[0].driftHzPerS, 0);
    EXPECT_EQ(c.options.spurs[1].offsetHz, -2500.5);
    EXPECT_EQ(c.options.spurs[1].driftHzPerS, 4);
    EXPECT_EQ(c.options.echo->phaseDeg, 0);
    EXPECT_EQ(c.options.iqPhaseDeg, 2);
    for (const char* bad : {"1000", "1000:3:1:2", "1k:3"})
        EXPECT_THROW(parseCommandLine({"--spur", bad, "-o", "x.wav"}), UsageError) << bad;
    SynthOptions o;
    o.spurs = {{0, 0, 0}};
    EXPECT_THROW(synthesize(o), SynthError); // a symbol file has no baseband
}
