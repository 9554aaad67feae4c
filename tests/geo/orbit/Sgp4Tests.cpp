// SGP4 and the Earth frames against python3-sgp4 and the fixture script's own GMST and geodetic
// formulas: several real element sets, +-3 days of epoch every 30 minutes; and the refusals.
#include "Fixture.h"

#include "orbit/EarthFrames.h"
#include "orbit/Sgp4.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

using namespace lrptgeo;

namespace {

double Distance(TVec3 a, const double b[3]) {
    return std::hypot(a.X - b[0], a.Y - b[1], a.Z - b[2]);
}

} // namespace

TEST(Sgp4, MatchesTheReferenceWithinOneMetreOverSixDays) {
    const TFixture& f = Fixture();
    ASSERT_GE(f.Satellites.size(), 6u);
    for (const TFixtureSatellite& sat : f.Satellites) {
        SCOPED_TRACE(sat.Name);
        const TSgp4 orbit(ParseTleLines(sat.Name, sat.Line1, sat.Line2));
        ASSERT_EQ(sat.States.size(), 289u);
        double worstPositionKm = 0, worstVelocityKmS = 0;
        for (const TFixtureState& s : sat.States) {
            const TStateTeme state = orbit.AtMinutesSinceEpoch(s.Minutes);
            worstPositionKm = std::max(worstPositionKm, Distance(state.PositionKm, s.R));
            worstVelocityKmS = std::max(worstVelocityKmS, Distance(state.VelocityKmS, s.V));
        }
        EXPECT_LT(worstPositionKm, 0.001);
        EXPECT_LT(worstVelocityKmS, 1e-6);
    }
}

TEST(Sgp4, UtcTimesCountFromTheElementSetsEpoch) {
    const TFixtureSatellite& sat = Fixture().Satellites.at(1); // METEOR-M2 4
    const TTle tle = ParseTleLines(sat.Name, sat.Line1, sat.Line2);
    const TSgp4 orbit(tle);
    const TFixtureState& s = sat.States.at(100);
    const TStateTeme state = orbit.At(AddSeconds(tle.Epoch, s.Minutes * 60));
    EXPECT_LT(Distance(state.PositionKm, s.R), 0.001);
}

TEST(EarthFrames, GmstEarthFixedStateAndGeodeticMatchTheIndependentFormulas) {
    for (const TFixtureSatellite& sat : Fixture().Satellites) {
        SCOPED_TRACE(sat.Name);
        const TSgp4 orbit(ParseTleLines(sat.Name, sat.Line1, sat.Line2));
        ASSERT_FALSE(sat.Frames.empty());
        for (const TFixtureFrame& fr : sat.Frames) {
            const TUtcTime t = UnixTime(fr.UnixS);
            EXPECT_NEAR(GmstRad(t), fr.GmstRad, 1e-9);
            const TSatelliteState state = StateAt(orbit, t);
            EXPECT_LT(Distance(state.Ecef.PositionKm, fr.R), 0.001);
            EXPECT_LT(Distance(state.Ecef.VelocityKmS, fr.V), 1e-6);
            const TGeodetic g = EcefToGeodetic(state.Ecef.PositionKm);
            EXPECT_NEAR(g.LatitudeDeg, fr.LatDeg, 1e-7);
            EXPECT_NEAR(g.LongitudeDeg, fr.LonDeg, 1e-7);
            EXPECT_NEAR(g.HeightKm, fr.HeightKm, 0.001);
            // And back: the two conversions are each other's inverse to well under a millimetre.
            const TVec3 back = GeodeticToEcef(g);
            EXPECT_LT(Norm(back - state.Ecef.PositionKm), 1e-6);
        }
    }
}

TEST(EarthFrames, GeodeticConversionHoldsAtThePolesAndTheEquator) {
    for (const TGeodetic g :
         {TGeodetic{90, 0, 0}, TGeodetic{-90, 0, 0.5}, TGeodetic{0, 180, 820}, TGeodetic{45, -120, -0.1}}) {
        const TGeodetic back = EcefToGeodetic(GeodeticToEcef(g));
        EXPECT_NEAR(back.LatitudeDeg, g.LatitudeDeg, 1e-9);
        EXPECT_NEAR(back.HeightKm, g.HeightKm, 1e-6);
        if (std::fabs(g.LatitudeDeg) < 90) {
            EXPECT_NEAR(std::fabs(back.LongitudeDeg), std::fabs(g.LongitudeDeg), 1e-9);
        }
    }
    // The pole is the semi-minor axis away from the centre.
    EXPECT_NEAR(GeodeticToEcef({90, 0, 0}).Z, TWgs84::SemiMinorAxisKm, 1e-9);
}

TEST(Sgp4, RefusesDeepSpaceOrbitsDecayedSatellitesAndImpossibleEccentricities) {
    // A 12-hour orbit (Molniya) is a deep-space case.
    const TTle molniya =
        ParseTleLines("MOLNIYA 1-36", "1 09880U 77021A   06176.56157475  .00000421  00000-0  10000-3 0  9814",
                      "2 09880  64.5968 349.3786 7069051 270.0229  16.3320  2.00813614112380");
    try {
        TSgp4 orbit(molniya);
        FAIL() << "a 12-hour orbit was accepted";
    } catch (const EDeepSpaceOrbit& e) {
        EXPECT_NE(std::string(e.what()).find("225 min"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("MOLNIYA 1-36"), std::string::npos) << e.what();
    }

    // A rocket body below the ground after less than an hour (perigee under the surface).
    const TTle minotaur =
        ParseTleLines("MINOTAUR R/B", "1 28872U 05037B   05333.02012661  .25992681  00000-0  24476-3 0  1534",
                      "2 28872  96.4736 157.9986 0303955 244.0492 110.6523 16.46015938 10708");
    const TSgp4 doomed(minotaur);
    EXPECT_NO_THROW(doomed.AtMinutesSinceEpoch(10));
    EXPECT_THROW(doomed.AtMinutesSinceEpoch(60), ESatelliteDecayed);

    TTle broken = ParseTleLines("", "1 59051U 24039A   26170.85643078  .00000005  00000+0  21684-4 0  9994",
                                "2 59051  98.7011 130.1209 0007435 153.6235 206.5323 14.22429774119642");
    broken.Elements.Eccentricity = 1.2;
    EXPECT_THROW(TSgp4{broken}, EEccentricityOutOfRange);
}
