// Coarse carrier estimate before the loop: the spectrum of the fourth power of the signal shows a
// line at four times the carrier offset for QPSK (the data modulation is removed by the power).
// The receiver feeds it samples and asks for an estimate once a few spectra have been averaged.
#pragma once

#include <complex>
#include <cstddef>
#include <fftw3.h>
#include <memory>
#include <mutex>
#include <vector>

namespace precise {

// FFTW's planner is not reentrant: every plan of the receiver is made and destroyed under this.
std::mutex& FftwPlannerLock();

// A forward complex FFT of one length: FFTW's buffers (In, Out) and its plan, made and destroyed
// under FftwPlannerLock. Throws std::runtime_error naming aUser when FFTW cannot set it up.
class TForwardFft {
  public:
    TForwardFft(int aSize, const char* aUser);
    ~TForwardFft();
    TForwardFft(const TForwardFft&) = delete;
    TForwardFft& operator=(const TForwardFft&) = delete;
    // Out = FFT(In).
    void Execute();
    fftwf_complex* In = nullptr;
    fftwf_complex* Out = nullptr;

  private:
    fftwf_plan fPlan = nullptr;
};

class TCoarseFrequency {
  public:
    // aSampleRate: Hz of the samples fed; aSize: FFT length (power of two, >= 256); aAverage:
    // spectra averaged per estimate (>= 1); aMaxOffsetHz: largest offset searched (limited to an
    // eighth of the sample rate, where the fourth power still lies below Nyquist).
    TCoarseFrequency(double aSampleRate, int aSize, int aAverage, double aMaxOffsetHz);
    ~TCoarseFrequency();
    TCoarseFrequency(const TCoarseFrequency&) = delete;
    TCoarseFrequency& operator=(const TCoarseFrequency&) = delete;

    // Feeds samples; returns true when a new estimate is ready (after aSize x aAverage samples).
    bool Feed(const std::complex<float>* aSamples, size_t aCount);
    // The last estimate: carrier offset in Hz of the samples fed, and the line's strength as the
    // ratio of its power to the mean power of the searched bins (about 1 without a line).
    double OffsetHz() const { return fOffsetHz; }
    double Strength() const { return fStrength; }
    // Drops the samples gathered so far.
    void Reset();

  private:
    void Estimate();

    double fRate;
    int fSize, fAverage;
    int fMaxBin;
    std::unique_ptr<TForwardFft> fFft;
    std::vector<float> fPower;
    int fFill = 0, fDone = 0;
    double fOffsetHz = 0, fStrength = 0;
};

} // namespace precise
