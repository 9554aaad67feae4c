#include "stages/StepPatternThreadUnit.h"

#include "platform/Exceptions.h"
#include "platform/SysUtils.h"
#include "stages/StageLog.h"

#include <ctime>
#include <filesystem>
#include <mutex>

TStepPatternThread::TStepPatternThread(TSHORTstream* aIn, TSHORTstream* aOut)
    : fMode(1), fIn(aIn), fOut(aOut) {}

TStepPatternThread::TStepPatternThread(TSHORTstream* aIn, TSHORTStreams* aOuts)
    : fMode(2), fIn(aIn), fOuts(aOuts) {}

TStepPatternThread::~TStepPatternThread() {
    Terminate();
    WaitFor();
    std::lock_guard<std::mutex> guard(fLogLock);
    CloseLog();
}

void TStepPatternThread::DoProgress() {
    std::lock_guard<TCriticalSection> guard(fCS);
    ReportProgress();
}

namespace {
constexpr size_t kLogBufferBytes = 64 * 1024;
constexpr auto kLogFlushPeriod = std::chrono::seconds(1);
} // namespace

void TStepPatternThread::LOG(const std::string& aMess) {
    if (fLogFileName.empty()) return;
    std::string line = FormatLogDateTime(OnBoardNow());
    line += " - ";
    line += aMess;
    line += "\r\n";
    std::lock_guard<std::mutex> guard(fLogLock);
    if (!fLogFile) {
        // A log that cannot be opened (a read-only folder, a full disk) must not cost decoded
        // data: the step goes on without its line, and the loss is counted.
        fLogFile = std::fopen(fLogFileName.c_str(), "ab");
        if (!fLogFile) {
            ++fLostLogLines;
            return;
        }
    }
    fLogBuffer += line;
    ++fBufferedLines;
    if (!fLogBuffered || fLogBuffer.size() >= kLogBufferBytes)
        WriteLogBuffer();
    else
        fLogPending.store(true, std::memory_order_relaxed);
}

void TStepPatternThread::WriteLogBuffer() {
    fLogPending.store(false, std::memory_order_relaxed);
    fLastLogWrite = std::chrono::steady_clock::now();
    if (fBufferedLines == 0) return;
    const bool written =
        fLogFile && std::fwrite(fLogBuffer.data(), 1, fLogBuffer.size(), fLogFile) == fLogBuffer.size() &&
        std::fflush(fLogFile) == 0;
    if (!written) {
        fLostLogLines += fBufferedLines;
        if (fLogFile) std::fclose(fLogFile);
        fLogFile = nullptr;
    }
    fLogBuffer.clear();
    fBufferedLines = 0;
    if (written && fLogLimitBytes > 0 && std::ftell(fLogFile) >= fLogLimitBytes) RotateLog();
}

void TStepPatternThread::RotateLog() {
    // An endless stream (a station that runs for weeks) must not fill the disk with one log: the
    // full file becomes NAME.1 (the one before it goes), and a new file begins with a line that
    // says so. A pass of ordinary length never gets here.
    if (std::fclose(fLogFile) != 0) ++fLostLogLines;
    fLogFile = nullptr;
    std::error_code ignored;
    std::filesystem::rename(fLogFileName, fLogFileName + ".1", ignored);
    fLogFile = std::fopen(fLogFileName.c_str(), "ab");
    if (!fLogFile) return;
    const std::string note = FormatLogDateTime(OnBoardNow()) + " - log continued; the lines before are in " +
                             std::filesystem::path(fLogFileName).filename().string() +
                             ".1, older ones were dropped\r\n";
    std::fwrite(note.data(), 1, note.size(), fLogFile);
}

void TStepPatternThread::CloseLog() {
    WriteLogBuffer();
    if (fLogFile && std::fclose(fLogFile) != 0) ++fLostLogLines;
    fLogFile = nullptr;
}

void TStepPatternThread::FlushLog() {
    std::lock_guard<std::mutex> guard(fLogLock);
    WriteLogBuffer();
}

void TStepPatternThread::SetLogFileName(const std::string& aLogFileName) {
    std::lock_guard<std::mutex> guard(fLogLock);
    CloseLog();
    std::error_code ignored;
    std::filesystem::remove(aLogFileName, ignored);
    std::filesystem::remove(aLogFileName + ".1", ignored);
    fLogFileName = aLogFileName;
}

bool TStepPatternThread::DoStep(TSHORTstream*, TSHORTstream*) {
    throw EAbstractError("Abstract Error: DoStep");
}

bool TStepPatternThread::DoStepMultiOut(TSHORTstream*, TSHORTStreams*) {
    throw EAbstractError("Abstract Error: DoStepMultiOut");
}

void TStepPatternThread::ReportProgress() {
    throw EAbstractError("Abstract Error: ReportProgress");
}

void TStepPatternThread::Execute() {
    {
        std::lock_guard<std::mutex> guard(fLogLock);
        fLogBuffered = true;
        fLastLogWrite = std::chrono::steady_clock::now();
    }
    BeforeExecute();
    while (!Terminated()) {
        if (fLogPending.load(std::memory_order_relaxed)) {
            std::lock_guard<std::mutex> guard(fLogLock);
            if (std::chrono::steady_clock::now() - fLastLogWrite >= kLogFlushPeriod) WriteLogBuffer();
        }
        try {
            // The input size is taken before the step, so input that arrives during a step that
            // finds too little never counts as seen.
            const int64_t inputSize = fIn->Size();
            const bool consumed = fMode == 1 ? DoStep(fIn, fOut) : DoStepMultiOut(fIn, fOuts);
            if (consumed) {
                fIdle.store(false);
                fIn->ClearNotActualMemory();
            } else {
                // Just gone idle: what it wrote is all there is for now. The stages behind wait
                // for a few kilobytes at a time; the tail of a pass is less, so wake them.
                if (!fIdle.load()) InterruptOutputWaits();
                fIdleInputSize.store(inputSize);
                fIdle.store(true);
                // Up to 100 ms, but no longer than it takes for a few more kilobytes to arrive.
                fIn->WaitForData(inputSize, 100, 4096);
            }
        } catch (...) {
            // A bad block must not end the stage: drop the error and try again at once.
            fIdle.store(false);
        }
    }
    {
        std::lock_guard<std::mutex> guard(fLogLock);
        WriteLogBuffer();
        fLogBuffered = false;
    }
    timespec used{};
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used) == 0)
        fCpuSeconds.store(static_cast<double>(used.tv_sec) + used.tv_nsec * 1e-9);
}

void TStepPatternThread::InterruptOutputWaits() {
    if (fMode == 1) {
        if (fOut) fOut->InterruptWait();
    } else if (fOuts) {
        for (int i = 0; i < fOuts->Count(); ++i)
            if (TSHORTstream* out = (*fOuts)[i]) out->InterruptWait();
    }
}

void StopStage(TStepPatternThread& aStage) {
    aStage.Terminate();
    if (!aStage.Started()) return;
    // An idle stage sleeps up to 100 ms on its input: wake it, so that a chain of stages stops
    // in the time of one step instead of a sleep per stage.
    aStage.InterruptInputWait();
    while (!aStage.Finished())
        SleepMs(1);
    aStage.WaitFor();
}
