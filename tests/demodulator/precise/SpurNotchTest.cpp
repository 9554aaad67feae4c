// The spur detector and notches on their own: lines are found where they are, and only lines (not
// the signal's shape, a filter's edge, noise, nor the comb of a signal whose data repeat); a notch
// takes its line out deeply, follows a drifting one, and leaves the rest of the band alone.
#include "precise/SpurNotch.h"

#include "Synthesizer.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <vector>

using precise::TLineCanceller;
using precise::TSpurDetector;
using precise::TSpurNotch;
using cf = std::complex<float>;

namespace {

constexpr double kRate = 144000;

// The generator's QPSK at two samples per symbol as complex float (level 0.1 per branch), with the
// given spurs; its test pattern begins with fill frames, whose repeated data make a comb of lines.
std::vector<cf> Qpsk(double aSeconds, std::vector<lrptsynth::Spur> aSpurs, double aEsN0 = 10, int aHead = 0) {
    lrptsynth::SynthOptions o;
    o.form = lrptsynth::OutputForm::Iq;
    o.sampleFormat = lrptsynth::SampleFormat::F32;
    o.sampleRate = kRate;
    o.durationSeconds = aSeconds;
    o.leadInSeconds = 0;
    o.headFrames = aHead;
    o.wavLevel = 0.1;
    o.esn0Db = aEsN0;
    o.carrierOffsetHz = 700;
    o.spurs = std::move(aSpurs);
    const lrptsynth::Recording r = lrptsynth::synthesize(o);
    std::vector<cf> x(r.bytes.size() / 8);
    for (size_t k = 0; k < x.size(); ++k) {
        float q, i;
        std::memcpy(&q, r.bytes.data() + 8 * k, 4);
        std::memcpy(&i, r.bytes.data() + 8 * k + 4, 4);
        x[k] = {i, q};
    }
    return x;
}

// Every line of every look over the samples.
std::vector<precise::TSpurLine> AllLines(const std::vector<cf>& aX) {
    TSpurDetector d(kRate, 4096, 4, 8192);
    std::vector<precise::TSpurLine> lines;
    for (size_t at = 0; at < aX.size();) {
        at += d.Feed(aX.data() + at, aX.size() - at);
        if (d.LookEnded()) lines.insert(lines.end(), d.Lines().begin(), d.Lines().end());
    }
    return lines;
}

// Complex amplitude of the line at aHz (cycles per second, with aDrift Hz/s) over [aFrom, end).
std::complex<double> LineAmplitude(const std::vector<cf>& aX, double aHz, double aDrift, size_t aFrom) {
    std::complex<double> sum = 0;
    for (size_t n = aFrom; n < aX.size(); ++n) {
        const double t = double(n) / kRate;
        sum += std::complex<double>(aX[n]) * std::polar(1.0, -2 * M_PI * (aHz * t + 0.5 * aDrift * t * t));
    }
    return sum / double(aX.size() - aFrom);
}

} // namespace

// Two spurs in the signal's band (twice its power, and a tenth of it) are found in every look, each
// within a tenth of a bin; the signal alone (its fill frames included), white noise, and noise
// behind a steep low-pass filter show none.
TEST(SpurDetectorTest, FindsLinesAndOnlyLines) {
    const std::vector<cf> spoilt = Qpsk(2, {{9300, 3, 0}, {-21000, -10, 0}});
    TSpurDetector d(kRate, 4096, 4, 8192);
    int looks = 0;
    for (size_t at = 0; at < spoilt.size();) {
        at += d.Feed(spoilt.data() + at, spoilt.size() - at);
        if (!d.LookEnded()) continue;
        ++looks;
        ASSERT_EQ(d.Lines().size(), 2u) << "look " << looks;
        EXPECT_NEAR(d.Lines()[0].FrequencyHz, 700 + 9300, 0.1 * d.BinHz());
        EXPECT_NEAR(d.Lines()[1].FrequencyHz, 700 - 21000, 0.1 * d.BinHz());
        EXPECT_GT(d.Lines()[0].Strength, 5 * d.Lines()[1].Strength);
    }
    EXPECT_GE(looks, 8);

    EXPECT_TRUE(AllLines(Qpsk(3, {}, 10, 10)).empty());

    std::mt19937 rng(5);
    std::normal_distribution<float> g(0, 1);
    std::vector<cf> noise(size_t(2 * kRate));
    for (cf& v : noise)
        v = {g(rng), g(rng)};
    EXPECT_TRUE(AllLines(noise).empty());
    // A windowed-sinc low-pass of 255 taps cut at a quarter of the rate: the band above lies 70 dB
    // down within a few bins.
    std::vector<float> h(255);
    for (int k = 0; k < 255; ++k) {
        const double m = k - 127,
                     w = 0.42 - 0.5 * std::cos(2 * M_PI * k / 254) + 0.08 * std::cos(4 * M_PI * k / 254);
        h[size_t(k)] = float(w * (m == 0 ? 0.5 : std::sin(0.5 * M_PI * m) / (M_PI * m)));
    }
    std::vector<cf> edge(noise.size() - h.size());
    for (size_t n = 0; n < edge.size(); ++n)
        for (size_t k = 0; k < h.size(); ++k)
            edge[n] += h[k] * noise[n + k];
    EXPECT_TRUE(AllLines(edge).empty());
}

