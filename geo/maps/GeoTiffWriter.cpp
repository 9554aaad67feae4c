#include "maps/GeoTiffWriter.h"

#include "maps/GdalSupport.h"
#include "maps/GeoErrors.h"

#include <gdal.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace lrptgeo {

namespace {

// Writes a finished file: creates aTemporary as a GeoTIFF of the given layout; the caller fills it.
// aBandByBand: the bands are stored apart (the caller has them apart: putting them together for the
// file would cost more than the file saves).
TGdalDataset CreateTiff(const std::string& aTemporary, const std::string& aPath, int aWidth, int aHeight,
                        int aBands, const TGdalErrors& aErrors, bool aBandByBand = false) {
    GDALDriverH driver = GDALGetDriverByName("GTiff");
    if (!driver) throw EGeoWriteError("cannot write " + aPath + ": GDAL has no GeoTIFF driver");
    // Zstandard at its fastest level with the horizontal predictor: on a pass's maps it takes about
    // two thirds of the time of Deflate's fastest level for files some 5% smaller (Deflate at level 6
    // took three times as long again). Readers need GDAL 2.3 / libtiff 4.0.10 or later.
    const char* options[] = {"COMPRESS=ZSTD",
                             "PREDICTOR=2",
                             "ZSTD_LEVEL=1",
                             "TILED=YES",
                             aBands == 3 ? "PHOTOMETRIC=RGB" : "PHOTOMETRIC=MINISBLACK",
                             aBandByBand ? "INTERLEAVE=BAND" : "INTERLEAVE=PIXEL",
                             nullptr};
    TGdalDataset ds(GDALCreate(driver, aTemporary.c_str(), aWidth, aHeight, aBands, GDT_Byte,
                               const_cast<char**>(options)));
    if (!ds) throw EGeoWriteError("cannot write " + aPath + aErrors.Reason());
    return ds;
}

void Check(CPLErr aResult, const std::string& aPath, const TGdalErrors& aErrors) {
    if (aResult != CE_None) throw EGeoWriteError("cannot write " + aPath + aErrors.Reason());
}

// Closing flushes the compressed tiles: a failure there is a failed write too.
void Close(TGdalDataset& aDataset, const std::string& aPath, const TGdalErrors& aErrors) {
    GDALFlushCache(aDataset.get());
    aDataset.reset();
    if (!aErrors.LastError().empty()) throw EGeoWriteError("cannot write " + aPath + aErrors.Reason());
}

} // namespace

namespace {

// The map's bands from aBand[b] (band b's first byte; pixels aPixelSpacing bytes apart, rows
// aGrid.Width * aPixelSpacing) as a GeoTIFF of aMap's grid and CRS.
void WriteBands(const TMapRaster& aMap, const std::vector<const uint8_t*>& aBand, int aPixelSpacing,
                const std::string& aPath) {
    const TMapGrid& g = aMap.Grid;
    const int bands = static_cast<int>(aBand.size());
    TGdalErrors errors;
    TAtomicPath path(aPath);
    TGdalDataset ds =
        CreateTiff(path.Temporary(), aPath, g.Width, g.Height, bands, errors, aPixelSpacing == 1);
    double transform[6] = {g.OriginX, g.PixelSizeX, 0, g.OriginY, 0, -g.PixelSizeY};
    Check(GDALSetGeoTransform(ds.get(), transform), aPath, errors);
    Check(GDALSetProjection(ds.get(), aMap.ProjectionWkt.c_str()), aPath, errors);
    for (int b = 1; b <= bands; ++b) {
        GDALRasterBandH band = GDALGetRasterBand(ds.get(), b);
        Check(GDALSetRasterNoDataValue(band, TMapRaster::kNoData), aPath, errors);
        if (bands == 3)
            Check(GDALSetRasterColorInterpretation(band, static_cast<GDALColorInterp>(GCI_RedBand + b - 1)),
                  aPath, errors);
    }
    if (aPixelSpacing == bands && bands == 3 && aBand[1] == aBand[0] + 1 && aBand[2] == aBand[0] + 2) {
        // Interleaved as the file is: one call, so that each tile is put together once.
        Check(GDALDatasetRasterIO(ds.get(), GF_Write, 0, 0, g.Width, g.Height, const_cast<uint8_t*>(aBand[0]),
                                  g.Width, g.Height, GDT_Byte, bands, nullptr, bands,
                                  static_cast<GSpacing>(g.Width) * bands, 1),
              aPath, errors);
    } else {
        for (int b = 0; b < bands; ++b)
            Check(GDALRasterIOEx(GDALGetRasterBand(ds.get(), b + 1), GF_Write, 0, 0, g.Width, g.Height,
                                 const_cast<uint8_t*>(aBand[static_cast<size_t>(b)]), g.Width, g.Height,
                                 GDT_Byte, aPixelSpacing, static_cast<GSpacing>(g.Width) * aPixelSpacing,
                                 nullptr),
                  aPath, errors);
    }
    Close(ds, aPath, errors);
    path.Commit();
}

bool Consistent(const TMapRaster& aMap, int aBands) {
    const TMapGrid& g = aMap.Grid;
    return aMap.Bands == aBands && aMap.Pixels.size() == static_cast<size_t>(g.Width) * g.Height * aBands &&
           g.Width >= 1 && g.Height >= 1;
}

} // namespace

