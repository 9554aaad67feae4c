// The blocks of the receiver one by one, against worked numbers of the fixed-point design.
#include "core/ReceiverBlocks.h"
#include "core/DisplaySampler.h"
#include "core/ReceiverReadouts.h"
#include "core/ReceiverTables.h"

#include <gtest/gtest.h>

#include <array>

namespace {

using namespace haldrin;

TEST(ReceiverTablesTest, NcoAndPolarEntries) {
    const TReceiverTables t;
    // pi taken as 3.14159 and single-precision sines show in 2047 (-6) and the -2048 entries.
    const int nco[][3] = {{0, 0, 2047},     {256, 1448, 1448}, {512, 2047, 0},
                          {1024, 0, -2048}, {1536, -2048, 0},  {2047, -6, 2047}};
    for (const auto& e : nco) {
        EXPECT_EQ(t.Nco[e[0]].S, e[1]) << e[0];
        EXPECT_EQ(t.Nco[e[0]].C, e[2]) << e[0];
    }
    // (I, Q) -> magnitude, phase; the half turn is clamped to 127.
    const int polar[][4] = {{0, 0, 0, 0},      {127, 127, 251, 32}, {-128, -128, 254, -96},
                            {0, 127, 178, 64}, {-100, 0, 140, 127}, {0, -128, 180, -64}};
    for (const auto& p : polar) {
        EXPECT_EQ(t.Magnitude[TReceiverTables::PolarIndex(p[0], p[1])], p[2]) << p[0] << "," << p[1];
        EXPECT_EQ(t.Phase[TReceiverTables::PolarIndex(p[0], p[1])], p[3]) << p[0] << "," << p[1];
    }
}

TEST(FrequencyWordTest, DefaultRateAndExtendedPrecision) {
    EXPECT_EQ(CarrierLimitWord(10000, 784312), 54760953);
    EXPECT_EQ(CarrierLimitWord(-10000, 784312), -54760953);
    EXPECT_EQ(SymbolLimitWord(100, 784312), 1095219);
    EXPECT_EQ(SymbolWord(72000, 784312), 788557730);
    EXPECT_EQ(SymbolWord(200000, 784312), -2104529157); // low 32 bits of a word above 2^31
    // 2^32 / 4096000 x 250 is exactly 262144, but 2^32 / 4096000 rounded to 64 bits is a little
    // low, so the word is one less; double precision would give 262144.
    EXPECT_EQ(CarrierWord(250, 4096000), 262143);
    EXPECT_EQ(CarrierWord(-250, 4096000), -262143);
    EXPECT_EQ(SymbolWord(1000, 4096000), 2097151);
    // No integer result (Samp 0): 0, without undefined behaviour.
    EXPECT_EQ(CarrierWord(1000, 0), 0);
    EXPECT_EQ(SymbolLimitWord(0, 0), 0);
}

TEST(FixedPointTest, GainRuleClampsAndGca) {
    EXPECT_EQ(LoopGain(7, 18, -3), -69LL << 18);
    EXPECT_EQ(LoopGain(15, 31, 1), -2147483648LL); // wraps at 32 bits, then sign-extends
    EXPECT_EQ(LoopGain(15, 28, 1), -268435456LL);  // 0x1F0000000 -> 0xF0000000
    EXPECT_EQ(ClampInput(600), 511);
    EXPECT_EQ(ClampInput(-600), -512);
    EXPECT_EQ(InterpolatorOutput(-1), -1);
    EXPECT_EQ(InterpolatorOutput(131072), 2047);
    const int gca[][3] = {{63, 31, 0}, {64, 16, 1}, {255, 31, 3}};
    for (const auto& g : gca) {
        EXPECT_EQ(GcaMantissa(g[0]), g[1]);
        EXPECT_EQ(GcaExponent(g[0]), g[2]);
    }
    EXPECT_EQ(GcaScale(-17, 16, 0), -32); // gain 0 clears the low four bits
}

TEST(AgcTest, LimitsAndZeroSwitch) {
    TReceiverState s;
    s.AgcAcc = 5000;
    s.Magnitude = 96;
    AgcUpdate(s, 96, 5, 255, 0, false); // at the threshold: unchanged
    EXPECT_EQ(s.AgcAcc, 5000);
    s.Magnitude = 10;
    AgcUpdate(s, 96, 5, 255, 0, false);
    EXPECT_EQ(s.AgcAcc, 5032);
    s.AgcAcc = 255 * 4096;
    AgcUpdate(s, 96, 7, 255, 0, false); // held at the upper limit
    EXPECT_EQ(s.AgcGain, 255);
    s.Magnitude = 200;
    s.AgcAcc = 3 * 4096;
    AgcUpdate(s, 96, 5, 255, 3, false); // held at the lower limit
    EXPECT_EQ(s.AgcAcc, 3 * 4096);
    EXPECT_EQ(s.AgcError, -1);
    s.Magnitude = 10;
    AgcUpdate(s, 96, 5, 255, 50, true); // the zero switch wins over the limits
    EXPECT_EQ(s.AgcAcc, 0);
    EXPECT_EQ(s.AgcGain, 0);
}

TEST(CarrierLoopTest, ErrorDetectorLimitsAndSweep) {
    auto err = [](int phase, int type) {
        return CarrierError(phase, PhaseRule(type).Offset, PhaseRule(type).Shift);
    };
    EXPECT_EQ(err(32, mt_QPSK), 0);
    EXPECT_EQ(err(40, mt_QPSK), 32);
    EXPECT_EQ(err(0, mt_QPSK), -128);
    EXPECT_EQ(err(-128, mt_BPSK), 0);
    EXPECT_EQ(err(64, mt_BPSK), -128);
    EXPECT_EQ(err(-77, mt_CW), -77);

    const int64_t upper = AccLimit(54760953), lower = AccLimit(-54760953);
    TReceiverState s;
    s.ClfAcc = upper - 10;
    CarrierLoopStep(s, 0, 100, 0, upper, lower, false, false);
    EXPECT_EQ(s.ClfAcc, upper);
    EXPECT_EQ(s.SweepDir, -1);
    EXPECT_EQ(s.CarOffset, int32_t((upper - 10) >> 8));     // from the accumulator before the update
    CarrierLoopStep(s, 0, 0, 0, upper, lower, false, true); // open loop: offset frozen
    EXPECT_NE(s.CarOffset, s.ClfOut);

    // Limits of zero pin the accumulator and an active sweep turns on every step.
    EXPECT_EQ(SweepStep(true, true, 7, 11, -1), -47104);
    EXPECT_EQ(SweepStep(true, false, 7, 11, 1), 0);
    TReceiverState z;
    for (int i = 0, dir = 1; i < 4; ++i, dir = -dir) {
        ASSERT_EQ(z.SweepDir, dir);
        CarrierLoopStep(z, 0, 0, SweepStep(true, true, 7, 11, z.SweepDir), 0, 0, false, false);
        ASSERT_EQ(z.ClfAcc, 0);
    }
}

TEST(SymbolTimingTest, SamplingErrorAndStrobes) {
    TReceiverState s;
    s.IonPrev = -5; // to 0: rising, zero counts as non-negative
    s.Imid = -3;
    SamplingErrorUpdate(s, mt_QPSK);
    EXPECT_EQ(s.SymErr, -1); // -3 / 2 truncates toward zero
    s.IonPrev = -5;
    SamplingErrorUpdate(s, mt_BPSK);
    EXPECT_EQ(s.SymErr, -3);
    s.Ion = -1; // from 0: falling
    s.Imid = 7;
    SamplingErrorUpdate(s, mt_CW);
    EXPECT_EQ(s.SymErr, -7);
    s.Ion = -50; // no change of sign of I, whatever Q does
    s.Qon = 90;
    SamplingErrorUpdate(s, mt_QPSK);
    EXPECT_EQ(s.SymErr, 0);

    TReceiverState r;
    r.SymOffset = -1000; // word + offset = 0 modulo 2^32: every step strobes
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(ResamplerStep(r, 1000));
}

TEST(SlicerTest, ThresholdsAndBytes) {
    const int rows[][7] = {{25, 96, 64, 32, 67, 45, 22},
                           {33, 126, 84, 42, 89, 59, 29},
                           {50, 192, 128, 64, 135, 90, 45},
                           {100, 384, 256, 128, 271, 181, 90}};
    for (const auto& r : rows) {
        const TSlicerThresholds b = SlicerThresholds(r[0], mt_BPSK), q = SlicerThresholds(r[0], mt_QPSK);
        EXPECT_EQ((std::array{b.T1, b.T2, b.T3, q.T1, q.T2, q.T3}),
                  (std::array{r[1], r[2], r[3], r[4], r[5], r[6]}))
            << "level " << r[0];
    }
    const TSlicerThresholds t = SlicerThresholds(25, mt_CW);
    auto byte = [&](int i, int q) { return SlicerCode(q, t) << 4 | SlicerCode(i, t); };
    EXPECT_EQ(byte(100, -1), 0x73);
    EXPECT_EQ(byte(-128, 0), 0x04);  // -128 counts as magnitude 127
    EXPECT_EQ(SlicerCode(64, t), 1); // equal to a threshold is below it
    EXPECT_EQ(SlicerCode(1, SlicerThresholds(0, mt_QPSK)), 3);
}

void Feed(TReceiverState& s, int err, int n, int preloadT = 6000) {
    s.CarErr = err;
    for (int i = 0; i < n; ++i)
        LockDetectorUpdate(s, 12000, preloadT);
}

TEST(LockDetectorTest, WindowsPreloadsAndLock) {
    TReceiverState s;
    Feed(s, -128, 512); // 65536 > 65535: the first bad window starts the sweep
    EXPECT_TRUE(s.SweepActive);
    EXPECT_EQ(s.LdAcc, 12000);
    for (int w = 1; w <= 8; ++w) {
        Feed(s, 10, 1024);
        ASSERT_EQ(s.LockState, w);
        ASSERT_EQ(s.Locked, w == 8);
    }
    EXPECT_FALSE(s.SweepActive);
    Feed(s, 100, 596); // 6000 + 59600: bad, 8 -> 7 but still locked
    EXPECT_EQ(s.LockState, 7);
    EXPECT_TRUE(s.Locked);

    // A sum first exceeding 65535 on the 1024th symbol is still a good window.
    TReceiverState g;
    Feed(g, 0, 1023);
    g.LdAcc = 65500;
    Feed(g, 100, 1);
    EXPECT_EQ(g.LockState, 1);
    EXPECT_EQ(g.LdAcc, 6000);

    // A tracking preload above 65535 makes every good window bad at once: never locked.
    TReceiverState p;
    for (int w = 0; w < 10; ++w)
        Feed(p, 0, 1024, 70000);
    EXPECT_EQ(p.LockState, 0);
    EXPECT_TRUE(p.SweepActive);
}

TEST(DisplaySamplerTest, RowsAndAdvance) {
    EXPECT_EQ(TDisplaySampler::Record(127, -128, 255, 0, 0).X, 127);
    EXPECT_EQ(TDisplaySampler::Record(127, -128, 255, 0, 0).Y, 0);
    EXPECT_EQ(TDisplaySampler::Record(0, 0, 255, 0, 0).AgcRow, 1);
    EXPECT_EQ(TDisplaySampler::Record(0, 0, 0, -1, 0).CarRow, 192); // -1 x 32 / 128 truncates to 0
    TDisplaySampler d;
    d.SetStepNs(1275);
    d.SetPixelNs(10 * 0.05); // 0.5 ns: one column per step
    for (int i = 0; i < 3; ++i)
        d.Step(0, 0, 0, 0, 0);
    EXPECT_EQ(d.Column(), 3);
}

TEST(ReadoutTest, LimitsReadBelowTheirHzAndTheRateIsRounded) {
    TReceiverState s;
    s.ClfAcc = AccLimit(54760953); // the word of +10000 Hz, truncated
    s.SlfAcc = AccLimit(-1095219);
    s.CarOffset = -54760953;
    const TLoopReadouts r = LoopReadouts(s, CarrierWord(1000, 784312), 788557730, 784312);
    EXPECT_EQ(r.ClfAccHz, 9999);
    EXPECT_EQ(r.CarrierOffsetHz, -9999);
    EXPECT_EQ(r.CarrierFreqHz, 999 + 9999);
    EXPECT_EQ(r.SlfAccHz, -99);
    EXPECT_EQ(r.SymbolCentreHz, 72000 - 99); // 71999.99... rounds to 72000
}

} // namespace
