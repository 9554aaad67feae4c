// Timestamped log lines of the stages, on-board time, and time-of-day text.
#pragma once

#include "platform/SysUtils.h"
#include "platform/Threads.h"

#include <string>

// On-board time zone bias in minutes: on-board time is UTC + 3 h all year.
constexpr int OnBoardTimeBias = -180;

// Serialises AppendLogLineLocked across threads.
TCriticalSection& LogCS();

// Appends "<dd.mm.yyyy hh:nn:ss> - <aMess>" and CR LF to the file (created when missing) and
// returns true; at exactly midnight the time is left out. The text is written as given (UTF-8).
// The file is opened and closed for each line, so the line is on disk on return.
// Throws EInOutError, naming the file, when it cannot be opened or written; the line is lost.
bool AppendLogLine(const std::string& aLogFileName, const std::string& aMess);
// The same while holding LogCS.
bool AppendLogLineLocked(const std::string& aLogFileName, const std::string& aMess);

// The date-time text of a log line for a given moment.
std::string FormatLogDateTime(TDateTime aValue);

// Current on-board time: UTC minus OnBoardTimeBias minutes.
TDateTime OnBoardNow();

// "hh:nn:ss.zzz" of the time of day, rounded to the millisecond (0.5 gives "12:00:00.000").
std::string FormatTimeOfDay(TDateTime aValue);
