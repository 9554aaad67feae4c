// North-up map rasters made from a raw picture and its tie points.
#pragma once

#include "maps/Coastlines.h"
#include "maps/GeoTiePoints.h"
#include "maps/MapProjection.h"

#include <cstdint>
#include <string>
#include <vector>

namespace lrptgeo {

// A raw picture in memory, not owned: rows top-down, 8 bits a band, 1 or 3 bands. The bytes of pixel
// (col, row) start at Pixels + row * RowStride + col * PixelStride; a 3-band picture holds red, green,
// blue in that order, or blue, green, red with Bgr set (as the decoder's 24-bit pictures do; those
// also serve as 1 band with PixelStride 3 when grey). RowDrawn, when given, holds Height flags: 0 for
// a row the decoder never drew (a lost scan), whose pixels are no picture at all.
struct TPictureView {
    const uint8_t* Pixels = nullptr;
    int Width = 0;
    int Height = 0;
    int Bands = 1;
    int PixelStride = 1;
    int RowStride = 0;
    bool Bgr = false;
    const uint8_t* RowDrawn = nullptr; // null: every row drawn
};

// The pixel grid of a map: Width x Height pixels, map y up (north on a geographic map, grid north
// on a projected one). Pixel (i, j) (column i, row j) covers map x from OriginX + i PixelSizeX to
// OriginX + (i + 1) PixelSizeX and y from OriginY - (j + 1) PixelSizeY to OriginY - j PixelSizeY:
// (OriginX, OriginY) is the outer corner of the top-left pixel, as in a GDAL geotransform
// {OriginX, PixelSizeX, 0, OriginY, 0, -PixelSizeY}. Units are the map CRS's (degrees for a
// geographic one, where OriginX may lie beyond +-180 for a map across the 180-degree meridian).
struct TMapGrid {
    double OriginX = 0;
    double OriginY = 0;
    double PixelSizeX = 1;
    double PixelSizeY = 1;
    int Width = 0;
    int Height = 0;
};

// A map: Bands bytes per pixel (grey for 1; red, green, blue for 3; and alpha for 4, as DrawOverlay
// makes), rows top-down, pixel-interleaved. Pixels outside the swath hold kNoData; pixels inside
// never do (a 0 of the picture becomes 1 there).
struct TMapRaster {
    static constexpr uint8_t kNoData = 0;
    TMapGrid Grid;
    int Bands = 1;
    std::vector<uint8_t> Pixels;
    std::string ProjectionWkt;

    uint8_t At(int aCol, int aRow, int aBand = 0) const {
        return Pixels[(static_cast<size_t>(aRow) * Grid.Width + aCol) * Bands + aBand];
    }
};

// Largest map side accepted, pixels; a footprint that would need more is refused (a projection that
// tears the swath apart, or a pixel size far too small).
inline constexpr int kMaxMapSide = 40000;

// Ground spacing of the picture's nadir pixel, km: the mean of the across-scan and along-track
// spacings at the middle of the picture. Throws EGeoInputError for a grid that is not valid or has
// no Earth at the middle.
double NadirSpacingKm(const TGeoTiePoints& aTies);

// The map grid that just holds the swath's footprint. aPixelSize in map units; 0 chooses about the
// nadir spacing: for a projected CRS the nadir spacing as projected at the picture's middle, for a
// geographic one the nadir spacing in degrees of latitude, with longitude pixels wider by
// 1 / cos(latitude at the middle) (capped at 5) so that pixels are about square on the ground there.
// A geographic map is centred on the swath's longitudes, so a swath across the 180-degree meridian
// gives a map across it, not a band around the world. Throws EGeoInputError when the tie points are
// not valid, no tie point projects, a projected map would cut the swath in two (a Mercator map
// centred on the other side of the Earth; the message names the +lon_0 that keeps it whole), or the
// map would exceed kMaxMapSide.
TMapGrid ChooseMapGrid(const TGeoTiePoints& aTies, const TMapProjection& aProjection, double aPixelSize = 0);

// Where each pixel of aGrid takes its value from a picture of the tie points' size: worked out once
// (mesh, projection) and applied to every picture of a pass that shares the geometry, channels and
// composites alike. Holds the mesh's cells on the map (a few megabytes for a ten-minute pass); the
// runs of map pixels within each cell are found again by each Apply, which is cheaper than keeping
// them. Apply may run on several threads at once.
class TMapSampling {
  public:
    // Throws EGeoInputError for invalid tie points or a grid that is empty, over kMaxMapSide a side
    // or with pixel sizes that are not positive.
    TMapSampling(const TGeoTiePoints& aTies, const TMapProjection& aProjection, const TMapGrid& aGrid);

