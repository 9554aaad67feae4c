#include "session/StageChain.h"

#include <algorithm>
#include <filesystem>

TStageChain::TStageChain() = default;

const std::vector<std::string>& TStageChain::SessionFileSuffixes() {
    static const std::vector<std::string> suffixes = {".vcdu",
                                                      ".70",
                                                      ".SyncBeforInt.log",
                                                      ".SyncBeforeViterbi.log",
                                                      ".Viterbi.log",
                                                      ".ReedSolomon.log",
                                                      ".mpdu.log",
                                                      ".64.log",
                                                      ".65.log",
                                                      ".66.log",
                                                      ".67.log",
                                                      ".68.log",
                                                      ".69.log"};
    return suffixes;
}

void TStageChain::RemoveSessionFiles(const std::string& aFileName) {
    for (const auto& suffix : SessionFileSuffixes()) {
        std::error_code error;
        // Only files: a folder of that name is left for the session to report.
        if (!std::filesystem::is_directory(aFileName + suffix, error))
            std::filesystem::remove(aFileName + suffix, error);
    }
}

TStageChain::~TStageChain() {
    if (!fStopped) Stop();
    // The drawing stages read the APID streams, which the list owns: end them first.
    for (auto& stage : CanalDraw)
        if (stage) StopStage(*stage);
}

void TStageChain::BuildChannelPart(const std::string& aFileName,
                                   const std::array<TProgressControl*, 6>& aProgress,
                                   const std::array<TImageControl*, 6>& aImage) {
    fStopped = false;
    MPDU = std::make_unique<TMPDUThread>(&RSStream, &OutStream, aFileName + ".mpdu.log");
    for (int n = 1; n <= 6; ++n) {
        const int apid = 63 + n;
        CanalDraw[static_cast<size_t>(n - 1)] = std::make_unique<TCanalDrawThread>(
            OutStream[apid], nullptr, n, aFileName + "." + std::to_string(apid) + ".log",
            aProgress[static_cast<size_t>(n - 1)], aImage[static_cast<size_t>(n - 1)]);
    }
    for (auto& stage : CanalDraw)
        stage->Start();
}

void TStageChain::BuildRest(TLrptMode aMode, const std::string& aFileName, bool aFatalErrorIgnor,
                            bool aNrzm) {
    fVCDU = std::make_unique<TFileStream>(aFileName + ".vcdu", TFileMode::fmCreate);
    if (aMode == TLrptMode::lm80k) {
        SYNC_INT =
            std::make_unique<TSyncBeforIntThread>(&InStream, &IntStream, aFileName + ".SyncBeforInt.log");
        INT = std::make_unique<TInterlivingThread>(&IntStream, &NoSyncStream, aFileName + ".Interliving.log");
    }
    TSHORTstream* syncInput = aMode == TLrptMode::lm80k ? &NoSyncStream : &InStream;
    SYNC = std::make_unique<TSyncBeforeViterbi>(syncInput, &SyncStream, aFileName + ".SyncBeforeViterbi.log",
                                                aNrzm);
    VITERBI = std::make_unique<TViterbiThread>(&SyncStream, &VITERBIStream, aFileName + ".Viterbi.log", aNrzm,
                                               true);
    RS = std::make_unique<TReedSolomonThread>(&VITERBIStream, &RSStream, aFileName + ".ReedSolomon.log",
                                              fVCDU.get(), aFatalErrorIgnor);
    if (SYNC_INT) SYNC_INT->Start();
    if (INT) INT->Start();
    SYNC->Start();
    VITERBI->Start();
    RS->Start();
    MPDU->Start();
}

int64_t TStageChain::FlushInterleaver() {
    if (!SYNC_INT || !INT) return 0;
    // The unique-word stage is the stream's only writer; with it ended, this thread takes over.
    StopStage(*SYNC_INT);
    constexpr int64_t block = TInterlivingThread::FrameSize;
    const int64_t total = InterleaverFlushSize(IntStream.Size());
    const std::vector<int8_t> zeros(static_cast<size_t>(block), 0);
    for (int64_t left = total; left > 0;) {
        const int32_t n = static_cast<int32_t>(std::min<int64_t>(left, block));
        IntStream.Write(zeros.data(), n);
        left -= n;
    }
    return total;
}

int64_t TStageChain::InterleaverFlushSize(int64_t aWritten) {
    constexpr int64_t block = TInterlivingThread::FrameSize;
    const int64_t pending = (block - aWritten % block) % block;
    return pending + TInterlivingThread::StoreSize + 2 * block;
}

