// The whole receiver: its kernel against a plain step-by-step model, defaults, probes, and
// acquisition of recordings from the signal generator.
#include "core/CostasReceiver.h"

#include "Synthesizer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

namespace {

using namespace haldrin;

class TVectorSink : public SymbolSink {
  public:
    void Put(uint8_t aByte) override { Bytes.push_back(aByte); }
    std::vector<uint8_t> Bytes;
};

// The step order done the plain way: full 15-sample delay lines with the stuffed zeros, gains
// worked out on every step, the LPF shifted. Block functions (checked in ReceiverBlocksTest),
// parameters, words and tables come from the receiver under test.
class TPlainReceiver {
  public:
    explicit TPlainReceiver(const TCostasReceiver& r) : fRx(r) {}
    TReceiverState s;
    ProbeBuffer Probe;
    TProbe ProbeSel = pr_Iin;

    void Block(const ReceiverBlock& b, std::vector<uint8_t>& out) {
        const TReceiverParams& p = fRx.Params();
        s.ZeroStuff = 0;
        for (int step = 0; step < ReceiverBlock::StepCount; ++step) {
            ReceiverFrame in;
            if (s.ZeroStuff == 0) in = b.Frames[step / 4];
            s.ZeroStuff = (s.ZeroStuff + 1) & 3;
            s.Iin = ClampInput(in.I);
            s.Qin = ClampInput(in.Q);
            Capture(pr_Iin, s.Iin / 4, s.Qin / 4);
            s.Iup = InterpolatorOutput(Fir(fInI, s.Iin, InterpolatorTaps));
            s.Qup = InterpolatorOutput(Fir(fInQ, s.Qin, InterpolatorTaps));
            Capture(pr_Iup, s.Iup / 16, s.Qup / 16);
            s.NcoPhase += uint32_t(fRx.NcoWord()) + uint32_t(s.CarOffset);
            const TNcoEntry e = fRx.Tables().Nco[s.NcoPhase >> 21];
            Mix(s.Iup, s.Qup, e.S, e.C, s.Imix, s.Qmix);
            Capture(pr_Imix, s.Imix / 256, s.Qmix / 256);
            s.SweepValue = SweepStep(s.SweepActive, p.Sweep, p.SwMan, p.SwExp, s.SweepDir);
            const bool l = s.Locked;
            CarrierLoopStep(s, LoopGain(l ? p.KpManTr : p.KpMan, l ? p.KpExpTr : p.KpExp, s.CarErr),
                            LoopGain(l ? p.KiManTr : p.KiMan, l ? p.KiExpTr : p.KiExp, s.CarErr),
                            s.SweepValue, AccLimit(fRx.CarUpperWord()), AccLimit(fRx.CarLowerWord()),
                            p.CarZero, p.CarOpen);
            SymbolLoopStep(s, LoopGain(l ? p.SpManTr : p.SpMan, l ? p.SpExpTr : p.SpExp, s.SymErr),
                           LoopGain(l ? p.SiManTr : p.SiMan, l ? p.SiExpTr : p.SiExp, s.SymErr),
                           AccLimit(fRx.SymUpperWord()), AccLimit(fRx.SymLowerWord()), p.SymZero, p.SymOpen);
            if (ResamplerStep(s, fRx.SymRateWord())) Strobe(p, out);
        }
    }

