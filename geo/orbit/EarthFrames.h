// From SGP4's inertial frame to the Earth: Earth-fixed coordinates by the Greenwich mean sidereal
// time (IAU-82 expression, UT1 taken as UTC, polar motion left out: metres at most, well under
// what a pixel of these pictures covers), and WGS-84 geodetic latitude, longitude and height.
#pragma once

#include "orbit/Sgp4.h"
#include "orbit/UtcTime.h"
#include "orbit/Vec3.h"

namespace lrptgeo {

// Earth-fixed (pseudo Earth-fixed: the Earth's axis of rotation, no polar motion) position and
// the velocity relative to the rotating Earth.
struct TStateEcef {
    TVec3 PositionKm;
    TVec3 VelocityKmS; // includes the -omega x r of the Earth's rotation
};

// WGS-84 ellipsoid.
struct TWgs84 {
    static constexpr double SemiMajorAxisKm = 6378.137;
    static constexpr double Flattening = 1 / 298.257223563;
    static constexpr double SemiMinorAxisKm = SemiMajorAxisKm * (1 - Flattening);
    static constexpr double EccentricitySquared = Flattening * (2 - Flattening);
};

// Earth's rotation rate (rad/s) relative to the mean equinox, as used with GMST.
inline constexpr double kEarthRotationRadS = 7.292115146706979e-5;

struct TGeodetic {
    double LatitudeDeg = 0;  // -90..90
    double LongitudeDeg = 0; // -180..180 (east positive)
    double HeightKm = 0;     // above the WGS-84 ellipsoid
};

// Greenwich mean sidereal time, radians in [0, 2 pi).
double GmstRad(TUtcTime aTime);

// Rotation of TEME axes into Earth-fixed axes at aTime (a vector, not a state: no rotation term).
TVec3 TemeToEcefAxes(TVec3 aTeme, TUtcTime aTime);
// A state in TEME at aTime into Earth-fixed coordinates; the velocity becomes Earth-relative.
TStateEcef TemeToEcef(const TStateTeme& aTeme, TUtcTime aTime);

// Geodetic coordinates of an Earth-fixed position (any point not at the Earth's centre).
TGeodetic EcefToGeodetic(TVec3 aPositionEcefKm);
TVec3 GeodeticToEcef(const TGeodetic& aGeodetic);

// Both states of a satellite at one time: the inertial one the scan geometry needs and the
// Earth-fixed one for positions on the ground.
struct TSatelliteState {
    TUtcTime Time{};
    TStateTeme Teme;
    TStateEcef Ecef;
};
TSatelliteState StateAt(const TSgp4& aOrbit, TUtcTime aTime);

// The point on the ellipsoid below the satellite (along the ellipsoid normal), height 0.
TGeodetic SubSatellitePoint(const TSgp4& aOrbit, TUtcTime aTime);

// Great-circle distance (km) on a sphere of the WGS-84 mean radius; good to about 0.5 %, enough
// for swath widths and nearness checks.
double GreatCircleDistanceKm(double aLat1Deg, double aLon1Deg, double aLat2Deg, double aLon2Deg);

} // namespace lrptgeo
