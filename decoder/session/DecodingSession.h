// The decoding session driver: feeds a symbol file into the mode's stage chain with
// back-pressure, lets the chain drain, and ends the session. Runs under the window and headless.
#pragma once

#include "session/StageChain.h"
#include "session/SymbolFileForms.h"
#include "session/SymbolQueue.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

// What the driver shows while it works. Every member may be left empty. All are called on the
// thread that runs the session; ProcessMessages is where a window handles its pending events
// (Stop among them), so it is called often and should return quickly.
struct TSessionObserver {
    std::function<void()> ProcessMessages;
    // A constellation point (first value + 128, second value + 128).
    std::function<void(int aX, int aY)> AddConstellationPoint;
    // Hard-decision input has no constellation; called at each progress display instead.
    std::function<void()> ShowHardDesigns;
    // aSize -1: a stream, whose length is unknown.
    std::function<void(int64_t aPosition, int64_t aSize)> ShowFileProgress;
    std::function<void(int64_t aWaiting, int64_t aMaximum)> ShowBufferProgress;
    // The feeding has ended (file read or Stop) and the drain begins; a window shows the phase.
    std::function<void()> FeedingEnded;
};

// What the stages counted, taken before they are destroyed at the end of the session.
struct TSessionTotals {
    uint32_t Frames = 0;         // frames the frame stage processed
    uint32_t FramesPassedOn = 0; // transfer frames of virtual channel 5 passed to the packet stage
    uint64_t CuredSymbols = 0;
    uint64_t FailedWords = 0;
    std::array<uint32_t, 7> Packets{}; // accepted packets of APID 64..70
    int64_t BytesFed = 0;              // soft values written into the chain
    int64_t FileBytesRead = 0;
};

class TDecodingSession {
  public:
    TDecodingSession(TStageChain& aChain, TSessionObserver aObserver = {});

    // One whole session on aFileName: the form follows its extension; the channel part of the
    // chain shows in aProgress / aImage (entries may be null). Feeds the whole file, drains unless
    // stopped (80 k: then flushes the deinterleaver's store with erasures and drains again, see
    // TStageChain::FlushInterleaver), lets the last frame through (TStageChain::FlushEnd) and
    // drains again unless stopped, writes ".70" (72 k), stops the chain. Throws EFOpenError naming
    // the input file before anything is built, and EFCreateError when a file of the chain cannot be
    // created (the stages already running are then stopped). Once the input is open, every file an
    // earlier session on the same stem may have left (TStageChain::SessionFileSuffixes) is deleted,
    // so that what the stem's files hold afterwards is this session's alone. aOutputStem, when not
    // empty, replaces aFileName as the stem of the session's files (logs, ".vcdu", ".70"). aNrzm:
    // the recording carries a differentially encoded (NRZ-M) bit stream.
    void Run(TLrptMode aMode, const std::string& aFileName, bool aFatalErrorIgnor,
             const std::array<TProgressControl*, 6>& aProgress = {},
             const std::array<TImageControl*, 6>& aImage = {}, const std::string& aOutputStem = {},
             bool aNrzm = false);
    // The same session fed from a stream of 8-bit soft values (a receiver running beside it)
    // instead of a file: reads until the input ends (or Stop), holding back as from a file;
    // ShowFileProgress receives the values read and -1. aStem names the session's files (not
    // empty). A half symbol left at the end is dropped. Throws EFCreateError as above.
    void Run(TLrptMode aMode, TSymbolInput& aInput, const std::string& aStem, bool aFatalErrorIgnor,
             const std::array<TProgressControl*, 6>& aProgress = {},
             const std::array<TImageControl*, 6>& aImage = {}, bool aNrzm = false);

    // Ends feeding at the next cycle and skips the drain. May be called from a nested handler or
    // another thread; never cleared.
    void Stop() { fUserStop.store(true); }
    // When given and set (from a signal handler, say), feeding from a file ends at the next block
    // as if the file ended there: unlike Stop, the drain and the end of the session go on. Must
    // outlive the session.
    void SetEndOfInput(const std::atomic<bool>* aFlag) { fEndOfInput = aFlag; }
    bool UserStop() const { return fUserStop.load(); }

    TDemodulatorModes DemMode() const { return fDemMode; }
    const TSessionTotals& Totals() const { return fTotals; }

    // Block sizes in file bytes per feeding cycle, and the hold-back thresholds in bytes.
    static int BlockBytes(TLrptMode aMode, TDemodulatorModes aForm);
    static int64_t Threshold(TLrptMode aMode) { return aMode == TLrptMode::lm72k ? 1000000 : 10000000; }

    // Values per read from a stream.
    static constexpr int StreamBlockValues = 16384;

  private:
    // Builds the chain on aStem, runs aFeed, drains, ends and stops the chain (both inputs).
    void RunChain(TLrptMode aMode, const std::string& aStem, bool aFatalErrorIgnor,
                  const std::array<TProgressControl*, 6>& aProgress,
                  const std::array<TImageControl*, 6>& aImage, bool aNrzm,
                  const std::function<void()>& aFeed);
    void Feed(TLrptMode aMode, TFileStream& aInput);
    void FeedStream(TLrptMode aMode, TSymbolInput& aInput);
    // Back pressure, for both feeders: aSum becomes the values the chain holds; when they reach
    // the mode's threshold, shows the buffer (80 k), lets the observer run, sleeps a moment and
    // returns true (the caller looks again); otherwise returns false at once.
    bool WaitForRoom(TLrptMode aMode, int64_t& aSum);
    void Drain(TLrptMode aMode);
    void TakeTotals();
    void Process() {
        if (fObserver.ProcessMessages) fObserver.ProcessMessages();
    }

    TStageChain& fChain;
    TSessionObserver fObserver;
    TExpansionTables fTables;
    TDemodulatorModes fDemMode = dm_8BitSoft;
    std::atomic<bool> fUserStop{false};
    const std::atomic<bool>* fEndOfInput = nullptr;
    TSessionTotals fTotals;
};
