// Scan geometry on the demo pass (METEOR-M2 4, northbound over the western Mediterranean on
// 2026-06-20 around 13:38 UTC): nadir under the track, swath width, which side column 0 is on,
// the scan line across the inertial (not the ground) track, and the attitude parameters' senses.
#include "orbit/ScanGeometry.h"
#include "orbit/Tle.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

using namespace lrptgeo;

namespace {

const TSgp4& Meteor() {
    static const TSgp4 orbit(ReadTleFile(LRPT_DEMO_TLE).at(1));
    return orbit;
}

const TUtcTime kPassStart = UtcFromCalendar(2026, 6, 20, 13, 34, 0);
constexpr double kNadirColumn = (kScanColumns - 1) / 2.0;
const TScanParameters kNoAttitude{0, 0, 0};

double DistanceKm(const TGeodetic& a, const TGeodetic& b) {
    return GreatCircleDistanceKm(a.LatitudeDeg, a.LongitudeDeg, b.LatitudeDeg, b.LongitudeDeg);
}

// Unit vector of a ground point, for angles between directions on the ground.
TVec3 Unit(const TGeodetic& g) {
    return Normalized(GeodeticToEcef({g.LatitudeDeg, g.LongitudeDeg, 0}));
}

} // namespace

TEST(ScanGeometry, NadirPixelLiesAtTheSubSatellitePoint) {
    const TScanGeometry scan(Meteor(), kNoAttitude);
    for (int s = 0; s <= 600; s += 60) {
        const TUtcTime t = AddSeconds(kPassStart, s);
        const std::optional<TGeodetic> nadir = scan.Locate(t, kNadirColumn);
        ASSERT_TRUE(nadir);
        EXPECT_LT(DistanceKm(*nadir, SubSatellitePoint(Meteor(), t)), 0.01) << FormatIsoUtc(t);
    }
}

TEST(ScanGeometry, SwathIsAbout2900KmWithColumnZeroEastOnANorthboundPass) {
    const TScanGeometry scan(Meteor(), kNoAttitude);
    for (int s = 0; s <= 600; s += 120) {
        const TUtcTime t = AddSeconds(kPassStart, s);
        const TGeodetic first = *scan.Locate(t, 0), last = *scan.Locate(t, kScanColumns - 1);
        const TGeodetic below = SubSatellitePoint(Meteor(), t);
        const double width = DistanceKm(first, last);
        EXPECT_GT(width, 2850);
        EXPECT_LT(width, 2950);
        // The pass runs north, so the right of the flight direction is east.
        EXPECT_GT(first.LongitudeDeg, below.LongitudeDeg + 10);
        EXPECT_LT(last.LongitudeDeg, below.LongitudeDeg - 10);
        // Symmetric about the track with no roll.
        EXPECT_NEAR(DistanceKm(first, below), DistanceKm(last, below), 2.0);
    }
}

TEST(ScanGeometry, ScanLineCrossesTheInertialTrackAtRightAngles) {
    const TScanGeometry scan(Meteor(), kNoAttitude);
    const TUtcTime t = AddSeconds(kPassStart, 240);
    // Track directions at the nadir: over the ground (Earth-fixed sub-satellite points a second
    // apart), and inertial (the same points with the Earth's turn in between taken out).
    const TGeodetic before = SubSatellitePoint(Meteor(), AddSeconds(t, -1));
    const TGeodetic after = SubSatellitePoint(Meteor(), AddSeconds(t, 1));
    TGeodetic afterInertial = after;
    afterInertial.LongitudeDeg += 2 * kEarthRotationRadS * 180 / std::numbers::pi;
    const TVec3 groundTrack = Unit(after) - Unit(before), inertialTrack = Unit(afterInertial) - Unit(before);
    // Scan direction at the nadir: between two columns either side of it.
    const TVec3 scanLine =
        Unit(*scan.Locate(t, kNadirColumn - 10)) - Unit(*scan.Locate(t, kNadirColumn + 10));
    const auto angleDeg = [](TVec3 a, TVec3 b) {
        return std::acos(Dot(a, b) / (Norm(a) * Norm(b))) * 180 / std::numbers::pi;
    };
    EXPECT_NEAR(angleDeg(scanLine, inertialTrack), 90.0, 0.05);
    // The Earth's rotation turns the ground track by a few degrees at these latitudes.
    EXPECT_GT(std::fabs(angleDeg(scanLine, groundTrack) - 90.0), 2.0);
}

