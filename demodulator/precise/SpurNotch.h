// Narrowband lines in the band (an SDR's own spurs, a nearby unmodulated carrier): found in a
// running averaged power spectrum and each removed by an adaptive notch a few hertz wide, before
// the AGC, the carrier search and the matched filter see the samples. A line as strong as the
// signal would otherwise hold the AGC, and its fourth power would outshine the carrier's line in
// the coarse search.
#pragma once

#include <complex>
#include <cstddef>
#include <memory>
#include <vector>

namespace precise {

class TForwardFft;

// One line the detector found.
struct TSpurLine {
    double FrequencyHz = 0; // of the samples fed, -rate/2 .. rate/2
    double Strength = 0;    // bin power over the local floor (the larger of both sides' means)
};

// Looks at a share of the input only: it averages a few windowed spectra taken back to back, then
// skips a stretch before the next look, so its cost per input sample stays small.
class TSpurDetector {
  public:
    // aSampleRate: Hz of the samples fed. aSize: FFT length (power of two, 256 .. 65536);
    // aAverage: spectra per look (>= 1); aSkip: samples skipped between looks (>= 0), none before
    // the first. Throws std::invalid_argument outside these ranges.
    TSpurDetector(double aSampleRate, int aSize, int aAverage, size_t aSkip);
    ~TSpurDetector();
    TSpurDetector(const TSpurDetector&) = delete;
    TSpurDetector& operator=(const TSpurDetector&) = delete;

    // Feeds samples up to the end of a look at most; returns how many it took. When a look has
    // ended with the last of them, LookEnded() is true and Lines() holds its lines (maybe none).
    size_t Feed(const std::complex<float>* aSamples, size_t aCount);
    bool LookEnded() const { return fLookEnded; }
    // Lines of the last look, strongest first (at most kMaxLines): local peaks standing kThreshold
    // above the mean of the bins on either side (a line, not the signal's smooth shape, a filter's
    // edge, nor one of a comb of lines that repeated data make).
    const std::vector<TSpurLine>& Lines() const { return fLines; }
    double BinHz() const { return fRate / fSize; }
    void Reset();

    static constexpr double kThreshold = 16; // 12 dB over the floor
    static constexpr size_t kMaxLines = 8;

  private:
    void Look();

    double fRate;
    int fSize, fAverage;
    size_t fSkip;
    std::unique_ptr<TForwardFft> fFft;
    std::vector<float> fWindow, fPower;
    std::vector<TSpurLine> fLines;
    int fFill = 0, fDone = 0;
    size_t fSkipLeft = 0;
    bool fLookEnded = false;
};

// Removes one line: the input turned down by the line's frequency is averaged with a one-pole
// filter (bandwidth about Mu x rate / 2 pi), and that average turned back up is the line, which is
// subtracted. The turn follows the average's own phase from block to block (a second-order
// frequency-locked loop), so a drifting line stays in the notch. Blocks count from the first
// sample, so how the input is split does not change the output.
class TLineCanceller {
  public:
    TLineCanceller(double aSampleRate, double aFrequencyHz, float aMu);
    // Filters in place.
    void Process(std::complex<float>* aBuf, size_t aCount);
    double FrequencyHz() const;
    void SetFrequencyHz(double aHz);
    // Mean power of the line the notch holds, in input units squared.
    double Power() const { return std::norm(fS); }

  private:
    void EndBlock();

    double fRate;
    double fW;          // radians per sample
    double fDriftW = 0; // the line's drift: change of fW per block
    double fPhase = 0;  // of the turn at the start of the current block
    float fMu;
    std::complex<float> fRot = 1, fStep = 1; // the turn now, and per sample
    std::complex<float> fS = 0, fPrevS = 0;  // the line in the turned frame, now and a block ago
    size_t fSeen = 0;                        // samples so far: the first average is a plain mean
    size_t fInBlock = 0;                     // samples into the current block
};

// The detector and a notch per line it finds.
class TSpurNotch {
  public:
    // aSampleRate: Hz of the samples fed (the receiver's inner rate).
    explicit TSpurNotch(double aSampleRate);
    ~TSpurNotch();
    TSpurNotch(const TSpurNotch&) = delete;
    TSpurNotch& operator=(const TSpurNotch&) = delete;

    // Filters in place; returns true when a notch was added in this call (what was gathered from
    // the samples before it is spoilt by the line). Block sizes do not change the output.
    bool Process(std::complex<float>* aBuf, size_t aCount);
    // Frequencies (Hz) of the lines notched now.
    std::vector<double> LinesHz() const;
    void Reset();

  private:
    double fRate;
    TSpurDetector fDetector;
    struct TNotch {
        TLineCanceller Canceller;
        int Misses; // looks in a row that did not see the line
    };
    std::vector<TNotch> fNotches;
};

} // namespace precise
