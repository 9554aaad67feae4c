// The stage chains of the two transmission modes: the streams between the stages, the stages,
// the ".vcdu" and ".70" files, and the order in which all of it is built, started and stopped.
#pragma once

#include "fec/InterlivingThreadUnit.h"
#include "fec/LRPT_ReedSolomonThreadUnit.h"
#include "fec/LRPT_SyncBeforIntThreadUnit.h"
#include "fec/LRPT_SyncBeforeViterbiUnit.h"
#include "fec/LRPT_ViterbiThreadUnit.h"
#include "image/CanalDrawThreadUnit.h"
#include "packets/LRPT_MPDUThreadUnit.h"
#include "platform/Streams.h"

#include <array>
#include <memory>
#include <string>
#include <utility>
#include <vector>

enum class TLrptMode { lm72k, lm80k };

// Owns the streams (for the whole program run), the stages of a session and the ".vcdu" file.
//
// 72 k: InStream -> SYNC -> SyncStream -> VITERBI -> VITERBIStream -> RS -> RSStream -> MPDU.
// 80 k: InStream -> SYNC_INT -> IntStream -> INT -> NoSyncStream -> SYNC -> ... as above.
// MPDU -> OutStream[64..69] -> CanalDraw[64..69]; OutStream[70] only accumulates.
// Log files are the input file name with ".SyncBeforInt.log", ".Interliving.log",
// ".SyncBeforeViterbi.log", ".Viterbi.log", ".ReedSolomon.log", ".mpdu.log", ".64.log".. appended.
class TStageChain {
  public:
    TStageChain();
    ~TStageChain();
    TStageChain(const TStageChain&) = delete;
    TStageChain& operator=(const TStageChain&) = delete;

    // Creates the packet stage and the six drawing stages (channel n shows in aProgress[n-1] and
    // aImage[n-1], either may be null) and starts the drawing stages, APID 64 first.
    void BuildChannelPart(const std::string& aFileName, const std::array<TProgressControl*, 6>& aProgress,
                          const std::array<TImageControl*, 6>& aImage);
    // Creates (or overwrites) aFileName + ".vcdu", creates the rest of the mode's chain and starts
    // it with the packet stage. Throws EFCreateError naming the file when the ".vcdu" file cannot
    // be created; nothing of the rest is created then. aNrzm: the stream is differentially
    // encoded; the sync stage searches the NRZ-M marker and the Viterbi stage decodes differentially.
    void BuildRest(TLrptMode aMode, const std::string& aFileName, bool aFatalErrorIgnor, bool aNrzm = false);
    // The suffixes of every file a session may write beside its stem (".vcdu", ".70", the stage
    // logs of both modes).
    static const std::vector<std::string>& SessionFileSuffixes();
    // Deletes those files of aFileName, so that none written by an earlier session with the same
    // stem is left looking like this session's (the ".70" of a pass with telemetry after a pass
    // without, the 80 k log after a 72 k session). Files that cannot be deleted are left.
    static void RemoveSessionFiles(const std::string& aFileName);
    // 80 k mode, once the whole input has been fed and the chain has drained: about 18 s of code
    // values (one store of the deinterleaver) would otherwise stay in the store and never be
    // decoded. Stops the unique-word stage (its last partial window of under 880 values is
    // dropped) and writes erasures (value 0) into the deinterleaver's input in its place: enough
    // to complete the deinterleaver's pending block, to bring every value out of the store
    // (36 x 73,728) and two blocks more, so that the last frames pass the sync, Viterbi and frame
    // stages. Frames whose values had mostly been sent then decode; the last ones, most of whose
    // values were never sent, fail in the frame stage. Returns the number of erasures written;
    // 0 in 72 k mode or when the chain was not built. Drain the chain again afterwards.
    int64_t FlushInterleaver();
    // The erasures FlushInterleaver writes behind aWritten values of the deinterleaver's input.
    static int64_t InterleaverFlushSize(int64_t aWritten);
    // Both modes, once the whole input has been fed and the chain has drained (80 k: after
    // FlushInterleaver and its drain): the sync stage holds back the last frame until the values
    // of the next marker have come, and the Viterbi stage the frame of its last block until the
    // next block has; at the end of the input neither ever comes. Stops the stages up to the
    // Viterbi stage and finishes their work on this thread: FlushSync, the blocks still waiting,
    // then TViterbiThread::EndOfInput. Every frame whose code values were all fed then reaches
    // the frame stage. Returns false (nothing done) when the chain was not built. Drain the chain
    // again afterwards.
    bool FlushEnd();
    // End of input for a sync stage that is stopped or stepped without a thread: when it is locked
    // and the values waiting at aIn hold the code values of one more whole frame (its block lacks
    // at most the next marker's first 6 pairs), completes that block with erasures (value 0) and
    // steps the stage once, so that the frame is passed on. Returns whether it stepped.
    static bool FlushSync(TSyncBeforeViterbi& aSync, TSHORTstream& aIn, TSHORTstream& aOut);
    // 72 k mode: when APID 70 data waits, moves it into aFileName + ".70" (created or overwritten).
    // Nothing in 80 k mode. Throws EFCreateError naming the file.
    void EndOfFeeding(TLrptMode aMode, const std::string& aFileName);
    // Stops and destroys the stages between InStream and the APID streams in upstream order,
    // writes out each drawing stage's last strip and asks it to terminate (the drawing stages and
    // their pictures stay), closes the ".vcdu" file. The destructor calls it when the session did
    // not; the progress and image controls must still exist then.
    void Stop();

    // Processor seconds of the stages stopped by the last Stop, by log suffix ("SyncBeforeViterbi",
    // "Viterbi", ...); the drawing stages are not in it (they end later).
    const std::vector<std::pair<std::string, double>>& StageCpu() const { return fStageCpu; }

    // Bytes waiting in the mode's internal streams and APID streams 64..69.
    int64_t BackPressureSum(TLrptMode aMode) const;
    // True when every running stage's last step found too little input and no input has arrived
    // since.
    bool Idle() const;

    // The drawing stage of APID 64 + aIndex (aIndex 0..5), or null before any session.
    TCanalDrawThread* Channel(int aIndex) const { return CanalDraw[static_cast<size_t>(aIndex)].get(); }
    // Calls DoProgress of every existing drawing stage, APID 64 first.
    void ProgressAll();

    TSHORTstream InStream{"InStream", true, true, nullptr};
    TSHORTstream IntStream{"IntStream", true, true, nullptr};
    TSHORTstream NoSyncStream{"NoSyncStream", true, true, nullptr};
    TSHORTstream SyncStream{"SyncStream", true, true, nullptr};
    TSHORTstream VITERBIStream{"VITERBIStream", true, true, nullptr};
    TSHORTstream RSStream{"RSStream", true, true, nullptr};
    TSHORTStreams OutStream;

    std::unique_ptr<TSyncBeforIntThread> SYNC_INT;
    std::unique_ptr<TSyncBeforeViterbi> SYNC;
    std::unique_ptr<TViterbiThread> VITERBI;
    std::unique_ptr<TReedSolomonThread> RS;
    std::unique_ptr<TMPDUThread> MPDU;
    std::unique_ptr<TInterlivingThread> INT;
    std::array<std::unique_ptr<TCanalDrawThread>, 6> CanalDraw;

  private:
    std::unique_ptr<TFileStream> fVCDU;
    bool fStopped = true;
    std::vector<std::pair<std::string, double>> fStageCpu;
};
