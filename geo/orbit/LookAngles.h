// Where a satellite stands in a ground station's sky: azimuth, elevation, range and range rate
// (the last is what a receiver's Doppler correction would need).
#pragma once

#include "orbit/EarthFrames.h"

#include <stdexcept>
#include <string>

namespace lrptgeo {

struct TStation {
    double LatitudeDeg = 0;  // geodetic, -90..90
    double LongitudeDeg = 0; // east positive, -180..180
    double HeightKm = 0;     // above the WGS-84 ellipsoid
};

// A station text that is not "LAT,LON[,ALT]".
class EStationFormatError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// "LAT,LON[,ALT]": degrees (north and east positive) and metres above the ellipsoid. Throws
// EStationFormatError naming the text for anything else or values out of range.
TStation ParseStation(const std::string& aText);

struct TLookAngles {
    double AzimuthDeg = 0;   // from north through east, 0..360
    double ElevationDeg = 0; // above the horizon plane of the ellipsoid normal, -90..90
    double RangeKm = 0;
    double RangeRateKmS = 0; // positive when the satellite moves away
};

TLookAngles LookAngles(const TStation& aStation, const TStateEcef& aSatellite);

} // namespace lrptgeo
