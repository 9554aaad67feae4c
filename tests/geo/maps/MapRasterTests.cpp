#include "SwathModel.h"
#include "maps/GeoErrors.h"
#include "maps/MapRaster.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <vector>

using namespace lrptgeo;

namespace {

// A picture whose value changes by up to ~19 per pixel, so a map pixel fed from the wrong place shows.
double Pattern(double aCol, double aRow) {
    return 128 + 60 * std::sin(2 * std::numbers::pi * aCol / 50) +
           60 * std::sin(2 * std::numbers::pi * aRow / 40);
}

struct TPicture {
    int Width, Height, Bands;
    std::vector<uint8_t> Bytes;
    TPictureView View;
};

// 1 band: the pattern. 3 bands: stored blue, green, red; red the pattern, green 255 - pattern, blue 77.
TPicture MakePicture(int aWidth, int aHeight, int aBands) {
    TPicture p{
        aWidth, aHeight, aBands, std::vector<uint8_t>(static_cast<size_t>(aWidth) * aHeight * aBands), {}};
    for (int r = 0; r < aHeight; ++r)
        for (int c = 0; c < aWidth; ++c) {
            const auto v = static_cast<uint8_t>(std::lround(Pattern(c, r)));
            uint8_t* px = &p.Bytes[(static_cast<size_t>(r) * aWidth + c) * aBands];
            if (aBands == 1) {
                px[0] = v;
            } else {
                px[0] = 77;
                px[1] = static_cast<uint8_t>(255 - v);
                px[2] = v;
            }
        }
    p.View = {p.Bytes.data(), aWidth, aHeight, aBands, aBands, aWidth * aBands, aBands == 3};
    return p;
}

struct TComparison {
    int Inside = 0, Outside = 0, WrongInside = 0, FilledOutside = 0;
};

// Traces sampled map pixels back through the model's exact inverse: inside the picture (one pixel
// clear of its edge) the map must hold the pattern there to within what one pixel's displacement
// changes; beyond the edge (by 1.5 pixels) no-data.
TComparison Compare(const TMapRaster& aMap, const TMapProjection& aProjection, const TSwathModel& aModel,
                    int aStride = 3) {
    TComparison r;
    const TMapGrid& g = aMap.Grid;
    for (int j = 0; j < g.Height; j += aStride)
        for (int i = 0; i < g.Width; i += aStride) {
            TLatLonDeg p;
            if (!aProjection.Inverse(g.OriginX + (i + 0.5) * g.PixelSizeX,
                                     g.OriginY - (j + 0.5) * g.PixelSizeY, p.LonDeg, p.LatDeg))
                continue;
            double c, row;
            aModel.PictureOf(p, c, row);
            const uint8_t v = aMap.At(i, j, 0);
            if (c >= 1 && row >= 1 && c <= aModel.Width - 2 && row <= aModel.Height - 2) {
                ++r.Inside;
                // What half a pixel's displacement along either axis may change, and rounding.
                double tolerance = 0;
                for (const auto& [dc, dr] : {std::pair{0.5, 0.0}, {-0.5, 0.0}, {0.0, 0.5}, {0.0, -0.5}})
                    tolerance = std::max(tolerance, std::fabs(Pattern(c + dc, row + dr) - Pattern(c, row)));
                bool ok = v != TMapRaster::kNoData && std::fabs(v - Pattern(c, row)) <= tolerance + 1.5;
                if (aMap.Bands == 3) // each band rounded on its own
                    ok = ok && std::abs(aMap.At(i, j, 1) - (255 - v)) <= 1 && aMap.At(i, j, 2) == 77;
                r.WrongInside += ok ? 0 : 1;
            } else if (c < -1.5 || row < -1.5 || c > aModel.Width + 0.5 || row > aModel.Height + 0.5) {
                ++r.Outside;
                for (int b = 0; b < aMap.Bands; ++b)
                    if (aMap.At(i, j, b) != TMapRaster::kNoData) {
                        ++r.FilledOutside;
                        break;
                    }
            }
        }
    return r;
}

void ExpectFaithful(const TComparison& aComparison) {
    EXPECT_GT(aComparison.Inside, 10000);
    EXPECT_GT(aComparison.Outside, 1000);
    EXPECT_EQ(aComparison.WrongInside, 0) << "of " << aComparison.Inside;
    EXPECT_EQ(aComparison.FilledOutside, 0) << "of " << aComparison.Outside;
}

} // namespace

