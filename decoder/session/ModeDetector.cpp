#include "session/ModeDetector.h"

#include "fec/InterlivingThreadUnit.h"
#include "fec/LRPT_ReedSolomonThreadUnit.h"
#include "fec/LRPT_SyncBeforIntThreadUnit.h"
#include "fec/LRPT_SyncBeforeViterbiUnit.h"
#include "fec/LRPT_ViterbiThreadUnit.h"
#include "platform/Exceptions.h"
#include "platform/Streams.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <iomanip>
#include <memory>
#include <sstream>
#include <thread>

std::string HypothesisName(const TModeHypothesis& aHypothesis) {
    return std::string(aHypothesis.Mode == TLrptMode::lm72k ? "72k" : "80k") +
           (aHypothesis.Nrzm ? " NRZ-M" : "");
}

namespace {

// Steps a stage until it finds too little input, dropping errors as the stage loop does.
template <class Step> void Drain(TSHORTstream& aIn, Step aStep) {
    while (true) {
        bool consumed = false;
        try {
            consumed = aStep();
        } catch (...) {
            consumed = true;
        }
        if (!consumed) return;
        aIn.ClearNotActualMemory();
    }
}

constexpr int64_t FeedChunk = 65536; // values per feeding round: bounds memory and the overshoot

} // namespace

THypothesisEvidence TryHypothesis(const TModeHypothesis& aHypothesis, const int8_t* aValues, int64_t aCount,
                                  int64_t aMaxSymbols, uint32_t aEnough, bool aInputEnds) {
    const bool interleaved = aHypothesis.Mode == TLrptMode::lm80k;
    const int64_t count = std::min(aCount & ~int64_t{1}, 2 * std::max<int64_t>(aMaxSymbols, 0));
    // Only when the window takes in the input's end: a window cut short of it leaves the frames
    // held back to the values that follow.
    const bool flush = aInputEnds && count == (aCount & ~int64_t{1});
    TSHORTstream in("in", true, true, nullptr), intStream("int", true, true, nullptr),
        noSync("nosync", true, true, nullptr), synced("sync", true, true, nullptr),
        decoded("vit", true, true, nullptr), frames("rs", true, true, nullptr);
    std::unique_ptr<TSyncBeforIntThread> uw;
    std::unique_ptr<TInterlivingThread> deinterleaver;
    if (interleaved) {
        uw = std::make_unique<TSyncBeforIntThread>(&in, &intStream, "");
        deinterleaver = std::make_unique<TInterlivingThread>(&intStream, &noSync, "");
    }
    TSHORTstream& syncInput = interleaved ? noSync : in;
    TSyncBeforeViterbi sync(&syncInput, &synced, "", aHypothesis.Nrzm);
    TViterbiThread viterbi(&synced, &decoded, "", aHypothesis.Nrzm);
    TReedSolomonThread rs(&decoded, &frames, "", nullptr, false);
    // Until the deinterleaver's store has filled, no whole frame can come out of it; its first
    // 34 blocks are skipped rather than searched for a marker.
    int64_t skip = interleaved ? 34 * int64_t{TInterlivingThread::FrameSize} : 0;

    // Runs the stages behind the deinterleaver's input on what waits for them.
    auto runFromDeinterleaver = [&] {
        Drain(intStream, [&] { return deinterleaver->DoStep(&intStream, &noSync); });
        if (skip > 0) {
            const int64_t dropped = std::min(skip, noSync.AwaitingReadSize());
            noSync.SetPosition(noSync.Position() + dropped);
            noSync.ClearNotActualMemory();
            skip -= dropped;
        }
    };
    auto runFromSync = [&] {
        Drain(syncInput, [&] { return sync.DoStep(&syncInput, &synced); });
        Drain(synced, [&] { return viterbi.DoStep(&synced, &decoded); });
        Drain(decoded, [&] { return rs.DoStep(&decoded, &frames); });
        frames.SetPosition(frames.Size());
        frames.ClearNotActualMemory();
    };

    std::vector<int8_t> chunk;
    THypothesisEvidence e;
    e.Hypothesis = aHypothesis;
    int64_t fed = 0;
    while (fed < count && rs.OkVCDUcounter() < aEnough) {
        const int64_t n = std::min(FeedChunk, count - fed);
        chunk.assign(aValues + fed, aValues + fed + n);
        if (!interleaved) ExchangePairs(chunk.data(), static_cast<int>(n));
        in.Write(chunk.data(), static_cast<int32_t>(n));
        fed += n;
        if (interleaved) {
            Drain(in, [&] { return uw->DoStep(&in, &intStream); });
            runFromDeinterleaver();
        }
        runFromSync();
    }
    if (flush && fed == count && rs.OkVCDUcounter() < aEnough) {
        // The end of the input, as a session ends it: the deinterleaver's store comes out behind
        // erasures (on an input shorter than its delay nothing else would come out at all), then
        // the frames the sync and Viterbi stages hold back.
        if (interleaved) {
            chunk.assign(static_cast<size_t>(FeedChunk), 0);
            for (int64_t left = TStageChain::InterleaverFlushSize(intStream.Size());
                 left > 0 && rs.OkVCDUcounter() < aEnough;) {
                const int64_t n = std::min(FeedChunk, left);
                intStream.Write(chunk.data(), static_cast<int32_t>(n));
                left -= n;
                runFromDeinterleaver();
                runFromSync();
            }
        }
        if (rs.OkVCDUcounter() < aEnough) {
            if (TStageChain::FlushSync(sync, syncInput, synced)) runFromSync();
            viterbi.EndOfInput(&decoded);
            runFromSync();
        }
    }
    e.Symbols = fed / 2;
    e.Frames = rs.VCDUcounter();
    e.CleanFrames = rs.OkVCDUcounter();
    e.FailedWords = rs.TotalFailedWords();
    e.CuredSymbols = rs.TotalCuredSymbols();
    return e;
}

