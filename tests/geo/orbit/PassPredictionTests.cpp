// Look angles and a station's passes against the fixture's brute-force pass list (python3-sgp4
// with look angles written from first principles in the script).
#include "Fixture.h"

#include "orbit/PassPrediction.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace lrptgeo;

TEST(PassPrediction, SamePassesAsTheReferenceWithinTwoSeconds) {
    const TFixture& f = Fixture();
    const TFixtureSatellite& meteor = f.Satellites.at(1);
    ASSERT_EQ(meteor.Name, "METEOR-M2 4");
    const TSgp4 orbit(ParseTleLines(meteor.Name, meteor.Line1, meteor.Line2));
    const TStation station{f.StationLat, f.StationLon, f.StationHeightKm};
    const std::vector<TPass> passes =
        PredictPasses(orbit, station, UnixTime(f.FromUnixS), f.Days, f.MinElevationDeg);
    ASSERT_GE(f.Passes.size(), 10u);
    ASSERT_EQ(passes.size(), f.Passes.size());
    for (size_t i = 0; i < passes.size(); ++i) {
        SCOPED_TRACE("pass " + std::to_string(i) + " AOS " + FormatIsoUtc(passes[i].Aos));
        const TFixturePass& ref = f.Passes[i];
        EXPECT_NEAR(passes[i].Aos.time_since_epoch().count(), ref.Aos, 2.0);
        EXPECT_NEAR(passes[i].Los.time_since_epoch().count(), ref.Los, 2.0);
        EXPECT_NEAR(passes[i].MaxElevationTime.time_since_epoch().count(), ref.MaxTime, 2.0);
        EXPECT_NEAR(passes[i].MaxElevationDeg, ref.MaxElevationDeg, 0.05);
        EXPECT_EQ(PassDirectionName(passes[i].Direction), ref.Direction);
    }
}

TEST(PassPrediction, APassUnderWayAtTheStartKeepsItsRealAos) {
    const TFixture& f = Fixture();
    const TFixtureSatellite& meteor = f.Satellites.at(1);
    const TSgp4 orbit(ParseTleLines(meteor.Name, meteor.Line1, meteor.Line2));
    const TStation station{f.StationLat, f.StationLon, f.StationHeightKm};
    const TFixturePass& ref = f.Passes.at(2);
    // Start at the culmination and look ahead for less than an orbit: this pass only.
    const std::vector<TPass> passes =
        PredictPasses(orbit, station, UnixTime(ref.MaxTime), 0.05, f.MinElevationDeg);
    ASSERT_EQ(passes.size(), 1u);
    EXPECT_NEAR(passes[0].Aos.time_since_epoch().count(), ref.Aos, 2.0);
}

TEST(LookAngles, OverheadOnTheHorizonAndMovingAway) {
    const TStation station{41.39, 2.17, 0.1};
    const TVec3 site = GeodeticToEcef({station.LatitudeDeg, station.LongitudeDeg, station.HeightKm});
    const TVec3 up = Normalized(GeodeticToEcef({station.LatitudeDeg, station.LongitudeDeg, 1000}) - site);
    TStateEcef overhead{site + 820.0 * up, 1.5 * up};
    const TLookAngles a = LookAngles(station, overhead);
    EXPECT_NEAR(a.ElevationDeg, 90, 1e-6);
    EXPECT_NEAR(a.RangeKm, 820, 1e-6);
    EXPECT_NEAR(a.RangeRateKmS, 1.5, 1e-9);

    // Due east along the horizon plane: elevation 0, azimuth 90.
    const TVec3 east{-std::sin(station.LongitudeDeg * M_PI / 180),
                     std::cos(station.LongitudeDeg * M_PI / 180), 0};
    const TLookAngles b = LookAngles(station, {site + 2000.0 * east, {}});
    EXPECT_NEAR(b.ElevationDeg, 0, 1e-6);
    EXPECT_NEAR(b.AzimuthDeg, 90, 1e-6);
}

TEST(LookAngles, StationTextIsLatLonAndOptionalMetres) {
    const TStation s = ParseStation("41.39,2.17,120");
    EXPECT_DOUBLE_EQ(s.LatitudeDeg, 41.39);
    EXPECT_DOUBLE_EQ(s.LongitudeDeg, 2.17);
    EXPECT_DOUBLE_EQ(s.HeightKm, 0.12);
    EXPECT_DOUBLE_EQ(ParseStation("-33.9,-70.6").HeightKm, 0.0);
    for (const char* bad : {"41.39", "41.39,", "91,0", "0,181", "41.39,2.17,1,2", "a,b", "41.39;2.17"})
        EXPECT_THROW(ParseStation(bad), EStationFormatError) << bad;
}
