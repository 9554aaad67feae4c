// A map with coastlines, national borders and a latitude/longitude grid drawn on, and PNG output.
#pragma once

#include "maps/Coastlines.h"
#include "maps/MapProjection.h"
#include "maps/MapRaster.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace lrptgeo {

struct TRgb {
    uint8_t Red = 0, Green = 0, Blue = 0;
};

struct TOverlayStyle {
    TRgb CoastColour{255, 220, 0};  // sea and lake shores
    TRgb BorderColour{255, 60, 60}; // national borders
    TRgb GridColour{120, 200, 255}; // meridians and parallels
    double GridStepDeg = 5;         // 0: no grid
    bool Coastlines = true;
    int MaxShoreLevel = 2; // 1: sea shores only; 2: lake shores too
    bool Borders = true;
    TCoastResolution Resolution = TCoastResolution::Intermediate;
    std::string GshhgDirectory = kGshhgDirectory;
};

// A 4-band copy of aMap (red, green, blue, alpha; a grey map becomes grey RGB) with the lines drawn
// on, anti-aliased, 1 pixel wide; alpha is 0 on no-data pixels no line touches, so the swath stands
// on a transparent background. aProjection is the map's own. Throws ECoastlineError when a
// coastline file it needs is missing. The same as ApplyOverlay(aMap, DrawOverlayLines(...)).
TMapRaster DrawOverlay(const TMapRaster& aMap, const TMapProjection& aProjection,
                       const TOverlayStyle& aStyle = {});

// The lines alone on a grid (red, green, blue, alpha = how much of the pixel a line covers), to be
// drawn once and put on each of a pass's maps, which share their grid.
TMapRaster DrawOverlayLines(const TMapGrid& aGrid, const std::string& aProjectionWkt,
                            const TMapProjection& aProjection, const TOverlayStyle& aStyle = {});
// The pixels DrawOverlayLines draws with some alpha, row by row: lines cover a few percent of a
// map, so a pass's maps are drawn on by copying their rows and blending only these pixels.
struct TOverlayPixels {
    int Width = 0, Height = 0;
    std::vector<size_t> RowStart; // Height + 1 offsets into X and Rgba
    std::vector<int> X;           // column of each pixel, rising within a row
    std::vector<std::array<uint8_t, 4>> Rgba;
};
// The same pixels as OverlayPixelsOf(DrawOverlayLines(...)) gives, without the raster of the whole
// grid in between (some tens of megabytes a pass). Throws as DrawOverlayLines does.
TOverlayPixels DrawOverlayPixels(const TMapGrid& aGrid, const TMapProjection& aProjection,
                                 const TOverlayStyle& aStyle = {});
// The line pixels of a DrawOverlayLines raster; EGeoInputError for a raster that is not one.
TOverlayPixels OverlayPixelsOf(const TMapRaster& aLines);
// aLines (from DrawOverlayLines on aMap's grid, else EGeoInputError) over aMap, as DrawOverlay.
TMapRaster ApplyOverlay(const TMapRaster& aMap, const TMapRaster& aLines);

// A raster of 1 (grey), 3 (RGB) or 4 (RGBA) bands as PNG, through a temporary file renamed when
// complete; throws EGeoWriteError naming aPath (no file left) on failure.
void WritePng(const TMapRaster& aRaster, const std::string& aPath);

} // namespace lrptgeo
