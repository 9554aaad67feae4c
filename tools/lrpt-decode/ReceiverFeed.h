// The receiver half of lrpt-decode's pipeline, on a thread of its own: reads the input layer,
// finds how the pass was sent (unless all of it was forced), demodulates with the precise receiver
// and hands 8-bit soft values (the symbol file's form: Q, I per symbol) to a bounded queue that
// the decoding session reads. Optionally also writes them to a symbol file.
#pragma once

#include "app/SampleSource.h"
#include "detect/RecordingDetector.h"
#include "precise/PreciseReceiver.h"
#include "session/SymbolQueue.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Writes soft values to a symbol file in the form its extension names: ".raw" one 3-bit soft byte
// per symbol (Q in bits 6-4, I in bits 2-0), ".hard" eight decisions per byte (most significant bit
// first, 1 for a positive value; fewer than eight left at the end are dropped, as the decoder's
// own conversion drops them), anything else the 8-bit soft pairs as they come.
class TSymbolKeeper {
  public:
    TSymbolKeeper() = default;
    TSymbolKeeper(const TSymbolKeeper&) = delete;
    TSymbolKeeper& operator=(const TSymbolKeeper&) = delete;
    ~TSymbolKeeper();
    // Creates (truncates) aPath; throws std::runtime_error naming it when it cannot.
    void Open(const std::string& aPath);
    // aValues: Q, I per symbol (aCount even), made with the 8-bit scale aScale (a clean symbol at
    // +-aScale), which the 3-bit form needs to place its levels.
    void Write(const int8_t* aValues, size_t aCount, double aScale);
    // Throws std::runtime_error naming the file when a write or the close failed.
    void Close();
    bool IsOpen() const { return fFile != nullptr; }
    int64_t Symbols() const { return fSymbols; }

  private:
    std::FILE* fFile = nullptr;
    std::string fPath;
    int fForm = 0; // 0 8-bit, 1 3-bit, 2 hard
    std::vector<uint8_t> fBytes;
    uint8_t fBits = 0;
    int fBitCount = 0;
    int64_t fSymbols = 0;
    bool fFailed = false;
};

// What the receiver thread settled on.
struct TReceiverDecision {
    bool Found = false;          // false: the input ended and no hypothesis decoded
    bool Detected = false;       // found by the detector (false: everything forced)
    TRecordingHypothesis Chosen; // when Found
    std::string Description;     // the detector's Describe(), or the forced hypothesis
    double DetectionSeconds = 0; // wall time the detection took
    double DetectionInputSeconds = 0;
};

// Progress of the receiver, for the display while it runs.
struct TReceiverProgress {
    int64_t FramesRead = 0;
    bool Locked = false;
    double CarrierOffsetHz = 0, SnrDb = 0;
};

class TReceiverFeed {
  public:
    // aForced: the hypothesis parts the user gave; when all three are given the receiver is made
    // directly, else the detector runs first. Throws precise::TPreciseParamError for a sample rate
    // the receiver cannot take, std::runtime_error when aKeepSymbols cannot be created. Borrows the
    // source and the queue, which must outlive it. aEndOfInput, when given and set (from a signal
    // handler, say), ends the input at the next block as if it had ended there; give the source
    // the same flag (TSourceOptions::Stop) so that a read waiting for an idle pipe ends too.
    TReceiverFeed(TSampleSource& aSource, const TRecordingConstraints& aForced, TSymbolQueue& aQueue,
                  const std::string& aKeepSymbols, const std::atomic<bool>* aEndOfInput = nullptr);
    ~TReceiverFeed(); // cancels and joins
    TReceiverFeed(const TReceiverFeed&) = delete;
    TReceiverFeed& operator=(const TReceiverFeed&) = delete;

    void Start();
    // Blocks until the hypothesis is decided or the input ended without a find.
    TReceiverDecision WaitDecision();
    bool Running() const { return fRunning.load(); }
    // Stops reading at the next block, a read waiting for standard input included (the queue is
    // closed then).
    void Cancel();
    // Waits for the thread to end; rethrows an error it met (an input read error, a symbol file
    // write error).
    void Join();

    TReceiverProgress Progress() const;
    // After Join: the readouts of the receiver that ran to the end (none when nothing was found).
    bool HasReadouts() const { return fHasReadouts; }
    const precise::TPreciseReadouts& Readouts() const { return fReadouts; }
    int64_t FramesRead() const { return fFramesRead; }
    const TSymbolKeeper& Keeper() const { return fKeeper; }

  private:
    void Execute();
    void Decide(const TReceiverDecision& aDecision);
    void Push(const int8_t* aValues, size_t aCount, double aScale);
    void PushSymbols(const std::vector<precise::TSoftPair>& aPairs, double aNoiseRatio);

    TSampleSource& fSource;
    TSymbolQueue& fQueue;
    TRecordingConstraints fForced;
    std::unique_ptr<TRecordingDetector> fDetector;
    std::unique_ptr<precise::TPreciseReceiver> fReceiver;
    TSymbolKeeper fKeeper;
    std::vector<int8_t> fValues;

    std::thread fThread;
    mutable std::mutex fLock;
    std::condition_variable fDecided;
    bool fHaveDecision = false;
    TReceiverDecision fDecision;
    TReceiverProgress fProgress;
    std::exception_ptr fError;
    std::atomic<bool> fCancel{false};
    std::atomic<bool> fRunning{false};
    const std::atomic<bool>* fEndOfInput;
    bool fHasReadouts = false;
    precise::TPreciseReadouts fReadouts;
    int64_t fFramesRead = 0;
};
