// The MCU decoder of one channel on arbitrary packet streams: the first byte picks the channel,
// the rest is taken as the APID stream's bytes, arriving in pieces.
#include "FuzzImages.h"
#include "image/CanalDrawThreadUnit.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
    if (aSize < 1) return 0;
    const int channel = aData[0] % 6 + 1;
    TSHORTstream apid("apid", true, true, nullptr);
    TCanalDrawThread draw(&apid, nullptr, channel, "", nullptr,
                          &ReusedImages()[static_cast<size_t>(channel - 1)]);
    size_t at = 1;
    while (at < aSize) {
        const size_t n = std::min<size_t>(aSize - at, 1 + aData[at] * 3);
        apid.Write(aData + at, static_cast<int32_t>(n));
        at += n;
        for (int steps = 0; steps < 100000; ++steps) {
            bool consumed = false;
            try {
                consumed = draw.DoStep(&apid, nullptr);
            } catch (...) {
                continue;
            }
            if (!consumed) break;
            apid.ClearNotActualMemory();
        }
    }
    draw.WriteOutCurrentStrip();
    draw.DoProgress();
    return 0;
}
