#include "maps/Coastlines.h"

#include "maps/GeoErrors.h"

#include <hdf5.h>
#include <netcdf.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>

namespace lrptgeo {

namespace {

// An open netCDF file, closed on every path out.
class TNetcdfFile {
  public:
    explicit TNetcdfFile(std::string aPath) : fPath(std::move(aPath)) {
        // The library quietens the HDF5 beneath it on the first thread that opens a file only; on
        // any other its routine probes for optional attributes would print error stacks.
        thread_local const bool quiet = H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr) >= 0;
        (void)quiet;
        const int rc = nc_open(fPath.c_str(), NC_NOWRITE, &fId);
        if (rc != NC_NOERR)
            throw ECoastlineError("coastline file " + fPath + " not readable: " + nc_strerror(rc));
    }
    ~TNetcdfFile() { nc_close(fId); }
    TNetcdfFile(const TNetcdfFile&) = delete;
    TNetcdfFile& operator=(const TNetcdfFile&) = delete;

    size_t Length(const char* aVariable) const {
        int var, ndims, dim;
        size_t n = 0;
        Check(nc_inq_varid(fId, aVariable, &var), aVariable);
        Check(nc_inq_varndims(fId, var, &ndims), aVariable);
        if (ndims != 1) Fail(aVariable, "is not one-dimensional");
        Check(nc_inq_vardimid(fId, var, &dim), aVariable);
        Check(nc_inq_dimlen(fId, dim, &n), aVariable);
        return n;
    }
    int Scalar(const char* aVariable) const {
        std::vector<int> v = Ints(aVariable);
        if (v.size() != 1) Fail(aVariable, "is not a scalar");
        return v[0];
    }
    std::vector<int> Ints(const char* aVariable) const {
        std::vector<int> v(Length(aVariable));
        Check(nc_get_var_int(fId, VarId(aVariable), v.data()), aVariable);
        return v;
    }
    std::vector<short> Shorts(const char* aVariable) const {
        std::vector<short> v(Length(aVariable));
        Check(nc_get_var_short(fId, VarId(aVariable), v.data()), aVariable);
        return v;
    }
    std::vector<signed char> Bytes(const char* aVariable) const {
        std::vector<signed char> v(Length(aVariable));
        Check(nc_get_var_schar(fId, VarId(aVariable), v.data()), aVariable);
        return v;
    }
    [[noreturn]] void Fail(const char* aVariable, const std::string& aWhy) const {
        throw ECoastlineError("coastline file " + fPath + ": variable " + aVariable + " " + aWhy);
    }

  private:
    int VarId(const char* aVariable) const {
        int var;
        Check(nc_inq_varid(fId, aVariable, &var), aVariable);
        return var;
    }
    void Check(int aRc, const char* aVariable) const {
        if (aRc != NC_NOERR) Fail(aVariable, nc_strerror(aRc));
    }

    std::string fPath;
    int fId = -1;
};

constexpr int kAntarcticGroundingLine = 6;

char Letter(TCoastResolution aResolution) {
    switch (aResolution) {
    case TCoastResolution::Crude:
        return 'c';
    case TCoastResolution::Low:
        return 'l';
    case TCoastResolution::Intermediate:
        break;
    }
    return 'i';
}

bool LonOverlaps(double aWest, double aEast, const TGeoBox& aBox) {
    const double width =
        aBox.WestDeg <= aBox.EastDeg ? aBox.EastDeg - aBox.WestDeg : aBox.EastDeg + 360 - aBox.WestDeg;
    if (width >= 360) return true;
    // The box's west edge moved by whole turns to the last place at or before the bin's east edge: the
    // box overlaps the bin in some turn exactly when it does there.
    double shift = std::fmod(aEast - aBox.WestDeg, 360);
    if (shift < 0) shift += 360;
    return aEast - shift + width >= aWest;
}

// One binned file in memory. Bins run west to east from 0 degrees, north to south from 90 degrees;
// a point is stored as the unsigned 16-bit fraction (of 65535) of the bin's size from its south-west
// corner. Per segment: its point count, its level, and whether it is drawn at all.
struct TBinnedShapes {
    int BinSizeMinutes = 0, BinsLon = 0, BinsLat = 0;
    std::vector<int> FirstSegment;
    std::vector<short> SegmentCount;
    std::vector<int> FirstPoint;
    std::vector<short> Dx, Dy;
    std::vector<int> Count, Level;
    std::vector<uint8_t> Keep;
    std::vector<short> CornerLevels; // shores only: the level at the bin's four corners

