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

TRGBStatistics GenerateRGB(TCanalDrawThread& a, TCanalDrawThread& b, TCanalDrawThread& c, TBitmap24& aComposite) {
    TCanalDrawThread* stages[3] = {&a, &b, &c};
    int32_t first[3], lines[3];
    for (int i = 0; i < 3; ++i) {
        first[i] = stages[i]->FirstScanTime();
        lines[i] = stages[i]->LineCount();
    }
    const int32_t t0 = std::max({first[0], first[1], first[2]});
    int64_t offset[3];
    for (int i = 0; i < 3; ++i) {
        const int32_t difference = static_cast<int32_t>(static_cast<uint32_t>(t0) - static_cast<uint32_t>(first[i]));
        offset[i] = 8 * static_cast<int64_t>(std::nearbyint(difference / ScanPeriodMs));
    }

    aComposite.SetSize(CompositeWidth, CompositeHeight);
    // The three locks are taken one after another and held together; each is re-entrant, so the
    // same stage chosen twice is no problem. The order is the fixed order of the arguments.
    std::unique_lock<TCriticalSection> la(a.CS()), lb(b.CS()), lc(c.CS());
    const TBitmap24* pictures[3] = {a.Picture(), b.Picture(), c.Picture()};
    for (int64_t s = 0; s < 5920; ++s) {
        bool beyond = false;
        for (int i = 0; i < 3 && !beyond; ++i) beyond = !pictures[i] || s + offset[i] >= pictures[i]->Height();
        if (beyond) break;
        uint8_t* row = aComposite.ScanLine(static_cast<int>(s));
        const uint8_t* source[3];
        for (int i = 0; i < 3; ++i) source[i] = pictures[i]->ScanLine(static_cast<int>(s + offset[i]));
        for (int x = 0; x < CompositeWidth; ++x)
            for (int i = 0; i < 3; ++i) row[3 * x + i] = source[i][3 * x];
    }
    const int32_t l = std::max({lines[0], lines[1], lines[2]});
    if (l < CompositeHeight) aComposite.SetHeight(std::max(l, 0));
    return RGBStatistics(t0, l);
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
