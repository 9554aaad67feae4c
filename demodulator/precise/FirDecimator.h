// Integer decimation of the precise receiver's wideband input: a real FIR evaluated only at every
// D-th sample, on the I and Q branches held apart so that each output is two contiguous dot
// products that the compiler vectorises (liquid's complex-by-real form costs several times more
// per input sample).
#pragma once

#include <algorithm>
#include <complex>
#include <cstddef>
#include <vector>

namespace precise {

class TFirDecimator {
  public:
    // aTaps: the filter's impulse response (any length >= 1); aFactor >= 1. The output sample m is
    // the filter's output at input sample m x aFactor, counted from the last Reset.
    TFirDecimator(const std::vector<float>& aTaps, int aFactor)
        : fFactor(std::max(1, aFactor)), fLength((aTaps.size() + 3) / 4 * 4) {
        // Reversed (oldest sample first) and padded in front to whole vectors.
        fTaps.assign(fLength, 0.0f);
        std::reverse_copy(aTaps.begin(), aTaps.end(), fTaps.end() - std::ptrdiff_t(aTaps.size()));
        Reset();
    }

    // Appends the outputs of aCount more input samples to aOut. Any split of the input gives the
    // same output.
    void Process(const std::complex<float>* aIn, size_t aCount, std::vector<std::complex<float>>& aOut) {
        const size_t old = fRe.size();
        fRe.resize(old + aCount);
        fIm.resize(old + aCount);
        for (size_t k = 0; k < aCount; ++k) {
            fRe[old + k] = aIn[k].real();
            fIm[old + k] = aIn[k].imag();
        }
        // fRe[0 .. fLength - 1) is history; the next output ends at fNext.
        size_t at = fNext;
        const float* h = fTaps.data();
        for (; at < fRe.size(); at += size_t(fFactor)) {
            const float *re = fRe.data() + at + 1 - fLength, *im = fIm.data() + at + 1 - fLength;
            float sr = 0, si = 0;
            for (size_t k = 0; k < fLength; ++k) {
                sr += re[k] * h[k];
                si += im[k] * h[k];
            }
            aOut.emplace_back(sr, si);
        }
        // Keep the history the next output needs.
        const size_t drop = fRe.size() - (fLength - 1);
        fRe.erase(fRe.begin(), fRe.begin() + std::ptrdiff_t(drop));
        fIm.erase(fIm.begin(), fIm.begin() + std::ptrdiff_t(drop));
        fNext = at - drop;
    }

    void Reset() {
        fRe.assign(fLength - 1, 0.0f);
        fIm.assign(fLength - 1, 0.0f);
        fNext = fLength - 1;
    }

  private:
    int fFactor;
    size_t fLength;
    std::vector<float> fTaps, fRe, fIm;
    size_t fNext = 0; // index in fRe of the next output's newest sample
};

} // namespace precise