void WriteMapGeoTiff(const TMapRaster& aMap, const std::string& aPath) {
    if (!Consistent(aMap, aMap.Bands == 3 ? 3 : 1))
        throw EGeoWriteError("cannot write " + aPath + ": the map raster is inconsistent");
    const uint8_t* p = aMap.Pixels.data();
    WriteBands(aMap, aMap.Bands == 3 ? std::vector<const uint8_t*>{p, p + 1, p + 2} : std::vector{p},
               aMap.Bands, aPath);
}

void WriteMapGeoTiff(const TMapRaster& aRed, const TMapRaster& aGreen, const TMapRaster& aBlue,
                     const std::string& aPath) {
    for (const TMapRaster* m : {&aRed, &aGreen, &aBlue})
        if (!Consistent(*m, 1) || m->Grid.Width != aRed.Grid.Width || m->Grid.Height != aRed.Grid.Height)
            throw EGeoWriteError("cannot write " + aPath + ": the band rasters are inconsistent");
    WriteBands(aRed, {aRed.Pixels.data(), aGreen.Pixels.data(), aBlue.Pixels.data()}, 1, aPath);
}

void WriteGcpGeoTiff(const TPictureView& aPicture, const TGeoTiePoints& aTies, const std::string& aPath,
                     int aMaxGcps) {
    CheckTiePoints(aTies);
    if (aPicture.Width != aTies.Width || aPicture.Height != aTies.Height || !aPicture.Pixels ||
        (aPicture.Bands != 1 && aPicture.Bands != 3) || aPicture.PixelStride < aPicture.Bands)
        throw EGeoWriteError("cannot write " + aPath + ": picture and tie points do not fit together");

    // An even selection of tie rows and columns, about aMaxGcps in all, ends included.
    const int rows = aTies.TieRows(), cols = aTies.TieCols();
    const double aspect = static_cast<double>(cols) / rows;
    const int nc =
        std::clamp(static_cast<int>(std::lround(std::sqrt(std::max(4, aMaxGcps) * aspect))), 2, cols);
    const int nr = std::clamp(std::max(4, aMaxGcps) / nc, 2, rows);
    const auto pick = [](int k, int n, int total) {
        return static_cast<int>(std::lround(static_cast<double>(k) * (total - 1) / (n - 1)));
    };
    const auto middle = InterpolateLatLon(aTies, (aTies.Width - 1) / 2.0, (aTies.Height - 1) / 2.0);
    const double centreLon = middle ? middle->LonDeg : 0;

    std::vector<GDAL_GCP> gcps;
    std::vector<std::string> ids;
    ids.reserve(static_cast<size_t>(nr) * nc);
    for (int a = 0; a < nr; ++a)
        for (int b = 0; b < nc; ++b) {
            const int i = pick(a, nr, rows), j = pick(b, nc, cols);
            const size_t k = static_cast<size_t>(i) * cols + j;
            const double lat = aTies.LatDeg[k], lon = aTies.LonDeg[k];
            if (std::isnan(lat) || std::isnan(lon)) continue;
            ids.push_back(std::to_string(gcps.size() + 1));
            GDAL_GCP g{};
            g.dfGCPPixel = aTies.TieColAt(j) + 0.5;
            g.dfGCPLine = aTies.TieRowAt(i) + 0.5;
            g.dfGCPX = lon + 360 * std::round((centreLon - lon) / 360);
            g.dfGCPY = lat;
            g.dfGCPZ = 0;
            gcps.push_back(g);
        }
    for (size_t k = 0; k < gcps.size(); ++k) {
        gcps[k].pszId = const_cast<char*>(ids[k].c_str());
        gcps[k].pszInfo = const_cast<char*>("");
    }
    if (gcps.size() < 3)
        throw EGeoWriteError("cannot write " + aPath + ": fewer than 3 tie points see the Earth");

    const TMapProjection wgs84("EPSG:4326");
    TGdalErrors errors;
    TAtomicPath path(aPath);
    TGdalDataset ds =
        CreateTiff(path.Temporary(), aPath, aPicture.Width, aPicture.Height, aPicture.Bands, errors);
    Check(GDALSetGCPs(ds.get(), static_cast<int>(gcps.size()), gcps.data(), wgs84.Wkt().c_str()), aPath,
          errors);
    for (int b = 0; b < aPicture.Bands; ++b) {
        const int offset = aPicture.Bands == 3 && aPicture.Bgr ? 2 - b : b;
        GDALRasterBandH band = GDALGetRasterBand(ds.get(), b + 1);
        if (aPicture.Bands == 3)
            Check(GDALSetRasterColorInterpretation(band, static_cast<GDALColorInterp>(GCI_RedBand + b)),
                  aPath, errors);
        Check(GDALRasterIOEx(band, GF_Write, 0, 0, aPicture.Width, aPicture.Height,
                             const_cast<uint8_t*>(aPicture.Pixels + offset), aPicture.Width, aPicture.Height,
                             GDT_Byte, aPicture.PixelStride, aPicture.RowStride, nullptr),
              aPath, errors);
    }
    Close(ds, aPath, errors);
    path.Commit();
}

} // namespace lrptgeo
