#include "orbit/EarthFrames.h"

#include "Angles.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace lrptgeo {

double GmstRad(TUtcTime aTime) {
    // IAU-82: seconds of sidereal time, with T in Julian centuries of UT1 from J2000.0.
    const double tut1 = (JulianDateUtc(aTime) - 2451545.0) / 36525.0;
    double seconds = -6.2e-6 * tut1 * tut1 * tut1 + 0.093104 * tut1 * tut1 +
                     (876600.0 * 3600 + 8640184.812866) * tut1 + 67310.54841;
    double radians = std::fmod(seconds * kDeg / 240.0, kTwoPi); // 240 s of time per degree
    if (radians < 0) radians += kTwoPi;
    return radians;
}

TVec3 TemeToEcefAxes(TVec3 aTeme, TUtcTime aTime) {
    const double g = GmstRad(aTime);
    const double c = std::cos(g), s = std::sin(g);
    return {c * aTeme.X + s * aTeme.Y, -s * aTeme.X + c * aTeme.Y, aTeme.Z};
}

TStateEcef TemeToEcef(const TStateTeme& aTeme, TUtcTime aTime) {
    TStateEcef ecef;
    ecef.PositionKm = TemeToEcefAxes(aTeme.PositionKm, aTime);
    const TVec3 omega{0, 0, kEarthRotationRadS};
    ecef.VelocityKmS = TemeToEcefAxes(aTeme.VelocityKmS, aTime) - Cross(omega, ecef.PositionKm);
    return ecef;
}

TGeodetic EcefToGeodetic(TVec3 p) {
    constexpr double a = TWgs84::SemiMajorAxisKm;
    constexpr double e2 = TWgs84::EccentricitySquared;
    const double rho = std::hypot(p.X, p.Y);
    TGeodetic g;
    g.LongitudeDeg = std::atan2(p.Y, p.X) / kDeg;
    // Fixed-point iteration on the latitude; from the geocentric start it settles to below a
    // micrometre in a handful of steps for any height from the ground to orbit.
    double lat = std::atan2(p.Z, rho * (1 - e2));
    double n = a;
    for (int i = 0; i < 8; ++i) {
        const double s = std::sin(lat);
        n = a / std::sqrt(1 - e2 * s * s);
        const double next = std::atan2(p.Z + n * e2 * s, rho);
        const bool settled = std::fabs(next - lat) < 1e-14;
        lat = next;
        if (settled) break;
    }
    const double s = std::sin(lat), c = std::cos(lat);
    n = a / std::sqrt(1 - e2 * s * s);
    // Height along whichever of the two projections is better conditioned at this latitude.
    g.HeightKm = std::fabs(c) > 0.1 ? rho / c - n : p.Z / s - n * (1 - e2);
    g.LatitudeDeg = lat / kDeg;
    return g;
}

TVec3 GeodeticToEcef(const TGeodetic& g) {
    constexpr double a = TWgs84::SemiMajorAxisKm;
    constexpr double e2 = TWgs84::EccentricitySquared;
    const double lat = g.LatitudeDeg * kDeg, lon = g.LongitudeDeg * kDeg;
    const double s = std::sin(lat), c = std::cos(lat);
    const double n = a / std::sqrt(1 - e2 * s * s);
    return {(n + g.HeightKm) * c * std::cos(lon), (n + g.HeightKm) * c * std::sin(lon),
            (n * (1 - e2) + g.HeightKm) * s};
}

TSatelliteState StateAt(const TSgp4& aOrbit, TUtcTime aTime) {
    TSatelliteState state;
    state.Time = aTime;
    state.Teme = aOrbit.At(aTime);
    state.Ecef = TemeToEcef(state.Teme, aTime);
    return state;
}

TGeodetic SubSatellitePoint(const TSgp4& aOrbit, TUtcTime aTime) {
    TGeodetic g = EcefToGeodetic(StateAt(aOrbit, aTime).Ecef.PositionKm);
    g.HeightKm = 0;
    return g;
}

double GreatCircleDistanceKm(double aLat1Deg, double aLon1Deg, double aLat2Deg, double aLon2Deg) {
    constexpr double meanRadiusKm = 6371.0088;
    const double p1 = aLat1Deg * kDeg, p2 = aLat2Deg * kDeg;
    const double dp = p2 - p1, dl = (aLon2Deg - aLon1Deg) * kDeg;
    const double h = std::sin(dp / 2) * std::sin(dp / 2) +
                     std::cos(p1) * std::cos(p2) * std::sin(dl / 2) * std::sin(dl / 2);
    return 2 * meanRadiusKm * std::asin(std::min(1.0, std::sqrt(h)));
}

} // namespace lrptgeo