bool TStageChain::FlushSync(TSyncBeforeViterbi& aSync, TSHORTstream& aIn, TSHORTstream& aOut) {
    if (aSync.LastMode() == 0) return false;
    constexpr int64_t block = TSyncBeforeViterbi::BlockSize;
    // A block in the later pairing (modes 9..16) reads two values beyond it, its frame's last Q
    // value included.
    const int64_t later = aSync.LastMode() > 8 ? 2 : 0;
    // The stage keeps some values before the expected block unread (to look back for a slip).
    const int64_t waiting = aIn.Size() - aSync.ExpectedPosition();
    if (waiting < block - 12 + later || waiting >= block + 2) return false;
    const std::vector<int8_t> zeros(static_cast<size_t>(block + 2 - waiting), 0);
    aIn.Write(zeros.data(), static_cast<int32_t>(zeros.size()));
    try {
        aSync.DoStep(&aIn, &aOut);
    } catch (...) {
        // As the stage loop does: a failed step is dropped.
    }
    aIn.ClearNotActualMemory();
    return true;
}

bool TStageChain::FlushEnd() {
    if (!SYNC || !VITERBI) return false;
    // Upstream first, so that this thread is the only one writing and reading these streams.
    if (SYNC_INT) StopStage(*SYNC_INT);
    if (INT) StopStage(*INT);
    StopStage(*SYNC);
    StopStage(*VITERBI);
    TSHORTstream& syncInput = INT ? NoSyncStream : InStream;
    FlushSync(*SYNC, syncInput, SyncStream);
    while (true) {
        bool consumed = false;
        try {
            consumed = VITERBI->DoStep(&SyncStream, &VITERBIStream);
        } catch (...) {
            consumed = true;
        }
        if (!consumed) break;
        SyncStream.ClearNotActualMemory();
    }
    VITERBI->EndOfInput(&VITERBIStream);
    return true;
}

void TStageChain::EndOfFeeding(TLrptMode aMode, const std::string& aFileName) {
    if (aMode != TLrptMode::lm72k || OutStream.Count() <= 70 || !OutStream[70]) return;
    if (OutStream[70]->AwaitingReadSize() == 0) return;
    TFileStream file(aFileName + ".70", TFileMode::fmCreate);
    OutStream[70]->MoveTo(file, 0);
    file.Flush();
}

void TStageChain::Stop() {
    fStopped = true;
    fStageCpu.clear();
    auto stop = [this](auto& aStage, const char* aName) {
        if (!aStage) return;
        StopStage(*aStage);
        fStageCpu.emplace_back(aName, aStage->CpuSeconds());
        StopAndFreeStage(aStage);
    };
    stop(SYNC_INT, "SyncBeforInt");
    stop(INT, "Interliving");
    stop(SYNC, "SyncBeforeViterbi");
    stop(VITERBI, "Viterbi");
    stop(RS, "ReedSolomon");
    stop(MPDU, "mpdu");
    for (auto& stage : CanalDraw) {
        if (!stage) continue;
        stage->WriteOutCurrentStrip();
        stage->Terminate();
        stage->FlushLog(); // the stage lives on, but its log must be complete now
    }
    if (fVCDU) fVCDU->Flush();
    fVCDU.reset();
}

int64_t TStageChain::BackPressureSum(TLrptMode aMode) const {
    int64_t sum = InStream.AwaitingReadSize() + SyncStream.AwaitingReadSize() +
                  VITERBIStream.AwaitingReadSize() + RSStream.AwaitingReadSize();
    if (aMode == TLrptMode::lm80k) sum += IntStream.AwaitingReadSize() + NoSyncStream.AwaitingReadSize();
    for (int apid = 64; apid <= 69; ++apid)
        if (OutStream.Count() > apid && OutStream[apid]) sum += OutStream[apid]->AwaitingReadSize();
    return sum;
}

bool TStageChain::Idle() const {
    const TStepPatternThread* stages[] = {SYNC_INT.get(), INT.get(), SYNC.get(),
                                          VITERBI.get(),  RS.get(),  MPDU.get()};
    for (const auto* stage : stages)
        if (stage && stage->Started() && !stage->Finished() && !stage->IdleOnCurrentInput()) return false;
    for (const auto& stage : CanalDraw)
        if (stage && stage->Started() && !stage->Finished() && !stage->IdleOnCurrentInput()) return false;
    return true;
}

void TStageChain::ProgressAll() {
    for (auto& stage : CanalDraw)
        if (stage) stage->DoProgress();
}
