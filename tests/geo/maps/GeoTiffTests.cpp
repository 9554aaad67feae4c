#include "SwathModel.h"
#include "maps/GeoErrors.h"
#include "maps/GeoTiffWriter.h"
#include "maps/MapOverlay.h"

#include <gdal.h>
#include <gdal_alg.h>
#include <ogr_srs_api.h>

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

using namespace lrptgeo;

namespace {

namespace fs = std::filesystem;

class GeoFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        GDALAllRegister();
        fFolder = fs::temp_directory_path() / ("geo_maps_tests." + std::to_string(getpid()));
        fs::remove_all(fFolder);
        fs::create_directories(fFolder);
    }
    void TearDown() override { fs::remove_all(fFolder); }
    std::string Path(const std::string& aName) const { return (fFolder / aName).string(); }
    std::vector<std::string> Files() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(fFolder))
            names.push_back(e.path().filename().string());
        return names;
    }
    fs::path fFolder;
};

struct TCloser {
    void operator()(GDALDatasetH aDataset) const { GDALClose(aDataset); }
};
using TDataset = std::unique_ptr<std::remove_pointer_t<GDALDatasetH>, TCloser>;

TDataset Open(const std::string& aPath) {
    return TDataset(GDALOpen(aPath.c_str(), GA_ReadOnly));
}

bool SameCrs(const char* aWkt, int aEpsg) {
    OGRSpatialReferenceH a = OSRNewSpatialReference(aWkt), b = OSRNewSpatialReference(nullptr);
    OSRImportFromEPSG(b, aEpsg);
    const bool same = OSRIsSame(a, b);
    OSRDestroySpatialReference(a);
    OSRDestroySpatialReference(b);
    return same;
}

// A small grey picture: value from column and row, never 0.
std::vector<uint8_t> Ramp(int aWidth, int aHeight, int aBands) {
    std::vector<uint8_t> p(static_cast<size_t>(aWidth) * aHeight * aBands);
    for (size_t k = 0; k < p.size(); ++k)
        p[k] = static_cast<uint8_t>(1 + (k * 7 + k / aWidth) % 250);
    return p;
}

} // namespace

TEST_F(GeoFiles, MapGeoTiffCarriesGeotransformCrsNoDataAndPixels) {
    const TSwathModel model(40, 16, -12, 300, 200);
    const std::vector<uint8_t> bytes = Ramp(300, 200, 3);
    const TPictureView picture{bytes.data(), 300, 200, 3, 3, 900, false};
    for (const char* definition : {"EPSG:4326", "+proj=stere +lat_0=90 +lat_ts=70 +lon_0=-45 +datum=WGS84"}) {
        const TMapProjection projection(definition);
        const TMapRaster map = MakeMap(picture, model.Ties(), projection);
        const std::string path = Path("map.tif");
        WriteMapGeoTiff(map, path);
        TDataset ds = Open(path);
        ASSERT_TRUE(ds) << definition;
        ASSERT_EQ(GDALGetRasterXSize(ds.get()), map.Grid.Width);
        ASSERT_EQ(GDALGetRasterYSize(ds.get()), map.Grid.Height);
        ASSERT_EQ(GDALGetRasterCount(ds.get()), 3);
        double t[6];
        ASSERT_EQ(GDALGetGeoTransform(ds.get(), t), CE_None);
        EXPECT_DOUBLE_EQ(t[0], map.Grid.OriginX);
        EXPECT_DOUBLE_EQ(t[1], map.Grid.PixelSizeX);
        EXPECT_DOUBLE_EQ(t[3], map.Grid.OriginY);
        EXPECT_DOUBLE_EQ(t[5], -map.Grid.PixelSizeY);
        EXPECT_EQ(t[2], 0);
        EXPECT_EQ(t[4], 0);
        if (projection.IsGeographic())
            EXPECT_TRUE(SameCrs(GDALGetProjectionRef(ds.get()), 4326));
        else
            EXPECT_TRUE(SameCrs(GDALGetProjectionRef(ds.get()), 3413)) << GDALGetProjectionRef(ds.get());
        const char* compression = GDALGetMetadataItem(ds.get(), "COMPRESSION", "IMAGE_STRUCTURE");
        EXPECT_STREQ(compression ? compression : "", "ZSTD");
        std::vector<uint8_t> back(map.Pixels.size());
        for (int b = 1; b <= 3; ++b) {
            int hasNoData = 0;
            const double noData = GDALGetRasterNoDataValue(GDALGetRasterBand(ds.get(), b), &hasNoData);
            EXPECT_TRUE(hasNoData);
            EXPECT_EQ(noData, 0);
        }
        ASSERT_EQ(GDALDatasetRasterIO(ds.get(), GF_Read, 0, 0, map.Grid.Width, map.Grid.Height, back.data(),
                                      map.Grid.Width, map.Grid.Height, GDT_Byte, 3, nullptr, 3,
                                      map.Grid.Width * 3, 1),
                  CE_None);
        EXPECT_EQ(back, map.Pixels);
        // A corner of a map of a slanted swath is outside it.
        EXPECT_EQ(back[0], 0);
    }
    EXPECT_EQ(Files(), std::vector<std::string>{"map.tif"}); // nothing temporary left
}

