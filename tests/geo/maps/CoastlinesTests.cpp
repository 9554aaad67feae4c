#include "maps/Coastlines.h"
#include "maps/GeoErrors.h"
#include "maps/GeoTiePoints.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

using namespace lrptgeo;

namespace {

TGeoBox Around(TLatLonDeg aPoint, double aHalfDeg = 0.5) {
    return {aPoint.LonDeg - aHalfDeg, aPoint.LonDeg + aHalfDeg, aPoint.LatDeg - aHalfDeg,
            aPoint.LatDeg + aHalfDeg};
}

// Distance from aPoint to the nearest vertex of the lines of level aLevel, km.
double NearestKm(const std::vector<TGeoPolyline>& aLines, TLatLonDeg aPoint, int aLevel = 1) {
    double best = std::numeric_limits<double>::infinity();
    for (const TGeoPolyline& line : aLines) {
        if (line.Level != aLevel) continue;
        for (size_t k = 0; k < line.LonDeg.size(); ++k)
            best = std::min(best, GroundDistanceKm(aPoint, {line.LatDeg[k], line.LonDeg[k]}));
    }
    return best;
}

size_t VertexCount(const std::vector<TGeoPolyline>& aLines) {
    size_t n = 0;
    for (const TGeoPolyline& line : aLines)
        n += line.LonDeg.size();
    return n;
}

} // namespace

// Places known from geography, not from the file: the coast at Trieste, the heel of Italy at Santa
// Maria di Leuca, Punta de Tarifa on the Strait of Gibraltar; the strait's middle is open water.
TEST(Coastlines, IntermediateShoresLieOnKnownCoasts) {
    const TLatLonDeg trieste{45.65, 13.77}, leuca{39.80, 18.36}, tarifa{36.005, -5.61}, strait{35.96, -5.50};
    EXPECT_LT(NearestKm(ReadCoastlines(Around(trieste)), trieste), 2.0);
    EXPECT_LT(NearestKm(ReadCoastlines(Around(leuca)), leuca), 2.0);
    const auto gibraltar = ReadCoastlines(Around(tarifa));
    EXPECT_LT(NearestKm(gibraltar, tarifa), 2.0);
    EXPECT_GT(NearestKm(gibraltar, strait), 4.0);
    // Lake Geneva's shore is a level-2 line at Geneva, far from any sea.
    const TLatLonDeg geneva{46.21, 6.15};
    const auto alps = ReadCoastlines(Around(geneva));
    EXPECT_LT(NearestKm(alps, geneva, 2), 3.0);
    EXPECT_GT(NearestKm(alps, geneva, 1), 100.0);
}

// The Ross Ice Shelf's front runs near 78 S across 180 degrees; its grounding line, 500 km further
// south, is not a shore a picture shows.
TEST(Coastlines, AntarcticaAtTheIceFront) {
    const auto ross = ReadCoastlines({175, -175, -86, -76});
    ASSERT_FALSE(ross.empty());
    for (const TGeoPolyline& line : ross)
        for (double lat : line.LatDeg)
            EXPECT_GT(lat, -80.0);
}

TEST(Coastlines, CoarserLevelsHoldFewerPointsOfTheSameCoast) {
    const TGeoBox adriatic{12, 20, 39, 46};
    const auto crude = ReadCoastlines(adriatic, TCoastResolution::Crude);
    const auto low = ReadCoastlines(adriatic, TCoastResolution::Low);
    const auto fine = ReadCoastlines(adriatic, TCoastResolution::Intermediate);
    EXPECT_LT(VertexCount(crude), VertexCount(low));
    EXPECT_LT(VertexCount(low), VertexCount(fine));
    // Even the crude coast passes near the heel of Italy.
    EXPECT_LT(NearestKm(crude, {39.80, 18.36}), 25.0);
}

