#include "maps/GeoTiffWriter.h"

#include "maps/GdalSupport.h"
#include "maps/GeoErrors.h"

#include <gdal.h>
#include <tiffio.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

namespace lrptgeo {

namespace {

// Writes a finished file: creates aTemporary as a GeoTIFF of the given layout; the caller fills it.
// Bands the caller has apart are stored apart (band-interleaved), so that each tile is one band's
// and goes to the file as it is written (WriteTiles); a pixel-interleaved raster is stored as it is
// (aInterleaved): its colour bands compress far better together (a palette picture's file is a
// third smaller). aSparse: tiles never written stay out of the file (someone else writes them).
TGdalDataset CreateTiff(const std::string& aTemporary, const std::string& aPath, int aWidth, int aHeight,
                        int aBands, const TGdalErrors& aErrors, bool aInterleaved = false,
                        bool aSparse = false) {
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
                             aInterleaved ? "INTERLEAVE=PIXEL" : "INTERLEAVE=BAND",
                             aSparse ? "SPARSE_OK=TRUE" : nullptr,
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

// One band of a raster in memory: pixel (x, y) at First[y * RowStride + x * PixelStride].
struct TBandSource {
    const uint8_t* First;
    int PixelStride;
    size_t RowStride;
};

// Every tile of every band, in the file's order, straight to the driver (which compresses and
// writes each at once); the parts of the edge tiles beyond the raster hold 0.
void WriteTiles(GDALDatasetH aDataset, int aWidth, int aHeight, const std::vector<TBandSource>& aBands,
                const std::string& aPath, const TGdalErrors& aErrors) {
    int tileWidth = 0, tileHeight = 0;
    GDALGetBlockSize(GDALGetRasterBand(aDataset, 1), &tileWidth, &tileHeight);
    if (tileWidth < 1 || tileHeight < 1) throw EGeoWriteError("cannot write " + aPath + aErrors.Reason());
    std::vector<uint8_t> tile(static_cast<size_t>(tileWidth) * tileHeight);
    for (size_t b = 0; b < aBands.size(); ++b) {
        const TBandSource& source = aBands[b];
        GDALRasterBandH band = GDALGetRasterBand(aDataset, static_cast<int>(b) + 1);
        for (int ty = 0; ty * tileHeight < aHeight; ++ty)
            for (int tx = 0; tx * tileWidth < aWidth; ++tx) {
                const int x0 = tx * tileWidth, y0 = ty * tileHeight;
                const int w = std::min(tileWidth, aWidth - x0), h = std::min(tileHeight, aHeight - y0);
                if (w < tileWidth || h < tileHeight) std::fill(tile.begin(), tile.end(), 0);
                for (int y = 0; y < h; ++y) {
                    const uint8_t* from = source.First + static_cast<size_t>(y0 + y) * source.RowStride +
                                          static_cast<size_t>(x0) * source.PixelStride;
                    uint8_t* to = &tile[static_cast<size_t>(y) * tileWidth];
                    if (source.PixelStride == 1) {
                        std::memcpy(to, from, static_cast<size_t>(w));
                    } else {
                        for (int x = 0; x < w; ++x)
                            to[x] = from[static_cast<size_t>(x) * source.PixelStride];
                    }
                }
                Check(GDALWriteBlock(band, tx, ty, tile.data()), aPath, aErrors);
            }
    }
}

// aBands interleaved pixel by pixel (aFirst: red, green, blue of pixel 0, rows aWidth * aBands bytes
// apart) into a pixel-interleaved file, a row of tiles at a time, each row of tiles out of GDAL's
// block cache before the next: the cache's blocks are used again rather than the whole raster's
// worth of fresh memory.
void WriteInterleavedTiles(GDALDatasetH aDataset, int aWidth, int aHeight, int aBands, const uint8_t* aFirst,
                           const std::string& aPath, const TGdalErrors& aErrors) {
    int tileWidth = 0, tileHeight = 0;
    GDALGetBlockSize(GDALGetRasterBand(aDataset, 1), &tileWidth, &tileHeight);
    if (tileWidth < 1 || tileHeight < 1) throw EGeoWriteError("cannot write " + aPath + aErrors.Reason());
    const size_t row = static_cast<size_t>(aWidth) * aBands;
    for (int y0 = 0; y0 < aHeight; y0 += tileHeight) {
        const int h = std::min(tileHeight, aHeight - y0);
        Check(GDALDatasetRasterIO(aDataset, GF_Write, 0, y0, aWidth, h,
                                  const_cast<uint8_t*>(aFirst + y0 * row), aWidth, h, GDT_Byte, aBands,
                                  nullptr, aBands, static_cast<int>(row), 1),
              aPath, aErrors);
        GDALFlushCache(aDataset); // failures show in aErrors when the file is closed
    }
}

// A map GeoTIFF of aMap's grid and CRS with aBands bands at aPath's temporary file, its tiles not
// written yet: geotransform, CRS, no-data on every band, red, green, blue for three.
TGdalDataset CreateMapTiff(const TMapRaster& aMap, int aBands, const TAtomicPath& aPath,
                           const std::string& aName, const TGdalErrors& aErrors, bool aInterleaved,
                           bool aSparse) {
    const TMapGrid& g = aMap.Grid;
    TGdalDataset ds =
        CreateTiff(aPath.Temporary(), aName, g.Width, g.Height, aBands, aErrors, aInterleaved, aSparse);
    double transform[6] = {g.OriginX, g.PixelSizeX, 0, g.OriginY, 0, -g.PixelSizeY};
    Check(GDALSetGeoTransform(ds.get(), transform), aName, aErrors);
    Check(GDALSetProjection(ds.get(), aMap.ProjectionWkt.c_str()), aName, aErrors);
    for (int b = 1; b <= aBands; ++b) {
        GDALRasterBandH band = GDALGetRasterBand(ds.get(), b);
        Check(GDALSetRasterNoDataValue(band, TMapRaster::kNoData), aName, aErrors);
        if (aBands == 3)
            Check(GDALSetRasterColorInterpretation(band, static_cast<GDALColorInterp>(GCI_RedBand + b - 1)),
                  aName, aErrors);
    }
    return ds;
}

// The map's bands from aBand[b] (band b's first byte; pixels aPixelSpacing bytes apart, rows
// aGrid.Width * aPixelSpacing) as a GeoTIFF of aMap's grid and CRS.
void WriteBands(const TMapRaster& aMap, const std::vector<const uint8_t*>& aBand, int aPixelSpacing,
                const std::string& aPath) {
    const TMapGrid& g = aMap.Grid;
    const int bands = static_cast<int>(aBand.size());
    TGdalErrors errors;
    TAtomicPath path(aPath);
    const bool interleaved =
        bands == 3 && aPixelSpacing == 3 && aBand[1] == aBand[0] + 1 && aBand[2] == aBand[0] + 2;
    TGdalDataset ds = CreateMapTiff(aMap, bands, path, aPath, errors, interleaved, false);
    std::vector<TBandSource> sources;
    for (const uint8_t* band : aBand)
        sources.push_back(
            {band, aPixelSpacing, static_cast<size_t>(g.Width) * static_cast<size_t>(aPixelSpacing)});
    if (interleaved)
        WriteInterleavedTiles(ds.get(), g.Width, g.Height, bands, aBand[0], aPath, errors);
    else
        WriteTiles(ds.get(), g.Width, g.Height, sources, aPath, errors);
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

namespace {

// An open libtiff file, closed (and, when written, its directory written) at the end.
struct TTiffCloser {
    void operator()(TIFF* aTiff) const { TIFFClose(aTiff); }
};
using TTiff = std::unique_ptr<TIFF, TTiffCloser>;

// Whether aTiff is laid out as WriteBands lays out a map of aBands bands on aGrid (tiles of
// aTileWidth x aTileHeight, 8 bits, Zstandard with the horizontal predictor, bands apart).
bool LaidOutAsOurs(TIFF* aTiff, const TMapGrid& aGrid, uint16_t aBands, uint32_t aTileWidth,
                   uint32_t aTileHeight) {
    uint32_t width = 0, height = 0, tileWidth = 0, tileHeight = 0;
    uint16_t samples = 0, bits = 0, compression = 0, predictor = 0, planar = 0;
    return aTiff && TIFFIsTiled(aTiff) && TIFFGetField(aTiff, TIFFTAG_IMAGEWIDTH, &width) &&
           TIFFGetField(aTiff, TIFFTAG_IMAGELENGTH, &height) &&
           TIFFGetField(aTiff, TIFFTAG_TILEWIDTH, &tileWidth) &&
           TIFFGetField(aTiff, TIFFTAG_TILELENGTH, &tileHeight) &&
           TIFFGetFieldDefaulted(aTiff, TIFFTAG_SAMPLESPERPIXEL, &samples) &&
           TIFFGetFieldDefaulted(aTiff, TIFFTAG_BITSPERSAMPLE, &bits) &&
           TIFFGetFieldDefaulted(aTiff, TIFFTAG_COMPRESSION, &compression) &&
           TIFFGetFieldDefaulted(aTiff, TIFFTAG_PREDICTOR, &predictor) &&
           TIFFGetFieldDefaulted(aTiff, TIFFTAG_PLANARCONFIG, &planar) &&
           width == static_cast<uint32_t>(aGrid.Width) && height == static_cast<uint32_t>(aGrid.Height) &&
           tileWidth == aTileWidth && tileHeight == aTileHeight && samples == aBands && bits == 8 &&
           compression == COMPRESSION_ZSTD && predictor == PREDICTOR_HORIZONTAL &&
           (aBands == 1 || planar == PLANARCONFIG_SEPARATE);
}

// The tiles of aBandFiles into aTemporary, a file of WriteBands's layout with no tile
// written yet: false (nothing committed) where a file does not fit.
bool CopyBandTiles(const std::string& aTemporary, const TMapGrid& aGrid,
                   const std::array<std::string, 3>& aBandFiles) {
    TTiff out(TIFFOpen(aTemporary.c_str(), "r+"));
    uint32_t tileWidth = 0, tileHeight = 0;
    if (!out || !TIFFGetField(out.get(), TIFFTAG_TILEWIDTH, &tileWidth) ||
        !TIFFGetField(out.get(), TIFFTAG_TILELENGTH, &tileHeight) ||
        !LaidOutAsOurs(out.get(), aGrid, 3, tileWidth, tileHeight))
        return false;
    const uint32_t perBand = TIFFNumberOfTiles(out.get()) / 3;
    std::vector<uint8_t> tile;
    for (size_t b = 0; b < aBandFiles.size(); ++b) {
        TTiff in(TIFFOpen(aBandFiles[b].c_str(), "r"));
        uint64_t* sizes = nullptr;
        if (!LaidOutAsOurs(in.get(), aGrid, 1, tileWidth, tileHeight) ||
            TIFFNumberOfTiles(in.get()) != perBand ||
            !TIFFGetField(in.get(), TIFFTAG_TILEBYTECOUNTS, &sizes) || !sizes)
            return false;
        for (uint32_t t = 0; t < perBand; ++t) {
            tile.resize(sizes[t]);
            const tmsize_t n = static_cast<tmsize_t>(sizes[t]);
            if (n <= 0 || TIFFReadRawTile(in.get(), t, tile.data(), n) != n ||
                TIFFWriteRawTile(out.get(), static_cast<uint32_t>(b) * perBand + t, tile.data(), n) != n)
                return false;
        }
    }
    // Closing writes the directory with the tiles' places.
    TIFF* done = out.release();
    TIFFClose(done);
    return true;
}

} // namespace

bool WriteMapGeoTiff(const TMapRaster& aRed, const TMapRaster& aGreen, const TMapRaster& aBlue,
                     const std::array<std::string, 3>& aBandFiles, const std::string& aPath) {
    for (const TMapRaster* m : {&aRed, &aGreen, &aBlue})
        if (!Consistent(*m, 1) || m->Grid.Width != aRed.Grid.Width || m->Grid.Height != aRed.Grid.Height)
            throw EGeoWriteError("cannot write " + aPath + ": the band rasters are inconsistent");
    const TMapGrid& g = aRed.Grid;
    {
        TGdalErrors errors;
        TAtomicPath path(aPath);
        // The file's header as WriteBands makes it, no tile yet (sparse, so none is written at the end).
        TGdalDataset ds = CreateMapTiff(aRed, 3, path, aPath, errors, false, true);
        Close(ds, aPath, errors);
        if (CopyBandTiles(path.Temporary(), g, aBandFiles) && errors.LastError().empty()) {
            path.Commit();
            return true;
        }
    }
    WriteMapGeoTiff(aRed, aGreen, aBlue, aPath);
    return false;
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
    std::vector<TBandSource> sources;
    for (int b = 0; b < aPicture.Bands; ++b) {
        const int offset = aPicture.Bands == 3 && aPicture.Bgr ? 2 - b : b;
        GDALRasterBandH band = GDALGetRasterBand(ds.get(), b + 1);
        if (aPicture.Bands == 3)
            Check(GDALSetRasterColorInterpretation(band, static_cast<GDALColorInterp>(GCI_RedBand + b)),
                  aPath, errors);
        sources.push_back(
            {aPicture.Pixels + offset, aPicture.PixelStride, static_cast<size_t>(aPicture.RowStride)});
    }
    WriteTiles(ds.get(), aPicture.Width, aPicture.Height, sources, aPath, errors);
    Close(ds, aPath, errors);
    path.Commit();
}

} // namespace lrptgeo