// A composite's GeoTIFF from its channels' GeoTIFFs (their compressed tiles copied) holds what the
// composite written from its bands holds; channel files that do not fit are not copied from.
TEST_F(GeoFiles, CompositeFromChannelFilesIsTheCompositeOfTheBands) {
    const TSwathModel model(45, 16, -12, 700, 900); // several tiles a band, edge tiles cut short
    const TMapProjection projection("EPSG:4326");
    const TMapGrid grid = ChooseMapGrid(model.Ties(), projection);
    ASSERT_GT(grid.Width, 512);
    std::vector<std::vector<uint8_t>> bytes;
    std::vector<TMapRaster> bands;
    for (int b = 0; b < 3; ++b) {
        bytes.push_back(Ramp(700, 900, 1));
        for (uint8_t& v : bytes.back())
            v = static_cast<uint8_t>(1 + (v + 60 * b) % 250);
        bands.push_back(
            MakeMap({bytes.back().data(), 700, 900, 1, 1, 700, false}, model.Ties(), projection, grid));
    }
    const std::array<std::string, 3> files{Path("red.tif"), Path("green.tif"), Path("blue.tif")};
    for (int b = 0; b < 3; ++b)
        WriteMapGeoTiff(bands[static_cast<size_t>(b)], files[static_cast<size_t>(b)]);
    WriteMapGeoTiff(bands[0], bands[1], bands[2], Path("direct.tif"));

    const auto expectSame = [&](const std::string& aPath) {
        TDataset direct = Open(Path("direct.tif")), copied = Open(aPath);
        ASSERT_TRUE(direct && copied) << aPath;
        double t[6], u[6];
        ASSERT_EQ(GDALGetGeoTransform(direct.get(), t), CE_None);
        ASSERT_EQ(GDALGetGeoTransform(copied.get(), u), CE_None);
        for (int k = 0; k < 6; ++k)
            EXPECT_EQ(t[k], u[k]) << aPath;
        EXPECT_STREQ(GDALGetProjectionRef(copied.get()), GDALGetProjectionRef(direct.get()));
        for (const char* item : {"COMPRESSION", "INTERLEAVE"})
            EXPECT_STREQ(GDALGetMetadataItem(copied.get(), item, "IMAGE_STRUCTURE"),
                         GDALGetMetadataItem(direct.get(), item, "IMAGE_STRUCTURE"));
        ASSERT_EQ(GDALGetRasterCount(copied.get()), 3);
        for (int b = 1; b <= 3; ++b) {
            GDALRasterBandH band = GDALGetRasterBand(copied.get(), b);
            int hasNoData = 0;
            EXPECT_EQ(GDALGetRasterNoDataValue(band, &hasNoData), 0);
            EXPECT_TRUE(hasNoData);
            EXPECT_EQ(GDALGetRasterColorInterpretation(band), GCI_RedBand + b - 1);
            std::vector<uint8_t> back(bands[0].Pixels.size());
            ASSERT_EQ(GDALRasterIO(band, GF_Read, 0, 0, grid.Width, grid.Height, back.data(), grid.Width,
                                   grid.Height, GDT_Byte, 0, 0),
                      CE_None);
            EXPECT_EQ(back, bands[static_cast<size_t>(b - 1)].Pixels) << aPath << " band " << b;
        }
    };
    EXPECT_TRUE(WriteMapGeoTiff(bands[0], bands[1], bands[2], files, Path("copied.tif")));
    expectSame(Path("copied.tif"));
    // A missing channel file, one of another grid, one of three bands: the bands are compressed.
    TMapGrid smaller = grid;
    smaller.Width -= 1;
    WriteMapGeoTiff(MakeMap({bytes[0].data(), 700, 900, 1, 1, 700, false}, model.Ties(), projection, smaller),
                    Path("other-grid.tif"));
    WriteMapGeoTiff(bands[0], bands[1], bands[2], Path("three.tif"));
    for (const std::string& wrong : {Path("missing.tif"), Path("other-grid.tif"), Path("three.tif")}) {
        EXPECT_FALSE(
            WriteMapGeoTiff(bands[0], bands[1], bands[2], {files[0], wrong, files[2]}, Path("fallback.tif")));
        expectSame(Path("fallback.tif"));
    }
    EXPECT_EQ(Files().size(), 8u); // nothing temporary left
}