TEST(GeoTiePoints, InterpolationFollowsTheSwathOverThePoleAndTheDateline) {
    std::mt19937 random(25);
    for (const TSwathModel& model :
         {TSwathModel(70, 30, 0, 1568, 3000), TSwathModel(50, 170, 20, 1568, 1500)}) {
        const TGeoTiePoints ties = model.Ties();
        std::uniform_real_distribution<double> col(0, model.Width - 1), row(0, model.Height - 1);
        double worst = 0;
        for (int k = 0; k < 2000; ++k) {
            const double c = col(random), r = row(random);
            const auto p = InterpolateLatLon(ties, c, r);
            ASSERT_TRUE(p);
            EXPECT_GE(p->LonDeg, -180);
            EXPECT_LT(p->LonDeg, 180);
            worst = std::max(worst, GroundDistanceKm(*p, model.Locate(c, r)));
        }
        EXPECT_LT(worst, 0.05); // tie cells of 32 x 8 km; the swath bends little within one
    }
    // A tie point without Earth empties the cells around it; outside the picture is empty too.
    TGeoTiePoints ties = TSwathModel(40, 10, 0, 100, 50).Ties(8, 32);
    ties.LatDeg[1] = ties.LonDeg[1] = NAN; // tie row 0, column 32
    EXPECT_FALSE(InterpolateLatLon(ties, 40, 4));
    EXPECT_FALSE(InterpolateLatLon(ties, 20, 0));
    EXPECT_TRUE(InterpolateLatLon(ties, 70, 4));
    EXPECT_FALSE(InterpolateLatLon(ties, -0.5, 4));
    EXPECT_FALSE(InterpolateLatLon(ties, 10, 49.5));
    EXPECT_TRUE(InterpolateLatLon(ties, 99, 49));
}

// A northbound pass over Italy on the default map: a picture stored blue-green-red comes out red,
// green, blue, each pixel from where the tie points put it, no-data around the swath.
TEST(MapRaster, EquirectangularMapHoldsThePictureWhereTheTiesPutIt) {
    const TSwathModel model(36, 20, -12, 1568, 1200);
    const TPicture picture = MakePicture(model.Width, model.Height, 3);
    const TMapProjection projection;
    ASSERT_TRUE(projection.IsGeographic());
    const TGeoTiePoints ties = model.Ties();
    EXPECT_NEAR(NadirSpacingKm(ties), (model.RowKm + model.ColKm) / 2, 0.01);
    const TMapRaster map = MakeMap(picture.View, ties, projection);
    const TLatLonDeg middle = model.Locate((model.Width - 1) / 2.0, (model.Height - 1) / 2.0);
    EXPECT_NEAR(map.Grid.PixelSizeY, 1.025 / 111.2, 1e-5);
    EXPECT_NEAR(map.Grid.PixelSizeX, map.Grid.PixelSizeY / std::cos(middle.LatDeg * std::numbers::pi / 180),
                1e-5);
    ExpectFaithful(Compare(map, projection, model));
}

