#include "core/CostasReceiver.h"

using namespace haldrin;

TCostasReceiver::TCostasReceiver() : fTables(std::make_unique<const TReceiverTables>()) {
    // fPhaseRule and fThresholds start at their QPSK and first-run values (32, 2; 55, 35, 25).
    ComputeWords();
}

void TCostasReceiver::SetNco(int32_t aHz) {
    fParams.Nco = aHz;
    fNcoWord = CarrierWord(aHz, fParams.Samp);
}

void TCostasReceiver::SetSymRate(int32_t aRate) {
    fParams.SymRate = aRate;
    fSymRateWord = SymbolWord(aRate, fParams.Samp);
}

void TCostasReceiver::SetCarUpper(int32_t aHz) {
    fParams.CarUpper = aHz;
    fCarUpperWord = CarrierLimitWord(aHz, fParams.Samp);
}

void TCostasReceiver::SetCarLower(int32_t aHz) {
    fParams.CarLower = aHz;
    fCarLowerWord = CarrierLimitWord(aHz, fParams.Samp);
}

void TCostasReceiver::SetSymUpper(int32_t aHz) {
    fParams.SymUpper = aHz;
    fSymUpperWord = SymbolLimitWord(aHz, fParams.Samp);
}

void TCostasReceiver::SetSymLower(int32_t aHz) {
    fParams.SymLower = aHz;
    fSymLowerWord = SymbolLimitWord(aHz, fParams.Samp);
}

void TCostasReceiver::SetSlicerLevel(int32_t aSlice) {
    fParams.Slice = aSlice;
    fThresholds = SlicerThresholds(aSlice, fParams.ModType);
}

void TCostasReceiver::SetModType(int32_t aModType) {
    fParams.ModType = aModType;
    fPhaseRule = PhaseRule(aModType);
    fThresholds = SlicerThresholds(fParams.Slice, aModType);
}

void TCostasReceiver::ComputeWords() {
    SetNco(fParams.Nco);
    SetSymRate(fParams.SymRate);
    SetCarUpper(fParams.CarUpper);
    SetCarLower(fParams.CarLower);
    SetSymUpper(fParams.SymUpper);
    SetSymLower(fParams.SymLower);
}

void TCostasReceiver::SelectProbe(TProbe aProbe) {
    fProbeSel = aProbe;
    fProbe.Restart();
}

// One block's worth of the model with every value it touches held in a local object, so that
// the compiler can keep the state in registers across the calls into the symbol sink.
class TCostasReceiver::TStepKernel {
  public:
    TStepKernel(TCostasReceiver& r, SymbolSink& aSink)
        : fRx(r), fSink(aSink), s(r.fState), fNco(r.fTables->Nco.data()), fMag(r.fTables->Magnitude.data()),
          fPhase(r.fTables->Phase.data()), fInI(r.fInterpI), fInQ(r.fInterpQ), fSampler(r.fSampler),
          fProbe(r.fProbe), fProbeSel(r.fProbeSel), p(r.fParams), fPhaseRule(r.fPhaseRule),
          fThresholds(r.fThresholds) {
        for (int n = 0; n < 15; ++n) {
            fRingI[n] = fRingI[n + 16] = r.fLpfI[n];
            fRingQ[n] = fRingQ[n + 16] = r.fLpfQ[n];
        }
        fNcoWord = uint32_t(r.fNcoWord);
        fSymRateWord = r.fSymRateWord;
        fCarUpper = AccLimit(r.fCarUpperWord);
        fCarLower = AccLimit(r.fCarLowerWord);
        fSymUpper = AccLimit(r.fSymUpperWord);
        fSymLower = AccLimit(r.fSymLowerWord);
        fSweepUp = SweepStep(true, true, p.SwMan, p.SwExp, 1);
        fSweepDown = SweepStep(true, true, p.SwMan, p.SwExp, -1);
        UpdateLoopTerms();
        UpdateGca();
    }

    void Finish() {
        fRx.fState = s;
        fRx.fInterpI = fInI;
        fRx.fInterpQ = fInQ;
        for (int n = 0; n < 15; ++n) {
            fRx.fLpfI[n] = fRingI[fLpfPos + n];
            fRx.fLpfQ[n] = fRingQ[fLpfPos + n];
        }
    }

    void Run(const ReceiverBlock& aBlock, int aFrames) {
        s.ZeroStuff = 0;
        if (p.Oqpsk)
            RunFrames<true>(aBlock, aFrames);
        else
            RunFrames<false>(aBlock, aFrames);
    }

  private:
    // The pairing of a symbol is fixed for the block, so each pairing gets its own loop.
    template <bool Oqpsk> void RunFrames(const ReceiverBlock& aBlock, int aFrames) {
        for (int n = 0; n < aFrames; ++n) {
            const ReceiverFrame& f = aBlock.Frames[n];
            if (fProbe.Full())
                Frame<false, Oqpsk>(f);
            else
                Frame<true, Oqpsk>(f);
        }
    }

