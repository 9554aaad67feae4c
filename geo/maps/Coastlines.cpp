#include "maps/Coastlines.h"

#include "maps/GeoErrors.h"

#include <netcdf.h>

#include <cmath>
#include <cstdint>

namespace lrptgeo {

namespace {

// An open netCDF file, closed on every path out.
class TNetcdfFile {
  public:
    explicit TNetcdfFile(std::string aPath) : fPath(std::move(aPath)) {
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

struct TBinnedFile {
    int BinSizeMinutes, BinsLon, BinsLat;
    std::vector<int> FirstSegment;
    std::vector<short> SegmentCount;
    std::vector<int> FirstPoint;
    std::vector<short> Dx, Dy;
};

TBinnedFile ReadBins(const TNetcdfFile& aFile) {
    TBinnedFile b;
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
    return b;
}

// Bins run west to east from 0 degrees, north to south from 90 degrees; a point is stored as the
// unsigned 16-bit fraction (of 65535) of the bin's size from its south-west corner.
template <class TSegmentInfo>
std::vector<TGeoPolyline> Collect(const TNetcdfFile& aFile, const TBinnedFile& aBins, const TGeoBox& aBox,
                                  const TSegmentInfo& aInfo) {
    std::vector<TGeoPolyline> lines;
    const double binDeg = aBins.BinSizeMinutes / 60.0, scale = binDeg / 65535.0;
    for (int row = 0; row < aBins.BinsLat; ++row) {
        const double south = 90 - (row + 1) * binDeg;
        if (south > aBox.NorthDeg || south + binDeg < aBox.SouthDeg) continue;
        for (int col = 0; col < aBins.BinsLon; ++col) {
            double west = col * binDeg;
            if (west >= 180) west -= 360;
            if (!LonOverlaps(west, west + binDeg, aBox)) continue;
            const size_t bin = static_cast<size_t>(row) * aBins.BinsLon + col;
            const int first = aBins.FirstSegment[bin], count = aBins.SegmentCount[bin];
            for (int s = first; s < first + count; ++s) {
                int n, level;
                if (!aInfo(s, n, level)) continue;
                if (s < 0 || static_cast<size_t>(s) >= aBins.FirstPoint.size() || n < 0 ||
                    static_cast<size_t>(aBins.FirstPoint[s]) + n > aBins.Dx.size())
                    aFile.Fail("Id_of_first_point_in_a_segment", "points outside the point arrays");
                TGeoPolyline line;
                line.Level = level;
                line.LonDeg.resize(n);
                line.LatDeg.resize(n);
                for (int k = 0; k < n; ++k) {
                    const size_t p = static_cast<size_t>(aBins.FirstPoint[s]) + k;
                    line.LonDeg[k] = west + static_cast<uint16_t>(aBins.Dx[p]) * scale;
                    line.LatDeg[k] = south + static_cast<uint16_t>(aBins.Dy[p]) * scale;
                }
                if (n >= 2) lines.push_back(std::move(line));
            }
        }
    }
    return lines;
}

} // namespace

std::vector<TGeoPolyline> ReadCoastlines(const TGeoBox& aBox, TCoastResolution aResolution,
                                         const std::string& aDirectory) {
    const TNetcdfFile file(aDirectory + "/binned_GSHHS_" + Letter(aResolution) + ".nc");
    const TBinnedFile bins = ReadBins(file);
    const std::vector<int> info = file.Ints("Embedded_npts_levels_exit_entry_for_a_segment");
    if (info.size() != bins.FirstPoint.size())
        file.Fail("Embedded_npts_levels_exit_entry_for_a_segment", "does not hold one value per segment");
    // Packed per segment: point count in the bits above 9, level in bits 6..8, bin sides in bits 0..5.
    return Collect(file, bins, aBox, [&](int s, int& n, int& level) {
        if (static_cast<size_t>(s) >= info.size() || s < 0)
            file.Fail("N_segments_in_a_bin", "beyond the segments");
        n = info[s] >> 9;
        level = (info[s] >> 6) & 7;
        // Antarctica is stored twice: at the ice front as an ordinary level-1 shore, and at the
        // grounding line, hundreds of km inland under the ice shelves, as level 6. A picture shows the
        // ice front.
        return level != kAntarcticGroundingLine;
    });
}

std::vector<TGeoPolyline> ReadBorders(const TGeoBox& aBox, TCoastResolution aResolution,
                                      const std::string& aDirectory) {
    const TNetcdfFile file(aDirectory + "/binned_border_" + Letter(aResolution) + ".nc");
    const TBinnedFile bins = ReadBins(file);
    const std::vector<short> count = file.Shorts("N_points_for_a_segment");
    const std::vector<short> levels = file.Shorts("Hierarchial_level_of_a_segment");
    if (count.size() != bins.FirstPoint.size() || levels.size() != count.size())
        file.Fail("N_points_for_a_segment", "does not hold one value per segment");
    return Collect(file, bins, aBox, [&](int s, int& n, int& level) {
        if (static_cast<size_t>(s) >= count.size() || s < 0)
            file.Fail("N_segments_in_a_bin", "beyond the segments");
        n = count[s];
        level = levels[s];
        return true;
    });
}

} // namespace lrptgeo
