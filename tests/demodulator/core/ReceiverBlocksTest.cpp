// The blocks of the receiver one by one, against worked numbers of the fixed-point design.
#include "core/DisplaySampler.h"
#include "core/ReceiverBlocks.h"
#include "core/ReceiverTables.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

const TReceiverTables& Tables() {
    static const TReceiverTables t;
    return t;
}

TEST(ReceiverTablesTest, NcoEntriesCarryPiAs314159AndSinglePrecision) {
    const auto& n = Tables().Nco;
    const std::pair<int, TNcoEntry> expected[] = {{0, {0, 2047}},     {256, {1448, 1448}}, {512, {2047, 0}},
                                                  {1024, {0, -2048}}, {1536, {-2048, 0}},  {2047, {-6, 2047}}};
    for (const auto& [k, e] : expected) {
        EXPECT_EQ(n[k].S, e.S) << "k=" << k;
        EXPECT_EQ(n[k].C, e.C) << "k=" << k;
    }
    for (int k = 0; k < TReceiverTables::NcoSize; ++k) {
        ASSERT_LE(n[k].S, 2047);
        ASSERT_LE(n[k].C, 2047);
        ASSERT_GE(n[k].S, -2048);
        ASSERT_GE(n[k].C, -2048);
    }
}

TEST(ReceiverTablesTest, PolarEntries) {
    struct Case {
        int i, q, mag, phase;
    };
    const Case cases[] = {{0, 0, 0, 0},       {127, 127, 251, 32}, {-128, -128, 254, -96},
                          {0, 127, 178, 64},  {-100, 0, 140, 127}, {0, -128, 180, -64},
                          {100, 0, 140, 0},   {-1, 0, 1, 127},     {0, 1, 1, 64}};
    for (const Case& c : cases) {
        const int idx = TReceiverTables::PolarIndex(c.i, c.q);
        EXPECT_EQ(Tables().Magnitude[idx], c.mag) << c.i << "," << c.q;
        EXPECT_EQ(Tables().Phase[idx], c.phase) << c.i << "," << c.q;
    }
    EXPECT_EQ(TReceiverTables::PolarIndex(-128, 127), 0x7F80);
}

TEST(FrequencyWordTest, DefaultRateWords) {
    EXPECT_EQ(CarrierLimitWord(10000, 784312), 54760953);
    EXPECT_EQ(CarrierLimitWord(-10000, 784312), -54760953);
    EXPECT_EQ(SymbolLimitWord(100, 784312), 1095219);
    EXPECT_EQ(SymbolLimitWord(-100, 784312), -1095219);
    EXPECT_EQ(SymbolWord(72000, 784312), 788557730);
    // Above 2^31 the word is its low 32 bits.
    EXPECT_EQ(SymbolWord(200000, 784312), -2104529157);
    EXPECT_EQ(CarrierWord(0, 784312), 0);
}

TEST(FrequencyWordTest, ExtendedPrecisionDecidesWholeNumberCases) {
    // 2^32 / 4096000 x 250 is exactly 262144, but 2^32 / 4096000 rounded to 64 bits is a little
    // low, so the extended-precision word is one less. Double precision would give 262144.
    EXPECT_EQ(CarrierWord(250, 4096000), 262143);
    EXPECT_EQ(CarrierWord(-250, 4096000), -262143);
    EXPECT_EQ(SymbolWord(250, 4096000), 524287);
    EXPECT_EQ(SymbolWord(1000, 4096000), 2097151);
    // The limit words divide last and stay exact.
    EXPECT_EQ(CarrierLimitWord(250, 4096000), 262144);
}

TEST(FrequencyWordTest, WordsWithoutAnIntegerResultAreZero) {
    EXPECT_EQ(CarrierWord(1000, 0), 0);
    EXPECT_EQ(SymbolLimitWord(0, 0), 0);  // 0 / 0
    EXPECT_EQ(TruncWord(std::numeric_limits<long double>::quiet_NaN()), 0);
    EXPECT_EQ(TruncWord(1e30L), 0);
    EXPECT_EQ(TruncWord(-2.9L), -2);
    EXPECT_EQ(TruncWord(4294967297.5L), 1);  // low 32 bits of 2^32 + 1
}