    template <bool Capture, bool Oqpsk> void Frame(const ReceiverFrame& f) {
        Step<0, Capture, Oqpsk>(f.I, f.Q);
        Step<1, Capture, Oqpsk>(0, 0);
        Step<2, Capture, Oqpsk>(0, 0);
        Step<3, Capture, Oqpsk>(0, 0);
    }

    // Lead and lag terms of the held errors; they change only at on-time strobes.
    void UpdateLoopTerms() {
        if (s.Locked) {
            fCarP = LoopGain(p.KpManTr, p.KpExpTr, s.CarErr);
            fCarI = LoopGain(p.KiManTr, p.KiExpTr, s.CarErr);
            fSymP = LoopGain(p.SpManTr, p.SpExpTr, s.SymErr);
            fSymI = LoopGain(p.SiManTr, p.SiExpTr, s.SymErr);
        } else {
            fCarP = LoopGain(p.KpMan, p.KpExp, s.CarErr);
            fCarI = LoopGain(p.KiMan, p.KiExp, s.CarErr);
            fSymP = LoopGain(p.SpMan, p.SpExp, s.SymErr);
            fSymI = LoopGain(p.SiMan, p.SiExp, s.SymErr);
        }
    }

    void UpdateGca() {
        fGcaMan = GcaMantissa(s.AgcGain);
        fGcaExp = GcaExponent(s.AgcGain);
    }

    template <int Ph> static int32_t Interpolate(const std::array<int32_t, 4>& x) {
        constexpr const int32_t* h = InterpolatorTaps;
        int32_t acc = x[0] * h[Ph] + x[1] * h[Ph + 4] + x[2] * h[Ph + 8];
        if constexpr (Ph < 3) acc += x[3] * h[Ph + 12];
        return InterpolatorOutput(acc);
    }

    // The LPF delay lines as a ring stored twice over, so that the 15 newest values are always
    // contiguous from fLpfPos (newest first) and no shifting is needed.
    static int32_t Lpf(const int32_t* d) {
        // 32-bit wrapping sum; the taps are symmetric and both end taps are zero.
        uint32_t acc = 0;
        for (int n = 1; n < 7; ++n)
            acc += (uint32_t(d[n]) + uint32_t(d[14 - n])) * uint32_t(LpfTaps[n]);
        acc += uint32_t(d[7]) * uint32_t(LpfTaps[7]);
        return LpfOutput(int32_t(acc));
    }

    template <int Ph, bool Capture, bool Oqpsk> void Step(int32_t aI, int32_t aQ) {
        // 1. Input selection and 2. interpolator.
        if constexpr (Ph == 0) {
            s.Iin = ClampInput(aI);
            s.Qin = ClampInput(aQ);
            fInI = {s.Iin, fInI[0], fInI[1], fInI[2]};
            fInQ = {s.Qin, fInQ[0], fInQ[1], fInQ[2]};
        } else {
            s.Iin = 0;
            s.Qin = 0;
        }
        s.ZeroStuff = (Ph + 1) & 3;
        if constexpr (Capture) {
            if (fProbeSel == pr_Iin)
                fProbe.Append(s.Iin / 4);
            else if (fProbeSel == pr_Qin)
                fProbe.Append(s.Qin / 4);
        }
        s.Iup = Interpolate<Ph>(fInI);
        s.Qup = Interpolate<Ph>(fInQ);
        if constexpr (Capture) {
            if (fProbeSel == pr_Iup)
                fProbe.Append(s.Iup / 16);
            else if (fProbeSel == pr_Qup)
                fProbe.Append(s.Qup / 16);
        }

        // 3. NCO and complex mixer.
        s.NcoPhase += fNcoWord + uint32_t(s.CarOffset);
        const TNcoEntry& e = fNco[s.NcoPhase >> 21];
        Mix(s.Iup, s.Qup, e.S, e.C, s.Imix, s.Qmix);
        if constexpr (Capture) {
            if (fProbeSel == pr_Imix)
                fProbe.Append(s.Imix / 256);
            else if (fProbeSel == pr_Qmix)
                fProbe.Append(s.Qmix / 256);
        }

        // 4. Sweep value and 5. carrier loop filter.
        s.SweepValue = (s.SweepActive && p.Sweep) ? (s.SweepDir > 0 ? fSweepUp : fSweepDown) : 0;
        CarrierLoopStep(s, fCarP, fCarI, s.SweepValue, fCarUpper, fCarLower, p.CarZero, p.CarOpen);

        // 6. Symbol loop filter and 7. resampler.
        SymbolLoopStep(s, fSymP, fSymI, fSymUpper, fSymLower, p.SymZero, p.SymOpen);
        if (ResamplerStep(s, fSymRateWord)) Strobe<Capture, Oqpsk>();

        // 9. Display sampler.
        if (fSampler) fSampler->Step(s.Isym, s.Qsym, s.AgcGain, s.ClfOut, s.SlfOut);
    }

