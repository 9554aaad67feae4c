#include "maps/GeoTiePoints.h"

#include "Angles.h"
#include "maps/GeoErrors.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <string>

namespace lrptgeo {

namespace {

struct TUnitVector {
    double X, Y, Z;
};

TUnitVector ToUnit(double aLatDeg, double aLonDeg) {
    const double lat = aLatDeg * kDeg, lon = aLonDeg * kDeg;
    return {std::cos(lat) * std::cos(lon), std::cos(lat) * std::sin(lon), std::sin(lat)};
}

// Index of the tie interval holding picture coordinate aPos, and the fraction within it.
void Locate(double aPos, int aSize, int aStep, int aCount, int& aIndex, double& aFraction) {
    int i = std::min(static_cast<int>(aPos) / aStep, aCount - 2);
    const int a = TGeoTiePoints::TiePosition(i, aSize, aStep);
    const int b = TGeoTiePoints::TiePosition(i + 1, aSize, aStep);
    aIndex = i;
    aFraction = (aPos - a) / (b - a);
}

} // namespace

void CheckTiePoints(const TGeoTiePoints& aTies) {
    if (aTies.Width < 2 || aTies.Height < 2 || aTies.RowStep < 1 || aTies.ColStep < 1)
        throw EGeoInputError("tie points refused: picture " + std::to_string(aTies.Width) + " x " +
                             std::to_string(aTies.Height) + " with steps " + std::to_string(aTies.RowStep) +
                             " / " + std::to_string(aTies.ColStep) + " (need at least 2 x 2, steps >= 1)");
    const size_t n = static_cast<size_t>(aTies.TieRows()) * static_cast<size_t>(aTies.TieCols());
    if (aTies.LatDeg.size() != n || aTies.LonDeg.size() != n)
        throw EGeoInputError("tie points refused: " + std::to_string(aTies.LatDeg.size()) +
                             " latitudes and " + std::to_string(aTies.LonDeg.size()) +
                             " longitudes for a grid of " + std::to_string(n));
}

TGeoTiePoints MakeTiePoints(int aWidth, int aHeight, int aRowStep, int aColStep,
                            const std::function<TLatLonDeg(double aCol, double aRow)>& aLocate) {
    TGeoTiePoints t;
    t.Width = aWidth;
    t.Height = aHeight;
    t.RowStep = aRowStep;
    t.ColStep = aColStep;
    if (aWidth < 2 || aHeight < 2 || aRowStep < 1 || aColStep < 1) CheckTiePoints(t); // throws
    const int rows = t.TieRows(), cols = t.TieCols();
    t.LatDeg.resize(static_cast<size_t>(rows) * cols);
    t.LonDeg.resize(t.LatDeg.size());
    for (int i = 0; i < rows; ++i)
        for (int j = 0; j < cols; ++j) {
            const TLatLonDeg p = aLocate(t.TieColAt(j), t.TieRowAt(i));
            const size_t k = static_cast<size_t>(i) * cols + j;
            const bool miss = std::isnan(p.LatDeg) || std::isnan(p.LonDeg);
            t.LatDeg[k] = miss ? NAN : p.LatDeg;
            t.LonDeg[k] = miss ? NAN : p.LonDeg;
        }
    return t;
}

std::optional<TLatLonDeg> InterpolateLatLon(const TGeoTiePoints& aTies, double aCol, double aRow) {
    if (!(aCol >= 0 && aRow >= 0 && aCol <= aTies.Width - 1 && aRow <= aTies.Height - 1)) return std::nullopt;
    const int rows = aTies.TieRows(), cols = aTies.TieCols();
    int i, j;
    double fy, fx;
    Locate(aRow, aTies.Height, aTies.RowStep, rows, i, fy);
    Locate(aCol, aTies.Width, aTies.ColStep, cols, j, fx);
    const size_t k00 = static_cast<size_t>(i) * cols + j, k10 = k00 + cols;
    const size_t ks[4] = {k00, k00 + 1, k10, k10 + 1};
    const double w[4] = {(1 - fx) * (1 - fy), fx * (1 - fy), (1 - fx) * fy, fx * fy};
    TUnitVector s{0, 0, 0};
    for (int c = 0; c < 4; ++c) {
        const double lat = aTies.LatDeg[ks[c]], lon = aTies.LonDeg[ks[c]];
        if (std::isnan(lat) || std::isnan(lon)) return std::nullopt;
        const TUnitVector v = ToUnit(lat, lon);
        s.X += w[c] * v.X;
        s.Y += w[c] * v.Y;
        s.Z += w[c] * v.Z;
    }
    const double h = std::hypot(s.X, s.Y);
    TLatLonDeg p;
    p.LatDeg = std::atan2(s.Z, h) / kDeg;
    p.LonDeg = h == 0 ? 0 : std::atan2(s.Y, s.X) / kDeg;
    if (p.LonDeg >= 180) p.LonDeg -= 360;
    return p;
}

double GroundDistanceKm(TLatLonDeg aA, TLatLonDeg aB) {
    const double dlat = (aB.LatDeg - aA.LatDeg) * kDeg, dlon = (aB.LonDeg - aA.LonDeg) * kDeg;
    const double a = std::sin(dlat / 2) * std::sin(dlat / 2) + std::cos(aA.LatDeg * kDeg) *
                                                                   std::cos(aB.LatDeg * kDeg) *
                                                                   std::sin(dlon / 2) * std::sin(dlon / 2);
    return 2 * 6371.0 * std::asin(std::min(1.0, std::sqrt(a)));
}

} // namespace lrptgeo
