#include "platform/SysUtils.h"

#include <chrono>
#include <cmath>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

namespace {

std::mutex gHooksLock;
std::function<int64_t()> gFreeMemoryProvider;
std::function<TDateTime()> gUtcClock;

int64_t SystemFreePhysicalMemory() {
    std::ifstream meminfo("/proc/meminfo");
    std::string line;
    while (std::getline(meminfo, line)) {
        if (line.rfind("MemAvailable:", 0) == 0) {
            std::istringstream fields(line.substr(13));
            int64_t kib = 0;
            fields >> kib;
            return kib * 1024;
        }
    }
    return 0;
}

TDateTime SystemUtcNow() {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    return UnixDateDelta + static_cast<double>(ms) / MSecsPerDay;
}

} // namespace

void SleepMs(int aMilliseconds) {
    if (aMilliseconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(aMilliseconds));
}

int64_t FreePhysicalMemory() {
    std::function<int64_t()> provider;
    {
        std::lock_guard<std::mutex> guard(gHooksLock);
        provider = gFreeMemoryProvider;
    }
    return provider ? provider() : SystemFreePhysicalMemory();
}

void SetFreePhysicalMemoryProvider(std::function<int64_t()> aProvider) {
    std::lock_guard<std::mutex> guard(gHooksLock);
    gFreeMemoryProvider = std::move(aProvider);
}

TDateTime UtcNow() {
    std::function<TDateTime()> clock;
    {
        std::lock_guard<std::mutex> guard(gHooksLock);
        clock = gUtcClock;
    }
    return clock ? clock() : SystemUtcNow();
}

void SetUtcClock(std::function<TDateTime()> aClock) {
    std::lock_guard<std::mutex> guard(gHooksLock);
    gUtcClock = std::move(aClock);
}

TDateTime EncodeDateTime(int aYear, int aMonth, int aDay, int aHour, int aMinute, int aSecond,
                         int aMillisecond) {
    using namespace std::chrono;
    const sys_days day{year{aYear} / month{static_cast<unsigned>(aMonth)} /
                       std::chrono::day{static_cast<unsigned>(aDay)}};
    const int64_t days = day.time_since_epoch().count() + UnixDateDelta;
    const int64_t ms = ((static_cast<int64_t>(aHour) * 60 + aMinute) * 60 + aSecond) * 1000 + aMillisecond;
    return static_cast<double>(days) + static_cast<double>(ms) / MSecsPerDay;
}

TDecodedDateTime DecodeDateTime(TDateTime aValue) {
    using namespace std::chrono;
    const int64_t total = std::llround(aValue * MSecsPerDay);
    int64_t days = total / MSecsPerDay;
    int64_t ms = total % MSecsPerDay;
    if (ms < 0) {
        ms += MSecsPerDay;
        --days;
    }
    const year_month_day ymd{sys_days{std::chrono::days{days - UnixDateDelta}}};
    TDecodedDateTime r{};
    r.Year = static_cast<int>(ymd.year());
    r.Month = static_cast<int>(static_cast<unsigned>(ymd.month()));
    r.Day = static_cast<int>(static_cast<unsigned>(ymd.day()));
    r.Hour = static_cast<int>(ms / 3600000);
    r.Minute = static_cast<int>(ms / 60000 % 60);
    r.Second = static_cast<int>(ms / 1000 % 60);
    r.Millisecond = static_cast<int>(ms % 1000);
    return r;
}
