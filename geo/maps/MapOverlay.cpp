#include "maps/MapOverlay.h"

#include "maps/GdalSupport.h"
#include "maps/GeoErrors.h"
#include "maps/LargeBuffers.h"

#include <gdal.h>

#include <algorithm>
#include <cmath>

namespace lrptgeo {

namespace {

// Plots into a red-green-blue-alpha raster, blending each plot over what the pixel holds.
class TRasterSink {
  public:
    explicit TRasterSink(TMapRaster& aRaster) : fRaster(aRaster) {}
    void operator()(int aX, int aY, double aCover, TRgb aColour) {
        uint8_t* p = fRaster.Pixels.data() + (static_cast<size_t>(aY) * fRaster.Grid.Width + aX) * 4;
        Blend(p, std::min(1.0, aCover), aColour);
    }
    // On a transparent pixel the line's colour shows alone, with the coverage as its alpha.
    static void Blend(uint8_t* aPixel, double aAlpha, TRgb aColour) {
        const uint8_t c[3] = {aColour.Red, aColour.Green, aColour.Blue};
        const bool empty = aPixel[3] == 0;
        for (int b = 0; b < 3; ++b)
            aPixel[b] =
                empty ? c[b] : static_cast<uint8_t>(std::lround(aPixel[b] * (1 - aAlpha) + c[b] * aAlpha));
        aPixel[3] = std::max<uint8_t>(aPixel[3], static_cast<uint8_t>(std::lround(255 * aAlpha)));
    }

  private:
    TMapRaster& fRaster;
};

// Keeps the plots in the order they come, to be blended pixel by pixel afterwards.
struct TPlot {
    uint32_t X, Y;
    double Alpha;
    TRgb Colour;
};
// In chunks of a few megabytes on huge pages: a pass's map takes millions of plots, which a
// growing vector would copy and fault in again and again.
class TPlotSink {
  public:
    explicit TPlotSink(std::vector<std::vector<TPlot>>& aChunks) : fChunks(aChunks) {}
    void operator()(int aX, int aY, double aCover, TRgb aColour) {
        if (fChunks.empty() || fChunks.back().size() == fChunks.back().capacity()) {
            fChunks.emplace_back();
            ReserveLarge(fChunks.back(), (size_t{4} << 20) / sizeof(TPlot));
        }
        fChunks.back().push_back(
            {static_cast<uint32_t>(aX), static_cast<uint32_t>(aY), std::min(1.0, aCover), aColour});
    }