    double BinDeg() const { return BinSizeMinutes / 60.0; }
    double West(int aCol) const { return aCol * BinDeg(); }
    double South(int aRow) const { return 90 - (aRow + 1) * BinDeg(); }
    uint16_t X(size_t aPoint) const { return static_cast<uint16_t>(Dx[aPoint]); }
    uint16_t Y(size_t aPoint) const { return static_cast<uint16_t>(Dy[aPoint]); }
};

// The layout common to shores and borders, checked so that later reads stay inside the arrays.
void ReadBins(const TNetcdfFile& aFile, TBinnedShapes& b) {
    b.BinSizeMinutes = aFile.Scalar("Bin_size_in_minutes");
    b.BinsLon = aFile.Scalar("N_bins_in_360_longitude_range");
    b.BinsLat = aFile.Scalar("N_bins_in_180_degree_latitude_range");
    if (b.BinSizeMinutes <= 0 || b.BinsLon * b.BinSizeMinutes != 360 * 60 ||
        b.BinsLat * b.BinSizeMinutes != 180 * 60)
        aFile.Fail("Bin_size_in_minutes", "does not tile the globe");
    b.FirstSegment = aFile.Ints("Id_of_first_segment_in_a_bin");
    b.SegmentCount = aFile.Shorts("N_segments_in_a_bin");
    b.FirstPoint = aFile.Ints("Id_of_first_point_in_a_segment");
    b.Dx = aFile.Shorts("Relative_longitude_from_SW_corner_of_bin");
    b.Dy = aFile.Shorts("Relative_latitude_from_SW_corner_of_bin");
    if (b.FirstSegment.size() != static_cast<size_t>(b.BinsLon) * b.BinsLat ||
        b.SegmentCount.size() != b.FirstSegment.size())
        aFile.Fail("Id_of_first_segment_in_a_bin", "does not hold one value per bin");
    if (b.Dx.size() != b.Dy.size())
        aFile.Fail("Relative_latitude_from_SW_corner_of_bin", "differs in length");
    for (size_t bin = 0; bin < b.FirstSegment.size(); ++bin)
        if (b.FirstSegment[bin] < 0 || b.SegmentCount[bin] < 0 ||
            static_cast<size_t>(b.FirstSegment[bin]) + b.SegmentCount[bin] > b.FirstPoint.size())
            aFile.Fail("N_segments_in_a_bin", "beyond the segments");
}

void CheckSegments(const TNetcdfFile& aFile, const TBinnedShapes& b) {
    if (b.Count.size() != b.FirstPoint.size() || b.Level.size() != b.Count.size())
        aFile.Fail("Id_of_first_point_in_a_segment", "does not hold one value per segment");
    for (size_t s = 0; s < b.Count.size(); ++s)
        if (b.FirstPoint[s] < 0 || b.Count[s] < 0 ||
            static_cast<size_t>(b.FirstPoint[s]) + b.Count[s] > b.Dx.size())
            aFile.Fail("Id_of_first_point_in_a_segment", "points outside the point arrays");
}

TBinnedShapes LoadShores(const std::string& aPath) {
    const TNetcdfFile file(aPath);
    TBinnedShapes b;
    ReadBins(file, b);
    // Packed per segment: point count in the bits above 9, level in bits 6..8, bin sides in bits 0..5.
    const std::vector<int> info = file.Ints("Embedded_npts_levels_exit_entry_for_a_segment");
    for (const int i : info) {
        b.Count.push_back(i >> 9);
        b.Level.push_back((i >> 6) & 7);
        // Antarctica is stored twice: at the ice front as an ordinary level-1 shore, and at the
        // grounding line, hundreds of km inland under the ice shelves, as level 6. A picture shows
        // the ice front.
        b.Keep.push_back(b.Level.back() != kAntarcticGroundingLine);
    }
    CheckSegments(file, b);
    // The corner levels that go with the ice front (the _ANT variant goes with the grounding line).
    b.CornerLevels = file.Shorts("Embedded_node_levels_in_a_bin");
    if (b.CornerLevels.size() != b.FirstSegment.size())
        file.Fail("Embedded_node_levels_in_a_bin", "does not hold one value per bin");
    return b;
}

TBinnedShapes LoadBorders(const std::string& aPath) {
    const TNetcdfFile file(aPath);
    TBinnedShapes b;
    ReadBins(file, b);
    for (const short n : file.Shorts("N_points_for_a_segment"))
        b.Count.push_back(n);
    for (const short l : file.Shorts("Hierarchial_level_of_a_segment"))
        b.Level.push_back(l);
    b.Keep.assign(b.Count.size(), 1);
    CheckSegments(file, b);
    return b;
}

std::vector<TGeoPolyline> Collect(const TBinnedShapes& aBins, const TGeoBox& aBox) {
    std::vector<TGeoPolyline> lines;
    const double binDeg = aBins.BinDeg(), scale = binDeg / 65535.0;
    for (int row = 0; row < aBins.BinsLat; ++row) {
        const double south = aBins.South(row);
        if (south > aBox.NorthDeg || south + binDeg < aBox.SouthDeg) continue;
        for (int col = 0; col < aBins.BinsLon; ++col) {
            double west = aBins.West(col);
            if (west >= 180) west -= 360;
            if (!LonOverlaps(west, west + binDeg, aBox)) continue;
            const size_t bin = static_cast<size_t>(row) * aBins.BinsLon + col;
            const int first = aBins.FirstSegment[bin], count = aBins.SegmentCount[bin];
            for (int s = first; s < first + count; ++s) {
                const int n = aBins.Count[s];
                if (!aBins.Keep[s] || n < 2) continue;
                TGeoPolyline line;
                line.Level = aBins.Level[s];
                line.LonDeg.resize(n);
                line.LatDeg.resize(n);
                for (int k = 0; k < n; ++k) {
                    const size_t p = static_cast<size_t>(aBins.FirstPoint[s]) + k;
                    line.LonDeg[k] = west + aBins.X(p) * scale;
                    line.LatDeg[k] = south + aBins.Y(p) * scale;
                }
                lines.push_back(std::move(line));
            }
        }
    }
    return lines;
}

// Twice the signed area of the triangle a, b, c: which side of the line a-b c lies on.
double Orientation(double aAx, double aAy, double aBx, double aBy, double aCx, double aCy) {
    return (aBx - aAx) * (aCy - aAy) - (aBy - aAy) * (aCx - aAx);
}

// Squared distance from point p to the segment a-b.
double SegmentDistance2(double aPx, double aPy, double aAx, double aAy, double aBx, double aBy) {
    const double dx = aBx - aAx, dy = aBy - aAy, l2 = dx * dx + dy * dy;
    const double t = l2 > 0 ? std::clamp(((aPx - aAx) * dx + (aPy - aAy) * dy) / l2, 0.0, 1.0) : 0.0;
    const double ex = aAx + t * dx - aPx, ey = aAy + t * dy - aPy;
    return ex * ex + ey * ey;
}

} // namespace