  private:
    static int32_t Fir(int32_t (&d)[15], int32_t x, const int32_t (&h)[15]) {
        for (int n = 14; n > 0; --n)
            d[n] = d[n - 1];
        d[0] = x;
        int64_t acc = 0;
        for (int n = 0; n < 15; ++n)
            acc += int64_t(d[n]) * h[n];
        return int32_t(uint32_t(acc));
    }
    void Capture(TProbe aFirst, int32_t i, int32_t q) {
        if (ProbeSel == aFirst) Probe.Append(i);
        if (ProbeSel == aFirst + 1) Probe.Append(q);
    }
    void Strobe(const TReceiverParams& p, std::vector<uint8_t>& out) {
        s.OnTime = !s.OnTime;
        s.GcaI = GcaScale(s.Imix, GcaMantissa(s.AgcGain), GcaExponent(s.AgcGain));
        s.GcaQ = GcaScale(s.Qmix, GcaMantissa(s.AgcGain), GcaExponent(s.AgcGain));
        s.Iout = LpfOutput(Fir(fLpfI, s.GcaI, LpfTaps));
        s.Qout = LpfOutput(Fir(fLpfQ, s.GcaQ, LpfTaps));
        Capture(pr_Iout, s.Iout, s.Qout);
        if (!s.OnTime) {
            s.Imid = s.Iout;
            s.Qmid = s.Qout;
            return;
        }
        s.Ion = s.Iout;
        s.Qon = s.Qout;
        // OQPSK: I of the on-time strobe before, Q of the mid-symbol strobe in between.
        s.Isym = p.Oqpsk ? s.IonPrev : s.Ion;
        s.Qsym = p.Oqpsk ? s.Qmid : s.Qon;
        s.Phase = fRx.Tables().Phase[TReceiverTables::PolarIndex(s.Isym, s.Qsym)];
        s.Magnitude = fRx.Tables().Magnitude[TReceiverTables::PolarIndex(s.Isym, s.Qsym)];
        AgcUpdate(s, p.AgcThresh, p.ProgGain, p.AgcUpper, p.AgcLower, p.AgcZero);
        s.CarErr = CarrierError(s.Phase, fRx.PhaseRuleInUse().Offset, fRx.PhaseRuleInUse().Shift);
        LockDetectorUpdate(s, p.LD_PL_a, p.LD_PL_t);
        SamplingErrorUpdate(s, p.ModType);
        s.Iend = SlicerCode(s.Isym, fRx.Thresholds());
        s.Qend = SlicerCode(s.Qsym, fRx.Thresholds());
        out.push_back(uint8_t(s.Qend << 4 | s.Iend));
    }

