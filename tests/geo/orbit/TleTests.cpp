// Element set files as published: the demo pass's file, the forms the services use (2 and 3
// lines, "0 " names, CR LF, blank lines), and refusals that name the file and the line.
#include "orbit/Tle.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>

using namespace lrptgeo;

namespace {

const std::string kMeteor1 = "1 59051U 24039A   26170.85643078  .00000005  00000+0  21684-4 0  9994";
const std::string kMeteor2 = "2 59051  98.7011 130.1209 0007435 153.6235 206.5323 14.22429774119642";
const std::string kNoaa1 = "1 33591U 09005A   26197.28509586  .00000016  00000+0  32370-4 0  9998";
const std::string kNoaa2 = "2 33591  98.9510 268.1792 0012877 310.9145  49.0911 14.13478435898591";

std::string RefusalOf(const std::string& aText) {
    try {
        ParseTleText(aText, "stations.txt");
    } catch (const ETleError& e) {
        return e.what();
    }
    return "<accepted>";
}

// A digit changed and the checksum made right again, so only the field check can object.
std::string WithField(std::string aLine, size_t aColumn, const std::string& aText) {
    aLine.replace(aColumn - 1, aText.size(), aText);
    aLine[68] = static_cast<char>('0' + TleChecksum(aLine));
    return aLine;
}

} // namespace

TEST(Tle, ReadsTheDemoPassFile) {
    const std::vector<TTle> entries = ReadTleFile(LRPT_DEMO_TLE);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].Name, "NOAA 19");
    EXPECT_EQ(entries[0].NoradId, 33591);
    const TTle& m = entries[1];
    EXPECT_EQ(m.Name, "METEOR-M2 4");
    EXPECT_EQ(m.NoradId, 59051);
    EXPECT_EQ(m.LineNumber, 5);
    // Day 170.85643078 of 2026: 19 June, 0.85643078 d = 73 995.619 s after midnight.
    EXPECT_NEAR(SecondsBetween(UtcFromCalendar(2026, 6, 19, 20, 33, 15.619392), m.Epoch), 0, 1e-4);
    EXPECT_EQ(FormatIsoUtc(m.Epoch, 3), "2026-06-19T20:33:15.619Z");
    EXPECT_DOUBLE_EQ(m.Elements.InclinationDeg, 98.7011);
    EXPECT_DOUBLE_EQ(m.Elements.RaanDeg, 130.1209);
    EXPECT_DOUBLE_EQ(m.Elements.Eccentricity, 0.0007435);
    EXPECT_DOUBLE_EQ(m.Elements.ArgPerigeeDeg, 153.6235);
    EXPECT_DOUBLE_EQ(m.Elements.MeanAnomalyDeg, 206.5323);
    EXPECT_DOUBLE_EQ(m.Elements.MeanMotionRevPerDay, 14.22429774);
    EXPECT_NEAR(m.Elements.BStarPerEarthRadii, 0.21684e-4, 1e-12);
    EXPECT_NEAR(m.Elements.MeanMotionDotRevPerDay2, 5e-8, 1e-15);
    EXPECT_EQ(m.Elements.RevolutionNumber, 11964);
}

TEST(Tle, AcceptsTheFormsTheServicesPublish) {
    // A 3-line entry with the "0 " name prefix, a 2-line entry, CR LF ends, blank lines and trailing blanks.
    const std::string text = "\r\n0 METEOR-M2 4\r\n" + kMeteor1 + "  \r\n" + kMeteor2 + "\r\n\r\n" + kNoaa1 +
                             "\r\n" + kNoaa2 + "\r\n";
    const std::vector<TTle> entries = ParseTleText(text, "mixed.txt");
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].Name, "METEOR-M2 4");
    EXPECT_EQ(entries[1].Name, "");
    EXPECT_EQ(entries[1].DisplayName(), "NORAD 33591");
    EXPECT_EQ(entries[1].LineNumber, 6);
    // Years 57-99 are the 1900s.
    const TTle old = ParseTleLines("", WithField(kMeteor1, 19, "98"), kMeteor2);
    EXPECT_EQ(old.EpochYear, 1998);
    // Alpha-5 catalogue numbers: A = 10, I and O left out.
    const TTle alpha = ParseTleLines("", WithField(kMeteor1, 3, "J0123"), WithField(kMeteor2, 3, "J0123"));
    EXPECT_EQ(alpha.NoradId, 180123);
}

TEST(Tle, RefusesABadLineByFileAndLineNumber) {
    std::string badSum = kMeteor2;
    badSum[68] = badSum[68] == '9' ? '0' : static_cast<char>(badSum[68] + 1);
    const std::string good = "NOAA 19\n" + kNoaa1 + "\n" + kNoaa2 + "\n\nMETEOR-M2 4\n" + kMeteor1 + "\n";
    const std::string sum = RefusalOf(good + badSum + "\n");
    EXPECT_EQ(sum.rfind("stations.txt:7: checksum wrong", 0), 0u) << sum;

    // One digit of the mean motion changed: the checksum catches it.
    std::string typo = kMeteor2;
    typo[60] = typo[60] == '7' ? '8' : '7';
    EXPECT_EQ(RefusalOf(good + typo + "\n").rfind("stations.txt:7: checksum wrong", 0), 0u);

    EXPECT_EQ(RefusalOf(good).rfind("stations.txt:6: expected line 2", 0), 0u) << RefusalOf(good);
    EXPECT_EQ(RefusalOf(good + kMeteor2.substr(0, 60) + "\n")
                  .rfind("stations.txt:7: line 2 of an element set must have 69", 0),
              0u);
    EXPECT_EQ(RefusalOf(good + kNoaa2 + "\n").rfind("stations.txt:7: satellite number 33591 differs", 0), 0u)
        << RefusalOf(good + kNoaa2 + "\n");
    EXPECT_EQ(RefusalOf("NOAA 19\n" + kNoaa2 + "\n").rfind("stations.txt:2: line 2 without a line 1", 0), 0u);
    EXPECT_EQ(RefusalOf("METEOR\n").rfind("stations.txt:1: name line without", 0), 0u);
    EXPECT_EQ(RefusalOf("\n\n").rfind("stations.txt: no element set", 0), 0u);
    // A field that is not a number, with a valid checksum.
    const std::string field = RefusalOf(WithField(kMeteor1, 21, "1x0.85643078") + "\n" + kMeteor2 + "\n");
    EXPECT_EQ(field.rfind("stations.txt:1: bad epoch day", 0), 0u) << field;
    const std::string drag = RefusalOf(WithField(kMeteor1, 54, " 21684x4") + "\n" + kMeteor2 + "\n");
    EXPECT_EQ(drag.rfind("stations.txt:1: bad drag term", 0), 0u) << drag;

    try {
        ReadTleFile("/nonexistent/elements.txt");
        FAIL() << "a missing file was read";
    } catch (const ETleError& e) {
        EXPECT_NE(std::string(e.what()).find("/nonexistent/elements.txt"), std::string::npos);
    }
}
