#include "SpurNotch.h"

#include "CoarseFrequency.h"

#include <algorithm>
#include <cmath>
#include <fftw3.h>
#include <stdexcept>

namespace precise {

namespace {

constexpr double kTwoPi = 2 * M_PI;
// The floor beside a candidate: bins kGap .. kSide away on each side (a Hann window's line covers
// two bins either side of its peak).
constexpr int kGap = 3, kSide = 48;
// Canceller: samples per frequency update, and the gains of its second-order frequency-locked loop
// on the phase the line's average turned by over a block (small, since that average itself lags by
// about 1 / Mu samples); the second order follows a drifting line without a lag.
constexpr size_t kCancelBlock = 256;
constexpr double kFllGain = 0.05, kFllRateGain = 0.0005;
// Notch: noise bandwidth of the line's average (Hz); a notch is dropped after this many looks in a
// row without its line; a look's line belongs to a notch this many bins away, and moves it when
// it lies further than kReseatBins from it.
constexpr double kNotchHz = 10;
constexpr int kMaxMisses = 2;
constexpr double kMatchBins = 3, kReseatBins = 1.5;
// Detector: FFT length, spectra per look, and the stretch skipped between looks (the first look
// comes after about 0.11 s at 144 kS/s, before the coarse carrier search's first estimate; later
// ones every 0.9 s, taking an eighth of the input: about 2 % of the receiver's work).
constexpr int kDetectSize = 4096, kDetectAverage = 4;
constexpr size_t kDetectSkip = 7 * kDetectSize * kDetectAverage;

} // namespace

TSpurDetector::TSpurDetector(double aSampleRate, int aSize, int aAverage, size_t aSkip)
    : fRate(aSampleRate), fSize(aSize), fAverage(aAverage), fSkip(aSkip) {
    if (aSize < 256 || aSize > 65536 || (aSize & (aSize - 1)) || aAverage < 1 || !(aSampleRate > 0))
        throw std::invalid_argument("spur detector: FFT length 256 .. 65536 (a power of two), "
                                    "one or more spectra per look, a positive rate");
    fFft = std::make_unique<TForwardFft>(aSize, "spur detector");
    fWindow.resize(size_t(aSize));
    for (int k = 0; k < aSize; ++k)
        fWindow[size_t(k)] = float(0.5 - 0.5 * std::cos(kTwoPi * k / aSize));
    fPower.assign(size_t(aSize), 0.0f);
}

TSpurDetector::~TSpurDetector() = default;

void TSpurDetector::Reset() {
    fFill = fDone = 0;
    fSkipLeft = 0;
    fLookEnded = false;
    fLines.clear();
    std::fill(fPower.begin(), fPower.end(), 0.0f);
}

size_t TSpurDetector::Feed(const std::complex<float>* aSamples, size_t aCount) {
    fLookEnded = false;
    size_t used = 0;
    if (fSkipLeft > 0) {
        used = std::min(aCount, fSkipLeft);
        fSkipLeft -= used;
    }
    while (used < aCount) {
        const size_t take = std::min(aCount - used, size_t(fSize - fFill));
        for (size_t k = 0; k < take; ++k) {
            const std::complex<float> x = aSamples[used + k] * fWindow[size_t(fFill) + k];
            fFft->In[size_t(fFill) + k][0] = x.real();
            fFft->In[size_t(fFill) + k][1] = x.imag();
        }
        used += take;
        fFill += int(take);
        if (fFill < fSize) break;
        fFill = 0;
        fFft->Execute();
        for (int k = 0; k < fSize; ++k)
            fPower[size_t(k)] += fFft->Out[k][0] * fFft->Out[k][0] + fFft->Out[k][1] * fFft->Out[k][1];
        if (++fDone == fAverage) {
            Look();
            fDone = 0;
            std::fill(fPower.begin(), fPower.end(), 0.0f);
            fSkipLeft = fSkip;
            fLookEnded = true;
            break;
        }
    }
    return used;
}

void TSpurDetector::Look() {
    fLines.clear();
    // Bin b of the centred spectrum is frequency (b - N/2) x rate / N.
    const int n = fSize, half = n / 2;
    auto at = [&](int b) { return double(fPower[size_t((b - half + n) % n)]) + 1e-30; };
    // Summed afresh for each candidate: running sums would lose a deep stopband's bins beside the
    // passband's in rounding.
    auto mean = [&](int from) {
        double sum = 0;
        for (int k = from; k <= from + kSide - kGap; ++k)
            sum += at(k);
        return sum / (kSide - kGap + 1);
    };
    // A line under four times the spectrum's mean bin is some 25 dB below the signal or more: it
    // costs nothing worth a notch (and few bins of noise pass this, so the floors are rarely summed).
    double total = 0;
    for (float v : fPower)
        total += v;
    const double least = 4 * total / n;
    for (int b = kSide; b < n - kSide; ++b) {
        const double p = at(b);
        if (p < least || !(p >= at(b - 1) && p > at(b + 1))) continue;
        // The floor is the larger of both sides' means: at a steep filter edge one side is far
        // below, and a peak there is the edge, not a line. Means rather than medians, since a
        // signal whose data repeat for a while (fill, plain pictures) has a comb of lines a few
        // hundred hertz apart: its neighbours raise the mean beside each, an isolated spur does not.
        const double floor = std::max(mean(b - kSide), mean(b + kGap));
        if (p < kThreshold * floor) continue;
        // The peak of a parabola through the log powers places the line between bins.
        const double l = std::log(at(b - 1)), c = std::log(p), r = std::log(at(b + 1));
        const double den = l - 2 * c + r;
        const double frac = den < 0 ? std::clamp(0.5 * (l - r) / den, -0.5, 0.5) : 0.0;
        fLines.push_back({(b - half + frac) * fRate / n, p / floor});
    }
    std::sort(fLines.begin(), fLines.end(),
              [](const TSpurLine& a, const TSpurLine& b) { return a.Strength > b.Strength; });
    if (fLines.size() > kMaxLines) fLines.resize(kMaxLines);
}

TLineCanceller::TLineCanceller(double aSampleRate, double aFrequencyHz, float aMu)
    : fRate(aSampleRate), fMu(aMu) {
    SetFrequencyHz(aFrequencyHz);
}

double TLineCanceller::FrequencyHz() const {
    return fW * fRate / kTwoPi;
}

void TLineCanceller::SetFrequencyHz(double aHz) {
    fW = kTwoPi * aHz / fRate;
    fStep = std::polar(1.0f, float(fW));
}

void TLineCanceller::Process(std::complex<float>* aBuf, size_t aCount) {
    // Until 1 / Mu samples have been seen the average is their plain mean: the notch is deep from
    // its first block on instead of after the filter's settling time.
    const size_t settled = size_t(1 / fMu);
    while (aCount > 0) {
        const size_t n = std::min(aCount, kCancelBlock - fInBlock);
        // In real arithmetic, so that the state stays in registers.
        float sr = fS.real(), si = fS.imag(), rr = fRot.real(), ri = fRot.imag();
        const float cr = fStep.real(), ci = fStep.imag();
        auto step = [&](std::complex<float>& aX, float aMu) {
            const float xr = aX.real(), xi = aX.imag();
            sr += aMu * (xr * rr + xi * ri - sr); // the input turned down by the line
            si += aMu * (xi * rr - xr * ri - si);
            aX = {xr - (sr * rr - si * ri), xi - (sr * ri + si * rr)};
            const float nr = rr * cr - ri * ci;
            ri = rr * ci + ri * cr;
            rr = nr;
        };
        if (fSeen >= settled) {
            for (size_t k = 0; k < n; ++k)
                step(aBuf[k], fMu);
        } else {
            for (size_t k = 0; k < n; ++k)
                step(aBuf[k], 1.0f / float(std::min(fSeen + k, settled) + 1));
        }
        fS = {sr, si};
        fRot = {rr, ri};
        fSeen += n;
        fInBlock += n;
        aBuf += n;
        aCount -= n;
        if (fInBlock == kCancelBlock) EndBlock();
    }
}

void TLineCanceller::EndBlock() {
    fInBlock = 0;
    fPhase = std::fmod(fPhase + fW * double(kCancelBlock), kTwoPi);
    // A line off the notch's frequency by d turns the average by d per sample: the loop moves the
    // notch after it, once the average has settled.
    if (fSeen >= size_t(2 / fMu) && std::norm(fPrevS) > 0) {
        const double error = std::arg(fS * std::conj(fPrevS)) / double(kCancelBlock);
        fDriftW += kFllRateGain * error;
        SetFrequencyHz((fW + kFllGain * error + fDriftW) * fRate / kTwoPi);
    }
    fPrevS = fS;
    // The exact turn once per block keeps the recurrence from wandering.
    fRot = std::polar(1.0f, float(fPhase));
}

TSpurNotch::TSpurNotch(double aSampleRate)
    : fRate(aSampleRate), fDetector(aSampleRate, kDetectSize, kDetectAverage, kDetectSkip) {}

TSpurNotch::~TSpurNotch() = default;

void TSpurNotch::Reset() {
    fDetector.Reset();
    fNotches.clear();
}

std::vector<double> TSpurNotch::LinesHz() const {
    std::vector<double> hz;
    for (const TNotch& n : fNotches)
        hz.push_back(n.Canceller.FrequencyHz());
    return hz;
}

bool TSpurNotch::Process(std::complex<float>* aBuf, size_t aCount) {
    bool added = false;
    const float mu = float(kTwoPi * kNotchHz / fRate);
    const double bin = fDetector.BinHz();
    // The detector sees the input before the notches (a notched line stays visible, so its notch
    // stays); a look that ends mid-block changes the notches from the next sample on.
    while (aCount > 0) {
        const size_t n = fDetector.Feed(aBuf, aCount);
        for (TNotch& notch : fNotches)
            notch.Canceller.Process(aBuf, n);
        aBuf += n;
        aCount -= n;
        if (!fDetector.LookEnded()) continue;
        std::vector<bool> taken(fDetector.Lines().size(), false);
        for (TNotch& notch : fNotches) {
            const double f = notch.Canceller.FrequencyHz();
            int nearest = -1;
            for (size_t k = 0; k < taken.size(); ++k) {
                const double d = std::fabs(fDetector.Lines()[k].FrequencyHz - f);
                if (d <= kMatchBins * bin &&
                    (nearest < 0 || d < std::fabs(fDetector.Lines()[size_t(nearest)].FrequencyHz - f)))
                    nearest = int(k);
            }
            if (nearest < 0) {
                ++notch.Misses;
                continue;
            }
            taken[size_t(nearest)] = true;
            notch.Misses = 0;
            const double seen = fDetector.Lines()[size_t(nearest)].FrequencyHz;
            if (std::fabs(seen - f) > kReseatBins * bin) notch.Canceller.SetFrequencyHz(seen);
        }
        std::erase_if(fNotches, [](const TNotch& n) { return n.Misses >= kMaxMisses; });
        for (size_t k = 0; k < taken.size() && fNotches.size() < TSpurDetector::kMaxLines; ++k)
            if (!taken[k]) {
                fNotches.push_back({TLineCanceller(fRate, fDetector.Lines()[k].FrequencyHz, mu), 0});
                added = true;
            }
    }
    return added;
}

} // namespace precise