TEST(LoopGainTest, MantissaWithImpliedOneAndWrapAt32Bits) {
    EXPECT_EQ(LoopGain(7, 18, -3), -69LL << 18);
    EXPECT_EQ(LoopGain(0, 0, 5), 80);
    // 31 << 31 keeps only bit 31: a negative 32-bit value, sign-extended.
    EXPECT_EQ(LoopGain(15, 31, 1), -2147483648LL);
    EXPECT_EQ(LoopGain(15, 31, 2), 0);
    // 31 << 28 = 0x1F0000000 wraps to 0xF0000000: a positive error gives a negative gain.
    EXPECT_EQ(LoopGain(15, 28, 1), -268435456LL);
}

TEST(InterpolatorAndGcaTest, ClampsAndShifts) {
    EXPECT_EQ(ClampInput(600), 511);
    EXPECT_EQ(ClampInput(-600), -512);
    EXPECT_EQ(InterpolatorOutput(-1), -1);  // arithmetic shift rounds toward minus infinity
    EXPECT_EQ(InterpolatorOutput(131072), 2047);
    EXPECT_EQ(InterpolatorOutput(-131137), -2048);

    EXPECT_EQ(GcaMantissa(63), 31);
    EXPECT_EQ(GcaExponent(63), 0);
    EXPECT_EQ(GcaMantissa(64), 16);
    EXPECT_EQ(GcaExponent(64), 1);
    EXPECT_EQ(GcaMantissa(255), 31);
    EXPECT_EQ(GcaExponent(255), 3);
    // Gain 0 clears the low four bits; 255 is x248 after the shift.
    EXPECT_EQ(GcaScale(-17, GcaMantissa(0), GcaExponent(0)), -32);
    EXPECT_EQ(GcaScale(1000, GcaMantissa(255), GcaExponent(255)), 62 * 248);
}

TEST(AgcTest, LimitsAndZeroSwitch) {
    TReceiverState s;
    // Magnitude equal to the threshold: no change.
    s.AgcAcc = 5000;
    s.Magnitude = 96;
    AgcUpdate(s, 96, 5, 255, 0, false);
    EXPECT_EQ(s.AgcError, 0);
    EXPECT_EQ(s.AgcAcc, 5000);
    EXPECT_EQ(s.AgcGain, 1);

    // Too weak: +32 per symbol with ProgGain 5; capped at the upper limit.
    s.Magnitude = 10;
    AgcUpdate(s, 96, 5, 255, 0, false);
    EXPECT_EQ(s.AgcError, 1);
    EXPECT_EQ(s.AgcAcc, 5032);
    s.AgcAcc = 255 * 4096;
    AgcUpdate(s, 96, 7, 255, 0, false);
    EXPECT_EQ(s.AgcAcc, 255 * 4096);
    EXPECT_EQ(s.AgcGain, 255);

    // Too strong at the lower limit: stays there.
    s.Magnitude = 200;
    s.AgcAcc = 3 * 4096;
    AgcUpdate(s, 96, 5, 255, 3, false);
    EXPECT_EQ(s.AgcError, -1);
    EXPECT_EQ(s.AgcAcc, 3 * 4096);
    EXPECT_EQ(s.AgcGain, 3);

    // A negative lower limit is allowed and the gain word follows it below zero.
    s.AgcAcc = 0;
    AgcUpdate(s, 96, 0, 255, -300, false);
    EXPECT_EQ(s.AgcAcc, -1);
    EXPECT_EQ(s.AgcGain, -1);

    // The zero switch wins over the limits.
    s.AgcAcc = 100 * 4096;
    s.Magnitude = 10;
    AgcUpdate(s, 96, 5, 255, 50, true);
    EXPECT_EQ(s.AgcAcc, 0);
    EXPECT_EQ(s.AgcGain, 0);
}

TEST(CarrierLoopTest, ErrorDetectorForEachModulation) {
    auto err = [](int phase, int type) {
        const TPhaseRule r = PhaseRule(type);
        return CarrierError(phase, r.Offset, r.Shift);
    };
    EXPECT_EQ(err(32, mt_QPSK), 0);
    EXPECT_EQ(err(40, mt_QPSK), 32);
    EXPECT_EQ(err(0, mt_QPSK), -128);
    EXPECT_EQ(err(-96, mt_QPSK), 0);  // 225 degrees
    EXPECT_EQ(err(-128, mt_BPSK), 0);
    EXPECT_EQ(err(64, mt_BPSK), -128);
    EXPECT_EQ(err(10, mt_BPSK), 20);
    for (int ph = -128; ph < 128; ++ph) ASSERT_EQ(err(ph, mt_CW), ph);
}

