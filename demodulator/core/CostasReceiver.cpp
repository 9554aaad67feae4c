#include "core/CostasReceiver.h"

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
class TStepKernel {
public:
    TStepKernel(TCostasReceiver& r, SymbolSink& aSink)
        : fRx(r), fSink(aSink), s(r.fState), fNco(r.fTables->Nco.data()), fMag(r.fTables->Magnitude.data()),
          fPhase(r.fTables->Phase.data()), fInI(r.fInterpI), fInQ(r.fInterpQ), fSampler(r.fSampler),
          fProbe(r.fProbe), fProbeSel(r.fProbeSel) {
        for (int n = 0; n < 15; ++n) {
            fRingI[n] = fRingI[n + 16] = r.fLpfI[n];
            fRingQ[n] = fRingQ[n + 16] = r.fLpfQ[n];
        }
        const TReceiverParams& p = r.fParams;
        fNcoWord = uint32_t(r.fNcoWord);
        fSymRateWord = r.fSymRateWord;
        fCarUpper = AccLimit(r.fCarUpperWord);
        fCarLower = AccLimit(r.fCarLowerWord);
        fSymUpper = AccLimit(r.fSymUpperWord);
        fSymLower = AccLimit(r.fSymLowerWord);
        fCarLead[0] = {p.KpMan, p.KpExp};
        fCarLag[0] = {p.KiMan, p.KiExp};
        fCarLead[1] = {p.KpManTr, p.KpExpTr};
        fCarLag[1] = {p.KiManTr, p.KiExpTr};
        fSymLead[0] = {p.SpMan, p.SpExp};
        fSymLag[0] = {p.SiMan, p.SiExp};
        fSymLead[1] = {p.SpManTr, p.SpExpTr};
        fSymLag[1] = {p.SiManTr, p.SiExpTr};
        fSweepUp = SweepStep(true, true, p.SwMan, p.SwExp, 1);
        fSweepDown = SweepStep(true, true, p.SwMan, p.SwExp, -1);
        fSweepOn = p.Sweep;
        fCarZero = p.CarZero;
        fCarOpen = p.CarOpen;
        fSymZero = p.SymZero;
        fSymOpen = p.SymOpen;
        fAgcThresh = p.AgcThresh;
        fProgGain = p.ProgGain;
        fAgcUpper = p.AgcUpper;
        fAgcLower = p.AgcLower;
        fAgcZero = p.AgcZero;
        fPreloadA = p.LD_PL_a;
        fPreloadT = p.LD_PL_t;
        fModType = p.ModType;
        fPhaseOffset = r.fPhaseRule.Offset;
        fPhaseShift = r.fPhaseRule.Shift;
        fThresholds = r.fThresholds;
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

    void Run(const ReceiverBlock& aBlock) {
        s.ZeroStuff = 0;
        for (const ReceiverFrame& f : aBlock.Frames) {
            if (fProbe.Full()) Frame<false>(f);
            else Frame<true>(f);
        }
    }

private:
    struct TGain {
        int32_t Man, Exp;
    };

    template <bool Capture> void Frame(const ReceiverFrame& f) {
        Step<0, Capture>(f.I, f.Q);
        Step<1, Capture>(0, 0);
        Step<2, Capture>(0, 0);
        Step<3, Capture>(0, 0);
    }

    // Lead and lag terms of the held errors; they change only at on-time strobes.
    void UpdateLoopTerms() {
        const int l = s.Locked ? 1 : 0;
        fCarP = LoopGain(fCarLead[l].Man, fCarLead[l].Exp, s.CarErr);
        fCarI = LoopGain(fCarLag[l].Man, fCarLag[l].Exp, s.CarErr);
        fSymP = LoopGain(fSymLead[l].Man, fSymLead[l].Exp, s.SymErr);
        fSymI = LoopGain(fSymLag[l].Man, fSymLag[l].Exp, s.SymErr);
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
        for (int n = 1; n < 7; ++n) acc += (uint32_t(d[n]) + uint32_t(d[14 - n])) * uint32_t(LpfTaps[n]);
        acc += uint32_t(d[7]) * uint32_t(LpfTaps[7]);
        return LpfOutput(int32_t(acc));
    }

    template <int Ph, bool Capture> void Step(int32_t aI, int32_t aQ) {
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
            if (fProbeSel == pr_Iin) fProbe.Append(s.Iin / 4);
            else if (fProbeSel == pr_Qin) fProbe.Append(s.Qin / 4);
        }
        s.Iup = Interpolate<Ph>(fInI);
        s.Qup = Interpolate<Ph>(fInQ);
        if constexpr (Capture) {
            if (fProbeSel == pr_Iup) fProbe.Append(s.Iup / 16);
            else if (fProbeSel == pr_Qup) fProbe.Append(s.Qup / 16);
        }

        // 3. NCO and complex mixer.
        s.NcoPhase += fNcoWord + uint32_t(s.CarOffset);
        const TNcoEntry& e = fNco[s.NcoPhase >> 21];
        Mix(s.Iup, s.Qup, e.S, e.C, s.Imix, s.Qmix);
        if constexpr (Capture) {
            if (fProbeSel == pr_Imix) fProbe.Append(s.Imix / 256);
            else if (fProbeSel == pr_Qmix) fProbe.Append(s.Qmix / 256);
        }

        // 4. Sweep value and 5. carrier loop filter.
        s.SweepValue = (s.SweepActive && fSweepOn) ? (s.SweepDir > 0 ? fSweepUp : fSweepDown) : 0;
        CarrierLoopStep(s, fCarP, fCarI, s.SweepValue, fCarUpper, fCarLower, fCarZero, fCarOpen);

        // 6. Symbol loop filter and 7. resampler.
        SymbolLoopStep(s, fSymP, fSymI, fSymUpper, fSymLower, fSymZero, fSymOpen);
        if (ResamplerStep(s, fSymRateWord)) Strobe<Capture>();

        // 9. Display sampler.
        if (fSampler) fSampler->Step(s.Ion, s.Qon, s.AgcGain, s.ClfOut, s.SlfOut);
    }

