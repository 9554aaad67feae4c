#include "app/PreciseRun.h"

#include <algorithm>
#include <cmath>

const std::vector<TPreciseControl>& PreciseControls() {
    static const std::vector<TPreciseControl> table = {
        {"ReceiverBox", [](TPreciseSetup& s, int v) { s.Precise = v == 1; }},
        {"OqpskBox", [](TPreciseSetup& s, int v) { s.Oqpsk = v != 0; }},
        {"IQCheckBox", [](TPreciseSetup& s, int v) { s.SwapIq = v != 0; }},
    };
    return table;
}

TPreciseRun::TPreciseRun(const TSourceOptions& aInput, const TPreciseSetup& aSetup,
                         const std::string& aOutput, ProbeBuffer* aProbe)
    : fProbe(aProbe), fSamples(BlockFrames) {
    TSourceOptions in = aInput;
    in.SwapIq = aSetup.SwapIq;
    fSource = std::make_unique<TSampleSource>(in);
    precise::TPreciseParams p;
    p.SampleRate = double(fSource->SampleRate());
    p.Oqpsk = aSetup.Oqpsk;
    try {
        fRx = std::make_unique<precise::TPreciseReceiver>(p);
    } catch (const precise::TPreciseParamError& e) {
        throw TInputError(fSource->Name() + ": " + e.what());
    }
    fOutputOpen = !aOutput.empty() && fOut.Open(aOutput);
    fRecent.reserve(RecentSymbols);
}

bool TPreciseRun::SetOutput(const std::string& aPath) {
    fOut.Close();
    fOutputOpen = !aPath.empty() && fOut.Open(aPath);
    return fOutputOpen;
}

void TPreciseRun::SeekFrame(int64_t aFrame) {
    if (!fEnded) fSource->SeekFrame(aFrame);
}

TPreciseRun::TStep TPreciseRun::Step() {
    if (fEnded) return st_End;
    const int got = fSource->ReadComplex(fSamples.data(), BlockFrames);
    fSymbols.clear();
    if (got > 0)
        fRx->Process(fSamples.data(), size_t(got), fSymbols);
    else
        fRx->Flush(fSymbols);
    if (fOutputOpen) fOut.Write(fSymbols.data(), fSymbols.size(), fRx->NoiseRatio());
    if (fProbe)
        for (int n = 0; n < got && !fProbe->Full(); ++n)
            fProbe->Append(int32_t(std::lround(fSamples[size_t(n)].real() * 128)));
    // Keep the newest RecentSymbols, oldest first.
    const size_t keep = std::min<size_t>(RecentSymbols, fSymbols.size());
    const size_t old = std::min(fRecent.size(), RecentSymbols - keep);
    fRecent.erase(fRecent.begin(), fRecent.end() - ptrdiff_t(old));
    fRecent.insert(fRecent.end(), fSymbols.end() - ptrdiff_t(keep), fSymbols.end());
    if (got > 0) return st_Block;
    fOut.Close();
    fEnded = true;
    return st_End;
}

TPixelMap PreciseConstellation(const std::vector<precise::TSoftPair>& aSymbols) {
    TPixelMap map = PhaseBackground();
    auto at = [](float v) { return std::clamp(int(std::lround(63 + v * 40)), 0, 127); };
    for (const precise::TSoftPair& s : aSymbols)
        map.Set(at(s.I), at(s.Q), colours::Point);
    return map;
}