TEST_F(GeoFiles, GcpGeoTiffHoldsThePictureAndTheTiePoints) {
    // Across 180 degrees, stored blue-green-red: GCP longitudes stay continuous, bands come out red first.
    const TSwathModel model(50, 179, 20, 300, 200);
    const std::vector<uint8_t> bytes = Ramp(300, 200, 3);
    const TPictureView picture{bytes.data(), 300, 200, 3, 3, 900, true};
    const TGeoTiePoints ties = model.Ties(8, 32);
    const std::string path = Path("raw.tif");
    WriteGcpGeoTiff(picture, ties, path, 100);
    TDataset ds = Open(path);
    ASSERT_TRUE(ds);
    const int n = GDALGetGCPCount(ds.get());
    EXPECT_GE(n, 50);
    EXPECT_LE(n, 120);
    EXPECT_TRUE(SameCrs(GDALGetGCPProjection(ds.get()), 4326));
    const GDAL_GCP* gcps = GDALGetGCPs(ds.get());
    double west = 1e9, east = -1e9;
    bool corners[4] = {};
    for (int k = 0; k < n; ++k) {
        const double col = gcps[k].dfGCPPixel - 0.5, row = gcps[k].dfGCPLine - 0.5;
        const TLatLonDeg truth = model.Locate(col, row);
        EXPECT_LT(GroundDistanceKm(truth, {gcps[k].dfGCPY, gcps[k].dfGCPX}), 1e-6);
        west = std::min(west, gcps[k].dfGCPX);
        east = std::max(east, gcps[k].dfGCPX);
        if (row == 0 || row == 199)
            corners[(row == 0 ? 0 : 2) + (col == 0 ? 0 : 1)] |= col == 0 || col == 299;
    }
    EXPECT_LT(east - west, 30);
    EXPECT_GT(east, 180);
    for (bool corner : corners)
        EXPECT_TRUE(corner);
    // GDAL's own GCP transformer (thin-plate spline, as a GIS warps such a picture) puts the pixels
    // where the swath has them.
    char* options[] = {const_cast<char*>("METHOD=GCP_TPS"), const_cast<char*>("DST_SRS=EPSG:4326"), nullptr};
    void* transform = GDALCreateGenImgProjTransformer2(ds.get(), nullptr, options);
    ASSERT_TRUE(transform);
    for (const auto& [col, row] : {std::pair{10.3, 7.7}, {150.0, 100.0}, {290.5, 191.2}, {77.7, 33.3}}) {
        double x = col + 0.5, y = row + 0.5, z = 0;
        int ok = 0;
        ASSERT_TRUE(GDALGenImgProjTransform(transform, FALSE, 1, &x, &y, &z, &ok) && ok);
        EXPECT_LT(GroundDistanceKm(model.Locate(col, row), {y, x}), 0.1) << col << ", " << row;
    }
    GDALDestroyGenImgProjTransformer(transform);
    std::vector<uint8_t> red(300 * 200);
    ASSERT_EQ(GDALRasterIO(GDALGetRasterBand(ds.get(), 1), GF_Read, 0, 0, 300, 200, red.data(), 300, 200,
                           GDT_Byte, 0, 0),
              CE_None);
    for (size_t k = 0; k < red.size(); k += 97)
        ASSERT_EQ(red[k], bytes[k * 3 + 2]);
}