TEST(Coastlines, BordersFollowThePyrenees) {
    // Le Perthus and the Col du Somport are crossings of the French-Spanish border; Toulouse is not near one.
    const TLatLonDeg perthus{42.463, 2.864}, somport{42.799, -0.528}, toulouse{43.60, 1.44};
    const auto borders = ReadBorders({-2, 4, 41.5, 44});
    EXPECT_LT(NearestKm(borders, perthus), 3.0);
    EXPECT_LT(NearestKm(borders, somport), 3.0);
    EXPECT_GT(NearestKm(borders, toulouse), 60.0);
}

TEST(Coastlines, BoxAcrossTheDatelineTakesBothSides) {
    // Fiji's islands lie either side of 180 degrees; nothing between 0 and 90 east may come back.
    const auto fiji = ReadCoastlines({175, -178, -20, -15});
    ASSERT_FALSE(fiji.empty());
    bool west = false, east = false;
    for (const TGeoPolyline& line : fiji)
        for (double lon : line.LonDeg) {
            EXPECT_TRUE(lon >= 170 || lon <= -170) << lon;
            west |= lon > 175;
            east |= lon < -178;
        }
    EXPECT_TRUE(west);
    EXPECT_TRUE(east);
}

// Places whose land or water is known from geography: seas, lakes, an island in a lake, islands
// with no bin corner on them, the Ross Ice Shelf (land at the ice front), both sides of 180 degrees,
// and points on bin edges and corners (whole degrees), where the way to a corner runs along an edge.
TEST(Coastlines, LandAndWaterAtKnownPlaces) {
    const TShores shores;
    struct TPlace {
        const char* Name;
        double LatDeg, LonDeg;
        bool Land;
    };
    const TPlace places[] = {
        {"Rome", 41.9, 12.5, true},
        {"Adriatic", 42.5, 16.0, false},
        {"Lake Garda", 45.65, 10.68, false},
        {"Sardinia", 40.0, 9.0, true},
        {"Corsica", 42.15, 9.1, true},
        {"Tyrrhenian Sea", 40.5, 11.5, false},
        {"Lake Geneva", 46.45, 6.55, false},
        {"Bern", 46.95, 7.45, true},
        {"Sahara", 23, 3, true},
        {"Atlantic", 32, -40, false},
        {"Ross Ice Shelf", -80, -175, true},
        {"Ross Sea", -76, -175, false},
        {"Viti Levu", -17.8, 178.0, true},
        {"Taveuni", -16.85, -179.95, true},
        {"Koro Sea", -17.5, -179.0, false},
        {"Caspian Sea", 42, 50.5, false},
        {"Gulf of Finland", 60.0, 25.0, false},
        {"Gotland", 57.5, 18.5, true},
        {"Lake Ladoga", 61.0, 31.5, false},
        {"Valaam, in Lake Ladoga", 61.38, 30.95, true},
        {"Lake Victoria", -1.0, 33.0, false},
        {"Svalbard", 78.5, 16, true},
    };
    for (const TPlace& p : places)
        EXPECT_EQ(shores.IsLand(p.LatDeg, p.LonDeg), p.Land) << p.Name;
    // The crude shores know the same seas and lands away from the coast.
    const TShores crude(TCoastResolution::Crude);
    EXPECT_TRUE(crude.IsLand(41.9, 12.5));
    EXPECT_FALSE(crude.IsLand(42.5, 16.0));
}

TEST(Coastlines, MissingFileIsRefusedByName) {
    try {
        ReadCoastlines({0, 1, 0, 1}, TCoastResolution::Low, "/nonexistent/gshhg");
        FAIL() << "no refusal";
    } catch (const ECoastlineError& e) {
        const std::string what = e.what();
        EXPECT_NE(what.find("/nonexistent/gshhg/binned_GSHHS_l.nc"), std::string::npos) << what;
        EXPECT_EQ(what.find('\n'), std::string::npos);
    }
    EXPECT_THROW(ReadBorders({0, 1, 0, 1}, TCoastResolution::Crude, "/nonexistent/gshhg"), ECoastlineError);
    EXPECT_THROW(TShores(TCoastResolution::Intermediate, "/nonexistent/gshhg"), ECoastlineError);
}
