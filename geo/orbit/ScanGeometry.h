// Where each pixel of the imager looks on the ground. The scanner sweeps 1568 pixels a row across
// +-55.4 degrees, pixel centres evenly spaced in scan angle. The scan plane holds the ellipsoid
// normal through the satellite (so with no roll the nadir pixel lies at the sub-satellite point)
// and is perpendicular to the horizontal part of the satellite's velocity in inertial space:
// the Earth-relative velocity would turn it by the Earth's rotation and put the swath's edges tens
// of kilometres off. (A plane exactly perpendicular to the inertial velocity differs by a pitch of
// at most 0.2 degrees, a shift along the track that the time offset takes up.) Column 0 lies to
// the right of the flight direction. Attitude corrections: a time offset on the row times, a roll
// of the scan centre and a yaw of the scan line; the satellite's measured starting values are the
// defaults, to be refined by registration on the coastlines.
#pragma once

#include "orbit/EarthFrames.h"
#include "orbit/Sgp4.h"

#include <optional>
#include <vector>

namespace lrptgeo {

inline constexpr int kScanColumns = 1568;
inline constexpr double kScanHalfAngleDeg = 55.4;

struct TScanParameters {
    double TimeOffsetS = -0.6; // added to a row's stamped time: the row was scanned then
    double RollDeg = 0.2;      // scan centre off nadir, positive towards column 0
    double YawDeg = 0.0;       // scan line turned about nadir, positive: column 0's end forward
};

// A point of the sub-satellite track.
struct TTrackPoint {
    TUtcTime Time{};
    double LatitudeDeg = 0;
    double LongitudeDeg = 0;
};

class TScanGeometry {
  public:
    TScanGeometry(const TSgp4& aOrbit, const TScanParameters& aParameters);

    // Satellite position and scan axes of one row, so that the columns of a row cost no
    // propagation. aRowTime is the row's stamped time (the time offset is applied here).
    struct TRow {
        TVec3 PositionEcefKm;
        TVec3 NadirEcef;     // unit, in the scan plane
        TVec3 RightEcef;     // unit, in the scan plane, towards column 0 (after yaw)
        TUtcTime ScanTime{}; // stamped time + offset
    };
    TRow Row(TUtcTime aRowTime) const;

    // Scan angle of a column without roll: +55.4 deg at column 0 (right), -55.4 at column 1567.
    // Fractional columns allowed.
    static double ScanAngleDeg(double aColumn);

    // Where the line of sight of aColumn meets the WGS-84 ellipsoid (height 0); nothing when it
    // passes beside the Earth.
    std::optional<TGeodetic> Locate(const TRow& aRow, double aColumn) const;
    std::optional<TGeodetic> Locate(TUtcTime aRowTime, double aColumn) const {
        return Locate(Row(aRowTime), aColumn);
    }

    // The sub-satellite point at a row's stamped time (time offset applied).
    TGeodetic SubSatellitePoint(TUtcTime aRowTime) const;
    // The track from aFrom to aTo (stamped times) every aStepS seconds, both ends included.
    std::vector<TTrackPoint> SubSatelliteTrack(TUtcTime aFrom, TUtcTime aTo, double aStepS) const;

    const TScanParameters& Parameters() const { return fParameters; }

  private:
    TSgp4 fOrbit;
    TScanParameters fParameters;
};

} // namespace lrptgeo