TEST_F(GeoFiles, FailedWritesAreRefusedByNameAndLeaveNoFile) {
    const TSwathModel model(40, 16, 0, 100, 80);
    const std::vector<uint8_t> bytes = Ramp(100, 80, 1);
    const TPictureView picture{bytes.data(), 100, 80, 1, 1, 100, false};
    const TMapProjection projection;
    const TMapRaster map = MakeMap(picture, model.Ties(), projection);
    const std::string missing = Path("no-such-folder/map.tif");
    try {
        WriteMapGeoTiff(map, missing);
        FAIL() << "no refusal";
    } catch (const EGeoWriteError& e) {
        EXPECT_NE(std::string(e.what()).find(missing), std::string::npos) << e.what();
        EXPECT_EQ(std::string(e.what()).find('\n'), std::string::npos) << e.what();
    }
    // A folder where the file should go: written in full, then the rename fails; nothing may remain.
    fs::create_directories(Path("taken.tif"));
    EXPECT_THROW(WriteMapGeoTiff(map, Path("taken.tif")), EGeoWriteError);
    EXPECT_THROW(WriteGcpGeoTiff(picture, model.Ties(), Path("taken.tif")), EGeoWriteError);
    EXPECT_THROW(WritePng(map, Path("taken.tif")), EGeoWriteError);
    EXPECT_EQ(Files(), std::vector<std::string>{"taken.tif"});
}

