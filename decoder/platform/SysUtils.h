// Clock, sleep, free memory and date-time arithmetic of the decoder.
//
// TDateTime counts days since 30 December 1899 as a double; the fraction is the time of day.
// The UTC clock and the free-memory query can be replaced (tests fix the time and simulate
// memory exhaustion); the replacements are process-wide.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

using TDateTime = double;

constexpr int64_t MSecsPerDay = 86400000;
// Days from 30 December 1899 to 1 January 1970.
constexpr int UnixDateDelta = 25569;

void SleepMs(int aMilliseconds);

// Bytes of physical memory available to new allocations (Linux: MemAvailable of /proc/meminfo).
// Returns 0 when it cannot be read.
int64_t FreePhysicalMemory();
// Replaces the query; an empty function restores the system's.
void SetFreePhysicalMemoryProvider(std::function<int64_t()> aProvider);

// Current UTC time.
TDateTime UtcNow();
// Replaces the clock; an empty function restores the system clock.
void SetUtcClock(std::function<TDateTime()> aClock);

TDateTime EncodeDateTime(int aYear, int aMonth, int aDay, int aHour = 0, int aMinute = 0, int aSecond = 0,
                         int aMillisecond = 0);

struct TDecodedDateTime {
    int Year, Month, Day, Hour, Minute, Second, Millisecond;
};
// Splits a value rounded to the nearest millisecond; a time that rounds up to 24:00 belongs to the
// next day.
TDecodedDateTime DecodeDateTime(TDateTime aValue);
