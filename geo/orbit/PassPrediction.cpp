#include "orbit/PassPrediction.h"

#include <cmath>

namespace lrptgeo {

namespace {

constexpr double kCoarseStepS = 30.0;
// Margin before and after the window: longer than any low-orbit pass, so a pass under way at
// either end is seen whole.
constexpr double kMarginS = 30 * 60.0;

struct TSampler {
    const TSgp4& Orbit;
    const TStation& Station;
    TLookAngles At(TUtcTime t) const { return LookAngles(Station, TemeToEcef(Orbit.At(t), t)); }
    double Elevation(TUtcTime t) const { return At(t).ElevationDeg; }
};

// The crossing of aLevel between aBelow (elevation under it) and aAbove (over it), to 10 ms.
TUtcTime Crossing(const TSampler& aSampler, TUtcTime aBelow, TUtcTime aAbove, double aLevel) {
    while (std::fabs(SecondsBetween(aBelow, aAbove)) > 0.01) {
        const TUtcTime mid = aBelow + (aAbove - aBelow) / 2;
        (aSampler.Elevation(mid) < aLevel ? aBelow : aAbove) = mid;
    }
    return aBelow + (aAbove - aBelow) / 2;
}

// Golden-section search for the maximum of a unimodal elevation in [aLow, aHigh], to 10 ms.
TUtcTime Maximum(const TSampler& aSampler, TUtcTime aLow, TUtcTime aHigh) {
    const double invPhi = (std::sqrt(5.0) - 1) / 2;
    TUtcTime a = aLow, b = aHigh;
    TUtcTime c = b - (b - a) * invPhi, d = a + (b - a) * invPhi;
    double fc = aSampler.Elevation(c), fd = aSampler.Elevation(d);
    while (SecondsBetween(a, b) > 0.01) {
        if (fc > fd) {
            b = d;
            d = c;
            fd = fc;
            c = b - (b - a) * invPhi;
            fc = aSampler.Elevation(c);
        } else {
            a = c;
            c = d;
            fc = fd;
            d = a + (b - a) * invPhi;
            fd = aSampler.Elevation(d);
        }
    }
    return a + (b - a) / 2;
}

} // namespace

const char* PassDirectionName(TPassDirection aDirection) {
    return aDirection == TPassDirection::Northbound ? "northbound" : "southbound";
}

std::vector<TPass> PredictPasses(const TSgp4& aOrbit, const TStation& aStation, TUtcTime aFrom, double aDays,
                                 double aMinElevationDeg) {
    const TSampler sampler{aOrbit, aStation};
    const TUtcTime end = AddSeconds(aFrom, aDays * 86400.0);
    const TUtcTime first = AddSeconds(aFrom, -kMarginS);
    const int count = static_cast<int>(std::ceil((aDays * 86400.0 + 2 * kMarginS) / kCoarseStepS)) + 1;
    std::vector<TUtcTime> times(count);
    std::vector<double> elevations(count);
    for (int i = 0; i < count; ++i) {
        times[i] = AddSeconds(first, i * kCoarseStepS);
        elevations[i] = sampler.Elevation(times[i]);
    }

    std::vector<TPass> passes;
    for (int i = 1; i + 1 < count; ++i) {
        if (!(elevations[i] >= elevations[i - 1] && elevations[i] > elevations[i + 1])) continue;
        TPass pass;
        pass.MaxElevationTime = Maximum(sampler, times[i - 1], times[i + 1]);
        const TSatelliteState top = StateAt(aOrbit, pass.MaxElevationTime);
        pass.MaxElevationDeg = LookAngles(aStation, top.Ecef).ElevationDeg;
        if (pass.MaxElevationDeg < aMinElevationDeg) continue;
        // The nearest coarse samples below the minimum on either side of the maximum bracket AOS and
        // LOS together with the first and last samples above it (or the maximum itself, for a pass
        // that rises above the minimum only between two samples).
        const TUtcTime topTime = pass.MaxElevationTime;
        int before = i;
        while (before > 0 && (times[before] >= topTime || elevations[before] >= aMinElevationDeg))
            --before;
        int after = i;
        while (after + 1 < count && (times[after] <= topTime || elevations[after] >= aMinElevationDeg))
            ++after;
        if (elevations[before] >= aMinElevationDeg || elevations[after] >= aMinElevationDeg)
            continue; // cut by the sampled span; cannot happen with the margin for low orbits
        const TUtcTime aosAbove = times[before + 1] < topTime ? times[before + 1] : topTime;
        const TUtcTime losAbove = times[after - 1] > topTime ? times[after - 1] : topTime;
        pass.Aos = Crossing(sampler, times[before], aosAbove, aMinElevationDeg);
        pass.Los = Crossing(sampler, times[after], losAbove, aMinElevationDeg);
        if (!(pass.Los > aFrom && pass.Aos < end)) continue;
        pass.AosAzimuthDeg = sampler.At(pass.Aos).AzimuthDeg;
        pass.LosAzimuthDeg = sampler.At(pass.Los).AzimuthDeg;
        pass.Direction =
            top.Ecef.VelocityKmS.Z >= 0 ? TPassDirection::Northbound : TPassDirection::Southbound;
        passes.push_back(pass);
    }
    return passes;
}

} // namespace lrptgeo
