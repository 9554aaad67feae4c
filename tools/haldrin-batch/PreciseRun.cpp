#include "PreciseRun.h"

#include "app/WavInput.h"
#include "precise/PreciseReceiver.h"
#include "precise/SoftSymbolWriter.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace {

// Frames of the WAV as complex float, full scale 1. The channel order is the model's: 8-bit
// frames (I, Q) with signed bytes, wider frames (Q, I); 32-bit frames of a float WAV are floats.
void ToComplex(const uint8_t* aRaw, size_t aFrames, const TWavFormat& aFormat, std::complex<float>* aOut) {
    const int align = aFormat.BlockAlign;
    for (size_t k = 0; k < aFrames; ++k) {
        const uint8_t* f = aRaw + k * size_t(align);
        float i = 0, q = 0;
        switch (align) {
        case 2:
            i = float(int8_t(f[0])) / 128;
            q = float(int8_t(f[1])) / 128;
            break;
        case 4:
            q = float(int16_t(uint16_t(f[0] | f[1] << 8))) / 32768;
            i = float(int16_t(uint16_t(f[2] | f[3] << 8))) / 32768;
            break;
        case 6:
            q = float(int32_t(uint32_t(f[0] << 8 | f[1] << 16 | f[2] << 24)) >> 8) / 8388608;
            i = float(int32_t(uint32_t(f[3] << 8 | f[4] << 16 | f[5] << 24)) >> 8) / 8388608;
            break;
        case 8:
            if (aFormat.AudioFormat == 3) {
                std::memcpy(&q, f, 4);
                std::memcpy(&i, f + 4, 4);
            } else {
                q = float(int32_t(uint32_t(f[0] | f[1] << 8 | f[2] << 16 | uint32_t(f[3]) << 24))) /
                    2147483648.0f;
                i = float(int32_t(uint32_t(f[4] | f[5] << 8 | f[6] << 16 | uint32_t(f[7]) << 24))) /
                    2147483648.0f;
            }
            break;
        }
        aOut[k] = {i, q};
    }
}

void Progress(std::ostream& aOut, double aFraction, const precise::TPreciseReadouts& r) {
    const int filled = int(aFraction * 30 + 0.5);
    char text[200];
    std::snprintf(
        text, sizeof text, "\r[%s%s] %3d%%  %s  carrier %+7.0f Hz  drift %+6.1f Hz/s  Es/N0 %5.1f dB ",
        std::string(size_t(filled), '#').c_str(), std::string(size_t(30 - filled), '.').c_str(),
        int(aFraction * 100), r.Locked ? "LOCKED  " : "unlocked", r.CarrierOffsetHz, r.DriftHzPerS, r.SnrDb);
    aOut << text << std::flush;
}

} // namespace

THaldrinBatchResult RunPreciseBatch(const THaldrinBatchOptions& o, TWavInput& in,
                                    std::chrono::steady_clock::time_point aStart, std::ostream* aProgress) {
    const TWavFormat& format = in.Format();
    precise::TPreciseParams params;
    params.SampleRate = format.SampleRate;
    params.SymbolRate = o.SymbolRate;
    params.Oqpsk = o.Oqpsk;
    std::unique_ptr<precise::TPreciseReceiver> rx;
    try {
        rx = std::make_unique<precise::TPreciseReceiver>(params);
    } catch (const precise::TPreciseParamError& e) {
        throw std::runtime_error(o.Input + ": " + e.what());
    }
    precise::TSoftSymbolWriter out;
    if (!out.Open(o.Output)) throw std::runtime_error("cannot create output file " + o.Output);

    const size_t align = size_t(format.BlockAlign);
    constexpr size_t kFrames = 16384;
    std::vector<uint8_t> raw(kFrames * align);
    std::vector<std::complex<float>> samples(kFrames);
    std::vector<precise::TSoftPair> symbols;
    int64_t frames = 0;
    const int64_t dataBytes = std::max<int64_t>(1, in.FileSize() - in.DataOffset());
    auto shown = aStart;
    for (bool more = true; more;) {
        const size_t got = std::fread(raw.data(), align, kFrames, in.Handle());
        more = got == kFrames;
        ToComplex(raw.data(), got, format, samples.data());
        symbols.clear();
        rx->Process(samples.data(), got, symbols);
        if (!more) rx->Flush(symbols);
        out.Write(symbols.data(), symbols.size(), rx->NoiseRatio());
        frames += int64_t(got);
        if (aProgress) {
            const auto now = std::chrono::steady_clock::now();
            if (now - shown >= std::chrono::milliseconds(100) || !more) {
                Progress(*aProgress, std::min(1.0, double(frames) * double(align) / double(dataBytes)),
                         rx->Readouts());
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
    res.SampleRate = format.SampleRate;
    res.SignalSeconds = double(frames) / double(format.SampleRate);
    res.LockedShare = r.Symbols ? double(r.LockedSymbols) / double(r.Symbols) : 0;
    res.LockTimeS = r.LockTimeS;
    res.MeanOffsetHz = r.MeanOffsetHz;
    res.MaxDriftHzPerS = r.MaxDriftHzPerS;
    res.SnrDb = r.SnrDb;
    res.HasPreciseReadouts = true;
    res.ElapsedSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - aStart).count();
    return res;
}
