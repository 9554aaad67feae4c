// GeoTIFF files through GDAL. Each write goes to a temporary file beside the target and is renamed
// over it when complete; on failure no file is left and EGeoWriteError names the target with GDAL's
// reason.
#pragma once

#include "maps/GeoTiePoints.h"
#include "maps/MapRaster.h"

#include <array>
#include <string>

namespace lrptgeo {

// The map raster as a GeoTIFF: geotransform from its grid, CRS from its WKT, no-data value
// TMapRaster::kNoData on every band, 1 band (grey) or 3 (red, green, blue), compressed losslessly
// (Zstandard), tiled, bands stored apart (band-interleaved tiles).
void WriteMapGeoTiff(const TMapRaster& aMap, const std::string& aPath);
// The same map for the 3-band map whose bands are three 1-band maps of one grid (red, green, blue;
// the CRS from aRed), without putting them together first. Else EGeoWriteError.
void WriteMapGeoTiff(const TMapRaster& aRed, const TMapRaster& aGreen, const TMapRaster& aBlue,
                     const std::string& aPath);

// The same file, byte for byte, made from aBandFiles: GeoTIFFs WriteMapGeoTiff wrote from aRed,
// aGreen and aBlue (a composite's channels, written first), whose compressed tiles are copied rather
// than the bands compressed again (a tenth of the time). Where a file is missing or not laid out as
// this writer lays out a 1-band map of aRed's grid, the bands are compressed as above. Returns
// whether the tiles were copied.
bool WriteMapGeoTiff(const TMapRaster& aRed, const TMapRaster& aGreen, const TMapRaster& aBlue,
                     const std::array<std::string, 3>& aBandFiles, const std::string& aPath);

// The raw picture (1 or 3 bands) unprojected, with ground control points in EPSG:4326 taken from
// the tie points (thinned to about aMaxGcps in an even grid, tie points without Earth left out) so
// that GIS programs can warp it. A GCP's pixel/line is the pixel centre (col + 0.5, row + 0.5).
// Longitudes are kept continuous across the picture (they may pass 180) so that a warper does not
// see a swath across the 180-degree meridian as spanning the world.
void WriteGcpGeoTiff(const TPictureView& aPicture, const TGeoTiePoints& aTies, const std::string& aPath,
                     int aMaxGcps = 1000);

} // namespace lrptgeo
