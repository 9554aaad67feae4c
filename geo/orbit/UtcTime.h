// UTC instants for the orbit code: one type (seconds since 1970-01-01 00:00 UTC as a double,
// leap seconds not counted, as std::chrono::system_clock counts) and the conversions to and from
// calendar dates, ISO-8601 text and Julian dates, each in one place.
#pragma once

#include <chrono>
#include <stdexcept>
#include <string>

namespace lrptgeo {

// A double of seconds keeps sub-microsecond resolution over this century, far below what a
// satellite moving 7.5 km/s needs for metre accuracy.
using TUtcSeconds = std::chrono::duration<double>;
using TUtcTime = std::chrono::time_point<std::chrono::system_clock, TUtcSeconds>;

// A text that is not a valid date or date-time.
class ETimeFormatError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Days since 1970-01-01 of a proleptic Gregorian date (month 1-12, day 1-31; not range-checked).
long long DaysFromCivil(int aYear, int aMonth, int aDay);

// The instant of a calendar date and time of day (UTC). aSecond may carry a fraction.
TUtcTime UtcFromCalendar(int aYear, int aMonth, int aDay, int aHour = 0, int aMinute = 0, double aSecond = 0);

// Seconds between two instants (aLater - aEarlier).
inline double SecondsBetween(TUtcTime aEarlier, TUtcTime aLater) {
    return (aLater - aEarlier).count();
}
inline TUtcTime AddSeconds(TUtcTime aTime, double aSeconds) {
    return aTime + TUtcSeconds(aSeconds);
}

// Julian date (days) of an instant, UTC taken for UT1 (they differ by less than 0.9 s).
double JulianDateUtc(TUtcTime aTime);

// "YYYY-MM-DDTHH:MM:SSZ", rounded to the whole second; with aDecimals > 0 that many decimals of
// the second ("...SS.sssZ").
std::string FormatIsoUtc(TUtcTime aTime, int aDecimals = 0);

// "YYYY-MM-DD" -> midnight UTC of that day. Throws ETimeFormatError naming the text otherwise
// (including impossible dates such as 2026-02-30).
TUtcTime ParseIsoDate(const std::string& aText);
// "YYYY-MM-DDTHH:MM:SSZ" (seconds may carry a fraction; the Z is required, times are UTC).
// Throws ETimeFormatError naming the text otherwise.
TUtcTime ParseIsoUtc(const std::string& aText);

} // namespace lrptgeo