TEST(CarrierLoopTest, AccumulatorHeldAtLimitWordsAndSweepTurns) {
    const int64_t upper = AccLimit(CarrierLimitWord(10000, 784312));
    const int64_t lower = AccLimit(CarrierLimitWord(-10000, 784312));
    EXPECT_EQ(upper, 54760953LL * 256);
    TReceiverState s;
    s.ClfAcc = upper - 10;
    CarrierLoopStep(s, 0, 100, 0, upper, lower, false, false);
    EXPECT_EQ(s.ClfAcc, upper);
    EXPECT_EQ(s.SweepDir, -1);
    // The output used the accumulator before the update (and 1/256 of its previous value).
    EXPECT_EQ(s.ClfOut, int32_t((upper - 10) >> 8));
    EXPECT_EQ(s.CarOffset, s.ClfOut);
    s.ClfAcc = lower + 5;
    CarrierLoopStep(s, 0, -6, 0, upper, lower, false, false);
    EXPECT_EQ(s.ClfAcc, lower);
    EXPECT_EQ(s.SweepDir, 1);

    // Limits of zero pin the accumulator; an active sweep reverses on every step.
    TReceiverState z;
    const int32_t sweepUp = SweepStep(true, true, 7, 11, 1);
    EXPECT_EQ(sweepUp, 47104);
    EXPECT_EQ(SweepStep(true, true, 7, 11, -1), -47104);
    EXPECT_EQ(SweepStep(true, false, 7, 11, 1), 0);
    EXPECT_EQ(SweepStep(false, true, 7, 11, 1), 0);
    int expectedDir = 1;
    for (int i = 0; i < 6; ++i) {
        ASSERT_EQ(z.SweepDir, expectedDir);
        CarrierLoopStep(z, 0, 0, SweepStep(true, true, 7, 11, z.SweepDir), 0, 0, false, false);
        ASSERT_EQ(z.ClfAcc, 0);
        expectedDir = -expectedDir;
    }

    // Open loop: the offset keeps its value while the filter goes on.
    TReceiverState o;
    o.CarOffset = 1234;
    CarrierLoopStep(o, 256 * 1000, 0, 0, upper, lower, false, true);
    EXPECT_EQ(o.ClfOut, 1000);
    EXPECT_EQ(o.CarOffset, 1234);
}

TEST(SymbolTimingTest, SamplingErrorDetector) {
    TReceiverState s;
    // Rising through zero: zero counts as non-negative.
    s.IonPrev = -5;
    s.Ion = 0;
    s.Imid = -3;
    SamplingErrorUpdate(s, mt_QPSK);
    EXPECT_EQ(s.SymErr, -1);  // -3 / 2 truncates toward zero
    EXPECT_EQ(s.IonPrev, 0);
    s.IonPrev = -5;
    SamplingErrorUpdate(s, mt_BPSK);
    EXPECT_EQ(s.SymErr, -3);
    // Falling.
    s.IonPrev = 0;
    s.Ion = -1;
    s.Imid = 7;
    SamplingErrorUpdate(s, mt_CW);
    EXPECT_EQ(s.SymErr, -7);
    // No change of sign: no error, whatever Q does.
    s.Ion = -50;
    s.Qon = 90;
    s.QonPrev = -90;
    SamplingErrorUpdate(s, mt_QPSK);
    EXPECT_EQ(s.SymErr, 0);
    EXPECT_EQ(s.QonPrev, 90);
}

