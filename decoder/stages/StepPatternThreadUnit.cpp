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
}

void TStepPatternThread::DoProgress() {
    std::lock_guard<TCriticalSection> guard(fCS);
    ReportProgress();
}

void TStepPatternThread::LOG(const std::string& aMess) {
    if (fLogFileName.empty()) return;
    try {
        AppendLogLine(fLogFileName, aMess);
    } catch (const EInOutError&) {
        // A log that cannot be written (a read-only folder, a full disk) must not cost decoded
        // data: the step goes on without its line, and the loss is counted.
        ++fLostLogLines;
    }
}

void TStepPatternThread::SetLogFileName(const std::string& aLogFileName) {
    std::error_code ignored;
    std::filesystem::remove(aLogFileName, ignored);
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
    BeforeExecute();
    while (!Terminated()) {
        try {
            // The input size is taken before the step, so input that arrives during a step that
            // finds too little never counts as seen.
            const int64_t inputSize = fIn->Size();
            const bool consumed = fMode == 1 ? DoStep(fIn, fOut) : DoStepMultiOut(fIn, fOuts);
            if (consumed) {
                fIdle.store(false);
                fIn->ClearNotActualMemory();
            } else {
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
    timespec used{};
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used) == 0)
        fCpuSeconds.store(static_cast<double>(used.tv_sec) + used.tv_nsec * 1e-9);
}

void StopStage(TStepPatternThread& aStage) {
    aStage.Terminate();
    if (!aStage.Started()) return;
    while (!aStage.Finished())
        SleepMs(1);
    aStage.WaitFor();
}