TModeDetection DetectModeInValues(const int8_t* aValues, int64_t aCount, const TModeDetectorOptions& aOptions,
                                  bool aInputEnds) {
    const auto started = std::chrono::steady_clock::now();
    TModeDetection d;
    const TModeHypothesis hypotheses[4] = {{TLrptMode::lm72k, false},
                                           {TLrptMode::lm72k, true},
                                           {TLrptMode::lm80k, false},
                                           {TLrptMode::lm80k, true}};
    d.Tried.resize(4);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < 4; ++i) {
        const bool plain = hypotheses[i].Mode == TLrptMode::lm72k;
        const auto symbols = static_cast<int64_t>(
            std::ceil((plain ? aOptions.Seconds72k * 72000 : aOptions.Seconds80k * 80000)));
        threads.emplace_back([&, i, symbols] {
            d.Tried[i] =
                TryHypothesis(hypotheses[i], aValues, aCount, symbols, aOptions.EnoughFrames, aInputEnds);
        });
    }
    for (auto& t : threads)
        t.join();
    // The most clean frames wins; on a tie (not seen in practice) the earlier, simpler hypothesis.
    size_t best = 0;
    for (size_t i = 1; i < 4; ++i)
        if (d.Tried[i].CleanFrames > d.Tried[best].CleanFrames) best = i;
    d.Found = d.Tried[best].CleanFrames >= std::max<uint32_t>(aOptions.MinCleanFrames, 1);
    d.Chosen = d.Tried[best].Hypothesis;
    d.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return d;
}

TModeDetection DetectMode(const std::string& aFileName, const TModeDetectorOptions& aOptions) {
    std::error_code error;
    if (std::filesystem::is_directory(aFileName, error))
        throw EFOpenError("Cannot open file \"" + aFileName + "\". It is a folder, not a symbol file");
    TFileStream file(aFileName, TFileMode::fmOpenRead);
    const auto started = std::chrono::steady_clock::now();
    const TDemodulatorModes form = DemModeFromFileName(aFileName, dm_8BitSoft);
    const double seconds = std::max(aOptions.Seconds72k * 72000, aOptions.Seconds80k * 80000);
    const int64_t symbols = static_cast<int64_t>(std::ceil(seconds));
    const int perByte = SoftValuesPerByte(form);
    // Whole symbols per window and at every window start: an 8-bit soft symbol is two bytes.
    const int64_t align = form == dm_8BitSoft ? 2 : 1;
    const int64_t size = file.Size();
    const int64_t window = std::min<int64_t>(size, (2 * symbols + perByte - 1) / perByte);
    const TExpansionTables tables;
    TModeDetection d;
    const int64_t step = std::max(window / align * align, align);
    // Past the first window the 72 k hypotheses look at the whole window too, so that the windows
    // tried one after another leave no gap for any hypothesis; so they do in a file no longer
    // than one window, which is judged by the whole of it.
    TModeDetectorOptions later = aOptions;
    later.Seconds72k = std::max(aOptions.Seconds72k, seconds / 72000);
    for (int k = 0; k < std::max(aOptions.Windows, 1); ++k) {
        const int64_t start = k * step;
        if (k > 0 && start >= size) break;
        const int64_t bytes = std::min(window, size - start) / align * align;
        // A window that reaches the file's end: no value will follow it.
        const bool ends = start + window >= size;
        std::vector<uint8_t> raw(static_cast<size_t>(bytes));
        file.SetPosition(start);
        if (bytes > 0) file.ReadBuffer(raw.data(), bytes);
        std::vector<int8_t> values(static_cast<size_t>(bytes) * static_cast<size_t>(perByte));
        const int count = ExpandBlock(tables, form, raw.data(), static_cast<int>(bytes), values.data());
        d = DetectModeInValues(values.data(), count & ~1, k == 0 && !ends ? aOptions : later, ends);
        d.StartByte = start;
        d.Windows = k + 1;
        if (d.Found) break;
    }
    d.Form = form;
    d.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return d;
}

std::string TModeDetection::Describe() const {
    std::ostringstream s;
    s.setf(std::ios::fixed);
    s.precision(1);
    auto evidence = [&](const THypothesisEvidence& e) {
        s << e.CleanFrames << (e.CleanFrames == 1 ? " clean frame" : " clean frames") << " of " << e.Frames
          << " in " << e.Symbols / (e.Hypothesis.Mode == TLrptMode::lm72k ? 72000.0 : 80000.0) << " s";
    };
    if (Found) {
        s << HypothesisName(Chosen) << " (";
    } else {
        s << "no mode found (";
    }
    bool first = true;
    for (const auto& e : Tried) {
        if (!first) s << "; ";
        first = false;
        s << HypothesisName(e.Hypothesis) << ": ";
        evidence(e);
    }
    if (StartByte > 0) s << "; from byte " << StartByte;
    if (Windows > 1) s << "; " << Windows << " windows tried";
    s << "; " << std::setprecision(2) << Seconds << " s)";
    return s.str();
}
