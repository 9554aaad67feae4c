#include "SymbolTiming.h"

#include "PreciseReceiver.h"

#include <algorithm>
#include <cmath>
#include <liquid/liquid.h>

namespace precise {

TSymbolTiming::TSymbolTiming(double aBw, float aRollOff)
    : fBank(size_t((kBranches + 1) * kTaps), 0.0f), fBuf(size_t(2 * kRing)) {
    // Prototype at 2 x 64 samples per symbol, +-4 symbols: h[c + u] is the pulse u / 64 samples
    // from its centre c. Row b holds the taps for an instant b / 64 of a sample after a whole
    // sample n0: the tap of x[n0 + a] is h[c + b - 64 a].
    const int len = 2 * kHalf * kBranches + 1, centre = kHalf * kBranches;
    std::vector<float> h(static_cast<size_t>(len));
    liquid_firdes_rrcos(2 * kBranches, kHalf / 2, aRollOff, 0, h.data());
    double sum = 0;
    for (float v : h)
        sum += v;
    const float norm = float(kBranches / sum); // unit gain at DC per branch
    for (int b = 0; b <= kBranches; ++b)
        for (int a = -kHalf; a <= kHalf; ++a) {
            const int idx = centre + b - kBranches * a;
            fBank[size_t(b * kTaps + a + kHalf)] = idx >= 0 && idx < len ? h[size_t(idx)] * norm : 0.0f;
        }
    const TPreciseReceiver::TLoopGains g = TPreciseReceiver::LoopGains(aBw, 0.707);
    fAlpha = g.Alpha;
    fBeta = g.Beta;
    Reset();
}

void TSymbolTiming::Reset() {
    std::fill(fBuf.begin(), fBuf.end(), std::complex<float>(0));
    fWrite = 0;
    fCount = 0;
    fNext = kHalf + 1;
    fRate = 0;
    fPower = fInvPower = 1;
    fErr = 0;
    fPrev = 0;
}

std::complex<float> TSymbolTiming::Dot(int64_t aCentre, const float* aTaps) const {
    // The window x[aCentre - 8 .. aCentre + 8] lies contiguously in the doubled ring.
    const int start = int((aCentre - kHalf) & (kRing - 1));
    const float* x = reinterpret_cast<const float*>(fBuf.data() + start);
    float re = 0, im = 0;
    for (int k = 0; k < kTaps; ++k) {
        re += x[2 * k] * aTaps[k];
        im += x[2 * k + 1] * aTaps[k];
    }
    return {re, im};
}

std::complex<float> TSymbolTiming::Step() {
    // The next instant follows from the error of the symbol before this one: the loop then waits
    // one more symbol (nothing beside its time constant of hundreds), and finding this symbol's
    // instant does not wait for the previous symbol's filter outputs. fNext is positive, so
    // truncation is the floor.
    const int64_t n0 = int64_t(fNext);
    const int b = std::min(kBranches, int((fNext - double(n0)) * kBranches + 0.5));
    fNext += 2 + fRate + fAlpha * fErr;
    const float* taps = fBank.data() + size_t(b * kTaps);
    const std::complex<float> on = Dot(n0, taps), mid = Dot(n0 - 1, taps);

    // Gardner: the mid-point between two symbols lies on the transition; its sign against the
    // step between the symbols tells early from late. Normalised by the mean symbol power as of
    // the previous symbol, which keeps the division out of the loop's path.
    const float e = (mid.real() * (fPrev.real() - on.real()) + mid.imag() * (fPrev.imag() - on.imag()));
    // A filter output that is not finite (the input layer erases such samples, so this is a last
    // guard) counts as no error and no power: the loop's state, and with it the integer position
    // above, must stay finite for good.
    const double err = double(e) * fInvPower, power = std::norm(on);
    if (std::isfinite(err) && std::isfinite(power)) {
        fErr = std::clamp(err, -1.0, 1.0);
        fRate = std::clamp(fRate + fBeta * fErr, -kMaxRate, kMaxRate);
        fPower += (power - fPower) / 256;
        fInvPower = 1 / (fPower + 1e-30);
        fPrev = on;
    } else {
        fErr = 0;
        fPrev = 0;
    }
    return on;
}

} // namespace precise