// One inverse mapping for several pictures: each map as MakeMap makes it alone, whatever the
// pictures' bands and strides; rows never drawn leave the map pixels nearest them without data.
TEST(MapSampling, ManyPicturesAtOnceAndRowsNeverDrawn) {
    const TSwathModel model(44, 12, -12, 600, 400);
    const TGeoTiePoints ties = model.Ties();
    const TMapProjection projection;
    const TMapGrid grid = ChooseMapGrid(ties, projection);
    const TMapSampling sampling(ties, projection, grid);
    EXPECT_EQ(sampling.Grid().Width, grid.Width);

    const TPicture grey = MakePicture(model.Width, model.Height, 1),
                   colour = MakePicture(model.Width, model.Height, 3);
    // The grey pattern as the first byte of a wider 3-byte picture, as the decoder's channels come.
    std::vector<uint8_t> wide(static_cast<size_t>(model.Width + 68) * 3 * model.Height, 200);
    for (int r = 0; r < model.Height; ++r)
        for (int c = 0; c < model.Width; ++c)
            wide[(static_cast<size_t>(r) * (model.Width + 68) + c) * 3] =
                grey.Bytes[static_cast<size_t>(r) * model.Width + c];
    const TPictureView wideView{wide.data(), model.Width, model.Height, 1, 3, (model.Width + 68) * 3, false};
    const std::vector<TMapRaster> maps = sampling.Apply({grey.View, colour.View, wideView});
    ASSERT_EQ(maps.size(), 3u);
    EXPECT_EQ(maps[0].Pixels, MakeMap(grey.View, ties, projection, grid).Pixels);
    EXPECT_EQ(maps[1].Pixels, MakeMap(colour.View, ties, projection, grid).Pixels);
    EXPECT_EQ(maps[2].Pixels, maps[0].Pixels);
    ExpectFaithful(Compare(maps[1], projection, model));
    // However many go at once: sixteen bands in one pass, eighteen more than one pass takes.
    for (const size_t colours : {5u, 6u}) {
        std::vector<TPictureView> many(colours, colour.View);
        many.push_back(wideView);
        const std::vector<TMapRaster> all = sampling.Apply(many);
        for (size_t k = 0; k < colours; ++k)
            EXPECT_EQ(all[k].Pixels, maps[1].Pixels) << colours << " colour pictures, picture " << k;
        EXPECT_EQ(all.back().Pixels, maps[0].Pixels) << colours << " colour pictures";
    }

    // Rows 100..123 lost (the background black, as the decoder leaves it).
    std::vector<uint8_t> drawn(static_cast<size_t>(model.Height), 1), lostBytes = grey.Bytes;
    for (int r = 100; r < 124; ++r) {
        drawn[static_cast<size_t>(r)] = 0;
        std::fill_n(lostBytes.begin() + static_cast<ptrdiff_t>(r) * model.Width, model.Width, 0);
    }
    TPictureView lost = grey.View;
    lost.Pixels = lostBytes.data();
    lost.RowDrawn = drawn.data();
    const TMapRaster gap = sampling.Apply(lost);
    int underGap = 0, wrong = 0, beside = 0;
    for (int j = 0; j < grid.Height; ++j)
        for (int i = 0; i < grid.Width; ++i) {
            TLatLonDeg p{grid.OriginY - (j + 0.5) * grid.PixelSizeY,
                         grid.OriginX + (i + 0.5) * grid.PixelSizeX};
            double c, r;
            model.PictureOf(p, c, r);
            if (c < 1 || c > model.Width - 2) continue;
            const uint8_t v = gap.At(i, j), full = maps[0].At(i, j);
            if (r > 100 && r < 123) { // nearest a lost row, by a margin for the mesh's approximation
                ++underGap;
                wrong += v != TMapRaster::kNoData;
            } else if ((r > 98 && r < 99.3) || (r > 123.7 && r < 125)) {
                // Beside the gap: the drawn row alone, never the black of the lost one.
                ++beside;
                wrong += v == TMapRaster::kNoData || std::abs(v - full) > 15;
            } else if (r > 1 && r < 97) {
                wrong += v != full;
            }
        }
    EXPECT_GT(underGap, 5000);
    EXPECT_GT(beside, 500);
    EXPECT_EQ(wrong, 0);
}

TEST(MapRaster, TiePointsWithoutEarthLeaveNoData) {
    const TSwathModel model(45, 10, 0, 400, 300);
    const TPicture picture = MakePicture(model.Width, model.Height, 1);
    TGeoTiePoints ties = model.Ties(8, 32);
    for (int i = 0; i < ties.TieRows(); ++i)
        ties.LatDeg[static_cast<size_t>(i) * ties.TieCols()] = NAN;
    const TMapProjection projection;
    const TMapRaster map = MakeMap(picture.View, ties, projection);
    int filled = 0, empty = 0;
    for (int j = 0; j < map.Grid.Height; ++j)
        for (int i = 0; i < map.Grid.Width; ++i) {
            TLatLonDeg p{map.Grid.OriginY - (j + 0.5) * map.Grid.PixelSizeY,
                         map.Grid.OriginX + (i + 0.5) * map.Grid.PixelSizeX};
            double c, r;
            model.PictureOf(p, c, r);
            if (r < 1 || r > model.Height - 2) continue;
            if (c >= 1 && c < 31) empty += map.At(i, j) == TMapRaster::kNoData;
            if (c >= 1 && c < 31) filled += map.At(i, j) != TMapRaster::kNoData;
        }
    EXPECT_GT(empty, 1000);
    EXPECT_EQ(filled, 0);
}