TEST(SymbolTimingTest, LoopFilterLimitsAndResampler) {
    const int64_t upper = AccLimit(SymbolLimitWord(100, 784312));
    const int64_t lower = AccLimit(SymbolLimitWord(-100, 784312));
    TReceiverState s;
    s.SlfAcc = lower + 1;
    SymbolLoopStep(s, -512, -1000, upper, lower, false, false);
    EXPECT_EQ(s.SlfAcc, -1095219LL * 256);
    EXPECT_EQ(s.SlfOut, int32_t((lower + 1 - 512) >> 8));
    EXPECT_EQ(s.SymOffset, s.SlfOut);
    SymbolLoopStep(s, 0, 0, upper, lower, false, true);  // open: offset frozen
    EXPECT_NE(s.SymOffset, s.SlfOut);
    SymbolLoopStep(s, 0, 12345, upper, lower, true, false);  // zero switch
    EXPECT_EQ(s.SlfAcc, 0);

    // Word plus offset 0 modulo 2^32: every step is a strobe.
    TReceiverState r;
    r.SymOffset = -1000;
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(ResamplerStep(r, 1000));
    // The default word strobes 11 times in 60 steps (5.45 steps per strobe).
    TReceiverState d;
    int strobes = 0;
    for (int i = 0; i < 60; ++i) strobes += ResamplerStep(d, 788557730);
    EXPECT_EQ(strobes, 11);
}

TEST(SlicerTest, ThresholdTable) {
    struct Row {
        int slice, t1, t2, t3, q1, q2, q3;
    };
    const Row rows[] = {{25, 96, 64, 32, 67, 45, 22},
                        {33, 126, 84, 42, 89, 59, 29},
                        {50, 192, 128, 64, 135, 90, 45},
                        {100, 384, 256, 128, 271, 181, 90}};
    for (const Row& r : rows) {
        for (int type : {mt_CW, mt_BPSK}) {
            const TSlicerThresholds t = SlicerThresholds(r.slice, type);
            EXPECT_EQ(t.T1, r.t1);
            EXPECT_EQ(t.T2, r.t2);
            EXPECT_EQ(t.T3, r.t3);
        }
        const TSlicerThresholds q = SlicerThresholds(r.slice, mt_QPSK);
        EXPECT_EQ(q.T1, r.q1) << r.slice;
        EXPECT_EQ(q.T2, r.q2) << r.slice;
        EXPECT_EQ(q.T3, r.q3) << r.slice;
    }
    const TSlicerThresholds first;
    EXPECT_EQ(first.T1, 55);
    EXPECT_EQ(first.T2, 35);
    EXPECT_EQ(first.T3, 25);
}

TEST(SlicerTest, CodesAndBytes) {
    const TSlicerThresholds t = SlicerThresholds(25, mt_CW);  // 96, 64, 32
    auto byte = [&](int i, int q) { return SlicerCode(q, t) << 4 | SlicerCode(i, t); };
    EXPECT_EQ(byte(100, -1), 0x73);
    EXPECT_EQ(byte(-128, 0), 0x04);  // -128 is taken as magnitude 127
    EXPECT_EQ(SlicerCode(64, t), 1);  // equal to a threshold counts as below it
    EXPECT_EQ(SlicerCode(65, t), 2);
    EXPECT_EQ(SlicerCode(-33, t), 6);
    EXPECT_EQ(SlicerCode(-32, t), 7);
    const TSlicerThresholds zero = SlicerThresholds(0, mt_QPSK);
    EXPECT_EQ(SlicerCode(0, zero), 0);
    EXPECT_EQ(SlicerCode(1, zero), 3);
    EXPECT_EQ(SlicerCode(-1, zero), 4);
}

// Runs n symbols with a constant carrier error through the lock detector.
void Feed(TReceiverState& s, int err, int n, int preloadA = 12000, int preloadT = 6000) {
    s.CarErr = err;
    for (int i = 0; i < n; ++i) LockDetectorUpdate(s, preloadA, preloadT);
}

