#include "image/GroundRectifier.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>
#include <stdexcept>
#include <vector>

namespace {

// Ground size of the footprint per radian of view angle at view angle theta, from the slant range
// and the incidence angle (law of sines in the Earth-centre / satellite / ground-point triangle):
// a different route from the rectifier's Earth-centre angle.
double GroundPerRadian(double theta) {
    const double R = 6371, r = R + 830;
    const double slant = r * std::cos(theta) - std::sqrt(R * R - r * r * std::sin(theta) * std::sin(theta));
    const double incidence = std::asin(r / R * std::sin(theta));
    return slant / std::cos(incidence);
}

} // namespace

TEST(GroundRectifier, NadirStaysAndTheTableIsMonotonic) {
    const TGroundRectifier& t = TGroundRectifier::ForWidth(1568);
    EXPECT_EQ(&t, &TGroundRectifier::ForWidth(1568)); // built once
    ASSERT_EQ(t.RawWidth(), 1568);
    const int w = t.Width();
    ASSERT_EQ(w, 2844); // a swath of 2,912 km at the nadir spacing of 1.024 km
    // The two raw pixels either side of nadir land exactly on two rectified columns.
    EXPECT_NEAR(t.SourceColumn(w / 2 - 1), 783, 1e-6);
    EXPECT_NEAR(t.SourceColumn(w / 2), 784, 1e-6);
    EXPECT_NEAR(t.SourceColumn(w / 2 + 1), 785, 1e-3); // one raw pixel per column near nadir
    // Increasing; only the outermost columns, whose ground lies beyond the first or last raw pixel
    // centre, repeat that pixel.
    int clamped = 0;
    for (int j = 1; j < w; ++j) {
        const double a = t.SourceColumn(j - 1), b = t.SourceColumn(j);
        if ((a == 0 && b == 0) || (a == 1567 && b == 1567)) {
            ++clamped;
        } else {
            ASSERT_GT(b, a) << j;
        }
    }
    EXPECT_LE(clamped, 4);
    EXPECT_LT(t.SourceColumn(0), 0.5);
    EXPECT_GT(t.SourceColumn(w - 1), 1566.5);
    // Symmetric about nadir.
    EXPECT_NEAR(t.SourceColumn(10) + t.SourceColumn(w - 11), 1567, 1e-6);
}

TEST(GroundRectifier, EdgeStretchMatchesTheGeometry) {
    const TGroundRectifier& t = TGroundRectifier::ForWidth(1568);
    const double thetaMax = 55.4 * std::numbers::pi / 180, step = 2 * thetaMax / 1568;
    EXPECT_NEAR(t.NadirSpacingKm(), 830 * step, 1e-9);
    // Rectified columns per raw column at a few raw positions: ground size of the raw pixel over the
    // nadir spacing.
    for (const int j : {3, 200, 600, 1100}) {
        const double x = t.SourceColumn(j);
        const double theta = thetaMax * (2 * (x + 0.5) / 1568 - 1);
        const double expected = GroundPerRadian(theta) / 830;
        const double measured = 1 / (t.SourceColumn(j + 1) - x);
        EXPECT_NEAR(measured / expected, 1, 0.01) << "column " << j;
    }
    // The swath edge: an edge pixel is 5.76 times the nadir pixel.
    EXPECT_NEAR(GroundPerRadian(thetaMax) / 830, 5.76, 0.01);
    // The rectified row spans the swath at the nadir spacing.
    const double edge = t.GroundDistanceKm(1567.5) - t.GroundDistanceKm(-0.5);
    EXPECT_NEAR(t.Width() * t.NadirSpacingKm(), edge, t.NadirSpacingKm());
}

TEST(GroundRectifier, RowsAreResampledAndBadInputRefused) {
    const TGroundRectifier t(16, {830, 6371, 55.4});
    TBitmap24 raw(20, 2);
    for (int x = 0; x < 20; ++x)
        raw.SetPixel(x, 1, {static_cast<uint8_t>(10 * x), static_cast<uint8_t>(10 * x), 7});
    const TBitmap24 out = t.Rectify(raw);
    ASSERT_EQ(out.Width(), t.Width());
    ASSERT_EQ(out.Height(), 2);
    for (int j = 0; j < t.Width(); ++j) {
        // A linear ramp stays linear: the value is 10 times the source column, to rounding.
        EXPECT_NEAR(out.Pixel(j, 1).Blue, 10 * t.SourceColumn(j), 0.51) << j;
        EXPECT_EQ(out.Pixel(j, 1).Red, 7);
        EXPECT_EQ(out.Pixel(j, 0), TPixel24{});
    }
    EXPECT_THROW(t.Rectify(TBitmap24(15, 1)), std::invalid_argument);
    EXPECT_THROW(TGroundRectifier(1), std::invalid_argument);
    EXPECT_THROW(TGroundRectifier(100, {830, 6371, 80}), std::invalid_argument); // misses the Earth
}

// Each byte of a pixel is interpolated on its own whatever the pixel's size: a row of 3 or 4 bytes
// per pixel gives, byte by byte, the rows of its byte planes, and the first bytes alone come out as
// byte 0 of the full row.
TEST(GroundRectifier, PixelSizesAndFirstBytesAgreeWithTheBytePlanes) {
    const TGroundRectifier& t = TGroundRectifier::ForWidth(1568);
    std::mt19937 rng(7);
    std::vector<uint8_t> row(4 * 1568);
    for (auto& byte : row)
        byte = static_cast<uint8_t>(rng());
    const size_t width = static_cast<size_t>(t.Width());
    for (const int size : {3, 4}) {
        std::vector<uint8_t> out(size * width), first(width);
        t.RectifyRow(row.data(), out.data(), size);
        t.RectifyFirstBytes(row.data(), size, first.data());
        for (int k = 0; k < size; ++k) {
            std::vector<uint8_t> plane(1568), planeOut(width);
            for (size_t x = 0; x < 1568; ++x)
                plane[x] = row[static_cast<size_t>(size) * x + static_cast<size_t>(k)];
            t.RectifyRow(plane.data(), planeOut.data(), 1);
            for (size_t j = 0; j < width; ++j)
                ASSERT_EQ(out[static_cast<size_t>(size) * j + static_cast<size_t>(k)], planeOut[j])
                    << size << " bytes, byte " << k << ", column " << j;
        }
        for (size_t j = 0; j < width; ++j)
            ASSERT_EQ(first[j], out[static_cast<size_t>(size) * j]) << size << " bytes, column " << j;
    }
}
