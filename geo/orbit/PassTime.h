// Time of every picture row. The imager's packets carry a day count (day 1 = 2001-01-01) and the
// milliseconds of that day; on the real passes both read as UTC (the orbit puts the satellite over
// the pictured coast at the stamped time). A strip of 8 rows is stamped once; the rows follow each
// other evenly over the strip's 1.23114 s.
#pragma once

#include "orbit/UtcTime.h"

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

namespace lrptgeo {

inline constexpr double kStripDurationS = 1.23114;
inline constexpr int kRowsPerStrip = 8;

// A stamp that cannot be turned into a time (no day count and no date given, bad values).
class EPassTimeError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The instant of a packet stamp. aDayCount >= 1, 0 <= aMsOfDay < 86 400 000 (a leap second's
// 86 400 xxx is accepted and runs into the next day); throws EPassTimeError otherwise.
TUtcTime UtcFromPacketStamp(int aDayCount, int64_t aMsOfDay);

// The day count of the UTC day that holds aTime (inverse of the above for whole days).
int PacketDayCount(TUtcTime aTime);

// When row aRowInStrip (0..7) of a strip stamped aStripStamp was scanned. Throws EPassTimeError for
// a row outside 0..7.
TUtcTime RowTime(TUtcTime aStripStamp, int aRowInStrip);

enum class TDateSource {
    PacketDayCount, // the packets' own day count
    UserDate,       // the --date a user gave, because the packets carry none
};
const char* DateSourceName(TDateSource aSource); // "packets" / "--date"

struct TStampTime {
    TUtcTime Time{};
    TDateSource Source = TDateSource::PacketDayCount;
};

// The time of a stamp whose day count may be missing (0): then the day comes from aUserDate
// ("YYYY-MM-DD"). A present day count wins over a user date. Throws EPassTimeError when the
// day count is missing and no date is given, or the date is malformed.
TStampTime ResolveStamp(int aDayCount, int64_t aMsOfDay, const std::optional<std::string>& aUserDate);

} // namespace lrptgeo
