// The whole receiver: a literal step-by-step model written here (full delay lines, gains worked
// out on every step) against TCostasReceiver's optimised kernel, probes, acquisition of a clean
// QPSK signal, and the carry-over of state.
#include "core/CostasReceiver.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace {

class TVectorSink : public SymbolSink {
public:
    void Put(uint8_t aByte) override { Bytes.push_back(aByte); }
    std::vector<uint8_t> Bytes;
};

// The receiver as the step order describes it, one stage after the other, without any of the
// kernel's shortcuts. It uses the block functions checked in ReceiverBlocksTest and reads its
// parameters, words, thresholds and tables from the receiver it is compared with.
class TReferenceReceiver {
public:
    explicit TReferenceReceiver(const TCostasReceiver& r) : fRx(r) {}

    TReceiverState s;
    ProbeBuffer Probe;
    TProbe ProbeSel = pr_Iin;

    void Block(const ReceiverBlock& b, std::vector<uint8_t>& out) {
        s.ZeroStuff = 0;
        for (int step = 0; step < ReceiverBlock::StepCount; ++step) Step(b, step, out);
    }

private:
    void Capture(TProbe a, TProbe b, int32_t va, int32_t vb) {
        if (ProbeSel == a) Probe.Append(va);
        if (ProbeSel == b) Probe.Append(vb);
    }

    void Step(const ReceiverBlock& b, int step, std::vector<uint8_t>& out) {
        const TReceiverParams& p = fRx.Params();
        const TReceiverTables& t = fRx.Tables();
        int32_t i = 0, q = 0;
        if (s.ZeroStuff == 0) {
            i = b.Frames[step / 4].I;
            q = b.Frames[step / 4].Q;
            s.ZeroStuff = 1;
        } else if (++s.ZeroStuff > 3) {
            s.ZeroStuff = 0;
        }
        s.Iin = ClampInput(i);
        s.Qin = ClampInput(q);
        Capture(pr_Iin, pr_Qin, s.Iin / 4, s.Qin / 4);
        for (int n = 14; n > 0; --n) {
            fDelI[n] = fDelI[n - 1];
            fDelQ[n] = fDelQ[n - 1];
        }
        fDelI[0] = s.Iin;
        fDelQ[0] = s.Qin;
        int32_t ai = 0, aq = 0;
        for (int n = 0; n < 15; ++n) {
            ai += fDelI[n] * InterpolatorTaps[n];
            aq += fDelQ[n] * InterpolatorTaps[n];
        }
        s.Iup = InterpolatorOutput(ai);
        s.Qup = InterpolatorOutput(aq);
        Capture(pr_Iup, pr_Qup, s.Iup / 16, s.Qup / 16);

        s.NcoPhase += uint32_t(fRx.NcoWord()) + uint32_t(s.CarOffset);
        const TNcoEntry e = t.Nco[s.NcoPhase >> 21];
        s.Imix = (s.Iup * e.S - s.Qup * e.C) >> 7;
        s.Qmix = (s.Iup * e.C + s.Qup * e.S) >> 7;
        Capture(pr_Imix, pr_Qmix, s.Imix / 256, s.Qmix / 256);

        s.SweepValue = SweepStep(s.SweepActive, p.Sweep, p.SwMan, p.SwExp, s.SweepDir);

        {
            const int64_t lead = s.Locked ? LoopGain(p.KpManTr, p.KpExpTr, s.CarErr) : LoopGain(p.KpMan, p.KpExp, s.CarErr);
            const int64_t lag = s.Locked ? LoopGain(p.KiManTr, p.KiExpTr, s.CarErr) : LoopGain(p.KiMan, p.KiExp, s.CarErr);
            s.ClfOut = int32_t((lead + s.ClfAcc + s.ClfOut) >> 8);
            s.ClfAcc = s.ClfAcc + lag + s.SweepValue;
            if (p.CarZero) s.ClfAcc = 0;
            if (s.ClfAcc > int64_t(fRx.CarUpperWord()) * 256) {
                s.ClfAcc = int64_t(fRx.CarUpperWord()) * 256;
                s.SweepDir = -1;
            }
            if (s.ClfAcc < int64_t(fRx.CarLowerWord()) * 256) {
                s.ClfAcc = int64_t(fRx.CarLowerWord()) * 256;
                s.SweepDir = 1;
            }
            if (!p.CarOpen) s.CarOffset = s.ClfOut;
        }
        {
            const int64_t lead = s.Locked ? LoopGain(p.SpManTr, p.SpExpTr, s.SymErr) : LoopGain(p.SpMan, p.SpExp, s.SymErr);
            const int64_t lag = s.Locked ? LoopGain(p.SiManTr, p.SiExpTr, s.SymErr) : LoopGain(p.SiMan, p.SiExp, s.SymErr);
            s.SlfOut = int32_t((lead + s.SlfAcc) >> 8);
            s.SlfAcc += lag;
            if (p.SymZero) s.SlfAcc = 0;
            if (s.SlfAcc > int64_t(fRx.SymUpperWord()) * 256) s.SlfAcc = int64_t(fRx.SymUpperWord()) * 256;
            if (s.SlfAcc < int64_t(fRx.SymLowerWord()) * 256) s.SlfAcc = int64_t(fRx.SymLowerWord()) * 256;
            if (!p.SymOpen) s.SymOffset = s.SlfOut;
        }

        const uint32_t old = s.SymPhase;
        s.SymPhase = old + uint32_t(fRx.SymRateWord()) + uint32_t(s.SymOffset);
        if (s.SymPhase <= old) Strobe(out);
    }

