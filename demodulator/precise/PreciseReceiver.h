// Haldrin's precise receiver: a floating-point QPSK / offset-QPSK demodulator beside the bit-exact
// model, whose only aim is to get every frame out of a recording.
//
// Chain: wideband input decimated by an integer factor (an FIR evaluated at every D-th sample) to
// 3 .. 4.5 samples per symbol (input below two samples per symbol is brought up to two by liquid's
// multi-stage resampler); block AGC; carrier NCO; root-raised-cosine matched filter with
// polyphase-interpolated symbol timing at any number of samples per symbol (roll-off 0.6; for offset QPSK it
// samples I half a symbol before Q, which lines the branches up); a second-order Costas loop on the symbols
// that hands its frequency to the NCO; a coarse carrier estimate from the spectrum of the fourth power, used
// at the start and whenever lock is lost, so that acquisition needs no sweep and a fade is bridged within
// about a tenth of a second.
// Narrowband lines in the band (spurs) are notched at the loops' rate before all of this.
#pragma once

#include "CoarseFrequency.h"
#include "FirDecimator.h"
#include "LiquidObjects.h"
#include "SpurNotch.h"
#include "SymbolTiming.h"

#include <complex>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <vector>

namespace precise {

// Parameters. Loop bandwidths are noise bandwidths as fractions of the symbol rate; the gains
// follow from them in one place (TPreciseReceiver::LoopGains).
struct TPreciseParams {
    double SampleRate = 144000;  // Hz of the input samples; 8,000 .. 20,000,000
    double SymbolRate = 72000;   // symbols/s; 1,000 .. SampleRate x 4
    bool Oqpsk = false;          // offset QPSK: one branch sent half a symbol after the other
    double CarrierAcqBw = 0.004; // Costas loop bandwidth while acquiring
    double CarrierBw = 0.0015;   // ... once locked
    double CarrierDamping = 0.707;
    double TimingBw = 0.002;    // symbol timing loop bandwidth
    double AgcBw = 0.002;       // AGC bandwidth
    double MaxOffsetHz = 15000; // largest carrier offset searched (100 ppm at 137.9 MHz: 13.8 kHz)
    double LockSeconds = 0.25;  // unlocked this long: a new coarse estimate may retune the NCO
};

class TPreciseParamError : public std::invalid_argument {
  public:
    using std::invalid_argument::invalid_argument;
};

// One soft symbol in units of the estimated signal amplitude: a clean symbol lies at (+-1, +-1).
struct TSoftPair {
    float I, Q;
};

// Readouts for the summary and the window; all refer to the input fed since the last Reset.
struct TPreciseReadouts {
    bool Locked = false;
    double CarrierOffsetHz = 0; // current carrier offset the loop holds
    double DriftHzPerS = 0;     // current drift of the carrier, smoothed
    double SnrDb = 0;           // Es/N0 from the constellation's moments over the locked symbols
    double LockTimeS = -1;      // input seconds until the first lock; -1: never locked
    double InputSeconds = 0;
    int64_t Symbols = 0;
    int64_t LockedSymbols = 0;
    double MeanOffsetHz = 0;   // mean carrier offset over the locked symbols
    double MaxDriftHzPerS = 0; // largest |drift| over whole locked seconds
};

class TPreciseReceiver {
  public:
    // Throws TPreciseParamError when a parameter lies outside its range.
    explicit TPreciseReceiver(const TPreciseParams& aParams);
    ~TPreciseReceiver();
    TPreciseReceiver(const TPreciseReceiver&) = delete;
    TPreciseReceiver& operator=(const TPreciseReceiver&) = delete;

    // Feeds aCount complex samples (I + jQ, any level; about +-1 is usual) and appends one soft
    // pair per symbol found to aSymbols. Any block size; the split of the input does not change
    // the output.
    void Process(const std::complex<float>* aSamples, size_t aCount, std::vector<TSoftPair>& aSymbols);
    // At the end of the input: runs the samples still held back (under 256 inner samples).
    void Flush(std::vector<TSoftPair>& aSymbols);
    // Back to the state after construction.
    void Reset();

    TPreciseReadouts Readouts() const;
    const TPreciseParams& Params() const { return fP; }
    // Noise standard deviation per branch relative to the signal amplitude (the symbol writer
    // scales with it); 1 before an estimate exists.
    double NoiseRatio() const { return fNoiseRatio; }
    // Spurs: frequencies (Hz of the input, carrier offset not removed) of the lines notched now.
    std::vector<double> SpurLinesHz() const { return fSpurs->LinesHz(); }

    struct TLoopGains {
        double Alpha, Beta; // phase and frequency gains per symbol, for an error in radians
    };
    // Second-order loop gains for a noise bandwidth aBw (fraction of the update rate) and damping.
    static TLoopGains LoopGains(double aBw, double aDamping);

  private:
    void Chunk(std::complex<float>* aBuf, size_t aCount, std::vector<TSoftPair>& aSymbols);
    [[gnu::always_inline]] void Symbol(std::complex<float> aY, std::vector<TSoftPair>& aSymbols);
    void Retune(double aOffsetHz);
    bool FeedCoarse(const std::complex<float>* aBuf, size_t aCount);
    void ResetCoarse();
    void UpdateMoments();
    double CarrierHz() const;

    TPreciseParams fP;
    double fInnerRate = 0;          // Hz of the samples the loops run on: the input's after decimation
    double fSps = 2, fInvSps = 0.5; // fInnerRate per symbol rate (2 or more), its inverse
    std::unique_ptr<TFirDecimator> fDecimator; // wideband input only
    int fDecimation = 1;
    std::vector<std::complex<float>> fDecimated;
    TResampler fResampler;
    std::unique_ptr<TSymbolTiming> fTiming;
    std::unique_ptr<TCoarseFrequency> fCoarse;
    TResampler fCoarseResampler; // the coarse estimate's, to two samples per symbol
    std::vector<std::complex<float>> fCoarseIn;
    std::unique_ptr<TSpurNotch> fSpurs;        // spurs: lines notched at the loops' rate, first of all
    std::vector<std::complex<float>> fPending; // inner samples not yet run

    // AGC
    float fAgcGain = 1, fAgcPower = 1;
    // NCO (per inner sample), steered by the Costas loop at the end of every block of samples
    std::complex<float> fNco = 1, fStep = 1; // derotation phasor, its turn per sample
    float fKick = 0, fTurn = 0;              // the loop's phase and step corrections in this block
    double fW = 0;                           // radians per inner sample (the carrier offset)
    TLoopGains fAcqGains{}, fTrackGains{};
    // Statistics
    double fM2 = 1, fM4 = 2, fInvAmp = 1, fSignal = 1, fNoise = 0, fNoiseRatio = 1;
    bool fLocked = false, fEverLocked = false, fTuned = false, fHaveEstimate = false;
    double fLastEstimate = 0; // Hz, the previous coarse estimate while unlocked
    int64_t fInnerSamples = 0, fSymbols = 0, fLockedSymbols = 0, fUnlockedSince = 0;
    double fLockTime = -1;
    double fOffsetSum = 0;
    double fDrift = 0, fMaxDrift = 0;
    double fSignalSum = 0, fNoiseSum = 0; // moments summed over the locked symbols
    double fSpanSum = 0, fLastSpanMean = 0, fLockSum = 0;
    int64_t fSpanCount = 0;
    bool fHaveSpan = false;
};

} // namespace precise
