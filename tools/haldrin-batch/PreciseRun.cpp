#include "PreciseRun.h"

#include "precise/PreciseReceiver.h"
#include "precise/SoftSymbolWriter.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <vector>

namespace {

void Progress(std::ostream& aOut, const TSampleSource& aIn, const precise::TPreciseReadouts& r) {
    const std::string where = ProgressPosition(aIn);
    char text[200];
    std::snprintf(text, sizeof text, "\r%s  %s  carrier %+7.0f Hz  drift %+6.1f Hz/s  Es/N0 %5.1f dB ",
                  where.c_str(), r.Locked ? "LOCKED  " : "unlocked", r.CarrierOffsetHz, r.DriftHzPerS,
                  r.SnrDb);
    aOut << text << std::flush;
}

} // namespace

THaldrinBatchResult RunPreciseBatch(TSampleSource& in, const THaldrinBatchOptions& o,
                                    std::ostream* aProgress) {
    const auto start = std::chrono::steady_clock::now();
    precise::TPreciseParams params;
    params.SampleRate = double(in.SampleRate());
    params.SymbolRate = o.SymbolRate;
    params.Oqpsk = o.Oqpsk;
    std::unique_ptr<precise::TPreciseReceiver> rx;
    try {
        rx = std::make_unique<precise::TPreciseReceiver>(params);
    } catch (const precise::TPreciseParamError& e) {
        throw std::runtime_error(in.Name() + ": " + e.what());
    }
    // An empty pipe is refused like an empty file: before the output exists.
    if (!in.WaitForData()) {
        if (!in.StopRequested()) throw std::runtime_error(in.Name() + " holds no samples");
        THaldrinBatchResult nothing;
        nothing.NothingCame = "interrupted before anything came on " + in.Name() + "; nothing written";
        return nothing;
    }
    precise::TSoftSymbolWriter out;
    if (!out.Open(o.Output)) throw std::runtime_error("cannot create output file " + o.Output);

    constexpr int kFrames = 16384;
    std::vector<std::complex<float>> samples(kFrames);
    std::vector<precise::TSoftPair> symbols;
    int64_t frames = 0;
    auto shown = start;
    for (bool more = true; more;) {
        // An interrupt ends a file as it ends standard input: at the next block.
        const int got = in.StopRequested() ? 0 : in.ReadComplex(samples.data(), kFrames);
        more = got > 0;
        symbols.clear();
        if (more)
            rx->Process(samples.data(), size_t(got), symbols);
        else
            rx->Flush(symbols);
        out.Write(symbols.data(), symbols.size(), rx->NoiseRatio());
        if (in.IsStream()) out.Flush();
        frames += got;
        if (aProgress) {
            const auto now = std::chrono::steady_clock::now();
            if (now - shown >= std::chrono::milliseconds(100) || !more) {
                Progress(*aProgress, in, rx->Readouts());
                shown = now;
            }
        }
    }
    if (aProgress) *aProgress << "\n";
    out.Close();
    if (out.Failed()) throw std::runtime_error("cannot write output file " + o.Output);

    const precise::TPreciseReadouts r = rx->Readouts();
    THaldrinBatchResult res;
    res.Receiver = "precise";
    res.Symbols = out.Symbols();
    res.Frames = frames;
    res.SampleRate = in.SampleRate();
    res.SignalSeconds = double(frames) / double(in.SampleRate());
    res.LockedShare = r.Symbols ? double(r.LockedSymbols) / double(r.Symbols) : 0;
    res.LockTimeS = r.LockTimeS;
    res.MeanOffsetHz = r.MeanOffsetHz;
    res.MaxDriftHzPerS = r.MaxDriftHzPerS;
    res.SnrDb = r.SnrDb;
    res.HasPreciseReadouts = true;
    res.Warning = in.Warning();
    res.Input = in.Name() + ": " + in.Description();
    res.ElapsedSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return res;
}