    template <bool Capture> void Strobe() {
        s.OnTime = !s.OnTime;
        s.GcaI = GcaScale(s.Imix, fGcaMan, fGcaExp);
        s.GcaQ = GcaScale(s.Qmix, fGcaMan, fGcaExp);
        fLpfPos = (fLpfPos - 1) & 15;
        fRingI[fLpfPos] = fRingI[fLpfPos + 16] = s.GcaI;
        fRingQ[fLpfPos] = fRingQ[fLpfPos + 16] = s.GcaQ;
        s.Iout = Lpf(&fRingI[fLpfPos]);
        s.Qout = Lpf(&fRingQ[fLpfPos]);
        if constexpr (Capture) {
            if (fProbeSel == pr_Iout) fProbe.Append(s.Iout);
            else if (fProbeSel == pr_Qout) fProbe.Append(s.Qout);
        }
        if (!s.OnTime) {
            s.Imid = s.Iout;
            s.Qmid = s.Qout;
            return;
        }
        s.Ion = s.Iout;
        s.Qon = s.Qout;
        const int idx = TReceiverTables::PolarIndex(s.Ion, s.Qon);
        s.Phase = fPhase[idx];
        s.Magnitude = fMag[idx];
        AgcUpdate(s, fAgcThresh, fProgGain, fAgcUpper, fAgcLower, fAgcZero);
        UpdateGca();
        s.CarErr = CarrierError(s.Phase, fPhaseOffset, fPhaseShift);
        LockDetectorUpdate(s, fPreloadA, fPreloadT);
        SamplingErrorUpdate(s, fModType);
        UpdateLoopTerms();
        s.Iend = SlicerCode(s.Ion, fThresholds);
        s.Qend = SlicerCode(s.Qon, fThresholds);
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

    uint32_t fNcoWord;
    int32_t fSymRateWord;
    int64_t fCarUpper, fCarLower, fSymUpper, fSymLower;
    TGain fCarLead[2], fCarLag[2], fSymLead[2], fSymLag[2];
    int32_t fSweepUp, fSweepDown;
    bool fSweepOn, fCarZero, fCarOpen, fSymZero, fSymOpen, fAgcZero;
    int32_t fAgcThresh, fProgGain, fAgcUpper, fAgcLower;
    int32_t fPreloadA, fPreloadT, fModType;
    int32_t fPhaseOffset, fPhaseShift;
    TSlicerThresholds fThresholds;

    int64_t fCarP = 0, fCarI = 0, fSymP = 0, fSymI = 0;
    int32_t fGcaMan = 16, fGcaExp = 0;
};

void TCostasReceiver::ProcessBlock(const ReceiverBlock& aBlock, SymbolSink& aSink) {
    TStepKernel k(*this, aSink);
    k.Run(aBlock);
    k.Finish();
}
