#include "orbit/PassTime.h"

#include <cmath>

namespace lrptgeo {

namespace {
const TUtcTime kDayZero = UtcFromCalendar(2000, 12, 31); // day 1 is 2001-01-01
constexpr int64_t kMsPerDay = 86'400'000;

void CheckMs(int64_t aMsOfDay) {
    // Up to one leap second past midnight is a real stamp, more is corruption.
    if (aMsOfDay < 0 || aMsOfDay >= kMsPerDay + 1000)
        throw EPassTimeError("time of day out of range: " + std::to_string(aMsOfDay) + " ms");
}
} // namespace

TUtcTime UtcFromPacketStamp(int aDayCount, int64_t aMsOfDay) {
    if (aDayCount < 1)
        throw EPassTimeError("no day count in the packet stamp (" + std::to_string(aDayCount) + ")");
    CheckMs(aMsOfDay);
    return AddSeconds(kDayZero, aDayCount * 86400.0 + static_cast<double>(aMsOfDay) / 1000.0);
}

int PacketDayCount(TUtcTime aTime) {
    return static_cast<int>(std::floor(SecondsBetween(kDayZero, aTime) / 86400.0));
}

TUtcTime RowTime(TUtcTime aStripStamp, int aRowInStrip) {
    if (aRowInStrip < 0 || aRowInStrip >= kRowsPerStrip)
        throw EPassTimeError("row " + std::to_string(aRowInStrip) + " is not a row of an 8-row strip");
    return AddSeconds(aStripStamp, aRowInStrip * kStripDurationS / kRowsPerStrip);
}

const char* DateSourceName(TDateSource aSource) {
    return aSource == TDateSource::PacketDayCount ? "packets" : "--date";
}

TStampTime ResolveStamp(int aDayCount, int64_t aMsOfDay, const std::optional<std::string>& aUserDate) {
    if (aDayCount > 0) return {UtcFromPacketStamp(aDayCount, aMsOfDay), TDateSource::PacketDayCount};
    if (aDayCount < 0) throw EPassTimeError("negative day count in the packet stamp");
    if (!aUserDate)
        throw EPassTimeError(
            "the packets carry no date (day count 0); give the pass date with --date YYYY-MM-DD");
    CheckMs(aMsOfDay);
    TUtcTime midnight;
    try {
        midnight = ParseIsoDate(*aUserDate);
    } catch (const ETimeFormatError& e) {
        throw EPassTimeError(std::string("--date: ") + e.what());
    }
    return {AddSeconds(midnight, static_cast<double>(aMsOfDay) / 1000.0), TDateSource::UserDate};
}

} // namespace lrptgeo
