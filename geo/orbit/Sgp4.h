// SGP4, the analytic propagator the published element sets are fitted with, in its revised form
// ("Revisiting Spacetrack Report #3", Vallado, Crawford, Hujsak, Kelso, 2006; the "improved"
// operation mode) with the WGS-72 constants the element sets assume. Near-Earth orbits only
// (period under 225 minutes), which covers the low polar orbits of the weather satellites; the
// deep-space terms are not built.
#pragma once

#include "orbit/Tle.h"
#include "orbit/UtcTime.h"
#include "orbit/Vec3.h"

#include <stdexcept>

namespace lrptgeo {

// Base of the propagator's refusals; the message is one line naming the satellite.
class ESgp4Error : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};
// Period of 225 minutes or more: a deep-space orbit, not modelled here.
class EDeepSpaceOrbit : public ESgp4Error {
  public:
    using ESgp4Error::ESgp4Error;
};
// The mean eccentricity left [0, 1) (drag has made the elements meaningless), or the element set's
// own eccentricity is not in [0, 1).
class EEccentricityOutOfRange : public ESgp4Error {
  public:
    using ESgp4Error::ESgp4Error;
};
// The satellite is below the Earth's surface at the requested time (or the orbit has collapsed:
// mean motion or semi-latus rectum no longer positive).
class ESatelliteDecayed : public ESgp4Error {
  public:
    using ESgp4Error::ESgp4Error;
};

// Position and velocity in the true-equator, mean-equinox frame SGP4 works in (inertial axes).
struct TStateTeme {
    TVec3 PositionKm;
    TVec3 VelocityKmS;
};

// WGS-72 as SGP4 uses it (not the WGS-84 of the geodetic conversions).
struct TWgs72 {
    static constexpr double MuKm3S2 = 398600.8;
    static constexpr double RadiusKm = 6378.135;
    static constexpr double J2 = 0.001082616;
    static constexpr double J3 = -0.00000253881;
    static constexpr double J4 = -0.00000165597;
};

// One satellite's propagator, initialised from an element set. Immutable after construction, so
// one instance may be used from several threads.
class TSgp4 {
  public:
    // Throws EDeepSpaceOrbit (period >= 225 min) or EEccentricityOutOfRange.
    explicit TSgp4(const TTle& aTle);

    // State at aMinutes after the element set's epoch (negative: before). Throws
    // EEccentricityOutOfRange or ESatelliteDecayed when the model breaks down at that time.
    TStateTeme AtMinutesSinceEpoch(double aMinutes) const;
    TStateTeme At(TUtcTime aTime) const;

    TUtcTime Epoch() const { return fEpoch; }
    const std::string& Name() const { return fName; }
    // Mean-motion period in minutes (the Brouwer mean motion, as the 225-minute limit means it).
    double PeriodMinutes() const;

  private:
    std::string fName;
    TUtcTime fEpoch{};

    // Mean elements at epoch (radians, radians per minute).
    double fEcc = 0, fIncl = 0, fNode = 0, fArgp = 0, fMo = 0, fNoUnkozai = 0, fBstar = 0;
    // Coefficients of the secular and long-period terms, named as in the published algorithm.
    bool fSimplified = false; // perigee below 220 km: drag terms of higher order left out
    double fAo = 0, fCon41 = 0, fX1mth2 = 0, fX7thm1 = 0, fCosio = 0, fSinio = 0, fEta = 0;
    double fCc1 = 0, fCc4 = 0, fCc5 = 0, fD2 = 0, fD3 = 0, fD4 = 0, fDelmo = 0, fSinmao = 0;
    double fMdot = 0, fArgpdot = 0, fNodedot = 0, fNodecf = 0, fOmgcof = 0, fXmcof = 0;
    double fT2cof = 0, fT3cof = 0, fT4cof = 0, fT5cof = 0, fXlcof = 0, fAycof = 0;
};

} // namespace lrptgeo
