// Symbol timing of the precise receiver: root-raised-cosine matched filter as a polyphase bank
// (64 branches, +-4 symbols) evaluated only at the sampling instants, with a Gardner timing
// detector and a second-order loop. Input: two samples per symbol (nominal). Written for the
// receiver instead of liquid's symsync because it does the same filtering with two short dot
// products per symbol and no per-sample bookkeeping (about twice as fast in bench_precise).
#pragma once

#include <complex>
#include <cstdint>
#include <vector>

namespace precise {

class TSymbolTiming {
  public:
    // aBw: loop noise bandwidth as a fraction of the symbol rate (0 < aBw < 0.2); aRollOff 0..1.
    TSymbolTiming(double aBw, float aRollOff);

    // Feeds one sample; returns true when a symbol instant has passed and sets aSymbol to the
    // matched filter's output there (delay: 4 symbols plus the fractional timing).
    bool Push(std::complex<float> aSample, std::complex<float>& aSymbol) {
        fBuf[size_t(fWrite)] = aSample;
        fBuf[size_t(fWrite + kRing)] = aSample;
        fWrite = (fWrite + 1) & (kRing - 1);
        ++fCount;
        if (fNext + kHalf > double(fCount - 1)) return false;
        aSymbol = Step();
        return true;
    }
    void Reset();
    // Samples per symbol the loop holds (2 nominal).
    double Period() const { return 2 + fRate; }

  private:
    static constexpr int kBranches = 64, kHalf = 8, kTaps = 2 * kHalf + 1, kRing = 64;
    // The symbol rate may differ from the nominal by 0.25 % at most (recorders' clocks are within
    // 0.01 %); the limit keeps the timing from wandering far while there is only noise.
    static constexpr double kMaxRate = 0.005;
    std::complex<float> Step();
    std::complex<float> Dot(int64_t aCentre, const float* aTaps) const;

    std::vector<float> fBank; // kBranches + 1 rows of kTaps
    std::vector<std::complex<float>> fBuf;
    int fWrite = 0;
    int64_t fCount = 0;
    double fNext = 0; // sample index of the next symbol instant
    double fRate = 0; // loop integrator: samples per symbol beyond 2
    double fErr = 0;  // timing error of the latest symbol, -1 .. 1
    double fAlpha = 0, fBeta = 0;
    double fPower = 1, fInvPower = 1; // mean symbol power, and its inverse as of the previous symbol
    std::complex<float> fPrev = 0;
};

} // namespace precise
