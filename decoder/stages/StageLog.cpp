#include "stages/StageLog.h"

#include "platform/Exceptions.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

TCriticalSection& LogCS() {
    static TCriticalSection cs;
    return cs;
}

std::string FormatLogDateTime(TDateTime aValue) {
    const TDecodedDateTime t = DecodeDateTime(aValue);
    char text[64];
    if (t.Hour == 0 && t.Minute == 0 && t.Second == 0 && t.Millisecond == 0)
        std::snprintf(text, sizeof text, "%02d.%02d.%04d", t.Day, t.Month, t.Year);
    else
        std::snprintf(text, sizeof text, "%02d.%02d.%04d %02d:%02d:%02d", t.Day, t.Month, t.Year, t.Hour,
                      t.Minute, t.Second);
    return text;
}

bool AppendLogLine(const std::string& aLogFileName, const std::string& aMess) {
    std::FILE* file = std::fopen(aLogFileName.c_str(), "ab");
    if (!file) throw EInOutError("Cannot open log file \"" + aLogFileName + "\": " + std::strerror(errno));
    const std::string line = FormatLogDateTime(OnBoardNow()) + " - " + aMess + "\r\n";
    const bool written = std::fwrite(line.data(), 1, line.size(), file) == line.size();
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed) throw EInOutError("Cannot write log file \"" + aLogFileName + "\"");
    return true;
}

bool AppendLogLineLocked(const std::string& aLogFileName, const std::string& aMess) {
    std::lock_guard<TCriticalSection> guard(LogCS());
    return AppendLogLine(aLogFileName, aMess);
}

TDateTime OnBoardNow() {
    return UtcNow() - OnBoardTimeBias / 1440.0;
}

std::string FormatTimeOfDay(TDateTime aValue) {
    const TDecodedDateTime t = DecodeDateTime(aValue);
    char text[32];
    std::snprintf(text, sizeof text, "%2.2d:%2.2d:%2.2d.%3.3d", t.Hour, t.Minute, t.Second, t.Millisecond);
    return text;
}
