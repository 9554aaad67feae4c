// Where on Earth the pixels of a raw channel picture lie, as a grid of tie points.
//
// Layout: the picture is Width columns by Height rows, rows top-down. Tie rows are the picture rows
// 0, RowStep, 2 RowStep, ... and, when it is not already among them, Height - 1; tie columns likewise
// with ColStep and Width - 1. LatDeg and LonDeg hold TieRows() * TieCols() values, row-major (tie row
// i, tie column j at i * TieCols() + j): geodetic latitude and longitude in degrees (WGS-84), the
// longitude in any 360-degree range, NaN (both) where the line of sight misses the Earth. A tie point
// stands for the centre of its pixel: picture coordinates (col, row) = (column index, row index).
#pragma once

#include <functional>
#include <optional>
#include <vector>

namespace lrptgeo {

struct TLatLonDeg {
    double LatDeg = 0;
    double LonDeg = 0;
};

struct TGeoTiePoints {
    int Width = 0;
    int Height = 0;
    int RowStep = 8;
    int ColStep = 32;
    std::vector<double> LatDeg;
    std::vector<double> LonDeg;

    int TieRows() const { return TieCount(Height, RowStep); }
    int TieCols() const { return TieCount(Width, ColStep); }
    // Picture row of tie row aIndex (0..TieRows()-1), picture column of tie column aIndex.
    int TieRowAt(int aIndex) const { return TiePosition(aIndex, Height, RowStep); }
    int TieColAt(int aIndex) const { return TiePosition(aIndex, Width, ColStep); }

    static int TieCount(int aSize, int aStep) {
        return aSize <= 0 ? 0 : (aSize - 1) / aStep + 1 + ((aSize - 1) % aStep != 0 ? 1 : 0);
    }
    static int TiePosition(int aIndex, int aSize, int aStep) {
        const int p = aIndex * aStep;
        return p < aSize ? p : aSize - 1;
    }
};

// Throws EGeoInputError unless Width and Height are >= 2, the steps >= 1 and both arrays hold
// TieRows() * TieCols() values.
void CheckTiePoints(const TGeoTiePoints& aTies);

// Fills a grid by calling aLocate(col, row) at every tie point (for tests and for a geometry that can
// locate any pixel). aLocate returns NaN latitude where the pixel sees no Earth.
TGeoTiePoints MakeTiePoints(int aWidth, int aHeight, int aRowStep, int aColStep,
                            const std::function<TLatLonDeg(double aCol, double aRow)>& aLocate);

// Latitude and longitude at picture coordinates (aCol, aRow), 0 <= aCol <= Width - 1 and
// 0 <= aRow <= Height - 1: bilinear between the four surrounding tie points, taken as unit vectors
// from the Earth's centre (so that the pole and the 180-degree meridian need no special case). The
// longitude returned is in [-180, 180). Empty outside the picture or where a surrounding tie point is
// NaN. The grid is not checked (see CheckTiePoints).
std::optional<TLatLonDeg> InterpolateLatLon(const TGeoTiePoints& aTies, double aCol, double aRow);

// Great-circle distance on the mean Earth sphere (6371 km), km.
double GroundDistanceKm(TLatLonDeg aA, TLatLonDeg aB);

} // namespace lrptgeo
