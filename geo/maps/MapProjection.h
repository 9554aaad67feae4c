// A map's coordinate reference system through PROJ, and the transformation to it from latitude and
// longitude (WGS-84).
//
// Accepts any PROJ definition ("+proj=stere +lat_0=90 +lon_0=0", "+proj=merc", "+proj=utm +zone=33";
// "+type=crs" is implied), an "EPSG:nnnn" code, or WKT. Map coordinates are always easting/x first:
// for a geographic CRS (EPSG:4326, the default) x is the longitude and y the latitude in degrees, for
// a projected one they are in the CRS's unit (metres for the common ones).
//
// Each object owns its own PROJ context, so objects are independent but one object must not be used
// by two threads at once: copy it (a copy makes a new context) for each thread.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace lrptgeo {

class TMapProjection {
  public:
    // Throws EProjectionError naming aDefinition (with PROJ's reason) when PROJ does not accept it or it
    // is not a coordinate reference system.
    explicit TMapProjection(std::string_view aDefinition = "EPSG:4326");
    TMapProjection(const TMapProjection& aOther);
    TMapProjection& operator=(const TMapProjection& aOther);
    TMapProjection(TMapProjection&&) noexcept;
    TMapProjection& operator=(TMapProjection&&) noexcept;
    ~TMapProjection();

    const std::string& Definition() const { return fDefinition; }
    // x is a longitude and y a latitude in degrees.
    bool IsGeographic() const { return fGeographic; }
    // The CRS as WKT (the GDAL flavour of WKT 1, which every GeoTIFF reader takes; WKT 2 when a CRS
    // cannot be said in WKT 1).
    const std::string& Wkt() const { return fWkt; }

    // Map coordinates of a point; false (aX, aY unchanged) where the projection is undefined. For a
    // geographic CRS the longitude keeps the turn it was given in (190 stays 190, not -170), so a
    // map may run across the 180-degree meridian.
    bool Forward(double aLonDeg, double aLatDeg, double& aX, double& aY) const;
    // Latitude and longitude of map coordinates; false where undefined.
    bool Inverse(double aX, double aY, double& aLonDeg, double& aLatDeg) const;

  private:
    struct TState;
    void Open();

    std::string fDefinition;
    std::string fWkt;
    bool fGeographic = false;
    std::unique_ptr<TState> fState;
};

} // namespace lrptgeo
