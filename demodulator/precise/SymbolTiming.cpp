#include "SymbolTiming.h"

#include "PreciseReceiver.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

namespace precise {

namespace {

// Root-raised-cosine pulse at aT symbols from its centre (peak 1 - b + 4 b / pi), with the limits
// at its two removable singularities.
double RootRaisedCosine(double aT, double aBeta) {
    if (std::fabs(aT) < 1e-9) return 1 - aBeta + 4 * aBeta / M_PI;
    if (aBeta > 0 && std::fabs(std::fabs(aT) - 1 / (4 * aBeta)) < 1e-9)
        return aBeta / std::sqrt(2.0) *
               ((1 + 2 / M_PI) * std::sin(M_PI / (4 * aBeta)) +
                (1 - 2 / M_PI) * std::cos(M_PI / (4 * aBeta)));
    return (std::sin(M_PI * aT * (1 - aBeta)) + 4 * aBeta * aT * std::cos(M_PI * aT * (1 + aBeta))) /
           (M_PI * aT * (1 - 16 * aBeta * aBeta * aT * aT));
}

} // namespace

TSymbolTiming::TSymbolTiming(double aSamplesPerSymbol, bool aOqpsk, double aBw, float aRollOff)
    : fScale(aSamplesPerSymbol / 2), fOqpsk(aOqpsk), fRe(size_t(2 * kRing)), fIm(size_t(2 * kRing)) {
    const double sps = std::clamp(aSamplesPerSymbol, 2.0, 8.0);
    fScale = sps / 2;
    // +-4 symbols of the pulse; the rows are padded so the dot products run in whole vectors.
    fHalf = int(std::ceil(4 * sps - 1e-9));
    fTaps = (2 * fHalf + 1 + 3) / 4 * 4;
    fStep = StepFor(fTaps / 4);
    // Row b holds the taps for an instant b / 64 of a sample after a whole sample n0: the tap of
    // x[n0 + a] is the pulse at (b / 64 - a) samples. Row 64 repeats row 0 one sample on, so that
    // rounding to the nearest row never needs the next sample's row.
    fBank.assign(size_t((kBranches + 1) * fTaps), 0.0f);
    double sum = 0;
    for (int b = 0; b <= kBranches; ++b)
        for (int a = -fHalf; a <= fHalf; ++a) {
            const double t = (double(b) / kBranches - a) / sps;
            const double v = std::fabs(t) <= 4 ? RootRaisedCosine(t, aRollOff) : 0;
            fBank[size_t(b * fTaps + a + fHalf)] = float(v);
            if (b < kBranches) sum += v;
        }
    // Unit gain at DC per row (the pulse is band-limited well below the sample rate, so every
    // row sums to about the same).
    const float norm = float(kBranches / sum);
    for (float& v : fBank)
        v *= norm;
    const TPreciseReceiver::TLoopGains g = TPreciseReceiver::LoopGains(aBw, 0.707);
    fAlpha = g.Alpha;
    fBeta = g.Beta;
    Reset();
}

void TSymbolTiming::Reset() {
    std::fill(fRe.begin(), fRe.end(), 0.0f);
    std::fill(fIm.begin(), fIm.end(), 0.0f);
    fWrite = 0;
    fCount = 0;
    // The earliest window (offset QPSK's mid-point of I, a period back) starts within the input.
    fNext = fHalf + 2 * fScale + 1;
    fRate = 0;
    fPower = fInvPower = 1;
    fErr = 0;
    fPrev = 0;
}

TSymbolTiming::TWhere TSymbolTiming::Where(double aAt) const {
    // aAt is positive, so truncation is the floor. The window x[n0 - fHalf ..] lies contiguously
    // in the doubled ring (it spans under kRing samples).
    const int64_t n0 = int64_t(aAt);
    const int b = std::min(kBranches, int((aAt - double(n0)) * kBranches + 0.5));
    return {size_t((n0 - fHalf) & (kRing - 1)), fBank.data() + size_t(b * fTaps)};
}

template <int G> float TSymbolTiming::Dot(const std::vector<float>& aBranch, TWhere aWhere) {
    const float* x = aBranch.data() + aWhere.Start;
    float s = 0;
    for (int k = 0; k < 4 * G; ++k)
        s += x[k] * aWhere.Taps[k];
    return s;
}

template <int G> std::complex<float> TSymbolTiming::DotPair(TWhere aWhere) const {
    const float *re = fRe.data() + aWhere.Start, *im = fIm.data() + aWhere.Start;
    float sr = 0, si = 0;
    for (int k = 0; k < 4 * G; ++k) {
        sr += re[k] * aWhere.Taps[k];
        si += im[k] * aWhere.Taps[k];
    }
    return {sr, si};
}

template <int G> std::complex<float> TSymbolTiming::Step() {
    // The next instant follows from the error of the symbol before this one: the loop then waits
    // one more symbol (nothing beside its time constant of hundreds), and finding this symbol's
    // instant does not wait for the previous symbol's filter outputs.
    const double at = fNext, h = fScale;
    fNext += h * (2 + fRate + fAlpha * fErr);
    // Offset QPSK: I is taken half a period before Q, which lines the branches up; from here on
    // the pair is plain QPSK to the Gardner detector and the carrier loop. The mid-points lie
    // half a period before each branch's instant.
    std::complex<float> on, mid;
    const TWhere now = Where(at), before = Where(at - h);
    if (!fOqpsk) {
        on = DotPair<G>(now);
        mid = DotPair<G>(before);
    } else {
        const std::complex<float> b = DotPair<G>(before);
        on = {b.real(), Dot<G>(fIm, now)};
        mid = {Dot<G>(fRe, Where(at - 2 * h)), b.imag()};
    }

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

TSymbolTiming::TStep TSymbolTiming::StepFor(int aGroups) {
    static constexpr auto kSteps = []<std::size_t... I>(std::index_sequence<I...>) {
        return std::array<TStep, sizeof...(I)>{&TSymbolTiming::Step<kMinGroups + int(I)>...};
    }
    (std::make_index_sequence<kMaxGroups - kMinGroups + 1>());
    return kSteps[size_t(std::clamp(aGroups, kMinGroups, kMaxGroups) - kMinGroups)];
}

} // namespace precise
