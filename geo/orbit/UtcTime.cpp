// Calendar arithmetic after the well-known days-from-civil algorithm (era of 400 years), so
// no time-zone database or C library time function is involved.
#include "orbit/UtcTime.h"

#include <cmath>
#include <cstdio>
#include <regex>

namespace lrptgeo {

long long DaysFromCivil(int aYear, int aMonth, int aDay) {
    const long long y = static_cast<long long>(aYear) - (aMonth <= 2 ? 1 : 0);
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const long long yoe = y - era * 400;
    const long long mp = (aMonth + 9) % 12; // March = 0
    const long long doy = (153 * mp + 2) / 5 + aDay - 1;
    const long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

namespace {

void CivilFromDays(long long aDays, int& aYear, int& aMonth, int& aDay) {
    const long long z = aDays + 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const long long doe = z - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    aDay = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    aMonth = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    aYear = static_cast<int>(yoe + era * 400 + (aMonth <= 2 ? 1 : 0));
}

bool IsValidDate(int aYear, int aMonth, int aDay) {
    if (aMonth < 1 || aMonth > 12 || aDay < 1) return false;
    int y = 0, m = 0, d = 0;
    CivilFromDays(DaysFromCivil(aYear, aMonth, aDay), y, m, d);
    return y == aYear && m == aMonth && d == aDay;
}

} // namespace

TUtcTime UtcFromCalendar(int aYear, int aMonth, int aDay, int aHour, int aMinute, double aSecond) {
    const double seconds = static_cast<double>(DaysFromCivil(aYear, aMonth, aDay)) * 86400.0 +
                           aHour * 3600.0 + aMinute * 60.0 + aSecond;
    return TUtcTime(TUtcSeconds(seconds));
}

double JulianDateUtc(TUtcTime aTime) {
    return 2440587.5 + aTime.time_since_epoch().count() / 86400.0;
}

std::string FormatIsoUtc(TUtcTime aTime, int aDecimals) {
    const double scale = std::pow(10.0, aDecimals);
    // Round once, in units of the last printed digit, so 59.9996 s never prints as "60".
    const long long units = std::llround(aTime.time_since_epoch().count() * scale);
    const long long perDay = 86400LL * static_cast<long long>(scale);
    long long days = units / perDay;
    long long rest = units % perDay;
    if (rest < 0) {
        rest += perDay;
        --days;
    }
    int y = 0, mo = 0, d = 0;
    CivilFromDays(days, y, mo, d);
    const long long wholeSeconds = rest / static_cast<long long>(scale);
    const long long fraction = rest % static_cast<long long>(scale);
    char text[64];
    int n = std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02lld:%02lld:%02lld", y, mo, d,
                          wholeSeconds / 3600, wholeSeconds / 60 % 60, wholeSeconds % 60);
    if (aDecimals > 0) n += std::snprintf(text + n, sizeof text - n, ".%0*lld", aDecimals, fraction);
    std::snprintf(text + n, sizeof text - n, "Z");
    return text;
}

TUtcTime ParseIsoDate(const std::string& aText) {
    static const std::regex pattern(R"((\d{4})-(\d{2})-(\d{2}))");
    std::smatch m;
    if (!std::regex_match(aText, m, pattern))
        throw ETimeFormatError("not a date of the form YYYY-MM-DD: \"" + aText + "\"");
    const int y = std::stoi(m[1]), mo = std::stoi(m[2]), d = std::stoi(m[3]);
    if (!IsValidDate(y, mo, d)) throw ETimeFormatError("no such date: \"" + aText + "\"");
    return UtcFromCalendar(y, mo, d);
}

TUtcTime ParseIsoUtc(const std::string& aText) {
    static const std::regex pattern(R"((\d{4})-(\d{2})-(\d{2})T(\d{2}):(\d{2}):(\d{2}(\.\d+)?)Z)");
    std::smatch m;
    if (!std::regex_match(aText, m, pattern))
        throw ETimeFormatError("not a UTC time of the form YYYY-MM-DDTHH:MM:SSZ: \"" + aText + "\"");
    const int y = std::stoi(m[1]), mo = std::stoi(m[2]), d = std::stoi(m[3]);
    const int h = std::stoi(m[4]), mi = std::stoi(m[5]);
    const double s = std::stod(m[6]);
    if (!IsValidDate(y, mo, d) || h > 23 || mi > 59 || s >= 60.0)
        throw ETimeFormatError("no such time: \"" + aText + "\"");
    return UtcFromCalendar(y, mo, d, h, mi, s);
}

} // namespace lrptgeo