    void Strobe(std::vector<uint8_t>& out) {
        const TReceiverParams& p = fRx.Params();
        s.OnTime = !s.OnTime;
        const int32_t m = GcaMantissa(s.AgcGain), x = GcaExponent(s.AgcGain);
        s.GcaI = GcaScale(s.Imix, m, x);
        s.GcaQ = GcaScale(s.Qmix, m, x);
        for (int n = 14; n > 0; --n) {
            fLpfI[n] = fLpfI[n - 1];
            fLpfQ[n] = fLpfQ[n - 1];
        }
        fLpfI[0] = s.GcaI;
        fLpfQ[0] = s.GcaQ;
        int64_t ai = 0, aq = 0;
        for (int n = 0; n < 15; ++n) {
            ai += int64_t(fLpfI[n]) * LpfTaps[n];
            aq += int64_t(fLpfQ[n]) * LpfTaps[n];
        }
        s.Iout = LpfOutput(int32_t(uint32_t(ai)));
        s.Qout = LpfOutput(int32_t(uint32_t(aq)));
        Capture(pr_Iout, pr_Qout, s.Iout, s.Qout);
        if (!s.OnTime) {
            s.Imid = s.Iout;
            s.Qmid = s.Qout;
            return;
        }
        s.Ion = s.Iout;
        s.Qon = s.Qout;
        const int idx = ((s.Qon & 0xFF) << 8) | (s.Ion & 0xFF);
        s.Phase = fRx.Tables().Phase[idx];
        s.Magnitude = fRx.Tables().Magnitude[idx];
        AgcUpdate(s, p.AgcThresh, p.ProgGain, p.AgcUpper, p.AgcLower, p.AgcZero);
        s.CarErr = CarrierError(s.Phase, fRx.PhaseRuleInUse().Offset, fRx.PhaseRuleInUse().Shift);
        LockDetectorUpdate(s, p.LD_PL_a, p.LD_PL_t);
        SamplingErrorUpdate(s, p.ModType);
        s.Iend = SlicerCode(s.Ion, fRx.Thresholds());
        s.Qend = SlicerCode(s.Qon, fRx.Thresholds());
        out.push_back(uint8_t(s.Qend << 4 | s.Iend));
    }

    const TCostasReceiver& fRx;
    int32_t fDelI[15] = {}, fDelQ[15] = {};
    int32_t fLpfI[15] = {}, fLpfQ[15] = {};
};

void ExpectSameState(const TReceiverState& a, const TReceiverState& b, int block) {
#define SAME(f) EXPECT_EQ(a.f, b.f) << #f << " after block " << block
    SAME(ZeroStuff); SAME(Iin); SAME(Qin); SAME(Iup); SAME(Qup);
    SAME(NcoPhase); SAME(CarOffset); SAME(ClfAcc); SAME(ClfOut); SAME(SweepActive); SAME(SweepDir);
    SAME(SweepValue); SAME(Imix); SAME(Qmix); SAME(CarErr);
    SAME(SymPhase); SAME(SymOffset); SAME(SlfAcc); SAME(SlfOut); SAME(OnTime); SAME(SymErr);
    SAME(Imid); SAME(Qmid); SAME(Ion); SAME(Qon); SAME(IonPrev); SAME(QonPrev);
    SAME(AgcAcc); SAME(AgcGain); SAME(AgcError); SAME(GcaI); SAME(GcaQ);
    SAME(Magnitude); SAME(Phase); SAME(Iout); SAME(Qout);
    SAME(LdAcc); SAME(LdIntCnt); SAME(LockState); SAME(Locked); SAME(Iend); SAME(Qend);
#undef SAME
}

