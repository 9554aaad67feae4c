// Symbol timing of the precise receiver: root-raised-cosine matched filter as a polyphase bank
// (64 branches per input sample, +-4 symbols) evaluated only at the sampling instants, with a
// Gardner timing detector and a second-order loop. The input may have any number of samples per
// symbol from 2 up (not a whole number): the bank interpolates, so the fractional resampling costs
// nothing beyond the matched filter, which needs its dot products at the instants anyway. Written
// for the receiver instead of liquid's symsync because it does the same filtering with four short
// real dot products per symbol and no per-sample bookkeeping.
#pragma once

#include <complex>
#include <cstdint>
#include <vector>

namespace precise {

class TSymbolTiming {
  public:
    // aSamplesPerSymbol: nominal input samples per symbol, 2 .. 8 (clamped); aOqpsk: the Q branch is sent
    // half a symbol after I, so I is sampled half a nominal period before Q and paired with it;
    // aBw: loop noise bandwidth as a fraction of the symbol rate (0 < aBw < 0.2); aRollOff 0..1.
    TSymbolTiming(double aSamplesPerSymbol, bool aOqpsk, double aBw, float aRollOff);

    // Feeds one sample; returns true when a symbol instant has passed and sets aSymbol to the
    // matched filter's output there (delay: about 4 symbols and 4 samples plus the fractional
    // timing).
    bool Push(std::complex<float> aSample, std::complex<float>& aSymbol) {
        fRe[size_t(fWrite)] = fRe[size_t(fWrite + kRing)] = aSample.real();
        fIm[size_t(fWrite)] = fIm[size_t(fWrite + kRing)] = aSample.imag();
        fWrite = (fWrite + 1) & (kRing - 1);
        ++fCount;
        // Four samples beyond the window: the dot products' vector loads (which run past the window
        // into the padding) then read no sample just stored, whose store they would wait for.
        if (fNext + fHalf + 4 > double(fCount - 1)) return false;
        aSymbol = (this->*fStep)();
        return true;
    }
    void Reset();
    // Input samples per symbol the loop holds.
    double Period() const { return fScale * (2 + fRate); }

  private:
    static constexpr int kBranches = 64, kRing = 256;
    // The symbol rate may differ from the nominal by 0.25 % at most (recorders' clocks are within
    // 0.01 %); the limit keeps the timing from wandering far while there is only noise. In units
    // of half a nominal period, as are the loop's other quantities: the loop's dynamics then do
    // not depend on the samples per symbol.
    static constexpr double kMaxRate = 0.005;
    // The step for rows of 4 x G taps, G a constant so that the dot products unroll.
    using TStep = std::complex<float> (TSymbolTiming::*)();
    static constexpr int kMinGroups = 5, kMaxGroups = 17; // 2 .. 8 samples per symbol
    template <int G> std::complex<float> Step();
    static TStep StepFor(int aGroups);
    // An instant (a sample index) as the start of its window in the ring and its row of taps.
    struct TWhere {
        size_t Start;
        const float* Taps;
    };
    TWhere Where(double aAt) const;
    // Matched filter output of one branch (fRe or fIm), or of both, at an instant.
    template <int G> static float Dot(const std::vector<float>& aBranch, TWhere aWhere);
    template <int G> std::complex<float> DotPair(TWhere aWhere) const;

    double fScale = 1;   // input samples per half symbol
    bool fOqpsk = false; // I sampled fScale before Q
    int fHalf = 8;       // taps either side of the centre
    int fTaps = 20;      // taps per row, padded with zeros to a multiple of 4
    TStep fStep = nullptr;
    std::vector<float> fBank;    // kBranches + 1 rows of fTaps
    std::vector<float> fRe, fIm; // the input's branches, each ring stored twice so windows are contiguous
    int fWrite = 0;
    int64_t fCount = 0;
    double fNext = 0; // sample index of the next symbol instant (Q's under offset QPSK)
    double fRate = 0; // loop integrator: half-symbols per symbol beyond 2
    double fErr = 0;  // timing error of the latest symbol, -1 .. 1
    double fAlpha = 0, fBeta = 0;
    double fPower = 1, fInvPower = 1; // mean symbol power, and its inverse as of the previous symbol
    std::complex<float> fPrev = 0;
};

} // namespace precise
