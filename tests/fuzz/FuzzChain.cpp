// The decoder chain stepped without threads, from soft values to channel pictures: whatever the
// bytes, nothing may crash, hang or leak. The first byte picks the mode and the symbol form.
#include "FuzzImages.h"
#include "fec/InterlivingThreadUnit.h"
#include "fec/LRPT_ReedSolomonThreadUnit.h"
#include "fec/LRPT_SyncBeforIntThreadUnit.h"
#include "fec/LRPT_SyncBeforeViterbiUnit.h"
#include "fec/LRPT_ViterbiThreadUnit.h"
#include "image/CanalDrawThreadUnit.h"
#include "packets/LRPT_MPDUThreadUnit.h"
#include "session/SymbolFileForms.h"

#include <memory>
#include <vector>

namespace {

// Runs a stage's steps until it finds too little input, dropping errors as the stage loop does.
template <class Step> void Drain(TSHORTstream& aIn, Step aStep) {
    for (int guard = 0; guard < 1000000; ++guard) {
        bool consumed = false;
        try {
            consumed = aStep();
        } catch (...) {
            continue;
        }
        if (!consumed) return;
        aIn.ClearNotActualMemory();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
    if (aSize < 1) return 0;
    const bool interleaved = aData[0] & 1;
    const auto form = static_cast<TDemodulatorModes>((aData[0] >> 1) % 3);
    static const TExpansionTables tables;
    std::vector<int8_t> values((aSize - 1) * static_cast<size_t>(SoftValuesPerByte(form)));
    const int count = ExpandBlock(tables, form, aData + 1, static_cast<int>(aSize - 1), values.data());
    if (!interleaved) ExchangePairs(values.data(), count);

    TSHORTstream in("in", true, true, nullptr), intStream("int", true, true, nullptr),
        noSync("nosync", true, true, nullptr), synced("sync", true, true, nullptr),
        decoded("vit", true, true, nullptr), frames("rs", true, true, nullptr);
    TSHORTStreams outs;
    in.Write(values.data(), count);

    TSHORTstream* syncInput = &in;
    if (interleaved) {
        TSyncBeforIntThread uw(&in, &intStream, "");
        Drain(in, [&] { return uw.DoStep(&in, &intStream); });
        // The deinterleaver wants whole stores' blocks; pad so the fuzzed values reach the sync.
        const std::vector<int8_t> pad(73728 - intStream.AwaitingReadSize() % 73728, 0);
        intStream.Write(pad.data(), static_cast<int32_t>(pad.size()));
        auto deinterleaver = std::make_unique<TInterlivingThread>(&intStream, &noSync, "");
        Drain(intStream, [&] { return deinterleaver->DoStep(&intStream, &noSync); });
        syncInput = &noSync;
    }
    TSyncBeforeViterbi sync(syncInput, &synced, "");
    Drain(*syncInput, [&] { return sync.DoStep(syncInput, &synced); });
    TViterbiThread viterbi(&synced, &decoded, "");
    Drain(synced, [&] { return viterbi.DoStep(&synced, &decoded); });
    TReedSolomonThread rs(&decoded, &frames, "", nullptr, true);
    Drain(decoded, [&] { return rs.DoStep(&decoded, &frames); });
    TMPDUThread mpdu(&frames, &outs, "");
    Drain(frames, [&] { return mpdu.DoStepMultiOut(&frames, &outs); });
    for (int channel = 1; channel <= 6; ++channel) {
        TSHORTstream* apid = outs[63 + channel];
        if (apid->AwaitingReadSize() == 0) continue;
        TCanalDrawThread draw(apid, nullptr, channel, "", nullptr,
                              &ReusedImages()[static_cast<size_t>(channel - 1)]);
        Drain(*apid, [&] { return draw.DoStep(apid, nullptr); });
        draw.WriteOutCurrentStrip();
    }
    return 0;
}