  private:
    std::vector<std::vector<TPlot>>& fChunks;
};

template <class TSink> class TCanvas {
  public:
    TCanvas(const TMapGrid& aGrid, const TMapProjection& aProjection, TSink aSink)
        : fGrid(aGrid), fProjection(aProjection), fSink(aSink),
          fCentreLon(aGrid.OriginX + aGrid.Width * aGrid.PixelSizeX / 2),
          fTear(0.5 * std::max(aGrid.Width, aGrid.Height)) {}

    // A polyline in lon/lat degrees; pieces the projection cannot place, or tears across the map,
    // are left out.
    void Polyline(const std::vector<double>& aLonDeg, const std::vector<double>& aLatDeg, TRgb aColour) {
        const TMapGrid& g = fGrid;
        double pu = NAN, pv = NAN;
        for (size_t k = 0; k < aLonDeg.size(); ++k) {
            const double lon = fProjection.IsGeographic()
                                   ? aLonDeg[k] + 360 * std::round((fCentreLon - aLonDeg[k]) / 360)
                                   : aLonDeg[k];
            double x, y;
            if (!fProjection.Forward(lon, aLatDeg[k], x, y)) {
                pu = NAN;
                continue;
            }
            const double u = (x - g.OriginX) / g.PixelSizeX - 0.5, v = (g.OriginY - y) / g.PixelSizeY - 0.5;
            if (!std::isnan(pu) && std::fabs(u - pu) < fTear && std::fabs(v - pv) < fTear)
                Line(pu, pv, u, v, aColour);
            pu = u;
            pv = v;
        }
    }

  private:
    void Plot(int aX, int aY, double aCover, TRgb aColour) {
        if (aX < 0 || aY < 0 || aX >= fGrid.Width || aY >= fGrid.Height || aCover <= 0) return;
        fSink(aX, aY, aCover, aColour);
    }

    // Xiaolin Wu's anti-aliased line between pixel-centre coordinates.
    void Line(double aX0, double aY0, double aX1, double aY1, TRgb aColour) {
        const TMapGrid& g = fGrid;
        if (std::max(aX0, aX1) < -1 || std::max(aY0, aY1) < -1 || std::min(aX0, aX1) > g.Width ||
            std::min(aY0, aY1) > g.Height)
            return;
        const bool steep = std::fabs(aY1 - aY0) > std::fabs(aX1 - aX0);
        if (steep) {
            std::swap(aX0, aY0);
            std::swap(aX1, aY1);
        }
        if (aX0 > aX1) {
            std::swap(aX0, aX1);
            std::swap(aY0, aY1);
        }
        const double dx = aX1 - aX0, gradient = dx == 0 ? 0 : (aY1 - aY0) / dx;
        const int first = static_cast<int>(std::lround(aX0)), last = static_cast<int>(std::lround(aX1));
        for (int x = first; x <= last; ++x) {
            const double y = aY0 + gradient * (x - aX0);
            const int yi = static_cast<int>(std::floor(y));
            const double f = y - yi;
            if (steep) {
                Plot(yi, x, 1 - f, aColour);
                Plot(yi + 1, x, f, aColour);
            } else {
                Plot(x, yi, 1 - f, aColour);
                Plot(x, yi + 1, f, aColour);
            }
        }
    }

    const TMapGrid& fGrid;
    const TMapProjection& fProjection;
    TSink fSink;
    double fCentreLon;
    double fTear;
};

void CheckOverlayGrid(const TMapGrid& aGrid) {
    if (aGrid.Width < 1 || aGrid.Height < 1 || aGrid.Width > kMaxMapSide || aGrid.Height > kMaxMapSide)
        throw EGeoInputError("overlay refused: grid of " + std::to_string(aGrid.Width) + " x " +
                             std::to_string(aGrid.Height));
}

// The grid, the borders and the coastlines of aStyle on aCanvas, in that order.
template <class TSink>
void DrawLines(TCanvas<TSink>& aCanvas, const TMapGrid& aGrid, const TMapProjection& aProjection,
               const TOverlayStyle& aStyle) {
    const TGeoBox box = GridBounds(aGrid, aProjection);
    if (aStyle.GridStepDeg > 0) {
        // Densified so that curved meridians and parallels stay smooth in any projection.
        const double step = aStyle.GridStepDeg, fine = std::min(0.1, step / 10);
        const double west = box.WestDeg, east = box.WestDeg <= box.EastDeg ? box.EastDeg : box.EastDeg + 360;
        std::vector<double> lon, lat;
        for (double m = std::ceil(west / step) * step; m <= east; m += step) {
            lon.clear();
            lat.clear();
            for (double p = std::max(-90.0, box.SouthDeg); p <= std::min(90.0, box.NorthDeg) + 1e-9;
                 p += fine) {
                lon.push_back(m);
                lat.push_back(std::clamp(p, -90.0, 90.0));
            }
            aCanvas.Polyline(lon, lat, aStyle.GridColour);
        }
        for (double p = std::ceil(box.SouthDeg / step) * step; p <= box.NorthDeg; p += step) {
            if (std::fabs(p) >= 90) continue;
            lon.clear();
            lat.clear();
            for (double m = west; m <= east + 1e-9; m += fine) {
                lon.push_back(m);
                lat.push_back(p);
            }
            aCanvas.Polyline(lon, lat, aStyle.GridColour);
        }
    }
    if (aStyle.Borders)
        for (const TGeoPolyline& line : ReadBorders(box, aStyle.Resolution, aStyle.GshhgDirectory))
            if (line.Level == 1) aCanvas.Polyline(line.LonDeg, line.LatDeg, aStyle.BorderColour);
    if (aStyle.Coastlines)
        for (const TGeoPolyline& line : ReadCoastlines(box, aStyle.Resolution, aStyle.GshhgDirectory))
            if (line.Level <= aStyle.MaxShoreLevel)
                aCanvas.Polyline(line.LonDeg, line.LatDeg, aStyle.CoastColour);
}

} // namespace

TMapRaster DrawOverlayLines(const TMapGrid& aGrid, const std::string& aProjectionWkt,
                            const TMapProjection& aProjection, const TOverlayStyle& aStyle) {
    CheckOverlayGrid(aGrid);
    TMapRaster out;
    out.Grid = aGrid;
    out.Bands = 4;
    out.ProjectionWkt = aProjectionWkt;
    ReserveLarge(out.Pixels, static_cast<size_t>(aGrid.Width) * aGrid.Height * 4);
    out.Pixels.assign(static_cast<size_t>(aGrid.Width) * aGrid.Height * 4, 0);
    TCanvas<TRasterSink> canvas(aGrid, aProjection, TRasterSink(out));
    DrawLines(canvas, aGrid, aProjection, aStyle);
    return out;
}

TOverlayPixels DrawOverlayPixels(const TMapGrid& aGrid, const TMapProjection& aProjection,
                                 const TOverlayStyle& aStyle) {
    CheckOverlayGrid(aGrid);
    std::vector<std::vector<TPlot>> plots;
    TCanvas<TPlotSink> canvas(aGrid, aProjection, TPlotSink(plots));
    DrawLines(canvas, aGrid, aProjection, aStyle);
    // Into row order keeping each pixel's plots in drawing order (counting by row, then a stable
    // sort by column within each row), then blended pixel by pixel as the raster would have them.
    TOverlayPixels out;
    out.Width = aGrid.Width;
    out.Height = aGrid.Height;
    std::vector<size_t> start(static_cast<size_t>(aGrid.Height) + 1, 0);
    for (const std::vector<TPlot>& chunk : plots)
        for (const TPlot& p : chunk)
            ++start[p.Y + 1];
    for (size_t y = 1; y < start.size(); ++y)
        start[y] += start[y - 1];
    std::vector<TPlot> byRow;
    ReserveLarge(byRow, start.back());
    byRow.resize(start.back());
    {
        std::vector<size_t> next(start.begin(), start.end() - 1);
        for (const std::vector<TPlot>& chunk : plots)
            for (const TPlot& p : chunk)
                byRow[next[p.Y]++] = p;
    }
    plots = {};
    // At most a pixel a plot.
    ReserveLarge(out.X, byRow.size());
    ReserveLarge(out.Rgba, byRow.size());
    out.RowStart.reserve(start.size());
    for (size_t y = 0; y + 1 < start.size(); ++y) {
        out.RowStart.push_back(out.X.size());
        const auto first = byRow.begin() + static_cast<ptrdiff_t>(start[y]),
                   last = byRow.begin() + static_cast<ptrdiff_t>(start[y + 1]);
        std::stable_sort(first, last, [](const TPlot& a, const TPlot& b) { return a.X < b.X; });
        for (auto p = first; p != last;) {
            std::array<uint8_t, 4> pixel{};
            const uint32_t x = p->X;
            for (; p != last && p->X == x; ++p)
                TRasterSink::Blend(pixel.data(), p->Alpha, p->Colour);
            if (pixel[3] == 0) continue;
            out.X.push_back(static_cast<int>(x));
            out.Rgba.push_back(pixel);
        }
    }
    out.RowStart.push_back(out.X.size());
    return out;
}

TOverlayPixels OverlayPixelsOf(const TMapRaster& aLines) {
    if (aLines.Bands != 4 || aLines.Grid.Width < 1 || aLines.Grid.Height < 1 ||
        aLines.Pixels.size() != static_cast<size_t>(aLines.Grid.Width) * aLines.Grid.Height * 4)
        throw EGeoInputError("overlay refused: not the lines of a grid");
    TOverlayPixels out;
    out.Width = aLines.Grid.Width;
    out.Height = aLines.Grid.Height;
    out.RowStart.reserve(static_cast<size_t>(out.Height) + 1);
    const uint8_t* p = aLines.Pixels.data();
    for (int y = 0; y < out.Height; ++y) {
        out.RowStart.push_back(out.X.size());
        for (int x = 0; x < out.Width; ++x, p += 4)
            if (p[3] != 0) {
                out.X.push_back(x);
                out.Rgba.push_back({p[0], p[1], p[2], p[3]});
            }
    }
    out.RowStart.push_back(out.X.size());
    return out;
}

TMapRaster ApplyOverlay(const TMapRaster& aMap, const TMapRaster& aLines) {
    const size_t n = static_cast<size_t>(aMap.Grid.Width) * aMap.Grid.Height;
    if ((aMap.Bands != 1 && aMap.Bands != 3) || aMap.Pixels.size() != n * aMap.Bands)
        throw EGeoInputError("overlay refused: the map raster is inconsistent");
    if (aLines.Bands != 4 || aLines.Grid.Width != aMap.Grid.Width || aLines.Grid.Height != aMap.Grid.Height ||
        aLines.Pixels.size() != n * 4)
        throw EGeoInputError("overlay refused: the lines are not drawn on the map's grid");
    TMapRaster out;
    out.Grid = aMap.Grid;
    out.Bands = 4;
    out.ProjectionWkt = aMap.ProjectionWkt;
    out.Pixels.resize(n * 4);
    for (size_t k = 0; k < n; ++k) {
        const uint8_t* s = &aMap.Pixels[k * aMap.Bands];
        const uint8_t* l = &aLines.Pixels[k * 4];
        uint8_t* d = &out.Pixels[k * 4];
        const bool data = std::any_of(s, s + aMap.Bands, [](uint8_t v) { return v != TMapRaster::kNoData; });
        if (!data) {
            std::copy(l, l + 4, d); // the lines alone on a transparent background
            continue;
        }
        const int a = l[3];
        for (int b = 0; b < 3; ++b)
            d[b] = static_cast<uint8_t>((s[aMap.Bands == 3 ? b : 0] * (255 - a) + l[b] * a + 127) / 255);
        d[3] = 255;
    }
    return out;
}

TMapRaster DrawOverlay(const TMapRaster& aMap, const TMapProjection& aProjection,
                       const TOverlayStyle& aStyle) {
    return ApplyOverlay(aMap, DrawOverlayLines(aMap.Grid, aMap.ProjectionWkt, aProjection, aStyle));
}

void WritePng(const TMapRaster& aRaster, const std::string& aPath) {
    const TMapGrid& g = aRaster.Grid;
    const int bands = aRaster.Bands;
    if ((bands != 1 && bands != 3 && bands != 4) || g.Width < 1 || g.Height < 1 ||
        aRaster.Pixels.size() != static_cast<size_t>(g.Width) * g.Height * bands)
        throw EGeoWriteError("cannot write " + aPath + ": the raster is inconsistent");
    TGdalErrors errors;
    GDALDriverH mem = GDALGetDriverByName("MEM"), png = GDALGetDriverByName("PNG");
    if (!mem || !png) throw EGeoWriteError("cannot write " + aPath + ": GDAL lacks its MEM or PNG driver");
    TGdalDataset source(GDALCreate(mem, "", g.Width, g.Height, bands, GDT_Byte, nullptr));
    if (!source) throw EGeoWriteError("cannot write " + aPath + errors.Reason());
    if (GDALDatasetRasterIO(source.get(), GF_Write, 0, 0, g.Width, g.Height,
                            const_cast<uint8_t*>(aRaster.Pixels.data()), g.Width, g.Height, GDT_Byte, bands,
                            nullptr, bands, static_cast<GSpacing>(g.Width) * bands, 1) != CE_None)
        throw EGeoWriteError("cannot write " + aPath + errors.Reason());
    if (bands == 4) GDALSetRasterColorInterpretation(GDALGetRasterBand(source.get(), 4), GCI_AlphaBand);
    TAtomicPath path(aPath);
    // The PNG driver's world file and aux.xml stay off: the PNG is a picture, the GeoTIFF the data.
    // The fastest compression level: level 6 took three to four times as long for a file 20% smaller.
    const char* options[] = {"WORLDFILE=NO", "ZLEVEL=1", nullptr};
    TGdalDataset copy(GDALCreateCopy(png, path.Temporary().c_str(), source.get(), FALSE,
                                     const_cast<char**>(options), nullptr, nullptr));
    if (!copy) throw EGeoWriteError("cannot write " + aPath + errors.Reason());
    copy.reset();
    if (!errors.LastError().empty()) throw EGeoWriteError("cannot write " + aPath + errors.Reason());
    std::remove((path.Temporary() + ".aux.xml").c_str());
    path.Commit();
}

} // namespace lrptgeo