    const TCostasReceiver& fRx;
    int32_t fInI[15] = {}, fInQ[15] = {}, fLpfI[15] = {}, fLpfQ[15] = {};
};

// The frames of a canonical 16-bit stereo WAV as the demodulator's reader converts them: the
// second channel is I, the first Q, both divided by 8 (truncating). The last block is padded
// with zeros.
std::vector<ReceiverBlock> Blocks(const std::vector<uint8_t>& aWav) {
    EXPECT_EQ(std::memcmp(aWav.data() + 36, "data", 4), 0);
    EXPECT_EQ(aWav[32], 4); // block alignment
    std::vector<ReceiverBlock> blocks;
    size_t n = 0;
    for (size_t pos = 44; pos + 4 <= aWav.size(); pos += 4, ++n) {
        if (n % ReceiverBlock::FrameCount == 0) blocks.emplace_back();
        const int16_t w0 = int16_t(aWav[pos] | aWav[pos + 1] << 8);
        const int16_t w1 = int16_t(aWav[pos + 2] | aWav[pos + 3] << 8);
        blocks.back().Frames[n % ReceiverBlock::FrameCount] = {w1 / 8, w0 / 8};
    }
    return blocks;
}

// A 72 k pass of two scans from the signal generator as 16-bit complex baseband at 196078 Hz
// (the receiver's default Samp / 4), aOffset Hz off frequency, Es/N0 9 dB.
lrptsynth::SynthOptions PassOptions(double aOffset) {
    lrptsynth::SynthOptions o;
    o.form = lrptsynth::OutputForm::Wav;
    o.scans = 2;
    o.carrierOffsetHz = aOffset;
    o.esn0Db = 9;
    o.seed = 11;
    return o;
}
lrptsynth::Recording Pass(double aOffset) {
    return lrptsynth::synthesize(PassOptions(aOffset));
}

TEST(CostasReceiverTest, DefaultsWordsAndFirstThresholds) {
    TCostasReceiver rx;
    EXPECT_EQ(rx.SymRateWord(), 788557730);
    EXPECT_EQ(rx.CarUpperWord(), 54760953);
    EXPECT_EQ(rx.SymLowerWord(), -1095219);
    // Not what the level formula gives for 25 in QPSK (67, 45, 22) until level or type change.
    EXPECT_EQ(rx.Thresholds().T1, 55);
    EXPECT_EQ(rx.Thresholds().T2, 35);
    EXPECT_EQ(rx.Thresholds().T3, 25);
    rx.SetSlicerLevel(25);
    EXPECT_EQ(rx.Thresholds().T1, 67);
    // A new Samp alone changes no word; the word's setter and ComputeWords do.
    rx.SetSamp(4096000);
    rx.SetNco(250);
    EXPECT_EQ(rx.NcoWord(), 262143);
    EXPECT_EQ(rx.SymRateWord(), 788557730);
    rx.ComputeWords();
    EXPECT_EQ(rx.SymRateWord(), SymbolWord(72000, 4096000));
}

TEST(CostasReceiverTest, ProbeCapture) {
    TCostasReceiver rx;
    rx.SelectProbe(pr_Iup);
    TVectorSink sink;
    ReceiverBlock b;
    b.Frames[0] = {-512, 600};
    rx.ProcessBlock(b, sink);
    // -512 is not clamped: the interpolator gives -8 x each tap, captured / 16.
    for (int k = 0; k < 15; ++k)
        EXPECT_EQ(rx.Probe()[k], -8 * InterpolatorTaps[k] / 16) << k;
    EXPECT_EQ(rx.Probe()[15], 0);
    // Full: nothing more until the reader restarts it.
    rx.SelectProbe(pr_Qin);
    rx.ProcessBlock(b, sink);
    EXPECT_EQ(rx.Probe()[0], 127); // 600 clamped to 511, / 4
    b.Frames[0].Q = -600;
    rx.ProcessBlock(b, sink);
    EXPECT_EQ(rx.Probe()[0], 127);
    rx.Probe().Restart();
    rx.ProcessBlock(b, sink);
    EXPECT_EQ(rx.Probe()[0], -128);
}

TEST(CostasReceiverTest, KernelMatchesPlainStepOrder) {
    TCostasReceiver rx;
    TPlainReceiver plain(rx);
    const std::vector<ReceiverBlock> signal = Blocks(Pass(2500).bytes);
    std::mt19937 rng(99);
    auto pick = [&](int lo, int hi) { return lo + int(rng() % uint32_t(hi - lo + 1)); };
    bool sawLocked = false, sawSweep = false;
    for (int n = 0; n < 48; ++n) {
        ReceiverBlock in = signal[n % signal.size()];
        if (n % 9 == 8) // full-scale noise drives the clamps and the loop limits
            for (auto& f : in.Frames)
                f = {pick(-900, 900), pick(-900, 900)};
        if (n >= 24) { // operator changes between blocks
            rx.SetModType(pick(0, 2));
            rx.SetSlicerLevel(pick(0, 100));
            rx.SetCarOpen(pick(0, 5) == 0);
            rx.SetSymOpen(pick(0, 5) == 0);
            rx.SetCarZero(pick(0, 7) == 0);
            rx.SetSymZero(pick(0, 7) == 0);
            rx.SetAgcZero(pick(0, 7) == 0);
            rx.SetSweep(pick(0, 3) != 0);
            rx.SetKpExp(pick(10, 20));
            rx.SetSpExpTr(pick(10, 16));
            rx.SetSwExp(pick(8, 13));
            rx.SetAgcLower(pick(-2, 40));
            rx.SetProgGain(pick(0, 7));
            rx.SetNco(pick(-30, 30) * 10);
            rx.SetCarUpper(pick(0, 1000) * 10);
            rx.SetSymLower(-pick(1, 30) * 10);
            rx.SetLD_PL_a(pick(0, 20) * 1000);
            rx.SetLD_PL_t(pick(0, 20) * 1000);
            rx.SetOqpsk(pick(0, 1) == 1);
        }
        rx.SelectProbe(TProbe(n % 8));
        plain.ProbeSel = TProbe(n % 8);
        plain.Probe.Restart();
        TVectorSink sink;
        std::vector<uint8_t> expected;
        rx.ProcessBlock(in, sink);
        plain.Block(in, expected);
        ASSERT_EQ(sink.Bytes, expected) << "block " << n;
        ASSERT_EQ(rx.Probe().Values(), plain.Probe.Values()) << "block " << n;
        const TReceiverState &a = rx.State(), &b = plain.s;
        ASSERT_EQ(std::tie(a.NcoPhase, a.ClfAcc, a.ClfOut, a.CarOffset, a.SweepDir, a.SymPhase, a.SlfAcc,
                           a.SymOffset),
                  std::tie(b.NcoPhase, b.ClfAcc, b.ClfOut, b.CarOffset, b.SweepDir, b.SymPhase, b.SlfAcc,
                           b.SymOffset))
            << "block " << n;
        ASSERT_EQ(
            std::tie(a.AgcAcc, a.LdAcc, a.LdIntCnt, a.LockState, a.Iup, a.Qmix, a.Imid, a.IonPrev, a.OnTime),
            std::tie(b.AgcAcc, b.LdAcc, b.LdIntCnt, b.LockState, b.Iup, b.Qmix, b.Imid, b.IonPrev, b.OnTime))
            << "block " << n;
        sawLocked |= a.Locked;
        sawSweep |= a.SweepActive;
    }
    EXPECT_TRUE(sawLocked && sawSweep); // the run went through both regimes
}

// What a generator recording gives after the receiver has locked.
struct TAcquisition {
    size_t LockedAt = 0; // symbols emitted when Locked was first seen at the end of a block
    int BestHits = -1;   // of 256 symbols just after lock, at the best delay and ambiguity
    size_t Errors = 0, Compared = 0;
};

TAcquisition Acquire(const lrptsynth::Recording& rec, bool aOqpsk) {
    TCostasReceiver rx;
    rx.SetOqpsk(aOqpsk);
    TVectorSink sink;
    TAcquisition a;
    for (const ReceiverBlock& b : Blocks(rec.bytes)) {
        rx.ProcessBlock(b, sink);
        if (a.LockedAt == 0 && rx.State().Locked) a.LockedAt = sink.Bytes.size();
    }
    if (a.LockedAt == 0 || !rx.State().Locked) return a;

    // Symbol k of the transmission: I carries the chain's first value of each pair in 72 k mode.
    // A quarter-turn lock in OQPSK puts the receiver's on-time strobes on the Q centres, so its
    // symbol k is the turned pair (I(k + 1), Q(k)): the straddle.
    const int64_t lead = rec.leadInValues / 2;
    const int64_t sent = int64_t(rec.chainBits.size() / 2);
    auto tx = [&](int64_t k, int r, int aStraddle) {
        std::pair<int, int> v{rec.chainBits[2 * (k + aStraddle)] ? 1 : -1, rec.chainBits[2 * k + 1] ? 1 : -1};
        for (int q = 0; q < r; ++q)
            v = {-v.second, v.first};
        return v;
    };
    auto rxSym = [&](size_t j) {
        return std::pair{(sink.Bytes[j] & 7) < 4 ? 1 : -1, ((sink.Bytes[j] >> 4) & 7) < 4 ? 1 : -1};
    };
    // Receiver delay and the ambiguity of the lock, from the best match on 256 symbols just
    // after lock.
    const size_t from = a.LockedAt + 1000;
    int64_t bestDelay = 0;
    int bestRot = 0, bestStraddle = 0;
    for (int64_t d = -200; d <= 200; ++d)
        for (int r = 0; r < 4; ++r)
            for (int st = 0; st <= (aOqpsk ? 1 : 0); ++st) {
                int hits = 0;
                for (size_t j = from; j < from + 256; ++j) {
                    const int64_t k = int64_t(j) - lead + d;
                    hits += k >= 0 && k + st < sent && tx(k, r, st) == rxSym(j);
                }
                if (hits > a.BestHits) a.BestHits = hits, bestDelay = d, bestRot = r, bestStraddle = st;
            }
    for (size_t j = a.LockedAt; j < sink.Bytes.size(); ++j) {
        const int64_t k = int64_t(j) - lead + bestDelay;
        if (k + bestStraddle >= sent) break;
        a.Errors += tx(k, bestRot, bestStraddle) != rxSym(j);
        ++a.Compared;
    }
    return a;
}

// Carrier offset, and whether the recording and the receiver use OQPSK.
class AcquisitionTest : public ::testing::TestWithParam<std::tuple<double, bool>> {};

TEST_P(AcquisitionTest, GeneratorWavLocksAndGivesTheTransmittedSymbols) {
    const auto [offset, oqpsk] = GetParam();
    lrptsynth::SynthOptions o = PassOptions(offset);
    o.oqpsk = oqpsk;
    const lrptsynth::Recording rec = lrptsynth::synthesize(o);
    ASSERT_EQ(rec.options.sampleRate, 196078);

    const TAcquisition a = Acquire(rec, oqpsk);
    ASSERT_GT(a.LockedAt, 0u) << "no lock";
    std::printf(
        "%s, %+.0f Hz, Es/N0 9 dB: lock after %zu symbols (%.3f s), %zu symbol errors in %zu (SER %.2e)\n",
        oqpsk ? "OQPSK" : "QPSK", offset, a.LockedAt, double(a.LockedAt) / 72000, a.Errors, a.Compared,
        double(a.Errors) / double(a.Compared));
    // The sweep covers +-10 kHz at about 26 kHz/s, starting during the 0.25 s of noise lead-in;
    // lock follows within eight windows of 1024 symbols once it passes the carrier.
    EXPECT_LT(a.LockedAt, size_t(72000 * 1.2));
    ASSERT_GT(a.BestHits, 240) << "transmitted symbols not found after lock";
    // Every symbol from lock to the end of the transmission, at Es/N0 9 dB: a few symbol errors.
    EXPECT_GT(a.Compared, size_t(rec.chainBits.size() / 2 - 72000));
    EXPECT_LT(double(a.Errors), 0.01 * double(a.Compared)) << a.Errors << " of " << a.Compared;
}

// Either side of the centre: the sweep finds the carrier going up or coming back down; plain
// and offset QPSK.
INSTANTIATE_TEST_SUITE_P(CarrierOffsets, AcquisitionTest,
                         ::testing::Combine(::testing::Values(3000.0, -4000.0), ::testing::Bool()));

// An offset-QPSK recording taken as plain QPSK pairs Q values read on their crossings with I:
// the symbols are not those sent.
TEST(OqpskTest, OffsetRecordingNeedsTheOption) {
    lrptsynth::SynthOptions o = PassOptions(3000);
    o.oqpsk = true;
    const TAcquisition a = Acquire(lrptsynth::synthesize(o), false);
    std::printf(
        "OQPSK recording, option off: lock after %zu symbols, best match %d of 256, %zu errors in %zu\n",
        a.LockedAt, a.BestHits, a.Errors, a.Compared);
    EXPECT_TRUE(a.LockedAt == 0 || a.BestHits < 240 || a.Errors > 0.05 * double(a.Compared));
}

} // namespace