TEST(MapRaster, ProjectionAsProjTextAndAsEpsgCode) {
    const TSwathModel model(40, 16, -12, 1568, 1200);
    const TPicture picture = MakePicture(model.Width, model.Height, 1);
    const TGeoTiePoints ties = model.Ties();
    const TMapProjection text("+proj=utm +zone=33 +datum=WGS84 +units=m +no_defs"), code("EPSG:32633");
    EXPECT_FALSE(text.IsGeographic());
    const TMapRaster a = MakeMap(picture.View, ties, text), b = MakeMap(picture.View, ties, code);
    EXPECT_NEAR(a.Grid.PixelSizeX, 1025, 30); // metres, the nadir spacing as the projection scales it
    EXPECT_EQ(a.Grid.Width, b.Grid.Width);
    EXPECT_EQ(a.Grid.Height, b.Grid.Height);
    EXPECT_NEAR(a.Grid.OriginX, b.Grid.OriginX, 1e-3);
    EXPECT_NEAR(a.Grid.OriginY, b.Grid.OriginY, 1e-3);
    EXPECT_EQ(a.Pixels, b.Pixels);
    ExpectFaithful(Compare(a, text, model));
}

TEST(MapRaster, PolarStereographicAcrossThePole) {
    // Northbound from 70 N: the track passes over the pole 2,220 km on and comes down the far side.
    const TSwathModel model(70, 30, 0, 1568, 3000);
    const TPicture picture = MakePicture(model.Width, model.Height, 1);
    const TGeoTiePoints ties = model.Ties();
    for (const char* definition : {"+proj=stere +lat_0=90 +lat_ts=70 +lon_0=-45 +datum=WGS84", "EPSG:3413"}) {
        const TMapProjection projection(definition);
        const TMapRaster map = MakeMap(picture.View, ties, projection);
        double x, y;
        ASSERT_TRUE(projection.Forward(0, 90, x, y));
        const int i = static_cast<int>((x - map.Grid.OriginX) / map.Grid.PixelSizeX);
        const int j = static_cast<int>((map.Grid.OriginY - y) / map.Grid.PixelSizeY);
        ASSERT_TRUE(i >= 0 && j >= 0 && i < map.Grid.Width && j < map.Grid.Height) << definition;
        EXPECT_NE(map.At(i, j), TMapRaster::kNoData) << definition;
        // The swath is 1,570 x 3,150 km: a map of about that (turned), not of a hemisphere.
        EXPECT_LT(std::max(map.Grid.Width, map.Grid.Height), 3600) << definition;
        ExpectFaithful(Compare(map, projection, model));
    }
}

TEST(MapRaster, EquirectangularAcrossTheDateline) {
    const TSwathModel model(50, 170, 20, 1568, 1500);
    const TPicture picture = MakePicture(model.Width, model.Height, 1);
    const TMapProjection projection("EPSG:4326");
    const TMapRaster map = MakeMap(picture.View, model.Ties(), projection);
    const double west = map.Grid.OriginX, east = west + map.Grid.Width * map.Grid.PixelSizeX;
    EXPECT_LT(west, 180);
    EXPECT_GT(east, 180);
    EXPECT_LT(east - west, 60); // the swath, not a band around the world
    ExpectFaithful(Compare(map, projection, model));
}

