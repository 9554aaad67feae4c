// The precise receiver on generator recordings: the symbols that come out are compared with the
// symbols that were sent (up to the receiver's quarter-turn and pairing ambiguity), after
// acquisition far off the carrier, under Doppler drift, for offset QPSK with either branch first,
// and after a fade.
#include "precise/PreciseReceiver.h"

#include "Synthesizer.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <gtest/gtest.h>
#include <vector>

using precise::TPreciseParams;
using precise::TPreciseReceiver;
using precise::TSoftPair;

namespace {

constexpr double kRate = 144000;

struct TSignal {
    std::vector<std::complex<float>> Samples;
    std::vector<int8_t> Values; // sent values in the chain's order, +-1, lead-in included (0 there)
};

// A generator WAV (16-bit frames Q, I) as complex float, with an optional linear carrier ramp
// (Hz per second) on top of the generator's own offset.
TSignal Make(lrptsynth::SynthOptions o, double aDriftHzPerS = 0, double aRate = kRate) {
    o.form = lrptsynth::OutputForm::Wav;
    o.sampleRate = aRate;
    const lrptsynth::Recording rec = lrptsynth::synthesize(o);
    TSignal s;
    const size_t frames = (rec.bytes.size() - 44) / 4;
    s.Samples.resize(frames);
    for (size_t n = 0; n < frames; ++n) {
        const uint8_t* f = rec.bytes.data() + 44 + 4 * n;
        const float q = float(int16_t(uint16_t(f[0] | f[1] << 8))) / 32768;
        const float i = float(int16_t(uint16_t(f[2] | f[3] << 8))) / 32768;
        const double t = double(n) / aRate;
        s.Samples[n] = std::complex<float>(i, q) * std::polar(1.0f, float(M_PI * aDriftHzPerS * t * t));
    }
    s.Values.assign(size_t(rec.leadInValues), 0);
    for (uint8_t b : rec.chainBits)
        s.Values.push_back(b ? 1 : -1);
    return s;
}

std::vector<TSoftPair> Receive(const TSignal& aSignal, const TPreciseParams& aParams,
                               TPreciseReceiver* aRx = nullptr) {
    TPreciseReceiver own(aParams);
    TPreciseReceiver& rx = aRx ? *aRx : own;
    std::vector<TSoftPair> out;
    for (size_t at = 0; at < aSignal.Samples.size(); at += 10000)
        rx.Process(aSignal.Samples.data() + at, std::min<size_t>(10000, aSignal.Samples.size() - at), out);
    rx.Flush(out);
    return out;
}

// Share of wrong hard decisions among the output symbols [aFirst, aFirst + aCount). The receiver
// delays by a few symbols, its timing loop may slip whole symbols while there is no signal, it has
// a quarter-turn ambiguity, and with offset QPSK a pair may straddle two sent pairs: so every
// stretch of 4,000 symbols is placed on its own, searching the eight exchange / sign readings and
// value offsets up to aSearch either way.
double ErrorRate(const std::vector<TSoftPair>& aOut, const std::vector<int8_t>& aSent, size_t aFirst,
                 size_t aCount, int aSearch = 200) {
    auto value = [&](size_t k, int which, int form) {
        const TSoftPair p = aOut[k];
        float v = ((form & 1) != 0) == (which == 0) ? p.Q : p.I;
        if (form & (which == 0 ? 2 : 4)) v = -v;
        return v >= 0 ? 1 : -1;
    };
    auto count = [&](size_t from, size_t to, int form, int64_t shift, size_t& total) {
        size_t wrong = 0;
        total = 0;
        for (size_t k = from; k < to; ++k)
            for (int which = 0; which < 2; ++which) {
                const int64_t idx = int64_t(2 * k) + which + shift;
                if (idx < 0 || idx >= int64_t(aSent.size()) || aSent[size_t(idx)] == 0) continue;
                wrong += value(k, which, form) != aSent[size_t(idx)];
                ++total;
            }
        return wrong;
    };
    size_t wrongAll = 0, totalAll = 0;
    const size_t end = std::min(aOut.size(), aFirst + aCount);
    for (size_t from = aFirst; from < end; from += 4000) {
        const size_t to = std::min(end, from + 4000);
        // Candidates from the first 200 symbols (the sent data repeats here and there, so
        // several may fit), then the best of them over the whole stretch.
        size_t bestWrong = SIZE_MAX, bestTotal = 0;
        for (int form = 0; form < 8; ++form)
            for (int64_t shift = -aSearch; shift <= aSearch; ++shift) {
                size_t total = 0;
                if (count(from, std::min(to, from + 200), form, shift, total) > 40 || total < 300) continue;
                const size_t wrong = count(from, to, form, shift, total);
                if (wrong < bestWrong) {
                    bestWrong = wrong;
                    bestTotal = total;
                }
            }
        if (bestWrong == SIZE_MAX) {
            bestWrong = bestTotal = 2 * (to - from); // nothing fits: all wrong
        }
        wrongAll += bestWrong;
        totalAll += bestTotal;
    }
    return totalAll ? double(wrongAll) / double(totalAll) : 1.0;
}

lrptsynth::SynthOptions Pass(double aSeconds, double aEsN0, double aOffsetHz, uint64_t aSeed) {
    lrptsynth::SynthOptions o;
    o.durationSeconds = aSeconds;
    o.esn0Db = aEsN0;
    o.carrierOffsetHz = aOffsetHz;
    o.seed = aSeed;
    o.leadInSeconds = 0.1;
    return o;
}

// Symbol error bounds: a value is wrong with probability Q(sqrt(Es/N0)) at the ideal; the bounds
// allow about half a decibel of loss: 1.3e-3 at 10 dB (ideal 7.8e-4), 3.8e-3 at 9 dB (2.4e-3),
// 9e-3 at 8 dB (6.0e-3).
constexpr double kAt10dB = 1.3e-3, kAt9dB = 3.8e-3, kAt8dB = 9e-3;

// Acquisition needs no sweep: 8 kHz either side of the carrier, locked within a few tenths of a
// second of the signal's start, and from then on the symbols as sent (Es/N0 10 dB).
TEST(PreciseReceiverTest, AcquiresEightKilohertzEitherSideAtOnce) {
    for (double offset : {8000.0, -8000.0}) {
        SCOPED_TRACE(offset);
        const TSignal s = Make(Pass(3, 10, offset, 3));
        TPreciseReceiver rx(TPreciseParams{});
        const std::vector<TSoftPair> out = Receive(s, TPreciseParams{}, &rx);
        const precise::TPreciseReadouts r = rx.Readouts();
        ASSERT_GE(r.LockTimeS, 0);
        EXPECT_LT(r.LockTimeS, 0.5);
        EXPECT_NEAR(r.MeanOffsetHz, offset, 5);
        EXPECT_NEAR(r.SnrDb, 10, 1);
        EXPECT_LT(ErrorRate(out, s.Values, 72000, 40000), kAt10dB);
        EXPECT_LT(ErrorRate(out, s.Values, out.size() - 20000, 19000), kAt10dB);
    }
    // Noise alone never raises the lock (three seconds of the generator's lead-in).
    lrptsynth::SynthOptions o = Pass(0.1, 10, 0, 4);
    o.leadInSeconds = 3.1;
    TSignal noise = Make(o);
    noise.Samples.resize(size_t(3 * kRate));
    TPreciseReceiver rx(TPreciseParams{});
    Receive(noise, TPreciseParams{}, &rx);
    EXPECT_LT(rx.Readouts().LockTimeS, 0);
    EXPECT_EQ(rx.Readouts().LockedSymbols, 0);
}

// A pass's Doppler: the carrier runs from +3 kHz down at 100 Hz/s; the loop holds it at Es/N0
// 8 dB without loss, and the readouts see the drift.
TEST(PreciseReceiverTest, HoldsAHundredHertzPerSecondOfDrift) {
    const TSignal s = Make(Pass(6, 8, 3000, 5), -100);
    TPreciseReceiver rx(TPreciseParams{});
    const std::vector<TSoftPair> out = Receive(s, TPreciseParams{}, &rx);
    const precise::TPreciseReadouts r = rx.Readouts();
    EXPECT_GT(double(r.LockedSymbols) / double(r.Symbols), 0.9);
    EXPECT_NEAR(r.CarrierOffsetHz, 3000 - 100 * r.InputSeconds, 10);
    EXPECT_NEAR(r.MaxDriftHzPerS, 100, 15);
    for (size_t first = 72000; first + 20000 < out.size(); first += 60000)
        EXPECT_LT(ErrorRate(out, s.Values, first, 20000), kAt8dB) << "from symbol " << first;
}

// Offset QPSK: Q sent half a symbol after I, and (a quarter turn) I after Q. Either way the
// receiver lines the branches up and gives the sent values, pairs straddling in the second case.
// Without the option the same recording does not come through.
TEST(PreciseReceiverTest, OffsetQpskWithEitherBranchFirst) {
    for (int rotation : {0, 90, 270}) {
        SCOPED_TRACE(rotation);
        lrptsynth::SynthOptions o = Pass(2.5, 9, 2500, 6 + uint64_t(rotation));
        o.oqpsk = true;
        o.rotationDeg = rotation;
        const TSignal s = Make(o);
        TPreciseParams p;
        p.Oqpsk = true;
        const std::vector<TSoftPair> out = Receive(s, p);
        EXPECT_LT(ErrorRate(out, s.Values, 72000, 40000), kAt9dB);
        if (rotation == 0) {
            EXPECT_GT(ErrorRate(Receive(s, TPreciseParams{}), s.Values, 72000, 20000), 0.02);
        }
    }
}

// A fade: one second without signal in the middle of a drifting pass. Lock is lost in the fade and
// the symbols are right again within a quarter of a second after it.
TEST(PreciseReceiverTest, ReacquiresQuicklyAfterAFade) {
    lrptsynth::SynthOptions o = Pass(5, 9, -2000, 8);
    o.noiseGaps.push_back({2.0, 1.0});
    const TSignal s = Make(o, 60);
    TPreciseReceiver rx(TPreciseParams{});
    const std::vector<TSoftPair> out = Receive(s, TPreciseParams{}, &rx);
    // The fade ends 3.1 s into the recording (lead-in 0.1 s).
    const size_t back = size_t(3.1 * 72000);
    EXPECT_LT(ErrorRate(out, s.Values, back + 18000, 20000, 800), kAt9dB);
    EXPECT_LT(ErrorRate(out, s.Values, out.size() - 40000, 30000, 800), kAt9dB);
    EXPECT_GT(ErrorRate(out, s.Values, size_t(2.5 * 72000), 8000, 800), 0.3); // the fade itself
    EXPECT_TRUE(rx.Readouts().Locked);
}

// An unmodulated carrier of twice the signal's power anywhere in the band (at the carrier, 10 and
// 25 kHz either side, drifting on its own), or two of them: the carrier search still finds the
// signal at once, and the symbols come out as without the spur (Es/N0 9 dB).
TEST(PreciseReceiverTest, SpursOfTwiceTheSignalsPowerCostNothing) {
    const std::vector<std::vector<lrptsynth::Spur>> cases = {{{0, 3, 0}},
                                                             {{10000, 3, 0}},
                                                             {{-10000, 3, 0}},
                                                             {{25000, 3, 0}},
                                                             {{-25000, 3, 0}},
                                                             {{6000, 3, 20}},
                                                             {{4000, 3, 0}, {-17000, 3, 0}}};
    for (size_t c = 0; c < cases.size(); ++c) {
        SCOPED_TRACE(c);
        lrptsynth::SynthOptions o = Pass(2, 9, -1800, 20 + c);
        o.spurs = cases[c];
        const TSignal s = Make(o);
        TPreciseReceiver rx(TPreciseParams{});
        const std::vector<TSoftPair> out = Receive(s, TPreciseParams{}, &rx);
        const precise::TPreciseReadouts r = rx.Readouts();
        ASSERT_GE(r.LockTimeS, 0);
        EXPECT_LT(r.LockTimeS, 0.6);
        EXPECT_NEAR(r.MeanOffsetHz, -1800, 5);
        EXPECT_EQ(rx.SpurLinesHz().size(), cases[c].size());
        EXPECT_LT(ErrorRate(out, s.Values, 54000, 80000), kAt9dB);
    }
}

// Wideband input: 2.048 MS/s comes down to two samples per symbol and decodes like 144 kS/s; so
// does the 80,000 symbols/s mode.
TEST(PreciseReceiverTest, WidebandAndEightyKilosymbolInput) {
    lrptsynth::SynthOptions o = Pass(1.0, 10, -4000, 9);
    o.form = lrptsynth::OutputForm::Wav;
    o.sampleRate = 2048000;
    const lrptsynth::Recording wide = lrptsynth::synthesize(o);
    std::vector<std::complex<float>> x((wide.bytes.size() - 44) / 4);
    for (size_t n = 0; n < x.size(); ++n) {
        const uint8_t* f = wide.bytes.data() + 44 + 4 * n;
        x[n] = {float(int16_t(uint16_t(f[2] | f[3] << 8))) / 32768,
                float(int16_t(uint16_t(f[0] | f[1] << 8))) / 32768};
    }
    std::vector<int8_t> sent(size_t(wide.leadInValues), 0);
    for (uint8_t b : wide.chainBits)
        sent.push_back(b ? 1 : -1);
    TPreciseParams p;
    p.SampleRate = 2048000;
    TSignal s{x, sent};
    const std::vector<TSoftPair> out = Receive(s, p);
    EXPECT_LT(ErrorRate(out, sent, 40000, 25000), kAt10dB);

    lrptsynth::SynthOptions e = Pass(1.5, 10, 1500, 10);
    e.mode = lrptsynth::Mode::k80;
    e.symbolRate = 80000;
    e.sampleRate = kRate;
    const TSignal s80 = Make(e);
    TPreciseParams p80;
    p80.SymbolRate = 80000;
    const std::vector<TSoftPair> out80 = Receive(s80, p80);
    // 80 k mode puts the chain's first value on Q: the reading search covers it.
    EXPECT_LT(ErrorRate(out80, s80.Values, 50000, 30000), kAt10dB);
}

// The output does not depend on how the input is split into blocks, and Reset starts afresh:
// straight at two samples per symbol (144,000 S/s, where every input sample is an inner sample and
// the input ends inside one of the NCO's blocks), through the resampler alone (196,078 S/s) and
// through the decimator and the resampler (1.024 MS/s); the symbols also come out as sent, and
// Flush delivers the symbols of the held-back tail.
TEST(PreciseReceiverTest, SplitAndResetGiveTheSameSymbols) {
    for (double rate : {144000.0, 196078.0, 1024000.0}) {
        SCOPED_TRACE(rate);
        lrptsynth::SynthOptions o = Pass(0.6, 10, 1000, 11);
        o.form = lrptsynth::OutputForm::Wav;
        o.sampleRate = rate;
        const lrptsynth::Recording rec = lrptsynth::synthesize(o);
        std::vector<std::complex<float>> x((rec.bytes.size() - 44) / 4);
        for (size_t n = 0; n < x.size(); ++n) {
            const uint8_t* f = rec.bytes.data() + 44 + 4 * n;
            x[n] = {float(int16_t(uint16_t(f[2] | f[3] << 8))), float(int16_t(uint16_t(f[0] | f[1] << 8)))};
        }
        x.resize(x.size() - x.size() % 256 - 179); // a tail of 77 samples
        TPreciseParams p;
        p.SampleRate = rate;
        TPreciseReceiver rx(p);
        std::vector<TSoftPair> whole, split;
        rx.Process(x.data(), x.size(), whole);
        const size_t beforeFlush = whole.size();
        rx.Flush(whole);
        if (rate == kRate) {
            EXPECT_GE(whole.size(), beforeFlush + 37) << whole.size() - beforeFlush; // 77 samples: 38 or so
        }
        rx.Reset();
        for (size_t at = 0, step = 1; at < x.size(); at += step, step = step * 7 % 5003 + 1)
            rx.Process(x.data() + at, std::min(step, x.size() - at), split);
        rx.Flush(split);
        ASSERT_EQ(whole.size(), split.size());
        ASSERT_GT(whole.size(), 30000u);
        for (size_t k = 0; k < whole.size(); ++k)
            ASSERT_TRUE(whole[k].I == split[k].I && whole[k].Q == split[k].Q) << k;
        std::vector<int8_t> sent(size_t(rec.leadInValues), 0);
        for (uint8_t b : rec.chainBits)
            sent.push_back(b ? 1 : -1);
        EXPECT_LT(ErrorRate(whole, sent, 30000, 10000), kAt10dB);
    }
}

// Rates that are not a whole multiple of the symbol rate (the timing interpolates), offset QPSK,
// and the recorder's clock 100 ppm off either way, so that the symbols come at 72,000 +- 7.2 per
// second of the recording's time: from the first second on, the symbols as sent, at each rate.
TEST(PreciseReceiverTest, OffsetQpskAtFractionalRatesWithTheClockOff) {
    struct TCase {
        double Rate, Ppm;
    };
    for (const TCase c :
         {TCase{150000, 100}, TCase{250000, -100}, TCase{1024000, 100}, TCase{196078, -100}}) {
        SCOPED_TRACE(testing::Message() << c.Rate << " S/s, clock " << c.Ppm << " ppm");
        lrptsynth::SynthOptions o = Pass(3, 9, -3000, 12);
        o.oqpsk = true;
        o.symbolRate = 72000 * (1 + c.Ppm * 1e-6);
        const TSignal s = Make(o, 0, c.Rate);
        TPreciseParams p;
        p.SampleRate = c.Rate;
        p.Oqpsk = true;
        TPreciseReceiver rx(p);
        const std::vector<TSoftPair> out = Receive(s, p, &rx);
        // One symbol per symbol sent (the receiver holds back a few).
        EXPECT_NEAR(double(out.size()), double(s.Samples.size()) / c.Rate * o.symbolRate, 20);
        EXPECT_NEAR(rx.Readouts().MeanOffsetHz, -3000, 5);
        for (size_t first = 72000; first + 30000 < out.size(); first += 60000)
            EXPECT_LT(ErrorRate(out, s.Values, first, 30000), kAt9dB) << "from symbol " << first;
    }
}

TEST(PreciseReceiverTest, ParametersOutsideTheirRangesAreRefused) {
    TPreciseParams p;
    p.SampleRate = 1000;
    EXPECT_THROW(TPreciseReceiver{p}, precise::TPreciseParamError);
    p = {};
    p.SymbolRate = 144000 * 5;
    EXPECT_THROW(TPreciseReceiver{p}, precise::TPreciseParamError);
    p = {};
    p.CarrierBw = 0;
    EXPECT_THROW(TPreciseReceiver{p}, precise::TPreciseParamError);
    p = {};
    p.SampleRate = 10e6;
    EXPECT_NO_THROW(TPreciseReceiver{p});
    // Below two samples per symbol the input is brought up to them: one symbol per symbol time.
    p.SampleRate = 48000;
    TPreciseReceiver slow(p);
    std::vector<std::complex<float>> x(48000);
    for (size_t n = 0; n < x.size(); ++n)
        x[n] = std::polar(1.0f, float(n % 7));
    std::vector<TSoftPair> out;
    slow.Process(x.data(), x.size(), out);
    EXPECT_NEAR(double(out.size()), 72000, 300);
}

} // namespace
