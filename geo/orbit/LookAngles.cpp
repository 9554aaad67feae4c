#include "orbit/LookAngles.h"

#include "Angles.h"

#include <cmath>
#include <cstdlib>
#include <numbers>
#include <vector>

namespace lrptgeo {

TStation ParseStation(const std::string& aText) {
    std::vector<double> values;
    size_t start = 0;
    while (true) {
        const size_t comma = aText.find(',', start);
        const std::string part =
            aText.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        char* end = nullptr;
        const double v = std::strtod(part.c_str(), &end);
        if (part.empty() || end != part.c_str() + part.size() || !std::isfinite(v))
            throw EStationFormatError("station \"" + aText + "\" is not LAT,LON[,ALT] (degrees, metres)");
        values.push_back(v);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    if (values.size() < 2 || values.size() > 3)
        throw EStationFormatError("station \"" + aText + "\" is not LAT,LON[,ALT] (degrees, metres)");
    if (std::fabs(values[0]) > 90)
        throw EStationFormatError("station \"" + aText + "\": latitude must lie in -90..90");
    if (std::fabs(values[1]) > 180)
        throw EStationFormatError("station \"" + aText + "\": longitude must lie in -180..180");
    TStation s{values[0], values[1], values.size() == 3 ? values[2] / 1000.0 : 0.0};
    if (s.HeightKm < -12 || s.HeightKm > 100)
        throw EStationFormatError("station \"" + aText + "\": altitude must be in metres, -12000..100000");
    return s;
}

TLookAngles LookAngles(const TStation& aStation, const TStateEcef& aSatellite) {
    const TVec3 site = GeodeticToEcef({aStation.LatitudeDeg, aStation.LongitudeDeg, aStation.HeightKm});
    const TVec3 d = aSatellite.PositionKm - site;
    const double lat = aStation.LatitudeDeg * kDeg, lon = aStation.LongitudeDeg * kDeg;
    const double sl = std::sin(lat), cl = std::cos(lat), so = std::sin(lon), co = std::cos(lon);
    // Local east, north and up of the station.
    const TVec3 east{-so, co, 0};
    const TVec3 north{-sl * co, -sl * so, cl};
    const TVec3 up{cl * co, cl * so, sl};
    const double e = Dot(d, east), n = Dot(d, north), u = Dot(d, up);
    TLookAngles look;
    look.RangeKm = Norm(d);
    // atan2 rather than asin(u / range): well conditioned near the zenith too.
    look.ElevationDeg = std::atan2(u, std::hypot(e, n)) / kDeg;
    look.AzimuthDeg = std::atan2(e, n) / kDeg;
    if (look.AzimuthDeg < 0) look.AzimuthDeg += 360;
    // The station is fixed in the Earth frame, so the Earth-relative velocity is the relative one.
    look.RangeRateKmS = Dot(d, aSatellite.VelocityKmS) / look.RangeKm;
    return look;
}

} // namespace lrptgeo