// Complex baseband QPSK at aRate frames per second: raised-cosine pulses (span 3 symbols), the
// carrier shifted by aOffset Hz, Gaussian noise. Symbols are +-1 pairs; aSymbols receives them.
std::vector<ReceiverBlock> MakeQpsk(int aBlocks, double aRate, double aSymRate, double aOffset, double aAmp,
                                    double aNoise, uint32_t aSeed, std::vector<std::pair<int, int>>& aSymbols) {
    std::mt19937 rng(aSeed);
    std::normal_distribution<double> noise(0.0, aNoise);
    const long n = long(aBlocks) * ReceiverBlock::FrameCount;
    const long count = long(n / aRate * aSymRate) + 8;
    aSymbols.resize(count);
    for (auto& sym : aSymbols) sym = {(rng() & 1) ? 1 : -1, (rng() & 1) ? 1 : -1};
    std::vector<ReceiverBlock> blocks(aBlocks);
    for (long i = 0; i < n; ++i) {
        const double t = i / aRate, u = t * aSymRate;
        double re = 0, im = 0;
        for (long k = long(u) - 2; k <= long(u) + 2; ++k) {
            if (k < 0 || k >= count) continue;
            const double x = u - double(k);
            const double pulse = std::fabs(x) < 1.5 ? 0.5 * (1 + std::cos(M_PI * x / 1.5)) : 0.0;
            re += aSymbols[k].first * pulse;
            im += aSymbols[k].second * pulse;
        }
        const double c = std::cos(2 * M_PI * aOffset * t), s = std::sin(2 * M_PI * aOffset * t);
        ReceiverFrame& f = blocks[i / ReceiverBlock::FrameCount].Frames[i % ReceiverBlock::FrameCount];
        f.I = int32_t(std::lround(aAmp * (re * c - im * s) + noise(rng)));
        f.Q = int32_t(std::lround(aAmp * (re * s + im * c) + noise(rng)));
    }
    return blocks;
}

TEST(CostasReceiverTest, DefaultsAndFirstThresholds) {
    TCostasReceiver rx;
    EXPECT_EQ(rx.Params().Samp, 784312);
    EXPECT_EQ(rx.SymRateWord(), 788557730);
    EXPECT_EQ(rx.NcoWord(), 0);
    EXPECT_EQ(rx.CarUpperWord(), 54760953);
    EXPECT_EQ(rx.CarLowerWord(), -54760953);
    EXPECT_EQ(rx.SymUpperWord(), 1095219);
    EXPECT_EQ(rx.SymLowerWord(), -1095219);
    EXPECT_EQ(rx.PhaseRuleInUse().Offset, 32);
    EXPECT_EQ(rx.PhaseRuleInUse().Shift, 2);
    // The level formula would give 67, 45, 22 for level 25 in QPSK; the first thresholds differ.
    EXPECT_EQ(rx.Thresholds().T1, 55);
    EXPECT_EQ(rx.Thresholds().T2, 35);
    EXPECT_EQ(rx.Thresholds().T3, 25);
    rx.SetSlicerLevel(25);
    EXPECT_EQ(rx.Thresholds().T1, 67);
    rx.SetModType(mt_BPSK);
    EXPECT_EQ(rx.Thresholds().T1, 96);
    EXPECT_EQ(rx.PhaseRuleInUse().Shift, 1);

    // A new Samp changes no word until ComputeWords or the word's own setter.
    rx.SetSamp(4096000);
    EXPECT_EQ(rx.SymRateWord(), 788557730);
    rx.SetNco(250);
    EXPECT_EQ(rx.NcoWord(), 262143);
    EXPECT_EQ(rx.SymRateWord(), 788557730);
    rx.ComputeWords();
    EXPECT_EQ(rx.SymRateWord(), SymbolWord(72000, 4096000));
}