// A notch started 3 Hz off its line takes the line 40 dB down within a tenth of a second and keeps
// it there, also when the line drifts at 50 Hz/s; the noise beside it passes at full power.
TEST(SpurDetectorTest, NotchTakesOutItsLineAndLittleElse) {
    std::mt19937 rng(7);
    std::normal_distribution<float> g(0, 1);
    struct TCase {
        double drift, depthDb;
    };
    for (const TCase c : {TCase{0, 40}, TCase{50, 40}}) {
        SCOPED_TRACE(c.drift);
        std::vector<cf> x(size_t(3 * kRate)), noise(x.size());
        for (size_t n = 0; n < x.size(); ++n) {
            const double t = double(n) / kRate;
            noise[n] = {g(rng), g(rng)};
            x[n] = noise[n] + std::polar(3.0f, float(2 * M_PI * (5000 * t + 0.5 * c.drift * t * t)));
        }
        TLineCanceller notch(kRate, 5003, float(2 * M_PI * 10 / kRate));
        for (size_t at = 0; at < x.size(); at += 1000)
            notch.Process(x.data() + at, std::min<size_t>(1000, x.size() - at));
        // Line power before: 9; after, over the last two seconds.
        const double left = std::norm(LineAmplitude(x, 5000, c.drift, size_t(kRate)));
        EXPECT_LT(10 * std::log10(left / 9), -c.depthDb);
        EXPECT_NEAR(notch.FrequencyHz(), 5000 + 3 * c.drift, 1);
        double pass = 0, in = 0;
        for (size_t n = size_t(kRate); n < x.size(); ++n) {
            pass += std::norm(x[n]);
            in += std::norm(noise[n]);
        }
        EXPECT_NEAR(pass / in, 1, 0.01);
    }
}

// The whole: a spur found in the first look gets a notch (Process says so once), the notch goes
// when the spur stops, and how the input is split does not change a sample of the output.
TEST(SpurDetectorTest, NotchesComeAndGoWithTheirLinesWhateverTheSplit) {
    std::vector<cf> x = Qpsk(4, {{-4000, 3, 0}});
    // The spur stops after 1.5 s: the rest of the recording without it.
    const std::vector<cf> clean = Qpsk(4, {});
    std::copy(clean.begin() + std::ptrdiff_t(1.5 * kRate), clean.end(),
              x.begin() + std::ptrdiff_t(1.5 * kRate));

    TSpurNotch whole(kRate);
    std::vector<cf> a = x;
    std::vector<size_t> added;
    std::vector<double> linesAt1s, linesAtEnd;
    for (size_t at = 0; at < a.size(); at += 256) {
        if (whole.Process(a.data() + at, std::min<size_t>(256, a.size() - at))) added.push_back(at);
        if (at / 256 == 144000 / 256) linesAt1s = whole.LinesHz();
    }
    linesAtEnd = whole.LinesHz();
    ASSERT_EQ(added.size(), 1u);
    EXPECT_EQ(added[0], 16384u - 256); // at the end of the first look
    ASSERT_EQ(linesAt1s.size(), 1u);
    EXPECT_NEAR(linesAt1s[0], 700 - 4000, 1);
    EXPECT_TRUE(linesAtEnd.empty());
    // The notched output holds the line 30 dB down while it lasts.
    std::vector<cf> spanA(a.begin() + 30000, a.begin() + std::ptrdiff_t(1.5 * kRate));
    std::vector<cf> spanX(x.begin() + 30000, x.begin() + std::ptrdiff_t(1.5 * kRate));
    EXPECT_LT(std::norm(LineAmplitude(spanA, -3300, 0, 0)),
              1e-3 * std::norm(LineAmplitude(spanX, -3300, 0, 0)));

    TSpurNotch split(kRate);
    std::vector<cf> b = x;
    for (size_t at = 0, step = 1; at < b.size(); at += step, step = step * 7 % 5003 + 1)
        split.Process(b.data() + at, std::min(step, b.size() - at));
    for (size_t n = 0; n < a.size(); ++n)
        ASSERT_TRUE(a[n] == b[n]) << n;
    whole.Reset();
    std::vector<cf> c = x;
    whole.Process(c.data(), c.size());
    EXPECT_TRUE(c == a);
}
