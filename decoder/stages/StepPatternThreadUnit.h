// Base of every decoder stage: a thread that calls the stage's step on its input stream.
#pragma once

#include "platform/Threads.h"
#include "streams/SHORTstreamUnit_v3.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

// The stage loop (Execute): BeforeExecute once, then until Terminate is requested, call the step;
// a step that returns true has consumed input, which is released at once and the step is called
// again; a step that returns false found too little input, and the loop sleeps 100 ms, or less
// when 4 KiB more input arrive meanwhile (so a busy chain never waits on its own sleeps). An
// exception leaving the step or the release is dropped and the loop goes on without sleeping.
//
// Step contract: never wait for input (check AwaitingReadSize first); on false leave
// aIn->Position() where the next attempt must start.
//
// Mode 1 stages override DoStep and write aOut (which may be null); mode 2 stages override
// DoStepMultiOut. The stage borrows its streams; the session owns them and outlives the stage.
class TStepPatternThread : public TThread {
  public:
    // Mode 1: one output stream (or none). Created stopped.
    TStepPatternThread(TSHORTstream* aIn, TSHORTstream* aOut);
    // Mode 2: a set of output streams. Created stopped.
    TStepPatternThread(TSHORTstream* aIn, TSHORTStreams* aOuts);
    // Requests termination and waits for the thread (see TThread on destroying a running stage).
    ~TStepPatternThread() override;

    TCriticalSection& CS() { return fCS; }
    int Mode() const { return fMode; }
    const std::string& LogFileName() const { return fLogFileName; }

    // Calls ReportProgress under the stage lock. Called from the window's thread.
    void DoProgress();
    // Appends a line (the text of AppendLogLine, time stamp taken now) to the stage's log file;
    // nothing when the stage has no log file. The file stays open. While the stage loop runs,
    // lines collect in a buffer that is written when it holds 64 KiB, when a second has passed
    // since the last write (checked between steps), by FlushLog and when the loop ends; at any
    // other time each line is written at once. A line that cannot be written is dropped and
    // counted (LostLogLines), so the step that logs goes on. Any thread may call it.
    void LOG(const std::string& aMess);
    int64_t LostLogLines() const { return fLostLogLines.load(); }
    // Writes the buffered lines to the log file now (lines that cannot be written are counted as
    // lost). Any thread may call it; the session calls it for stages it ends without waiting.
    void FlushLog();
    // Writes out and closes the current log, deletes an existing file of the new name (and its
    // earlier part, NAME.1), then logs to it from now on.
    void SetLogFileName(const std::string& aLogFileName);
    // Size at which a log file is set aside as NAME.1 (replacing an older one) and begun anew, so
    // that a stage's logs hold at most about twice this on an endless stream; 0: no limit.
    static constexpr int64_t DefaultLogLimitBytes = int64_t{16} << 20;
    void SetLogLimit(int64_t aBytes) {
        std::lock_guard<std::mutex> guard(fLogLock);
        fLogLimitBytes = aBytes;
    }

    // Ends a wait for input under way (see TSHORTstream::InterruptWait).
    void InterruptInputWait() {
        if (fIn) fIn->InterruptWait();
    }
    // Ends the waits of the stages reading this one's output (see TSHORTstream::InterruptWait).
    void InterruptOutputWaits();
    // True when the last step found too little input and the input has not grown since: the
    // stage has nothing to do until more input arrives. A session uses it to tell when the chain
    // has drained.
    bool IdleOnCurrentInput() const { return fIdle.load() && fIn && fIn->Size() == fIdleInputSize.load(); }
    // Processor time the stage's thread used, known once the thread has finished (0 before).
    double CpuSeconds() const { return fCpuSeconds.load(); }

    virtual bool DoStep(TSHORTstream* aIn, TSHORTstream* aOut);
    virtual bool DoStepMultiOut(TSHORTstream* aIn, TSHORTStreams* aOuts);
    virtual void ReportProgress();
    virtual void BeforeExecute() {}

  protected:
    void Execute() override;

    TCriticalSection fCS;
    int fMode;
    TSHORTstream* fIn;
    TSHORTstream* fOut = nullptr;
    TSHORTStreams* fOuts = nullptr;
    std::string fLogFileName;

  private:
    // Under fLogLock: writes the buffer and flushes the file; on failure counts the buffered lines
    // as lost and closes the file, so that the next line tries to open it anew.
    void WriteLogBuffer();
    void CloseLog();
    void RotateLog();

    std::mutex fLogLock;
    std::FILE* fLogFile = nullptr; // open for appending once the first line came
    int64_t fLogLimitBytes = DefaultLogLimitBytes;
    std::string fLogBuffer;
    int64_t fBufferedLines = 0;
    bool fLogBuffered = false; // the stage loop runs and flushes now and then
    std::chrono::steady_clock::time_point fLastLogWrite;
    std::atomic<bool> fLogPending{false}; // lines wait in the buffer

    std::atomic<bool> fIdle{false};
    std::atomic<int64_t> fIdleInputSize{-1};
    std::atomic<double> fCpuSeconds{0};
    std::atomic<int64_t> fLostLogLines{0};
};

// Asks the stage to terminate and waits until its thread has finished (a stage never started
// counts as finished).
void StopStage(TStepPatternThread& aStage);

// Stops the stage held by the variable, destroys it and empties the variable; an empty variable
// is left alone.
template <class TStage> void StopAndFreeStage(std::unique_ptr<TStage>& aStage) {
    if (!aStage) return;
    StopStage(*aStage);
    aStage.reset();
}
