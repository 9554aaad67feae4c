// Registration on pictures made from the world itself: every pixel is located through the scan
// geometry with known parameters and painted land or water by the shores' own point test (not by
// the distance field the registration matches against), with noise and bright cloud blobs on top.
#include "registration/Registration.h"

#include "orbit/Tle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <stdexcept>
#include <vector>

namespace lrptgeo {
namespace {

const TShores& Shores() {
    static const TShores shores(TCoastResolution::Intermediate);
    return shores;
}

TSgp4 Orbit(const std::string& aName) {
    for (const TTle& tle : ReadTleFile(LRPT_DEMO_TLE))
        if (tle.Name == aName) return TSgp4(tle);
    throw std::runtime_error("no " + aName + " in the test's TLE file");
}

TUtcTime RowTimeOf(TUtcTime aFirst, int aRow) {
    return AddSeconds(aFirst, aRow * kStripDurationS / kRowsPerStrip);
}

struct TPicture {
    std::vector<uint8_t> Bytes;
    int Stride = 1; // bytes a pixel
    int LandPixels = 0;
    int WaterPixels = 0;

    TPictureView View(int aRows) const {
        TPictureView v;
        v.Pixels = Bytes.data();
        v.Width = kScanColumns;
        v.Height = aRows;
        v.PixelStride = Stride;
        v.RowStride = kScanColumns * Stride;
        v.Bands = Stride;
        v.Bgr = Stride == 3;
        return v;
    }
};

// Land bright, water dark (as in the near infrared), Gaussian noise and aClouds bright discs.
TPicture Render(const TSgp4& aOrbit, const TScanParameters& aTruth, TUtcTime aFirstRow, int aRows,
                int aClouds, unsigned aSeed, int aStride = 1) {
    TPicture pic;
    pic.Stride = aStride;
    pic.Bytes.assign(static_cast<size_t>(kScanColumns) * aRows * aStride, 0);
    std::mt19937 random(aSeed);
    std::normal_distribution<double> noise(0, 5);
    std::uniform_real_distribution<double> uniform(0, 1);
    struct TDisc {
        double Col, Row, Radius;
    };
    std::vector<TDisc> clouds;
    for (int i = 0; i < aClouds; ++i)
        clouds.push_back(
            {uniform(random) * kScanColumns, uniform(random) * aRows, 15 + 50 * uniform(random)});
    const TScanGeometry geometry(aOrbit, aTruth);
    std::vector<uint8_t> cloudy(static_cast<size_t>(kScanColumns) * aRows, 0);
    for (const TDisc& d : clouds)
        for (int r = std::max(0, int(d.Row - d.Radius)); r < std::min(aRows, int(d.Row + d.Radius) + 1); ++r)
            for (int c = std::max(0, int(d.Col - d.Radius));
                 c < std::min(kScanColumns, int(d.Col + d.Radius) + 1); ++c)
                if (std::hypot(c - d.Col, r - d.Row) < d.Radius)
                    cloudy[static_cast<size_t>(r) * kScanColumns + c] = 1;
    for (int r = 0; r < aRows; ++r) {
        const TScanGeometry::TRow row = geometry.Row(RowTimeOf(aFirstRow, r));
        for (int c = 0; c < kScanColumns; ++c) {
            double value = 20;
            if (const auto g = geometry.Locate(row, c)) {
                const bool land = Shores().IsLand(g->LatitudeDeg, g->LongitudeDeg);
                (land ? pic.LandPixels : pic.WaterPixels)++;
                value = land ? 120 : 35;
            }
            if (cloudy[static_cast<size_t>(r) * kScanColumns + c]) value = 225;
            const uint8_t v = static_cast<uint8_t>(std::clamp(value + noise(random), 1.0, 255.0));
            for (int b = 0; b < aStride; ++b)
                pic.Bytes[(static_cast<size_t>(r) * kScanColumns + c) * aStride + b] = v;
        }
    }
    return pic;
}

// The pass of 2026-06-20 over Italy and the Adriatic, 13:37:08 to about 13:39:15 UTC.
const TUtcTime kAdriaticFirstRow = UtcFromCalendar(2026, 6, 20, 13, 37, 8);
constexpr int kAdriaticRows = 820;

TRegistrationInput Input(const TPicture& aPic, int aRows, TUtcTime aFirstRow, const TSgp4& aOrbit) {
    TRegistrationInput in;
    in.Picture = aPic.View(aRows);
    in.Rows = aRows;
    in.RowTime = [aFirstRow](int aRow) { return RowTimeOf(aFirstRow, aRow); };
    in.Orbit = &aOrbit;
    in.Shores = &Shores();
    return in;
}

void ExpectNotApplied(const TRegistrationResult& aResult, const TScanParameters& aStart) {
    EXPECT_FALSE(aResult.Confident) << aResult.Why;
    EXPECT_EQ(aResult.Fitted.TimeOffsetS, aStart.TimeOffsetS);
    EXPECT_EQ(aResult.Fitted.RollDeg, aStart.RollDeg);
    EXPECT_EQ(aResult.Fitted.YawDeg, aStart.YawDeg);
    EXPECT_EQ(aResult.Why.rfind("not registered: ", 0), 0u) << aResult.Why;
}

TEST(Registration, RecoversAClockErrorAndARollFromTheCoasts) {
    const TSgp4 meteor = Orbit("METEOR-M2 4");
    struct TCase {
        TScanParameters Truth;
        int Clouds;
        int Stride;
    };
    // The offsets lie between the coarse search's steps; the second picture is read as BGR.
    const TCase cases[] = {{{20.6, 0.5, 0}, 25, 1}, {{-47.25, -0.15, 0}, 60, 3}};
    for (const TCase& k : cases) {
        SCOPED_TRACE(k.Truth.TimeOffsetS);
        const TPicture pic = Render(meteor, k.Truth, kAdriaticFirstRow, kAdriaticRows, k.Clouds, 7, k.Stride);
        ASSERT_GT(pic.LandPixels, kScanColumns * kAdriaticRows / 5); // the premise: a coast in view
        const TRegistrationResult r = Register(Input(pic, kAdriaticRows, kAdriaticFirstRow, meteor));
        std::printf("%s\n", r.Why.c_str());
        ASSERT_TRUE(r.Confident) << r.Why;
        EXPECT_NEAR(r.Fitted.TimeOffsetS, k.Truth.TimeOffsetS, 0.3) << r.Why;
        EXPECT_NEAR(r.Fitted.RollDeg, k.Truth.RollDeg, 0.05) << r.Why;
        EXPECT_LT(r.ResidualKm, 2.0);
        EXPECT_GT(r.ResidualStartKm, 5 * r.ResidualKm); // tens of seconds off: far from every coast
        EXPECT_GT(r.Confidence, 0.5);
        EXPECT_GT(r.EdgesUsed, 300);
        EXPECT_EQ(r.Why.rfind("fitted", 0), 0u) << r.Why;
    }
}

TEST(Registration, AtTheModelsValuesTheResidualIsSmallAndTheFitStaysPut) {
    const TSgp4 meteor = Orbit("METEOR-M2 4");
    const TScanParameters model;
    const TPicture pic = Render(meteor, model, kAdriaticFirstRow, kAdriaticRows, 10, 11);
    const TRegistrationResult r = Register(Input(pic, kAdriaticRows, kAdriaticFirstRow, meteor));
    ASSERT_TRUE(r.Confident) << r.Why;
    EXPECT_NEAR(r.Fitted.TimeOffsetS, model.TimeOffsetS, 0.3);
    EXPECT_NEAR(r.Fitted.RollDeg, model.RollDeg, 0.05);
    EXPECT_LT(r.ResidualStartKm, 2.0);
    EXPECT_LE(r.ResidualKm, r.ResidualStartKm + 0.05);
}

TEST(Registration, KeepsTheModelWhenNothingMatches) {
    const TSgp4 meteor = Orbit("METEOR-M2 4");
    const TScanParameters truth{20.6, 0.5, 0};
    const TPicture adriatic = Render(meteor, truth, kAdriaticFirstRow, kAdriaticRows, 25, 7);
    {
        SCOPED_TRACE("another satellite's orbit for the same times");
        const TSgp4 noaa = Orbit("NOAA 19");
        ExpectNotApplied(Register(Input(adriatic, kAdriaticRows, kAdriaticFirstRow, noaa)),
                         TScanParameters{});
    }
    {
        SCOPED_TRACE("open sea: the same satellite over the Pacific, clouds over the water");
        const TUtcTime pacific = UtcFromCalendar(2026, 6, 20, 12, 25, 0);
        const TPicture sea = Render(meteor, TScanParameters{}, pacific, 500, 40, 3);
        ASSERT_EQ(sea.LandPixels, 0); // the premise
        const TRegistrationResult r = Register(Input(sea, 500, pacific, meteor));
        ExpectNotApplied(r, TScanParameters{});
        EXPECT_NE(r.Why.find("open sea"), std::string::npos) << r.Why;
    }
    {
        SCOPED_TRACE("a blank picture (noise only)");
        TPicture blank = adriatic;
        std::mt19937 random(5);
        for (uint8_t& v : blank.Bytes)
            v = static_cast<uint8_t>(60 + random() % 5);
        const TRegistrationResult r = Register(Input(blank, kAdriaticRows, kAdriaticFirstRow, meteor));
        ExpectNotApplied(r, TScanParameters{});
        EXPECT_NE(r.Why.find("no land/water edges"), std::string::npos) << r.Why;
    }
}

TEST(Registration, RefusesMalformedInput) {
    const TSgp4 meteor = Orbit("METEOR-M2 4");
    TPicture pic;
    pic.Bytes.assign(kScanColumns * 10, 0);
    TRegistrationInput in = Input(pic, 10, kAdriaticFirstRow, meteor);
    in.Rows = 11; // more rows than the picture holds
    EXPECT_THROW(Register(in), std::invalid_argument);
    in.Rows = 10;
    in.Shores = nullptr;
    EXPECT_THROW(Register(in), std::invalid_argument);
}

} // namespace
} // namespace lrptgeo
