// Packet stamps to UTC: the day count's origin, the rows of a strip, and the --date fallback.
#include "orbit/PassTime.h"

#include <gtest/gtest.h>

using namespace lrptgeo;

TEST(PassTime, DayCountStartsAt2001AndTimeOfDayIsUtc) {
    EXPECT_EQ(FormatIsoUtc(UtcFromPacketStamp(1, 0)), "2001-01-01T00:00:00Z");
    EXPECT_EQ(FormatIsoUtc(UtcFromPacketStamp(9302, 0)), "2026-06-20T00:00:00Z");
    // 13:37:00.123 on the demo pass's day.
    EXPECT_EQ(FormatIsoUtc(UtcFromPacketStamp(9302, (13 * 3600 + 37 * 60) * 1000LL + 123), 3),
              "2026-06-20T13:37:00.123Z");
    // Across a leap day.
    EXPECT_EQ(FormatIsoUtc(UtcFromPacketStamp(8460, 0)), "2024-02-29T00:00:00Z");
    EXPECT_EQ(PacketDayCount(UtcFromCalendar(2026, 6, 20, 23, 59, 59.9)), 9302);
    EXPECT_THROW(UtcFromPacketStamp(0, 0), EPassTimeError);
    EXPECT_THROW(UtcFromPacketStamp(9302, -1), EPassTimeError);
    EXPECT_THROW(UtcFromPacketStamp(9302, 86'401'000), EPassTimeError);
}

TEST(PassTime, RowsOfAStripAreEvenlySpreadOverItsDuration) {
    const TUtcTime stamp = UtcFromPacketStamp(9302, 49'020'000);
    EXPECT_DOUBLE_EQ(SecondsBetween(stamp, RowTime(stamp, 0)), 0.0);
    EXPECT_NEAR(SecondsBetween(stamp, RowTime(stamp, 1)), 0.1538925, 1e-6);
    EXPECT_NEAR(SecondsBetween(stamp, RowTime(stamp, 7)), 1.0772475, 1e-6);
    EXPECT_THROW(RowTime(stamp, 8), EPassTimeError);
    EXPECT_THROW(RowTime(stamp, -1), EPassTimeError);
}

TEST(PassTime, UserDateOnlyWhereThePacketsCarryNoDay) {
    const TStampTime fromPackets = ResolveStamp(9302, 1000, std::string("2020-01-01"));
    EXPECT_EQ(fromPackets.Source, TDateSource::PacketDayCount);
    EXPECT_EQ(FormatIsoUtc(fromPackets.Time), "2026-06-20T00:00:01Z");

    const TStampTime fromUser = ResolveStamp(0, 49'020'500, std::string("2026-06-18"));
    EXPECT_EQ(fromUser.Source, TDateSource::UserDate);
    EXPECT_EQ(FormatIsoUtc(fromUser.Time, 1), "2026-06-18T13:37:00.5Z");
    EXPECT_STREQ(DateSourceName(fromUser.Source), "--date");

    EXPECT_THROW(ResolveStamp(0, 1000, std::nullopt), EPassTimeError);
    EXPECT_THROW(ResolveStamp(0, 1000, std::string("2026-02-30")), EPassTimeError);
    EXPECT_THROW(ResolveStamp(0, 1000, std::string("20.6.2026")), EPassTimeError);
}

TEST(UtcTime, IsoTextRoundTripsAndRefusesImpossibleTimes) {
    const TUtcTime t = ParseIsoUtc("2026-06-20T13:37:59.9996Z");
    EXPECT_EQ(FormatIsoUtc(t, 3), "2026-06-20T13:38:00.000Z");
    EXPECT_EQ(FormatIsoUtc(t), "2026-06-20T13:38:00Z");
    EXPECT_EQ(FormatIsoUtc(ParseIsoUtc("1999-12-31T23:59:59Z")), "1999-12-31T23:59:59Z");
    EXPECT_NEAR(JulianDateUtc(ParseIsoUtc("2000-01-01T12:00:00Z")), 2451545.0, 1e-9);
    for (const char* bad :
         {"2026-06-20T13:37:00", "2026-06-20 13:37:00Z", "2026-13-01T00:00:00Z", "2026-06-20T24:00:00Z",
          "2026-06-20T12:60:00Z", "2025-02-29T00:00:00Z", "2026-06-20T13:37:00.Z", "2026-06-20T13:37:00.5xZ"})
        EXPECT_THROW(ParseIsoUtc(bad), ETimeFormatError) << bad;
    EXPECT_NO_THROW(ParseIsoUtc("2024-02-29T00:00:00Z"));
}