struct TShores::TData {
    std::string Path;
    TBinnedShapes Bins;
};

TShores::TShores(TCoastResolution aResolution, const std::string& aDirectory) {
    auto data = std::make_shared<TData>();
    data->Path = aDirectory + "/binned_GSHHS_" + Letter(aResolution) + ".nc";
    data->Bins = LoadShores(data->Path);
    fData = std::move(data);
}

std::vector<TGeoPolyline> TShores::Lines(const TGeoBox& aBox) const {
    return Collect(fData->Bins, aBox);
}

// The level at a corner of the point's bin is known; every shore crossed on the straight way from
// the point to that corner changes the level by one, so its parity follows from the count of
// crossings. Land is an odd level (land, island in a lake), water an even one (sea, lake, pond).
bool TShores::IsLand(double aLatDeg, double aLonDeg) const {
    const TBinnedShapes& b = fData->Bins;
    double lon = std::fmod(aLonDeg, 360);
    if (lon < 0) lon += 360;
    const double lat = std::clamp(aLatDeg, -90.0, 90.0);
    const int col = std::min(static_cast<int>(lon / b.BinDeg()), b.BinsLon - 1);
    const int row = std::clamp(static_cast<int>((90 - lat) / b.BinDeg()), 0, b.BinsLat - 1);
    const size_t bin = static_cast<size_t>(row) * b.BinsLon + col;
    // The point in the bin's own units (0..65535 from the south-west corner).
    const double unit = b.BinDeg() / 65535.0;
    // A point on the bin's edge is taken a hair inside: the way from it to a corner would otherwise
    // run along the edge, where shores end, and their crossings could not be counted.
    const double px = std::clamp((lon - b.West(col)) / unit, 1e-3, 65535 - 1e-3);
    const double py = std::clamp((lat - b.South(row)) / unit, 1e-3, 65535 - 1e-3);
    const int first = b.FirstSegment[bin], count = b.SegmentCount[bin];

    // Corners as the file packs their levels: south-west in bits 9..11, then south-east, north-east,
    // north-west. A corner that a shore passes through would make the count ambiguous: take another.
    struct TCorner {
        double X, Y;
        int Shift;
    };
    const TCorner corners[4] = {{0, 0, 9}, {65535, 0, 6}, {65535, 65535, 3}, {0, 65535, 0}};
    for (const TCorner& corner : corners) {
        bool clear = true;
        int crossings = 0;
        for (int s = first; s < first + count && clear; ++s) {
            if (!b.Keep[s]) continue;
            const size_t p0 = static_cast<size_t>(b.FirstPoint[s]);
            for (int k = 0; k + 1 < b.Count[s]; ++k) {
                const double ax = b.X(p0 + k), ay = b.Y(p0 + k), bx = b.X(p0 + k + 1), by = b.Y(p0 + k + 1);
                if (SegmentDistance2(corner.X, corner.Y, ax, ay, bx, by) < 0.25) {
                    clear = false;
                    break;
                }
                // Half-open: a vertex on the way counts as lying to its left, so a shore that
                // touches the way without crossing it counts twice or not at all.
                const bool aLeft = Orientation(px, py, corner.X, corner.Y, ax, ay) >= 0;
                const bool bLeft = Orientation(px, py, corner.X, corner.Y, bx, by) >= 0;
                if (aLeft == bLeft) continue;
                const double o1 = Orientation(ax, ay, bx, by, px, py),
                             o2 = Orientation(ax, ay, bx, by, corner.X, corner.Y);
                if ((o1 < 0) != (o2 < 0)) ++crossings;
            }
        }
        if (!clear) continue;
        const int level = (b.CornerLevels[bin] >> corner.Shift) & 7;
        return (level + crossings) % 2 == 1;
    }
    return (b.CornerLevels[bin] >> 9) & 1; // every corner on a shore: the point is too
}

std::vector<TGeoPolyline> ReadCoastlines(const TGeoBox& aBox, TCoastResolution aResolution,
                                         const std::string& aDirectory) {
    return TShores(aResolution, aDirectory).Lines(aBox);
}

std::vector<TGeoPolyline> ReadBorders(const TGeoBox& aBox, TCoastResolution aResolution,
                                      const std::string& aDirectory) {
    return Collect(LoadBorders(aDirectory + "/binned_border_" + Letter(aResolution) + ".nc"), aBox);
}

} // namespace lrptgeo
