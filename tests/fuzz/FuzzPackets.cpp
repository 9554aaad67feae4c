// The packet stage on arbitrary transfer frames, then the drawing stages on what it passes on.
#include "FuzzImages.h"
#include "image/CanalDrawThreadUnit.h"
#include "packets/LRPT_MPDUThreadUnit.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
    TSHORTstream frames("rs", true, true, nullptr);
    TSHORTStreams outs;
    TMPDUThread mpdu(&frames, &outs, "");
    // Split into steps as the frame stage would feed them, in pieces of any size.
    size_t at = 0;
    while (at < aSize) {
        const size_t n = std::min<size_t>(aSize - at, 300 + aData[at] * 4);
        frames.Write(aData + at, static_cast<int32_t>(n));
        at += n;
        while (mpdu.DoStepMultiOut(&frames, &outs))
            frames.ClearNotActualMemory();
    }
    for (int channel = 1; channel <= 6; ++channel) {
        TSHORTstream* apid = outs[63 + channel];
        TCanalDrawThread draw(apid, nullptr, channel, "", nullptr,
                              &ReusedImages()[static_cast<size_t>(channel - 1)]);
        for (int steps = 0; steps < 100000; ++steps) {
            bool consumed = false;
            try {
                consumed = draw.DoStep(apid, nullptr);
            } catch (...) {
                continue;
            }
            if (!consumed) break;
            apid->ClearNotActualMemory();
        }
    }
    return 0;
}