TEST(CostasReceiverTest, ProbesCaptureScaledValuesUntilFull) {
    TCostasReceiver rx;
    TVectorSink sink;
    ReceiverBlock b;
    b.Frames[0] = {600, -600};
    b.Frames[1] = {-512, 0};
    rx.ProcessBlock(b, sink);  // Iin is the default probe, captured from the first step
    const ProbeBuffer& pb = rx.Probe();
    ASSERT_TRUE(pb.Full());
    EXPECT_EQ(pb[0], 127);   // 600 clamped to 511, / 4
    EXPECT_EQ(pb[1], 0);     // stuffed steps
    EXPECT_EQ(pb[4], -128);  // -512 / 4
    for (int k = 5; k < ProbeBuffer::Size; ++k) ASSERT_EQ(pb[k], 0);

    // Impulse response of the interpolator: -512 (not clamped) gives -8 x each tap, probed / 16.
    TCostasReceiver rx2;
    rx2.SelectProbe(pr_Iup);
    ReceiverBlock imp;
    imp.Frames[0] = {-512, 0};
    rx2.ProcessBlock(imp, sink);
    for (int k = 0; k < 15; ++k) EXPECT_EQ(rx2.Probe()[k], -8 * InterpolatorTaps[k] / 16) << k;
    for (int k = 15; k < ProbeBuffer::Size; ++k) ASSERT_EQ(rx2.Probe()[k], 0);

    // Nothing more is captured until the reader restarts the buffer.
    rx2.SelectProbe(pr_Qin);
    ReceiverBlock q;
    for (auto& f : q.Frames) f = {0, 40};
    rx2.ProcessBlock(q, sink);
    EXPECT_EQ(rx2.Probe()[0], 10);
    ReceiverBlock q2;
    for (auto& f : q2.Frames) f = {0, 80};
    rx2.ProcessBlock(q2, sink);
    EXPECT_EQ(rx2.Probe()[0], 10);
    rx2.Probe().Restart();
    rx2.ProcessBlock(q2, sink);
    EXPECT_EQ(rx2.Probe()[0], 20);
    EXPECT_EQ(rx2.Probe()[1], 0);
}

TEST(CostasReceiverTest, KernelMatchesStepByStepModel) {
    TCostasReceiver rx;
    TReferenceReceiver ref(rx);
    std::vector<std::pair<int, int>> symbols;
    const std::vector<ReceiverBlock> signal = MakeQpsk(12, 196078, 72000, 2500, 110, 12, 7, symbols);
    std::mt19937 rng(99);
    auto pick = [&](int lo, int hi) { return lo + int(rng() % uint32_t(hi - lo + 1)); };

    const int blocks = 40;
    bool sawLocked = false, sawSweep = false;
    for (int n = 0; n < blocks; ++n) {
        ReceiverBlock noise;
        const ReceiverBlock* in = &signal[n % signal.size()];
        if (n % 9 == 8) {
            // Full-scale noise drives the clamps, the AGC limits and the loop limits.
            for (auto& f : noise.Frames) f = {pick(-900, 900), pick(-900, 900)};
            in = &noise;
        }
        if (n >= 12) {
            // Operator changes between blocks, as the control handlers make them.
            switch (n % 6) {
            case 0:
                rx.SetModType(pick(0, 2));
                rx.SetSlicerLevel(pick(0, 100));
                break;
            case 1:
                rx.SetCarOpen(pick(0, 3) == 0);
                rx.SetSymOpen(pick(0, 3) == 0);
                rx.SetSweep(pick(0, 3) != 0);
                break;
            case 2:
                rx.SetKpExp(pick(10, 20));
                rx.SetKiMan(pick(0, 15));
                rx.SetSpExpTr(pick(10, 16));
                rx.SetSiMan(pick(0, 15));
                rx.SetSwExp(pick(8, 13));
                break;
            case 3:
                rx.SetAgcZero(pick(0, 4) == 0);
                rx.SetAgcLower(pick(-2, 40));
                rx.SetAgcUpper(pick(100, 255));
                rx.SetProgGain(pick(0, 7));
                rx.SetAgcThresh(pick(60, 130));
                break;
            case 4:
                rx.SetCarZero(pick(0, 5) == 0);
                rx.SetSymZero(pick(0, 5) == 0);
                rx.SetNco(pick(-30, 30) * 10);
                rx.SetCarUpper(pick(0, 1000) * 10);
                rx.SetSymLower(-pick(1, 30) * 10);
                break;
            default:
                rx.SetLD_PL_a(pick(0, 20) * 1000);
                rx.SetLD_PL_t(pick(0, 20) * 1000);
                break;
            }
        }
        const TProbe probe = TProbe(n % 8);
        rx.SelectProbe(probe);
        ref.ProbeSel = probe;
        ref.Probe.Restart();

        TVectorSink sink;
        std::vector<uint8_t> expected;
        rx.ProcessBlock(*in, sink);
        ref.Block(*in, expected);
        ASSERT_EQ(sink.Bytes, expected) << "block " << n;
        ExpectSameState(rx.State(), ref.s, n);
        ASSERT_EQ(rx.Probe().ProbeCount(), ref.Probe.ProbeCount());
        ASSERT_EQ(rx.Probe().Values(), ref.Probe.Values()) << "probe " << probe << " block " << n;
        if (HasFailure()) return;
        sawLocked |= rx.State().Locked;
        sawSweep |= rx.State().SweepActive;
    }
    // The run went through the interesting regimes.
    EXPECT_TRUE(sawLocked);
    EXPECT_TRUE(sawSweep);
}

