// A station's schedule: the passes of one satellite above a minimum elevation over the coming
// days. Elevation is sampled every 30 s, each local maximum is refined by golden-section search,
// and acquisition and loss of signal by bisection, all to well under a second.
#pragma once

#include "orbit/LookAngles.h"
#include "orbit/Sgp4.h"

#include <vector>

namespace lrptgeo {

enum class TPassDirection { Northbound, Southbound };
const char* PassDirectionName(TPassDirection aDirection); // "northbound" / "southbound"

struct TPass {
    TUtcTime Aos{}; // elevation rises through the minimum
    TUtcTime Los{}; // elevation falls through the minimum
    TUtcTime MaxElevationTime{};
    double MaxElevationDeg = 0;
    double AosAzimuthDeg = 0;
    double LosAzimuthDeg = 0;
    TPassDirection Direction = TPassDirection::Northbound; // of the satellite at maximum elevation
};

// The passes whose time above aMinElevationDeg overlaps [aFrom, aFrom + aDays): a pass under way at
// aFrom is included with its real (earlier) AOS, one that starts before the end with its real LOS.
// Passes that only graze the minimum for under a second may be missed. In time order.
// Propagation errors (ESgp4Error) pass through.
std::vector<TPass> PredictPasses(const TSgp4& aOrbit, const TStation& aStation, TUtcTime aFrom, double aDays,
                                 double aMinElevationDeg);

} // namespace lrptgeo
