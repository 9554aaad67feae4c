// Coastlines and national borders from the GSHHG database as Debian ships it (package gmt-gshhg-low,
// netCDF files binned_GSHHS_{c,l,i}.nc and binned_border_{c,l,i}.nc), read at run time.
//
// The files cut the world into square bins (20, 10 and 5 degrees at the crude, low and intermediate
// levels); each polyline returned is the part of a coast or border inside one bin, so a long coast
// comes back as several pieces that meet at the bin edges.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace lrptgeo {

// Resolution levels the package ships: crude (~25 km), low (~5 km), intermediate (~1 km).
enum class TCoastResolution { Crude, Low, Intermediate };

// A latitude/longitude box in degrees. WestDeg > EastDeg means the box crosses the 180-degree
// meridian (e.g. West 170, East -170).
struct TGeoBox {
    double WestDeg = -180;
    double EastDeg = 180;
    double SouthDeg = -90;
    double NorthDeg = 90;
};

struct TGeoPolyline {
    // Longitudes are continuous along the line, in [-180, 180] (a bin never straddles 180 degrees).
    std::vector<double> LonDeg;
    std::vector<double> LatDeg;
    // Coastlines: 1 sea/land, 2 lake shore, 3 island in a lake, 4 pond on such an island.
    // Borders: 1 national border, 2 internal (state) border, 3 maritime border.
    int Level = 1;
};

// Where Debian installs the files.
inline const char* const kGshhgDirectory = "/usr/share/gmt-gshhg";

// The shores of one level of detail, read once and held in memory (a few megabytes) for many
// queries; copies share the data, and the const functions may be called from several threads.
class TShores {
  public:
    // Throws ECoastlineError naming the file when it is missing or not in the expected layout.
    explicit TShores(TCoastResolution aResolution = TCoastResolution::Intermediate,
                     const std::string& aDirectory = kGshhgDirectory);

    // As ReadCoastlines.
    std::vector<TGeoPolyline> Lines(const TGeoBox& aBox) const;
    // Whether a point lies on land (a continent, an island, an island in a lake, Antarctica with its
    // ice shelves) rather than water (sea, lake, pond in an island), as the shores of this level
    // draw them. A point on a shore may come out either way.
    bool IsLand(double aLatDeg, double aLonDeg) const;

  private:
    struct TData;
    std::shared_ptr<const TData> fData;
};

// The shore polylines of every bin that overlaps aBox (so lines may reach up to a bin's size beyond
// it). Antarctica comes at its ice front (level 1). Throws ECoastlineError naming the file when it is
// missing or not in the expected layout. Reads the file each time: TShores keeps it for many boxes.
std::vector<TGeoPolyline> ReadCoastlines(const TGeoBox& aBox,
                                         TCoastResolution aResolution = TCoastResolution::Intermediate,
                                         const std::string& aDirectory = kGshhgDirectory);

// The border polylines (all levels; callers keep Level 1 for national borders), as ReadCoastlines.
std::vector<TGeoPolyline> ReadBorders(const TGeoBox& aBox,
                                      TCoastResolution aResolution = TCoastResolution::Intermediate,
                                      const std::string& aDirectory = kGshhgDirectory);

} // namespace lrptgeo
