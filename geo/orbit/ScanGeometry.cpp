#include "orbit/ScanGeometry.h"

#include "Angles.h"

#include <cmath>
#include <numbers>

namespace lrptgeo {

TScanGeometry::TScanGeometry(const TSgp4& aOrbit, const TScanParameters& aParameters)
    : fOrbit(aOrbit), fParameters(aParameters) {}

double TScanGeometry::ScanAngleDeg(double aColumn) {
    return kScanHalfAngleDeg - aColumn * (2 * kScanHalfAngleDeg / (kScanColumns - 1));
}

TScanGeometry::TRow TScanGeometry::Row(TUtcTime aRowTime) const {
    TRow row;
    row.ScanTime = AddSeconds(aRowTime, fParameters.TimeOffsetS);
    const TStateTeme teme = fOrbit.At(row.ScanTime);
    row.PositionEcefKm = TemeToEcefAxes(teme.PositionKm, row.ScanTime);
    // The inertial velocity's direction in Earth-fixed axes: rotated, without the rotation term.
    const TVec3 along = Normalized(TemeToEcefAxes(teme.VelocityKmS, row.ScanTime));
    const TGeodetic below = EcefToGeodetic(row.PositionEcefKm);
    const double lat = below.LatitudeDeg * kDeg, lon = below.LongitudeDeg * kDeg;
    const TVec3 down{-std::cos(lat) * std::cos(lon), -std::cos(lat) * std::sin(lon), -std::sin(lat)};
    row.NadirEcef = down;
    const TVec3 right = Normalized(Cross(down, along));
    const TVec3 forward = Cross(right, down);
    const double yaw = fParameters.YawDeg * kDeg;
    row.RightEcef = std::cos(yaw) * right + std::sin(yaw) * forward;
    return row;
}

std::optional<TGeodetic> TScanGeometry::Locate(const TRow& aRow, double aColumn) const {
    const double angle = (ScanAngleDeg(aColumn) + fParameters.RollDeg) * kDeg;
    const TVec3 look = std::cos(angle) * aRow.NadirEcef + std::sin(angle) * aRow.RightEcef;
    // In coordinates scaled by the ellipsoid's axes the ellipsoid is the unit sphere.
    constexpr double a = TWgs84::SemiMajorAxisKm, b = TWgs84::SemiMinorAxisKm;
    const TVec3 p{aRow.PositionEcefKm.X / a, aRow.PositionEcefKm.Y / a, aRow.PositionEcefKm.Z / b};
    const TVec3 u{look.X / a, look.Y / a, look.Z / b};
    const double qa = Dot(u, u), qb = 2 * Dot(p, u), qc = Dot(p, p) - 1;
    const double disc = qb * qb - 4 * qa * qc;
    if (disc < 0) return std::nullopt;
    const double s = (-qb - std::sqrt(disc)) / (2 * qa); // the nearer of the two intersections
    if (s < 0) return std::nullopt;
    const TVec3 g = aRow.PositionEcefKm + s * look;
    // On the ellipsoid itself the geodetic latitude has a closed form.
    TGeodetic out;
    out.LatitudeDeg = std::atan2(g.Z, (1 - TWgs84::EccentricitySquared) * std::hypot(g.X, g.Y)) / kDeg;
    out.LongitudeDeg = std::atan2(g.Y, g.X) / kDeg;
    out.HeightKm = 0;
    return out;
}

TGeodetic TScanGeometry::SubSatellitePoint(TUtcTime aRowTime) const {
    return lrptgeo::SubSatellitePoint(fOrbit, AddSeconds(aRowTime, fParameters.TimeOffsetS));
}

std::vector<TTrackPoint> TScanGeometry::SubSatelliteTrack(TUtcTime aFrom, TUtcTime aTo, double aStepS) const {
    std::vector<TTrackPoint> track;
    if (!(aStepS > 0)) return track;
    const double span = SecondsBetween(aFrom, aTo);
    const int steps = static_cast<int>(std::floor(span / aStepS + 1e-9));
    for (int i = 0; i <= steps; ++i) {
        const TUtcTime t = AddSeconds(aFrom, i * aStepS);
        const TGeodetic g = SubSatellitePoint(t);
        track.push_back({t, g.LatitudeDeg, g.LongitudeDeg});
    }
    if (span > steps * aStepS + 1e-6) {
        const TGeodetic g = SubSatellitePoint(aTo);
        track.push_back({aTo, g.LatitudeDeg, g.LongitudeDeg});
    }
    return track;
}

} // namespace lrptgeo