    // The map of aPicture, as MakeMap makes it. Rows that aPicture.RowDrawn marks as never drawn are
    // no picture: map pixels nearer to such a row than to a drawn one hold kNoData, and those next to
    // one take the drawn row alone. Throws EGeoInputError when aPicture is not of the tie points'
    // size or its layout is invalid (bands other than 1 or 3, strides too small, no pixels).
    TMapRaster Apply(const TPictureView& aPicture) const;

    const TMapGrid& Grid() const { return fGrid; }

    // The maps of several pictures of that size at once (one per picture, in order), cheaper than
    // one by one: each map pixel's place in the pictures is worked out once.
    std::vector<TMapRaster> Apply(const std::vector<TPictureView>& aPictures) const;

  private:
    TMapGrid fGrid;
    int fPictureWidth = 0, fPictureHeight = 0;
    std::string fProjectionWkt;
    // The cells the map shows, 16 values each: for corners top-left, top-right, bottom-left and
    // bottom-right, the map pixel (u, v) and the picture position (col, row).
    std::vector<double> fCells;
};

// The map of aPicture on aGrid: each map pixel whose centre falls inside the swath takes the picture
// sampled bilinearly at the picture coordinates the tie points put there; others hold kNoData (as do
// those at rows aPicture.RowDrawn marks as never drawn, see TMapSampling::Apply).
// The picture and the tie points must be of the same size (else EGeoInputError).
TMapRaster MakeMap(const TPictureView& aPicture, const TGeoTiePoints& aTies,
                   const TMapProjection& aProjection, const TMapGrid& aGrid);
// As above on ChooseMapGrid(aTies, aProjection, aPixelSize).
TMapRaster MakeMap(const TPictureView& aPicture, const TGeoTiePoints& aTies,
                   const TMapProjection& aProjection, double aPixelSize = 0);

// Distance from every pixel centre of aGrid to the nearest of aLines (drawn on the grid), km,
// row-major; measured on the grid (exact Euclidean distance between pixel centres, pixel sizes taken
// as ground distances at the grid's middle, so approximate far from it and in strongly distorting
// projections). Pixels farther than aCapKm get aCapKm. All aCapKm when no line crosses the grid.
std::vector<float> CoastDistanceKm(const TMapGrid& aGrid, const TMapProjection& aProjection,
                                   const std::vector<TGeoPolyline>& aLines, float aCapKm = 100);

// Distance from every pixel of the raw picture to the nearest of aLines, km, row-major Width x Height
// (NaN where the tie points see no Earth), capped at aCapKm. Measured on a map in an azimuthal
// equidistant projection centred on the swath, of aCellKm pixels (0: the nadir spacing), so good to
// about a cell near the lines and a few percent of the distance at the swath's ends. For a
// ten-minute pass about 1.6 s on one core at 1 km, 0.7 s at 2 km.
std::vector<float> CoastDistanceOnPictureKm(const TGeoTiePoints& aTies,
                                            const std::vector<TGeoPolyline>& aLines, float aCapKm = 100,
                                            double aCellKm = 0);

// Land (1) or water (0) for every pixel of aGrid, row-major, as aShores draw it: the shores are drawn
// on the grid and each region between them takes the land/water state of one of its points, so
// islands and lakes narrower than a pixel or two are lost and straits that narrow close up. A pixel
// under a shore is land when land touches it.
std::vector<uint8_t> LandMask(const TMapGrid& aGrid, const TMapProjection& aProjection,
                              const TShores& aShores);

// Land (1), water (0) or kNoEarth for every pixel of the raw picture, row-major Width x Height, from
// a land mask of aCellKm cells (0: the nadir spacing) on a map centred on the swath.
inline constexpr uint8_t kNoEarth = 255;
std::vector<uint8_t> LandMaskOnPicture(const TGeoTiePoints& aTies, const TShores& aShores,
                                       double aCellKm = 0);

// The latitude/longitude box of a grid's pixels (sampled along its edges and across it), for reading
// the coastlines a map needs. The box is the whole world for a map around a pole.
TGeoBox GridBounds(const TMapGrid& aGrid, const TMapProjection& aProjection);

} // namespace lrptgeo
