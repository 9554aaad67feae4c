// Calendar arithmetic after the well-known days-from-civil algorithm (era of 400 years), so
// no time-zone database or C library time function is involved.
#include "orbit/UtcTime.h"

#include <cmath>
#include <cstdio>

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

namespace {

// Reads aCount digits at aText[aPos] into aValue; false when any is not a digit.
bool Digits(const std::string& aText, size_t aPos, size_t aCount, int& aValue) {
    if (aPos + aCount > aText.size()) return false;
    aValue = 0;
    for (size_t i = aPos; i < aPos + aCount; ++i) {
        if (aText[i] < '0' || aText[i] > '9') return false;
        aValue = aValue * 10 + (aText[i] - '0');
    }
    return true;
}

// "YYYY-MM-DD" at the start of aText.
bool DatePart(const std::string& aText, int& aYear, int& aMonth, int& aDay) {
    return aText.size() >= 10 && Digits(aText, 0, 4, aYear) && aText[4] == '-' &&
           Digits(aText, 5, 2, aMonth) && aText[7] == '-' && Digits(aText, 8, 2, aDay);
}

} // namespace

TUtcTime ParseIsoDate(const std::string& aText) {
    int y = 0, mo = 0, d = 0;
    if (aText.size() != 10 || !DatePart(aText, y, mo, d))
        throw ETimeFormatError("not a date of the form YYYY-MM-DD: \"" + aText + "\"");
    if (!IsValidDate(y, mo, d)) throw ETimeFormatError("no such date: \"" + aText + "\"");
    return UtcFromCalendar(y, mo, d);
}

TUtcTime ParseIsoUtc(const std::string& aText) {
    // YYYY-MM-DDTHH:MM:SS[.fraction]Z
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, whole = 0;
    bool ok = aText.size() >= 20 && DatePart(aText, y, mo, d) && aText[10] == 'T' &&
              Digits(aText, 11, 2, h) && aText[13] == ':' && Digits(aText, 14, 2, mi) && aText[16] == ':' &&
              Digits(aText, 17, 2, whole) && aText.back() == 'Z';
    double fraction = 0;
    if (ok && aText.size() > 20) {
        // A fraction: '.' and at least one digit before the Z.
        ok = aText[19] == '.' && aText.size() > 21;
        double scale = 0.1;
        for (size_t i = 20; ok && i + 1 < aText.size(); ++i, scale /= 10) {
            ok = aText[i] >= '0' && aText[i] <= '9';
            fraction += (aText[i] - '0') * scale;
        }
    }
    if (!ok) throw ETimeFormatError("not a UTC time of the form YYYY-MM-DDTHH:MM:SSZ: \"" + aText + "\"");
    if (!IsValidDate(y, mo, d) || h > 23 || mi > 59 || whole > 59)
        throw ETimeFormatError("no such time: \"" + aText + "\"");
    return UtcFromCalendar(y, mo, d, h, mi, whole + fraction);
}

} // namespace lrptgeo