TEST(MapRaster, MercatorAcrossTheDatelineWantsACentredProjection) {
    const TSwathModel model(50, 170, 20, 1568, 1500);
    const TPicture picture = MakePicture(model.Width, model.Height, 1);
    const TGeoTiePoints ties = model.Ties();
    try {
        ChooseMapGrid(ties, TMapProjection("+proj=merc +datum=WGS84"));
        ADD_FAILURE() << "a swath torn across the map";
    } catch (const EGeoInputError& e) {
        EXPECT_NE(std::string(e.what()).find("+lon_0=1"), std::string::npos) << e.what();
    }
    const TMapProjection centred("+proj=merc +lon_0=180 +datum=WGS84");
    ExpectFaithful(Compare(MakeMap(picture.View, ties, centred), centred, model));
}

TEST(MapRaster, RefusalsAreOneLineNamingTheCause) {
    for (const char* definition : {"+proj=nonsense", "EPSG:999999", "", "+proj=geocent +datum=WGS84"}) {
        try {
            TMapProjection projection(definition);
            ADD_FAILURE() << "accepted " << definition;
        } catch (const EProjectionError& e) {
            const std::string what = e.what();
            EXPECT_NE(what.find(std::string("'") + definition + "'"), std::string::npos) << what;
            EXPECT_EQ(what.find('\n'), std::string::npos) << what;
        }
    }
    const TSwathModel model(45, 10, 0, 200, 100);
    const TPicture picture = MakePicture(200, 120, 1);
    const TMapProjection projection;
    EXPECT_THROW(MakeMap(picture.View, model.Ties(), projection), EGeoInputError); // 120 rows, ties for 100
    TGeoTiePoints ties = model.Ties();
    ties.LonDeg.pop_back();
    EXPECT_THROW(ChooseMapGrid(ties, projection), EGeoInputError);
    EXPECT_THROW(ChooseMapGrid(model.Ties(), projection, 1e-6), EGeoInputError); // far beyond kMaxMapSide
}

TEST(CoastDistance, GroundKilometresToTheNearestLine) {
    // A line along 10 E; on a map around 45 N the distance grows as the meridians' spacing there.
    TGeoPolyline meridian;
    for (double lat = 40; lat <= 50; lat += 0.1) {
        meridian.LonDeg.push_back(10);
        meridian.LatDeg.push_back(lat);
    }
    for (const char* definition : {"EPSG:4326", "+proj=utm +zone=32 +datum=WGS84"}) {
        const TMapProjection projection(definition);
        const TGeoTiePoints ties = TSwathModel(44, 9, 0, 400, 200).Ties();
        const TMapGrid grid = ChooseMapGrid(ties, projection);
        const std::vector<float> d = CoastDistanceKm(grid, projection, {meridian}, 150);
        ASSERT_EQ(d.size(), static_cast<size_t>(grid.Width) * grid.Height);
        int checked = 0;
        for (int j = 0; j < grid.Height; j += 17)
            for (int i = 0; i < grid.Width; i += 13) {
                TLatLonDeg p;
                ASSERT_TRUE(projection.Inverse(grid.OriginX + (i + 0.5) * grid.PixelSizeX,
                                               grid.OriginY - (j + 0.5) * grid.PixelSizeY, p.LonDeg,
                                               p.LatDeg));
                const double expected = std::min(150.0, GroundDistanceKm(p, {p.LatDeg, 10}));
                EXPECT_NEAR(d[static_cast<size_t>(j) * grid.Width + i], expected, 2 + 0.02 * expected)
                    << definition << " at " << p.LatDeg << ", " << p.LonDeg;
                ++checked;
            }
        EXPECT_GT(checked, 100);
    }
}