// The overlay over the Adriatic: the 15 E meridian, the coast at Trieste and the Italian-Slovenian
// border are drawn in their colours where they belong, the swath stays, the outside is transparent.
TEST_F(GeoFiles, OverlayDrawsCoastBordersAndGridWhereTheyBelong) {
    const TSwathModel model(41, 16.5, -10, 800, 700);
    std::vector<uint8_t> bytes(800 * 700, 40);
    const TPictureView picture{bytes.data(), 800, 700, 1, 1, 800, false};
    const TMapProjection projection;
    const TMapRaster map = MakeMap(picture, model.Ties(), projection);
    TOverlayStyle style;
    const TMapRaster overlay = DrawOverlay(map, projection, style);
    ASSERT_EQ(overlay.Bands, 4);
    const auto pixel = [&](TLatLonDeg aPoint) {
        const int i = static_cast<int>((aPoint.LonDeg - map.Grid.OriginX) / map.Grid.PixelSizeX);
        const int j = static_cast<int>((map.Grid.OriginY - aPoint.LatDeg) / map.Grid.PixelSizeY);
        return std::pair{i, j};
    };
    // Within 2 pixels of a place, a pixel at least half covered by a line of the colour (drawn over the
    // picture's grey 40).
    const auto near = [&](TLatLonDeg aPoint, TRgb aColour) {
        const auto [i0, j0] = pixel(aPoint);
        const int colour[3] = {aColour.Red, aColour.Green, aColour.Blue};
        for (int j = j0 - 2; j <= j0 + 2; ++j)
            for (int i = i0 - 2; i <= i0 + 2; ++i) {
                const int k = std::abs(colour[0] - 40) >= std::abs(colour[2] - 40) ? 0 : 2;
                const double cover = (overlay.At(i, j, k) - 40.0) / (colour[k] - 40.0);
                bool match = cover >= 0.45 && cover <= 1.01;
                for (int b = 0; b < 3; ++b)
                    match = match && std::fabs(overlay.At(i, j, b) - (40 + cover * (colour[b] - 40))) < 12;
                if (match) return true;
            }
        return false;
    };
    EXPECT_TRUE(near({42.3, 15.0}, style.GridColour)); // open Adriatic on the 15 E meridian
    EXPECT_TRUE(near({45.0, 16.2}, style.GridColour)); // the 45 N parallel, inland in Croatia
    EXPECT_FALSE(near({42.3, 16.2}, style.GridColour));
    EXPECT_TRUE(near({45.65, 13.77}, style.CoastColour));
    EXPECT_TRUE(near({46.0, 13.6}, style.BorderColour)); // Gorizia, on the Italian-Slovenian border
    EXPECT_FALSE(near({43.0, 16.5}, style.CoastColour)); // open sea
    const auto [ci, cj] = pixel({43.0, 16.5});
    EXPECT_EQ(overlay.At(ci, cj, 0), 40);
    EXPECT_EQ(overlay.At(ci, cj, 3), 255);
    EXPECT_EQ(overlay.At(0, overlay.Grid.Height - 1, 3), 0);

    const std::string path = Path("map.png");
    WritePng(overlay, path);
    TDataset ds = Open(path);
    ASSERT_TRUE(ds);
    EXPECT_STREQ(GDALGetDriverShortName(GDALGetDatasetDriver(ds.get())), "PNG");
    EXPECT_EQ(GDALGetRasterCount(ds.get()), 4);
    std::vector<uint8_t> back(overlay.Pixels.size());
    ASSERT_EQ(GDALDatasetRasterIO(ds.get(), GF_Read, 0, 0, overlay.Grid.Width, overlay.Grid.Height,
                                  back.data(), overlay.Grid.Width, overlay.Grid.Height, GDT_Byte, 4, nullptr,
                                  4, overlay.Grid.Width * 4, 1),
              CE_None);
    EXPECT_EQ(back, overlay.Pixels);
    ds.reset();
    EXPECT_EQ(Files(), std::vector<std::string>{"map.png"});

    // The line pixels alone, drawn without the raster, are the raster's, blends of crossing lines
    // included; so on a grid where the lines cross (a coarse one, the grid's lines over the coast).
    for (const TMapGrid& grid : {map.Grid, ChooseMapGrid(model.Ties(), projection, 0.05)}) {
        const TOverlayPixels sparse = DrawOverlayPixels(grid, projection, style);
        const TOverlayPixels dense =
            OverlayPixelsOf(DrawOverlayLines(grid, map.ProjectionWkt, projection, style));
        ASSERT_EQ(sparse.RowStart, dense.RowStart);
        EXPECT_EQ(sparse.X, dense.X);
        EXPECT_EQ(sparse.Rgba, dense.Rgba);
        EXPECT_GT(dense.X.size(), 500u);
    }

    TMapGrid other = map.Grid;
    other.Width -= 1;
    EXPECT_THROW(ApplyOverlay(map, DrawOverlayLines(other, map.ProjectionWkt, projection, style)),
                 EGeoInputError);
    style.GshhgDirectory = "/nonexistent";
    EXPECT_THROW(DrawOverlay(map, projection, style), ECoastlineError);
}
