#include "session/RGBComposite.h"

#include "platform/Streams.h"
#include "stages/StageLog.h"

#include <algorithm>
#include <cmath>
#include <mutex>

TRGBStatistics RGBStatistics(int32_t aFirstScanTime, int32_t aLineCount) {
    return {FormatTimeOfDay(aFirstScanTime / static_cast<double>(MSecsPerDay)),
            FormatTimeOfDay(aLineCount * 1.23114 / 691200), "0.1538925"};
}

int32_t LatestFirstScanTime(int32_t a, int32_t b, int32_t c) {
    // The times are of one pass, hours apart at most, so the latest is taken on the clock face:
    // 00:00:01 is later than 23:59:59.
    int32_t latest = -1;
    for (const int32_t t : {a, b, c}) {
        if (t < 0) continue;
        if (latest < 0) {
            latest = t;
            continue;
        }
        int64_t ahead = (static_cast<int64_t>(t) - latest) % MSecsPerDay;
        if (ahead < 0) ahead += MSecsPerDay;
        if (ahead > 0 && ahead < MSecsPerDay / 2) latest = t;
    }
    return latest;
}

TRGBStatistics ComposeRGB(const TRGBSource& a, const TRGBSource& b, const TRGBSource& c,
                          TBitmap24& aComposite) {
    const TRGBSource* sources[3] = {&a, &b, &c};
    const int32_t t0 = LatestFirstScanTime(a.FirstScanTime, b.FirstScanTime, c.FirstScanTime);
    int64_t offset[3];
    for (int i = 0; i < 3; ++i) {
        // On the clock face too: t0 is never earlier than any channel's time.
        int64_t difference = (static_cast<int64_t>(t0) - sources[i]->FirstScanTime) % MSecsPerDay;
        if (difference < 0) difference += MSecsPerDay;
        offset[i] = 8 * static_cast<int64_t>(std::nearbyint(difference / ScanPeriodMs));
    }
    // Rows from the longest channel's count on would be cut off again: they are not made.
    const int32_t l = std::max({a.LineCount, b.LineCount, c.LineCount});
    const int rows = std::clamp(l, 0, CompositeHeight);
    aComposite.SetSize(CompositeWidth, rows);
    for (int64_t s = 0; s < rows; ++s) {
        bool beyond = false;
        for (int i = 0; i < 3 && !beyond; ++i)
            beyond = !sources[i]->Picture || s + offset[i] >= sources[i]->Picture->Height();
        if (beyond) break;
        uint8_t* row = aComposite.ScanLine(static_cast<int>(s));
        const uint8_t* source[3];
        for (int i = 0; i < 3; ++i)
            source[i] = sources[i]->Picture->ScanLine(static_cast<int>(s + offset[i]));
        for (int x = 0; x < CompositeWidth; ++x)
            for (int i = 0; i < 3; ++i)
                row[3 * x + i] = source[i][3 * x];
    }
    // No strip in any channel (-1 everywhere): the statistics show midnight, as they always have.
    return RGBStatistics(std::max(t0, 0), l);
}

TRGBStatistics GenerateRGB(TCanalDrawThread& a, TCanalDrawThread& b, TCanalDrawThread& c,
                           TBitmap24& aComposite) {
    // Each picture is read under its stage's lock. The three locks are taken in the fixed order of
    // the arguments and held together; they are re-entrant, so a stage chosen twice is no problem,
    // and a drawing stage never holds another stage's lock, so this cannot deadlock.
    std::unique_lock<TCriticalSection> la(a.CS()), lb(b.CS()), lc(c.CS());
    return ComposeRGB({a.Picture(), a.FirstScanTime(), a.LineCount()},
                      {b.Picture(), b.FirstScanTime(), b.LineCount()},
                      {c.Picture(), c.FirstScanTime(), c.LineCount()}, aComposite);
}

void SaveComposite(const TBitmap24& aComposite, const TRGBStatistics& aStatistics, const std::string& aStem) {
    aComposite.SaveToFile(aStem + ".bmp");
    TFileStream stat(aStem + ".bmp.stat", TFileMode::fmCreate);
    for (const auto& line : aStatistics) {
        const std::string text = line + "\r\n";
        stat.WriteBuffer(text.data(), static_cast<int64_t>(text.size()));
    }
    stat.Flush();
}