TEST(ScanGeometry, TimeOffsetRollAndYawMoveThePixelsTheWayTheySay) {
    const TUtcTime t = AddSeconds(kPassStart, 300);
    const TScanGeometry plain(Meteor(), kNoAttitude);

    // A time offset is the same as a row stamped that much earlier.
    const TScanGeometry early(Meteor(), {-0.6, 0, 0});
    const TGeodetic a = *early.Locate(t, 100), b = *plain.Locate(AddSeconds(t, -0.6), 100);
    EXPECT_LT(DistanceKm(a, b), 1e-6);
    EXPECT_NEAR(DistanceKm(*early.Locate(t, kNadirColumn), *plain.Locate(t, kNadirColumn)), 0.6 * 6.8, 0.4);

    // Roll towards column 0 moves the nadir pixel east (right of a northbound track) by about
    // height x tan(roll): 0.2 deg from 820 km is about 2.9 km.
    const TScanGeometry rolled(Meteor(), {0, 0.2, 0});
    const TGeodetic nadir = *plain.Locate(t, kNadirColumn), rolledNadir = *rolled.Locate(t, kNadirColumn);
    EXPECT_GT(rolledNadir.LongitudeDeg, nadir.LongitudeDeg);
    EXPECT_NEAR(DistanceKm(rolledNadir, nadir), 2.9, 0.3);

    // Yaw turns the line about nadir: column 0's end moves forward (north here), the nadir stays.
    const TScanGeometry yawed(Meteor(), {0, 0, 1.0});
    EXPECT_GT(yawed.Locate(t, 0)->LatitudeDeg, plain.Locate(t, 0)->LatitudeDeg + 0.1);
    EXPECT_LT(yawed.Locate(t, kScanColumns - 1)->LatitudeDeg,
              plain.Locate(t, kScanColumns - 1)->LatitudeDeg - 0.1);
    EXPECT_LT(DistanceKm(*yawed.Locate(t, kNadirColumn), nadir), 0.01);

    // A roll that tips the edge past the horizon: no ground point, while the other edge still has one.
    const TScanGeometry tipped(Meteor(), {0, 15, 0});
    EXPECT_FALSE(tipped.Locate(t, 0));
    EXPECT_TRUE(tipped.Locate(t, kScanColumns - 1));
}

TEST(ScanGeometry, SubSatelliteTrackRunsNorthOverTheMediterranean) {
    const TScanGeometry scan(Meteor(), TScanParameters{});
    const std::vector<TTrackPoint> track =
        scan.SubSatelliteTrack(kPassStart, AddSeconds(kPassStart, 595), 10);
    ASSERT_EQ(track.size(), 61u); // every 10 s and the end
    EXPECT_DOUBLE_EQ(SecondsBetween(kPassStart, track.back().Time), 595);
    for (size_t i = 1; i < track.size(); ++i)
        EXPECT_GT(track[i].LatitudeDeg, track[i - 1].LatitudeDeg);
    // The demo pass (frames from 13:37 to 13:39) sees Italy and the Adriatic: the track crosses
    // 42 N between 0 and 20 E.
    const TGeodetic mid = scan.SubSatellitePoint(UtcFromCalendar(2026, 6, 20, 13, 38, 0));
    EXPECT_GT(mid.LongitudeDeg, 0);
    EXPECT_LT(mid.LongitudeDeg, 20);
}