TEST(LockDetectorTest, FirstBadWindowStartsSweepAndGoodWindowsLock) {
    TReceiverState s;
    Feed(s, -128, 512);  // 512 x 128 = 65536 > 65535: bad on the 512th symbol
    EXPECT_TRUE(s.SweepActive);
    EXPECT_EQ(s.LockState, 0);
    EXPECT_EQ(s.LdAcc, 12000);
    EXPECT_EQ(s.LdIntCnt, 0);

    for (int w = 1; w <= 8; ++w) {
        Feed(s, 10, 1024);
        EXPECT_EQ(s.LockState, w);
        EXPECT_FALSE(s.SweepActive);
        EXPECT_EQ(s.Locked, w == 8);
        EXPECT_EQ(s.LdAcc, 6000);
    }
    Feed(s, 10, 1024);  // stays at 8
    EXPECT_EQ(s.LockState, 8);
    // One bad window: down to 7, still locked; only 0 loses the lock.
    Feed(s, 100, 595);  // 6000 + 59500: not yet
    EXPECT_EQ(s.LockState, 8);
    Feed(s, 100, 1);
    EXPECT_EQ(s.LockState, 7);
    EXPECT_TRUE(s.Locked);
    EXPECT_EQ(s.LdAcc, 12000);
    for (int w = 6; w >= 0; --w) {
        Feed(s, 127, 422);  // 12000 + 53594 > 65535
        ASSERT_EQ(s.LockState, w);
        ASSERT_EQ(s.LdIntCnt, 0);
    }
    EXPECT_FALSE(s.Locked);
    EXPECT_TRUE(s.SweepActive);
}

TEST(LockDetectorTest, GoodTestComesFirstAndPreloadsCount) {
    // Sum exceeding 65535 exactly on the 1024th symbol: still a good window.
    TReceiverState s;
    Feed(s, 0, 1023);
    s.LdAcc = 65500;
    Feed(s, 100, 1);
    EXPECT_EQ(s.LockState, 1);
    EXPECT_EQ(s.LdAcc, 6000);
    EXPECT_FALSE(s.SweepActive);

    // Mean error 58 after a good window (preload 6000) passes, 59 fails.
    TReceiverState g = s;
    Feed(g, 58, 1024);
    EXPECT_EQ(g.LockState, 2);
    TReceiverState b = s;
    Feed(b, 59, 1024);
    EXPECT_EQ(b.LockState, 0);
    EXPECT_TRUE(b.SweepActive);

    // A tracking preload above 65535 turns every good window into a bad one at once.
    TReceiverState p;
    for (int w = 0; w < 20; ++w) Feed(p, 0, 1024, 12000, 70000);
    EXPECT_EQ(p.LockState, 0);
    EXPECT_FALSE(p.Locked);
    EXPECT_TRUE(p.SweepActive);
    EXPECT_EQ(p.LdAcc, 12000);
}

TEST(DisplaySamplerTest, RecordedPointsAndAdvance) {
    EXPECT_EQ(TDisplaySampler::Record(-128, -128, 0, 0, 0).X, 0);
    EXPECT_EQ(TDisplaySampler::Record(-128, -128, 0, 0, 0).Y, 0);
    EXPECT_EQ(TDisplaySampler::Record(127, 127, 0, 0, 0).X, 127);
    EXPECT_EQ(TDisplaySampler::Record(0, 0, 0, 0, 0).AgcRow, 64);
    EXPECT_EQ(TDisplaySampler::Record(0, 0, 128, 0, 0).AgcRow, 32);
    EXPECT_EQ(TDisplaySampler::Record(0, 0, 255, 0, 0).AgcRow, 1);
    // (ClfOut >> 17) x 32 / 128 truncates toward zero; the shift rounds down.
    EXPECT_EQ(TDisplaySampler::Record(0, 0, 0, -1, 0).CarRow, 192);
    EXPECT_EQ(TDisplaySampler::Record(0, 0, 0, -(5 << 17), 0).CarRow, 193);
    EXPECT_EQ(TDisplaySampler::Record(0, 0, 0, 0, 8 << 13).SymRow, 350);

    // 10 ns per division: 0.5 ns per pixel truncates to 0, one column per step.
    TDisplaySampler d;
    d.SetStepNs(1275);
    d.SetPixelNs(10 * 0.05);
    for (int i = 0; i < 3; ++i) d.Step(2, 4, 0, 0, 0);
    EXPECT_EQ(d.Column(), 3);
    EXPECT_EQ(d.Points()[3].X, 65);
    // 2 ms per division: 100000 ns per pixel, one column per 78.4 steps; wraps after 1039.
    TDisplaySampler w;
    w.SetStepNs(1275);
    w.SetPixelNs(2000000 * 0.05);
    for (int i = 0; i < 1040 * 100000 / 1275 + 1; ++i) w.Step(0, 0, 0, 0, 0);
    EXPECT_EQ(w.Column(), 0);
}

} // namespace
