#include "CoarseFrequency.h"

#include <algorithm>
#include <cmath>
#include <fftw3.h>
#include <mutex>
#include <stdexcept>
#include <string>

namespace precise {

std::mutex& FftwPlannerLock() {
    static std::mutex m;
    return m;
}

TForwardFft::TForwardFft(int aSize, const char* aUser) {
    std::lock_guard<std::mutex> lock(FftwPlannerLock());
    In = fftwf_alloc_complex(size_t(aSize));
    Out = fftwf_alloc_complex(size_t(aSize));
    if (In && Out) fPlan = fftwf_plan_dft_1d(aSize, In, Out, FFTW_FORWARD, FFTW_ESTIMATE);
    if (!fPlan) {
        fftwf_free(In);
        fftwf_free(Out);
        throw std::runtime_error(std::string("cannot set up the FFT of the ") + aUser);
    }
}

TForwardFft::~TForwardFft() {
    std::lock_guard<std::mutex> lock(FftwPlannerLock());
    fftwf_destroy_plan(fPlan);
    fftwf_free(In);
    fftwf_free(Out);
}

void TForwardFft::Execute() {
    fftwf_execute(fPlan);
}

TCoarseFrequency::TCoarseFrequency(double aSampleRate, int aSize, int aAverage, double aMaxOffsetHz)
    : fRate(aSampleRate), fSize(aSize), fAverage(std::max(1, aAverage)),
      fFft(std::make_unique<TForwardFft>(aSize, "carrier estimate")), fPower(size_t(aSize), 0.0f) {
    const double limit = std::min(aMaxOffsetHz, aSampleRate / 8);
    fMaxBin = std::max(1, int(4 * limit / aSampleRate * aSize));
}

TCoarseFrequency::~TCoarseFrequency() = default;

void TCoarseFrequency::Reset() {
    fFill = 0;
    fDone = 0;
    std::fill(fPower.begin(), fPower.end(), 0.0f);
}

bool TCoarseFrequency::Feed(const std::complex<float>* aSamples, size_t aCount) {
    bool ready = false;
    while (aCount > 0) {
        const size_t take = std::min(aCount, size_t(fSize - fFill));
        fftwf_complex* in = fFft->In + fFill;
        for (size_t k = 0; k < take; ++k) {
            const std::complex<float> x2 = aSamples[k] * aSamples[k];
            const std::complex<float> x4 = x2 * x2;
            in[k][0] = x4.real();
            in[k][1] = x4.imag();
        }
        fFill += int(take);
        aSamples += take;
        aCount -= take;
        if (fFill < fSize) break;
        fFft->Execute();
        for (int k = 0; k < fSize; ++k)
            fPower[size_t(k)] += fFft->Out[k][0] * fFft->Out[k][0] + fFft->Out[k][1] * fFft->Out[k][1];
        fFill = 0;
        if (++fDone == fAverage) {
            Estimate();
            fDone = 0;
            std::fill(fPower.begin(), fPower.end(), 0.0f);
            ready = true;
        }
    }
    return ready;
}

void TCoarseFrequency::Estimate() {
    // Search bins -fMaxBin..fMaxBin around zero; the mean of the searched bins is the noise floor.
    auto at = [&](int bin) { return double(fPower[size_t((bin + fSize) % fSize)]); };
    int best = 0;
    double peak = -1, sum = 0;
    for (int b = -fMaxBin; b <= fMaxBin; ++b) {
        const double p = at(b);
        sum += p;
        if (p > peak) {
            peak = p;
            best = b;
        }
    }
    const double mean = sum / (2 * fMaxBin + 1);
    // A parabola through the peak and its neighbours places the line between bins.
    const double l = at(best - 1), c = at(best), r = at(best + 1);
    const double den = l - 2 * c + r;
    const double frac = den < 0 ? std::clamp(0.5 * (l - r) / den, -0.5, 0.5) : 0.0;
    fOffsetHz = (best + frac) * fRate / fSize / 4;
    fStrength = mean > 0 ? peak / mean : 0;
}

} // namespace precise