TEST(CoastDistance, OnThePicturesOwnPixels) {
    // A swath across the 10 E meridian: each picture pixel's distance to it is the cross-track
    // distance from the great circle of that meridian, R asin(cos(lat) sin(lon - 10)).
    TGeoPolyline meridian;
    for (double lat = 30; lat <= 60; lat += 0.05) {
        meridian.LonDeg.push_back(10);
        meridian.LatDeg.push_back(lat);
    }
    const TSwathModel model(40, 12, -12, 1568, 1500);
    TGeoTiePoints ties = model.Ties();
    ties.LatDeg[0] = ties.LonDeg[0] = NAN;
    for (const double cell : {0.0, 2.0}) {
        const std::vector<float> d = CoastDistanceOnPictureKm(ties, {meridian}, 300, cell);
        ASSERT_EQ(d.size(), static_cast<size_t>(model.Width) * model.Height);
        EXPECT_TRUE(std::isnan(d[0])); // the first tie cell sees no Earth
        std::mt19937 random(7);
        std::uniform_int_distribution<int> col(40, model.Width - 1), row(10, model.Height - 1);
        for (int k = 0; k < 3000; ++k) {
            const int c = col(random), r = row(random);
            const TLatLonDeg p = model.Locate(c, r);
            const double expected =
                std::min(300.0, std::fabs(6371 * std::asin(std::cos(TSwathModel::Rad(p.LatDeg)) *
                                                           std::sin(TSwathModel::Rad(p.LonDeg - 10)))));
            ASSERT_NEAR(d[static_cast<size_t>(r) * model.Width + c], expected, 0.5 + cell + 0.03 * expected)
                << "cells of " << cell << " km, at column " << c << ", row " << r;
        }
    }
}

// The land mask agrees with the point test wherever a pixel is clear of the shores, and knows the
// places; on the picture's own pixels it follows the swath.
TEST(LandMask, RegionsTakeTheStateOfTheirPoints) {
    const TShores shores;
    const TSwathModel model(38, 14, -12, 1200, 900); // Italy, the Adriatic, the Alps' lakes
    const TMapProjection projection;
    const TMapGrid grid = ChooseMapGrid(model.Ties(), projection);
    const std::vector<uint8_t> mask = LandMask(grid, projection, shores);
    const std::vector<float> distance =
        CoastDistanceKm(grid, projection, shores.Lines(GridBounds(grid, projection)), 50);
    const auto at = [&](double aLatDeg, double aLonDeg) {
        const int i = static_cast<int>((aLonDeg - grid.OriginX) / grid.PixelSizeX);
        const int j = static_cast<int>((grid.OriginY - aLatDeg) / grid.PixelSizeY);
        return mask[static_cast<size_t>(j) * grid.Width + i];
    };
    EXPECT_EQ(at(41.9, 12.5), 1);   // Rome
    EXPECT_EQ(at(42.5, 16.0), 0);   // the Adriatic
    EXPECT_EQ(at(45.65, 10.68), 0); // Lake Garda
    EXPECT_EQ(at(42.15, 9.1), 1);   // Corsica
    int compared = 0, land = 0;
    for (int j = 0; j < grid.Height; j += 7)
        for (int i = 0; i < grid.Width; i += 7) {
            const size_t k = static_cast<size_t>(j) * grid.Width + i;
            if (distance[k] < 3) continue;
            const double lon = grid.OriginX + (i + 0.5) * grid.PixelSizeX,
                         lat = grid.OriginY - (j + 0.5) * grid.PixelSizeY;
            ASSERT_EQ(mask[k], shores.IsLand(lat, lon) ? 1 : 0) << lat << ", " << lon;
            ++compared;
            land += mask[k];
        }
    EXPECT_GT(compared, 20000);
    EXPECT_GT(land, compared / 5);
    EXPECT_LT(land, compared * 4 / 5);

    TGeoTiePoints ties = model.Ties();
    ties.LatDeg[0] = ties.LonDeg[0] = NAN;
    const std::vector<uint8_t> picture = LandMaskOnPicture(ties, shores);
    ASSERT_EQ(picture.size(), static_cast<size_t>(model.Width) * model.Height);
    EXPECT_EQ(picture[0], kNoEarth);
    int agree = 0, checked = 0;
    std::mt19937 random(3);
    std::uniform_int_distribution<int> col(40, model.Width - 1), row(10, model.Height - 1);
    for (int k = 0; k < 3000; ++k) {
        const int c = col(random), r = row(random);
        const TLatLonDeg p = model.Locate(c, r);
        const uint8_t v = picture[static_cast<size_t>(r) * model.Width + c];
        ASSERT_NE(v, kNoEarth);
        ++checked;
        agree += v == (shores.IsLand(p.LatDeg, p.LonDeg) ? 1 : 0);
    }
    EXPECT_GT(agree, checked * 97 / 100); // all but pixels on a shore
}
