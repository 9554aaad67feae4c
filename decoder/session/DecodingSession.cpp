#include "session/DecodingSession.h"

#include "platform/Exceptions.h"
#include "platform/SysUtils.h"

#include <chrono>
#include <filesystem>
#include <vector>

TDecodingSession::TDecodingSession(TStageChain& aChain, TSessionObserver aObserver)
    : fChain(aChain), fObserver(std::move(aObserver)) {}

int TDecodingSession::BlockBytes(TLrptMode aMode, TDemodulatorModes aForm) {
    const int softValues = aMode == TLrptMode::lm72k ? 10000 : 512;
    return softValues / SoftValuesPerByte(aForm);
}

void TDecodingSession::Run(TLrptMode aMode, const std::string& aFileName, bool aFatalErrorIgnor,
                           const std::array<TProgressControl*, 6>& aProgress,
                           const std::array<TImageControl*, 6>& aImage, const std::string& aOutputStem,
                           bool aNrzm) {
    fDemMode = DemModeFromFileName(aFileName, fDemMode);
    const std::string stem = aOutputStem.empty() ? aFileName : aOutputStem;
    // The input is opened before anything is built, so that a missing file leaves no stage
    // running and no earlier logs deleted.
    // A folder opens like a file here and would only fail at the first read.
    std::error_code error;
    if (std::filesystem::is_directory(aFileName, error))
        throw EFOpenError("Cannot open file \"" + aFileName + "\". It is a folder, not a symbol file");
    TFileStream input(aFileName, TFileMode::fmOpenRead);
    RunChain(aMode, stem, aFatalErrorIgnor, aProgress, aImage, aNrzm, [&] { Feed(aMode, input); });
}

void TDecodingSession::Run(TLrptMode aMode, TSymbolInput& aInput, const std::string& aStem,
                           bool aFatalErrorIgnor, const std::array<TProgressControl*, 6>& aProgress,
                           const std::array<TImageControl*, 6>& aImage, bool aNrzm) {
    fDemMode = dm_8BitSoft;
    RunChain(aMode, aStem, aFatalErrorIgnor, aProgress, aImage, aNrzm, [&] { FeedStream(aMode, aInput); });
}

void TDecodingSession::RunChain(TLrptMode aMode, const std::string& aStem, bool aFatalErrorIgnor,
                                const std::array<TProgressControl*, 6>& aProgress,
                                const std::array<TImageControl*, 6>& aImage, bool aNrzm,
                                const std::function<void()>& aFeed) {
    // Files of an earlier session on the same stem that this one may not write again go now.
    TStageChain::RemoveSessionFiles(aStem);
    fChain.BuildChannelPart(aStem, aProgress, aImage);
    try {
        fChain.BuildRest(aMode, aStem, aFatalErrorIgnor, aNrzm);
        aFeed();
        if (fObserver.FeedingEnded) fObserver.FeedingEnded();
        Drain(aMode);
        // 80 k: what the deinterleaver still holds comes out behind erasures.
        if (!fUserStop.load() && fChain.FlushInterleaver() > 0) Drain(aMode);
        // Both modes: the last frame, which the sync and Viterbi stages hold back for input that
        // never comes.
        if (!fUserStop.load() && fChain.FlushEnd()) Drain(aMode);
        fChain.EndOfFeeding(aMode, aStem);
        if (aMode == TLrptMode::lm72k && fObserver.ShowBufferProgress)
            fObserver.ShowBufferProgress(0, Threshold(aMode));
    } catch (...) {
        TakeTotals();
        fChain.Stop();
        throw;
    }
    TakeTotals();
    fChain.Stop();
}

void TDecodingSession::Feed(TLrptMode aMode, TFileStream& aInput) {
    const bool plain = aMode == TLrptMode::lm72k;
    const int blockBytes = BlockBytes(aMode, fDemMode);
    const int64_t threshold = Threshold(aMode);
    const int64_t size = aInput.Size();
    const bool soft = fDemMode != dm_Hard;
    std::vector<uint8_t> raw(static_cast<size_t>(blockBytes));
    std::vector<int8_t> values(static_cast<size_t>(blockBytes * SoftValuesPerByte(fDemMode)));
    int64_t cycle = 0;
    int64_t position = 0;

    // The whole file is fed, its last shorter block too (whole symbols only).
    while (position < size && !fUserStop.load() && !(fEndOfInput && fEndOfInput->load())) {
        int64_t sum = 0;
        if (WaitForRoom(aMode, sum)) continue;
        int64_t n = std::min<int64_t>(blockBytes, size - position);
        if (fDemMode == dm_8BitSoft) n &= ~int64_t{1};
        if (n == 0) break; // a trailing odd byte of an 8-bit soft file is half a symbol
        aInput.ReadBuffer(raw.data(), n);
        position += n;
        const int count = ExpandBlock(fTables, fDemMode, raw.data(), static_cast<int>(n), values.data());
        if (plain) ExchangePairs(values.data(), count);
        ++cycle;

        const bool showProgress = cycle % (plain ? 40 : 1000) == 0;
        if (showProgress) {
            if (fObserver.ShowFileProgress) fObserver.ShowFileProgress(position, size);
            if (fObserver.ShowBufferProgress) fObserver.ShowBufferProgress(sum, threshold);
            if (!soft && fObserver.ShowHardDesigns) fObserver.ShowHardDesigns();
            Process();
        }
        if (soft) {
            const int pairs = count / 2;
            if (plain) {
                // Events are handled with every 50th pair, as it is drawn: a call per pair cost the
                // feeding thread more than reading and expanding the block.
                for (int pair = 50; pair <= pairs; pair += 50) {
                    if (fObserver.AddConstellationPoint)
                        fObserver.AddConstellationPoint(values[static_cast<size_t>(2 * pair - 2)] + 128,
                                                        values[static_cast<size_t>(2 * pair - 1)] + 128);
                    Process();
                }
            } else if (fObserver.AddConstellationPoint) {
                for (int pair = 0; pair < pairs && pair <= 250; pair += 50)
                    fObserver.AddConstellationPoint(values[static_cast<size_t>(2 * pair)] + 128,
                                                    values[static_cast<size_t>(2 * pair + 1)] + 128);
            }
        }
        fChain.InStream.Write(values.data(), count);
        fTotals.BytesFed += count;
    }
    fTotals.FileBytesRead = position;
}

