// Which entry of an element set file made the pass: by name or number, by the station's sky at the
// pass time, the file's only Meteor, or a refusal listing the names; and the age warning.
#include "orbit/SatelliteChoice.h"

#include <gtest/gtest.h>

using namespace lrptgeo;

namespace {

const std::vector<TTle>& DemoEntries() {
    static const std::vector<TTle> entries = ReadTleFile(LRPT_DEMO_TLE);
    return entries;
}

const TStation kBarcelona{41.39, 2.17, 0.1};
const TUtcTime kDemoPass = UtcFromCalendar(2026, 6, 20, 13, 38, 0);

std::string Refusal(const std::vector<TTle>& aEntries, const TSatelliteRequest& aRequest) {
    try {
        ChooseSatellite(aEntries, aRequest);
    } catch (const ESatelliteChoiceError& e) {
        return e.what();
    }
    return "<chosen>";
}

// A copy of an entry under another name and catalogue number, checksums made right.
TTle Renamed(const TTle& aTle, const std::string& aName, const std::string& aNorad) {
    std::string l1 = aTle.Line1, l2 = aTle.Line2;
    l1.replace(2, 5, aNorad);
    l2.replace(2, 5, aNorad);
    l1[68] = static_cast<char>('0' + TleChecksum(l1));
    l2[68] = static_cast<char>('0' + TleChecksum(l2));
    return ParseTleLines(aName, l1, l2);
}

} // namespace

TEST(SatelliteChoice, ByNameOrNoradNumber) {
    const auto& e = DemoEntries();
    EXPECT_EQ(ChooseSatellite(e, {"meteor-m2 4", {}, {}}).Index, 1u);
    const TSatelliteChoice part = ChooseSatellite(e, {"noaa", {}, {}});
    EXPECT_EQ(part.Index, 0u);
    EXPECT_EQ(part.Reason, TChoiceReason::ByName);
    const TSatelliteChoice number = ChooseSatellite(e, {"59051", {}, {}});
    EXPECT_EQ(number.Index, 1u);
    EXPECT_EQ(number.Reason, TChoiceReason::ByNoradId);
    // A name given wins over the station's sky.
    EXPECT_EQ(ChooseSatellite(e, {"NOAA 19", kBarcelona, kDemoPass}).Index, 0u);

    // An exact name wins over names that merely contain it.
    std::vector<TTle> similar = {Renamed(e[1], "METEOR-M2 4B", "59052"), e[1]};
    EXPECT_EQ(ChooseSatellite(similar, {"METEOR-M2 4", {}, {}}).Index, 1u);

    const std::string unknown = Refusal(e, {"METOP-C", {}, {}});
    EXPECT_NE(unknown.find("no satellite named \"METOP-C\""), std::string::npos) << unknown;
    EXPECT_NE(unknown.find("NOAA 19 (33591), METEOR-M2 4 (59051)"), std::string::npos) << unknown;
    EXPECT_NE(Refusal(e, {"12345", {}, {}}).find("no satellite with NORAD number 12345"), std::string::npos);
    const std::string ambiguous = Refusal(similar, {"meteor", {}, {}});
    EXPECT_NE(ambiguous.find("ambiguous"), std::string::npos) << ambiguous;
}

TEST(SatelliteChoice, TheOneAboveTheStationAtThePassTime) {
    const TSatelliteChoice c = ChooseSatellite(DemoEntries(), {{}, kBarcelona, kDemoPass});
    EXPECT_EQ(c.Index, 1u);
    EXPECT_EQ(c.Reason, TChoiceReason::AboveStation);
    ASSERT_TRUE(c.ElevationDeg);
    EXPECT_GT(*c.ElevationDeg, 40.0); // the demo pass culminates near 49 degrees at 13:38:25

    // The station's sky wins over the only-Meteor rule: NOAA 19 culminates over Barcelona at 09:42.
    const TSatelliteChoice noaa =
        ChooseSatellite(DemoEntries(), {{}, kBarcelona, UtcFromCalendar(2026, 6, 20, 9, 42, 36)});
    EXPECT_EQ(noaa.Index, 0u);
    EXPECT_EQ(noaa.Reason, TChoiceReason::AboveStation);

    // And it tells two Meteors apart, the other one a third of an orbit away.
    std::vector<TTle> twoMeteors = {Renamed(DemoEntries()[1], "METEOR-M2 3", "57166"), DemoEntries()[1]};
    twoMeteors[0].Elements.MeanAnomalyDeg += 120;
    EXPECT_EQ(ChooseSatellite(twoMeteors, {{}, kBarcelona, kDemoPass}).Index, 1u);
}

TEST(SatelliteChoice, OnlyMeteorElseARefusalListingTheNames) {
    // Nobody above Barcelona at 06:00: the file's only Meteor.
    const TSatelliteChoice c =
        ChooseSatellite(DemoEntries(), {{}, kBarcelona, UtcFromCalendar(2026, 6, 20, 6, 0, 0)});
    EXPECT_EQ(c.Index, 1u);
    EXPECT_EQ(c.Reason, TChoiceReason::OnlyMeteor);
    EXPECT_EQ(ChooseSatellite(DemoEntries(), {}).Reason, TChoiceReason::OnlyMeteor);

    std::vector<TTle> twoMeteors = DemoEntries();
    twoMeteors.push_back(Renamed(twoMeteors[1], "METEOR-M2 3", "57166"));
    const std::string refusal = Refusal(twoMeteors, {});
    EXPECT_NE(refusal.find("more than one is a Meteor"), std::string::npos) << refusal;
    EXPECT_NE(refusal.find("METEOR-M2 3 (57166)"), std::string::npos) << refusal;

    const std::vector<TTle> noaaOnly = {DemoEntries()[0]};
    EXPECT_EQ(ChooseSatellite(noaaOnly, {}).Reason, TChoiceReason::OnlyEntry);
    const std::vector<TTle> noMeteor = {DemoEntries()[0], Renamed(DemoEntries()[0], "NOAA 18", "28654")};
    EXPECT_NE(Refusal(noMeteor, {}).find("none is a Meteor"), std::string::npos);
}

TEST(SatelliteChoice, WarnsAboutElementSetsMoreThanTwoWeeksFromThePass) {
    const TTle& meteor = DemoEntries()[1];
    EXPECT_NEAR(TleAgeDays(meteor, kDemoPass), 0.71, 0.01);
    EXPECT_TRUE(TleAgeWarning(meteor, kDemoPass).empty());
    EXPECT_TRUE(TleAgeWarning(meteor, AddSeconds(meteor.Epoch, 13.9 * 86400)).empty());
    const std::string old = TleAgeWarning(meteor, AddSeconds(meteor.Epoch, 20 * 86400));
    EXPECT_NE(old.find("20.0 days older than the pass"), std::string::npos) << old;
    // NOAA 19's element set is 26 days newer than the demo pass.
    const std::string newer = TleAgeWarning(DemoEntries()[0], kDemoPass);
    EXPECT_NE(newer.find("newer than the pass"), std::string::npos) << newer;
}