// Hard decisions of the bytes from aFrom on, as +-1 pairs (codes 0..3 are positive samples).
std::vector<std::pair<int, int>> HardDecisions(const std::vector<uint8_t>& aBytes, size_t aFrom) {
    std::vector<std::pair<int, int>> d;
    for (size_t k = aFrom; k < aBytes.size(); ++k)
        d.push_back({(aBytes[k] & 7) < 4 ? 1 : -1, ((aBytes[k] >> 4) & 7) < 4 ? 1 : -1});
    return d;
}

// The transmitted pair rotated by r quarter turns.
std::pair<int, int> Rotate(std::pair<int, int> a, int r) {
    for (int k = 0; k < r; ++k) a = {-a.second, a.first};
    return a;
}

TEST(CostasReceiverTest, AcquiresOffsetQpskAndRecoversSymbols) {
    TCostasReceiver rx;
    std::vector<std::pair<int, int>> sent;
    // 3 kHz carrier offset, symbol rate exact, amplitude 120 of 512, noise 12 per component.
    const std::vector<ReceiverBlock> in = MakeQpsk(24, 196078, 72000, 3000, 120, 12, 2024, sent);
    TVectorSink sink;
    size_t lockedAt = 0;
    int blocksToLock = -1;
    for (size_t n = 0; n < in.size(); ++n) {
        rx.ProcessBlock(in[n], sink);
        if (blocksToLock < 0 && rx.State().Locked) {
            blocksToLock = int(n) + 1;
            lockedAt = sink.Bytes.size();
        }
    }
    ASSERT_GE(blocksToLock, 0) << "no lock";
    EXPECT_TRUE(rx.State().Locked);
    // About 3009 symbols per block: the symbol count follows the symbol rate.
    EXPECT_NEAR(double(sink.Bytes.size()), 72000.0 * 24 * 8192 / 196078, 50);

    // From lock on, the hard decisions are the transmitted symbols, up to a quarter-turn
    // rotation and the receiver's delay: find both on a stretch, then check everything after.
    const auto got = HardDecisions(sink.Bytes, lockedAt);
    ASSERT_GT(got.size(), 4000u);
    int delay = -1, rot = -1;
    const long approx = long(lockedAt);
    for (long d = approx - 200; d < approx + 200 && delay < 0; ++d) {
        if (d < 0) continue;
        for (int r = 0; r < 4 && delay < 0; ++r) {
            bool all = true;
            for (int k = 0; k < 64 && all; ++k) all = Rotate(sent[d + k], r) == got[k];
            if (all) {
                delay = int(d);
                rot = r;
            }
        }
    }
    ASSERT_GE(delay, 0) << "symbol stream not found near the expected position";
    size_t errors = 0, compared = 0;
    for (size_t k = 0; k < got.size() && delay + k < sent.size(); ++k, ++compared)
        errors += Rotate(sent[delay + k], rot) != got[k];
    EXPECT_GT(compared, 4000u);
    EXPECT_EQ(errors, 0u) << "of " << compared;
}

TEST(CostasReceiverTest, NothingIsResetBetweenRuns) {
    TCostasReceiver rx;
    std::vector<std::pair<int, int>> sent;
    const std::vector<ReceiverBlock> in = MakeQpsk(3, 196078, 72000, 1500, 120, 12, 5, sent);
    TVectorSink sink;
    for (const auto& b : in) rx.ProcessBlock(b, sink);
    const TReceiverState before = rx.State();
    // Stop and Run again: Run recomputes the words; a new file sets Samp (same rate here).
    rx.ComputeWords();
    rx.SetSamp(784312);
    rx.SelectProbe(pr_Qout);
    ExpectSameState(rx.State(), before, -1);
    EXPECT_NE(before.ClfAcc, 0);
    EXPECT_NE(before.AgcAcc, 0);
}

} // namespace
