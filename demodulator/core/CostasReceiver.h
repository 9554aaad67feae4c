// The bit-exact fixed-point model of the BPSK/QPSK receiver.
#pragma once

#include "core/DisplaySampler.h"
#include "core/ProbeBuffer.h"
#include "core/ReceiverBlock.h"
#include "core/ReceiverBlocks.h"
#include "core/ReceiverParams.h"
#include "core/ReceiverState.h"
#include "core/ReceiverTables.h"
#include "core/SymbolSink.h"

#include <array>
#include <cstdint>
#include <memory>

// Runs complex input frames through interpolator (x4 upsampling), NCO and mixer, carrier loop
// with sweep, resampler and symbol loop, GCA/AGC, matched filter, polar converter, lock detector
// and soft slicer, and emits one 3-bit soft byte per symbol.
// With the Oqpsk parameter (offset QPSK) a symbol is the on-time I with the Q of the mid-symbol
// strobe after it, decided one symbol later; the strobes and the symbol loop are unchanged (the
// reasoning is at the kernel's strobe in the .cpp).
//
// The state is created once and never reset: Run, Stop and a new input file continue from the
// current accumulators, delay lines and lock state. Parameters are changed through the setters
// between two blocks, never during one. Not thread-safe; one thread drives it.
class TCostasReceiver {
  public:
    // Builds the tables, loads the defaults (QPSK, slicer thresholds 55, 35, 25) and computes the
    // frequency words for the default Samp.
    TCostasReceiver();

    const TReceiverParams& Params() const { return fParams; }
    const TReceiverState& State() const { return fState; }

    // ---- Setters, one per parameter ----
    // A change of Samp recomputes nothing by itself; ComputeWords or the word's own setter does.
    void SetSamp(int32_t aHz) { fParams.Samp = aHz; }
    // These recompute their frequency word at once with the current Samp. The limits are given
    // in Hz as their controls produce them (position x 10, negated for the lower limits); the
    // caller quantises typed values to the control's steps and range.
    void SetNco(int32_t aHz);
    void SetSymRate(int32_t aRate);
    void SetCarUpper(int32_t aHz);
    void SetCarLower(int32_t aHz);
    void SetSymUpper(int32_t aHz);
    void SetSymLower(int32_t aHz);

    void SetKpMan(int32_t v) { fParams.KpMan = v; }
    void SetKpExp(int32_t v) { fParams.KpExp = v; }
    void SetKiMan(int32_t v) { fParams.KiMan = v; }
    void SetKiExp(int32_t v) { fParams.KiExp = v; }
    void SetKpManTr(int32_t v) { fParams.KpManTr = v; }
    void SetKpExpTr(int32_t v) { fParams.KpExpTr = v; }
    void SetKiManTr(int32_t v) { fParams.KiManTr = v; }
    void SetKiExpTr(int32_t v) { fParams.KiExpTr = v; }
    void SetSpMan(int32_t v) { fParams.SpMan = v; }
    void SetSpExp(int32_t v) { fParams.SpExp = v; }
    void SetSiMan(int32_t v) { fParams.SiMan = v; }
    void SetSiExp(int32_t v) { fParams.SiExp = v; }
    void SetSpManTr(int32_t v) { fParams.SpManTr = v; }
    void SetSpExpTr(int32_t v) { fParams.SpExpTr = v; }
    void SetSiManTr(int32_t v) { fParams.SiManTr = v; }
    void SetSiExpTr(int32_t v) { fParams.SiExpTr = v; }
    void SetSwMan(int32_t v) { fParams.SwMan = v; }
    void SetSwExp(int32_t v) { fParams.SwExp = v; }
    void SetSweep(bool v) { fParams.Sweep = v; }
    void SetAgcThresh(int32_t v) { fParams.AgcThresh = v; }
    void SetProgGain(int32_t v) { fParams.ProgGain = v; }
    void SetAgcUpper(int32_t v) { fParams.AgcUpper = v; }
    void SetAgcLower(int32_t v) { fParams.AgcLower = v; }
    void SetLD_PL_a(int32_t v) { fParams.LD_PL_a = v; }
    void SetLD_PL_t(int32_t v) { fParams.LD_PL_t = v; }
    void SetCarOpen(bool v) { fParams.CarOpen = v; }
    void SetCarZero(bool v) { fParams.CarZero = v; }
    void SetSymOpen(bool v) { fParams.SymOpen = v; }
    void SetSymZero(bool v) { fParams.SymZero = v; }
    void SetAgcZero(bool v) { fParams.AgcZero = v; }
    void SetIqSwap(bool v) { fParams.IqSwap = v; }
    void SetOqpsk(bool v) { fParams.Oqpsk = v; }
    // Recompute the slicer thresholds (both) and the carrier phase offset and shift (type).
    void SetSlicerLevel(int32_t aSlice);
    void SetModType(int32_t aModType);

    // Recomputes NcoWord, SymRateWord and the four limit words from the parameters and Samp.
    void ComputeWords();

    // ---- Derived values ----
    int32_t NcoWord() const { return fNcoWord; }
    int32_t SymRateWord() const { return fSymRateWord; }
    int32_t CarUpperWord() const { return fCarUpperWord; }
    int32_t CarLowerWord() const { return fCarLowerWord; }
    int32_t SymUpperWord() const { return fSymUpperWord; }
    int32_t SymLowerWord() const { return fSymLowerWord; }
    TPhaseRule PhaseRuleInUse() const { return fPhaseRule; }
    const TSlicerThresholds& Thresholds() const { return fThresholds; }
    const TReceiverTables& Tables() const { return *fTables; }

    // ---- Processing ----
    // Runs the 32768 steps of one block and hands each symbol's byte to aSink.
    void ProcessBlock(const ReceiverBlock& aBlock, SymbolSink& aSink);
    // Runs only the first aFrames frames (4 steps each; clamped to 0..8192): the last, partial
    // block of a file, so that no frame beyond the data is processed.
    void ProcessFrames(const ReceiverBlock& aBlock, int aFrames, SymbolSink& aSink);

    // ---- Probe capture ----
    // Makes aProbe the only captured signal and empties the buffer.
    void SelectProbe(TProbe aProbe);
    TProbe SelectedProbe() const { return fProbeSel; }
    ProbeBuffer& Probe() { return fProbe; }
    const ProbeBuffer& Probe() const { return fProbe; }

    // ---- Display hook ----
    // The sampler (owned by the caller, may be nullptr) is stepped once per model step.
    void SetDisplaySampler(TDisplaySampler* aSampler) { fSampler = aSampler; }

  private:
    class TStepKernel; // the step loop, in the .cpp

    TReceiverParams fParams;
    TReceiverState fState;
    std::unique_ptr<const TReceiverTables> fTables;

    int32_t fNcoWord = 0;
    int32_t fSymRateWord = 0;
    int32_t fCarUpperWord = 0, fCarLowerWord = 0;
    int32_t fSymUpperWord = 0, fSymLowerWord = 0;
    TPhaseRule fPhaseRule;
    TSlicerThresholds fThresholds;

    // Interpolator delay lines: three of every four positions hold stuffed zeros, so only the
    // four real inputs in them are kept, newest first (they sit at positions p, p + 4, p + 8,
    // p + 12 on the step p of a frame; blocks are whole frames, so p is the step number mod 4).
    std::array<int32_t, 4> fInterpI{}, fInterpQ{};
    // LPF delay lines, newest at position 0.
    std::array<int32_t, 15> fLpfI{}, fLpfQ{};

    ProbeBuffer fProbe;
    TProbe fProbeSel = pr_Iin;
    TDisplaySampler* fSampler = nullptr;
};