bool TDecodingSession::WaitForRoom(TLrptMode aMode, int64_t& aSum) {
    const bool plain = aMode == TLrptMode::lm72k;
    const int64_t threshold = Threshold(aMode);
    aSum = fChain.BackPressureSum(aMode);
    if (aSum < threshold) return false;
    if (!plain && fObserver.ShowBufferProgress) fObserver.ShowBufferProgress(aSum, threshold);
    Process();
    // A short sleep in both modes keeps a waiting driver from taking a core the stages need.
    SleepMs(plain ? 1 : 20);
    return true;
}

void TDecodingSession::FeedStream(TLrptMode aMode, TSymbolInput& aInput) {
    const bool plain = aMode == TLrptMode::lm72k;
    const int64_t threshold = Threshold(aMode);
    // One spare place in front for the half symbol a read may leave.
    std::vector<int8_t> values(StreamBlockValues + 1);
    int carry = 0;
    int64_t read = 0, cycle = 0;
    while (!fUserStop.load()) {
        int64_t sum = 0;
        if (WaitForRoom(aMode, sum)) continue;
        // A short wait, so that the observer is called while the source is slow (a live pass).
        const int got = aInput.Read(values.data() + carry, StreamBlockValues, 100);
        Process();
        if (got < 0) break;
        if (got == 0) continue;
        read += got;
        const int count = (carry + got) & ~1;
        if (plain) ExchangePairs(values.data(), count);
        if (fObserver.AddConstellationPoint)
            for (int pair = 0; 2 * pair + 1 < count && pair <= 250; pair += 50)
                fObserver.AddConstellationPoint(values[static_cast<size_t>(2 * pair)] + 128,
                                                values[static_cast<size_t>(2 * pair + 1)] + 128);
        fChain.InStream.Write(values.data(), count);
        fTotals.BytesFed += count;
        carry = carry + got - count;
        if (carry) values[0] = values[static_cast<size_t>(count)];
        if (++cycle % 16 == 0) {
            if (fObserver.ShowFileProgress) fObserver.ShowFileProgress(read, -1);
            if (fObserver.ShowBufferProgress) fObserver.ShowBufferProgress(sum, threshold);
        }
    }
    fTotals.FileBytesRead = read;
}

void TDecodingSession::Drain(TLrptMode aMode) {
    using Clock = std::chrono::steady_clock;
    // The chain has drained when every stage is idle on unchanged input, seen twice in a row.
    // As a safeguard against a stage that never settles, nothing moving in any stream for 10 s
    // ends the drain too.
    const TSHORTstream* streams[] = {&fChain.InStream,   &fChain.IntStream,     &fChain.NoSyncStream,
                                     &fChain.SyncStream, &fChain.VITERBIStream, &fChain.RSStream};
    auto totalWritten = [&] {
        int64_t total = 0;
        for (const auto* s : streams)
            total += s->Size() + s->Position();
        for (int apid = 64; apid <= 70; ++apid)
            if (fChain.OutStream.Count() > apid && fChain.OutStream[apid])
                total += fChain.OutStream[apid]->Size() + fChain.OutStream[apid]->Position();
        return total;
    };
    int64_t cycle = 0;
    int idleChecks = 0;
    int64_t lastTotal = totalWritten();
    auto lastMove = Clock::now();
    while (!fUserStop.load()) {
        const int64_t sum = fChain.BackPressureSum(aMode);
        ++cycle;
        if (cycle % 50 == 0 && fObserver.ShowBufferProgress)
            fObserver.ShowBufferProgress(sum, Threshold(aMode));
        Process();
        idleChecks = fChain.Idle() ? idleChecks + 1 : 0;
        if (idleChecks >= 2) break;
        const int64_t total = totalWritten();
        if (total != lastTotal) {
            lastTotal = total;
            lastMove = Clock::now();
        } else if (Clock::now() - lastMove > std::chrono::seconds(10)) {
            break;
        }
        SleepMs(10);
    }
}

void TDecodingSession::TakeTotals() {
    if (fChain.RS) {
        fTotals.Frames = fChain.RS->VCDUcounter();
        fTotals.FramesPassedOn = fChain.RS->OkVCDUcounter();
        fTotals.CuredSymbols = fChain.RS->TotalCuredSymbols();
        fTotals.FailedWords = fChain.RS->TotalFailedWords();
    }
    if (fChain.MPDU)
        for (int apid = 64; apid <= 70; ++apid)
            fTotals.Packets[static_cast<size_t>(apid - 64)] = fChain.MPDU->PacketCount(apid);
}