    // OQPSK: the transmitter sends Q half a symbol after I, so after the matched filter the
    // centre of I(k) falls on an on-time strobe and the centre of Q(k) on the mid-symbol strobe
    // after it. The strobes themselves are unchanged; only the pairing is: at on-time strobe k+1
    // the symbol k is formed from the held I of strobe k (IonPrev, read before the sampling
    // error detector overwrites it) and the Q held from the mid-symbol strobe in between (Qmid).
    // Everything that judges a symbol as a point of the constellation (polar converter, AGC,
    // carrier error, lock detector, slicer, constellation display) takes that pair, one symbol
    // late; the extra symbol of delay in the carrier loop is far below its time constant. The
    // sampling error detector is untouched: it uses only I (Ion, IonPrev, Imid), and I keeps
    // its centres on the on-time strobes and its crossings on the mid-symbol strobes exactly
    // as in QPSK. (Q crosses at on-time strobes in OQPSK, but Q never enters the detector.)
    // With Oqpsk off the pair is (Ion, Qon) and every value is what it was before the option.
    template <bool Capture, bool Oqpsk> void Strobe() {
        s.OnTime = !s.OnTime;
        s.GcaI = GcaScale(s.Imix, fGcaMan, fGcaExp);
        s.GcaQ = GcaScale(s.Qmix, fGcaMan, fGcaExp);
        fLpfPos = (fLpfPos - 1) & 15;
        fRingI[fLpfPos] = fRingI[fLpfPos + 16] = s.GcaI;
        fRingQ[fLpfPos] = fRingQ[fLpfPos + 16] = s.GcaQ;
        s.Iout = Lpf(&fRingI[fLpfPos]);
        s.Qout = Lpf(&fRingQ[fLpfPos]);
        if constexpr (Capture) {
            if (fProbeSel == pr_Iout)
                fProbe.Append(s.Iout);
            else if (fProbeSel == pr_Qout)
                fProbe.Append(s.Qout);
        }
        if (!s.OnTime) {
            s.Imid = s.Iout;
            s.Qmid = s.Qout;
            return;
        }
        s.Ion = s.Iout;
        s.Qon = s.Qout;
        s.Isym = Oqpsk ? s.IonPrev : s.Ion;
        s.Qsym = Oqpsk ? s.Qmid : s.Qon;
        const int idx = TReceiverTables::PolarIndex(s.Isym, s.Qsym);
        s.Phase = fPhase[idx];
        s.Magnitude = fMag[idx];
        AgcUpdate(s, p.AgcThresh, p.ProgGain, p.AgcUpper, p.AgcLower, p.AgcZero);
        UpdateGca();
        s.CarErr = CarrierError(s.Phase, fPhaseRule.Offset, fPhaseRule.Shift);
        LockDetectorUpdate(s, p.LD_PL_a, p.LD_PL_t);
        SamplingErrorUpdate(s, p.ModType);
        UpdateLoopTerms();
        s.Iend = SlicerCode(s.Isym, fThresholds);
        s.Qend = SlicerCode(s.Qsym, fThresholds);
        fSink.Put(uint8_t(s.Qend << 4 | s.Iend));
    }

    TCostasReceiver& fRx;
    SymbolSink& fSink;
    TReceiverState s;
    const TNcoEntry* fNco;
    const uint8_t* fMag;
    const int8_t* fPhase;
    std::array<int32_t, 4> fInI, fInQ;
    int32_t fRingI[32] = {}, fRingQ[32] = {};
    int fLpfPos = 0;
    TDisplaySampler* fSampler;
    ProbeBuffer& fProbe;
    TProbe fProbeSel;

    // Parameters cannot change during a block; copies keep them out of the sink's reach.
    const TReceiverParams p;
    const TPhaseRule fPhaseRule;
    const TSlicerThresholds fThresholds;
    uint32_t fNcoWord;
    int32_t fSymRateWord;
    int64_t fCarUpper, fCarLower, fSymUpper, fSymLower; // accumulator limits
    int32_t fSweepUp, fSweepDown;

    int64_t fCarP = 0, fCarI = 0, fSymP = 0, fSymI = 0;
    int32_t fGcaMan = 16, fGcaExp = 0;
};

void TCostasReceiver::ProcessBlock(const ReceiverBlock& aBlock, SymbolSink& aSink) {
    ProcessFrames(aBlock, ReceiverBlock::FrameCount, aSink);
}

void TCostasReceiver::ProcessFrames(const ReceiverBlock& aBlock, int aFrames, SymbolSink& aSink) {
    if (aFrames <= 0) return;
    if (aFrames > ReceiverBlock::FrameCount) aFrames = ReceiverBlock::FrameCount;
    TStepKernel k(*this, aSink);
    k.Run(aBlock, aFrames);
    k.Finish();
}
