#include "platform/SysUtils.h"
#include "stages/StepPatternThreadUnit.h"

#include "TestLog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// A mode-1 stage whose step is supplied by the test.
class TTestStage : public TStepPatternThread {
  public:
    using Step = std::function<bool(TSHORTstream*, TSHORTstream*)>;
    TTestStage(TSHORTstream* aIn, TSHORTstream* aOut, Step aStep)
        : TStepPatternThread(aIn, aOut), fStep(std::move(aStep)) {}

    bool DoStep(TSHORTstream* aIn, TSHORTstream* aOut) override {
        ++Steps;
        return fStep(aIn, aOut);
    }
    void BeforeExecute() override { StepsBeforeExecute = Steps.load(); }
    void ReportProgress() override {
        std::thread other([&] { LockFreeDuringReport = CS().TryEnter(); });
        other.join();
        ++Reports;
    }

    std::atomic<int> Steps{0};
    std::atomic<int> StepsBeforeExecute{-1};
    std::atomic<int> Reports{0};
    std::atomic<bool> LockFreeDuringReport{true};

  private:
    Step fStep;
};

// A mode-2 stage routing each input byte to the output whose index is that byte.
class TRouterStage : public TStepPatternThread {
  public:
    using TStepPatternThread::TStepPatternThread;
    bool DoStepMultiOut(TSHORTstream* aIn, TSHORTStreams* aOuts) override {
        if (aIn->AwaitingReadSize() == 0) return false;
        uint8_t b;
        aIn->Read(&b, 1);
        aOuts->GetStreams(b)->Write(&b, 1);
        return true;
    }
};

bool WaitUntil(const std::function<bool()>& aCondition, std::chrono::milliseconds aLimit) {
    const auto end = Clock::now() + aLimit;
    while (Clock::now() < end) {
        if (aCondition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return aCondition();
}

TSHORTstream NewStream(const char* name) {
    return TSHORTstream(name, true, true, nullptr);
}

} // namespace

TEST(StepPatternThread, ProductiveStepsRunBackToBackAndReleaseInput) {
    auto in = NewStream("in");
    auto out = NewStream("out");
    std::vector<uint8_t> data(3 * TSHORTstream::PageSize, 0x5A);
    in.Write(data.data(), static_cast<int32_t>(data.size()));
    TTestStage stage(&in, &out, [](TSHORTstream* aIn, TSHORTstream* aOut) {
        if (aIn->AwaitingReadSize() < 1000) return false;
        uint8_t block[1000];
        aIn->Read(block, 1000);
        aOut->Write(block, 1000);
        return true;
    });
    stage.Start();
    ASSERT_TRUE(WaitUntil([&] { return out.Size() == 3145000; }, std::chrono::seconds(10)));
    ASSERT_TRUE(WaitUntil([&] { return in.NotActualPosition() == 3145000; }, std::chrono::seconds(1)));
    EXPECT_EQ(in.PagesCount(), 1);
    EXPECT_EQ(stage.StepsBeforeExecute.load(), 0);
    StopStage(stage);
    EXPECT_TRUE(stage.Finished());
}

TEST(StepPatternThread, IdleStepSleepsAndNeverReleasesInput) {
    auto in = NewStream("in");
    uint8_t bytes[10] = {};
    in.Write(bytes, 10);
    // The step looks ahead but finds too little, leaving Position where it got to.
    TTestStage stage(&in, nullptr, [](TSHORTstream* aIn, TSHORTstream*) {
        uint8_t b;
        if (aIn->Read(&b, 1) == 0) aIn->SetPosition(0);
        return false;
    });
    const auto start = Clock::now();
    stage.Start();
    std::this_thread::sleep_for(std::chrono::milliseconds(550));
    StopStage(stage);
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    // About ten calls a second: far fewer than a spinning loop would make.
    EXPECT_GE(stage.Steps.load(), 3);
    EXPECT_LE(stage.Steps.load(), elapsed / 100 + 2);
    EXPECT_EQ(in.NotActualPosition(), 0);
}

TEST(StepPatternThread, ThrowingStepIsCalledAgainAtOnce) {
    auto in = NewStream("in");
    std::atomic<int> throws{0};
    TTestStage stage(&in, nullptr, [&](TSHORTstream*, TSHORTstream*) -> bool {
        if (throws < 200) {
            ++throws;
            throw std::runtime_error("bad block");
        }
        return false;
    });
    stage.Start();
    // With a 100 ms sleep after each failure this would take 20 s.
    EXPECT_TRUE(WaitUntil([&] { return throws == 200; }, std::chrono::seconds(5)));
    EXPECT_FALSE(stage.Finished());
    StopStage(stage);
}

TEST(StepPatternThread, TerminateDuringSleepEndsWithoutAnotherStep) {
    auto in = NewStream("in");
    TTestStage stage(&in, nullptr, [](TSHORTstream*, TSHORTstream*) { return false; });
    stage.Start();
    ASSERT_TRUE(WaitUntil([&] { return stage.Steps == 1; }, std::chrono::seconds(2)));
    stage.Terminate();
    ASSERT_TRUE(WaitUntil([&] { return stage.Finished(); }, std::chrono::seconds(2)));
    EXPECT_EQ(stage.Steps.load(), 1);
}

TEST(StepPatternThread, StageWithoutItsStepKeepsRunningUntilStopped) {
    auto in = NewStream("in");
    TStepPatternThread stage(&in, static_cast<TSHORTstream*>(nullptr));
    stage.Start();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(stage.Finished());
    StopStage(stage);
    EXPECT_TRUE(stage.Finished());
}

TEST(StepPatternThread, MultiOutputStageWritesItsStreamSet) {
    auto in = NewStream("in");
    auto a = NewStream("a");
    auto b = NewStream("b");
    TSHORTStreams outs;
    outs.SetCount(4096);
    outs.SetStreams(64, &a);
    outs.SetStreams(70, &b);
    const uint8_t bytes[] = {64, 70, 70, 64, 64};
    in.Write(bytes, 5);
    TRouterStage stage(&in, &outs);
    EXPECT_EQ(stage.Mode(), 2);
    stage.Start();
    ASSERT_TRUE(WaitUntil([&] { return a.Size() == 3 && b.Size() == 2; }, std::chrono::seconds(2)));
    StopStage(stage);
}

TEST(StepPatternThread, DoProgressReportsUnderTheStageLock) {
    auto in = NewStream("in");
    TTestStage stage(&in, nullptr, [](TSHORTstream*, TSHORTstream*) { return false; });
    stage.DoProgress();
    EXPECT_EQ(stage.Reports.load(), 1);
    EXPECT_FALSE(stage.LockFreeDuringReport.load());
    // The lock is free again afterwards.
    std::atomic<bool> free{false};
    std::thread other([&] {
        free = stage.CS().TryEnter();
        if (free) stage.CS().Leave();
    });
    other.join();
    EXPECT_TRUE(free.load());
}

TEST(StepPatternThread, StopAndFreeStageHandlesEmptyNeverStartedAndRunningStages) {
    auto in = NewStream("in");
    std::unique_ptr<TTestStage> empty;
    StopAndFreeStage(empty);
    EXPECT_EQ(empty, nullptr);

    // A stage created but never started must not hang the session's stop.
    auto idle =
        std::make_unique<TTestStage>(&in, nullptr, [](TSHORTstream*, TSHORTstream*) { return false; });
    StopAndFreeStage(idle);
    EXPECT_EQ(idle, nullptr);

    auto running =
        std::make_unique<TTestStage>(&in, nullptr, [](TSHORTstream*, TSHORTstream*) { return false; });
    running->Start();
    StopAndFreeStage(running);
    EXPECT_EQ(running, nullptr);
}

TEST(StepPatternThread, LogFileIsStartedAfreshAndEmptyNameLogsNothing) {
    SetUtcClock([] { return EncodeDateTime(2014, 4, 28, 10, 5, 9); });
    const auto path = std::filesystem::temp_directory_path() / "tarnwick_stage_test.log";
    {
        std::ofstream old(path);
        old << "from an earlier run\n";
    }
    auto in = NewStream("in");
    TTestStage stage(&in, nullptr, [](TSHORTstream*, TSHORTstream*) { return false; });
    EXPECT_NO_THROW(stage.LOG("nothing happens"));
    stage.SetLogFileName(path.string());
    EXPECT_FALSE(std::filesystem::exists(path));
    stage.LOG("first");
    std::ifstream log(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "28.04.2014 13:05:09 - first\r\n");
    std::filesystem::remove(path);
    SetUtcClock({});
}

// On an endless stream a log is bounded: past the limit the file is set aside as NAME.1 (the one
// before that is dropped) and begun anew with a line saying so; no line is lost in between, and a
// new session removes both parts.
TEST(StepPatternThread, LogOfAnEndlessStreamStaysBounded) {
    SetUtcClock([] { return EncodeDateTime(2014, 4, 28, 10, 5, 9); });
    const auto path = std::filesystem::temp_directory_path() / "tarnwick_stage_rotate.log";
    const std::string older = path.string() + ".1";
    auto in = NewStream("in");
    TTestStage stage(&in, nullptr, [](TSHORTstream*, TSHORTstream*) { return false; });
    stage.SetLogFileName(path.string());
    stage.SetLogLimit(1000);
    for (int k = 0; k < 1000; ++k)
        stage.LOG("line " + std::to_string(k));
    stage.FlushLog();
    const std::vector<std::string> now = LogMessages(path.string()), before = LogMessages(older);
    ASSERT_GE(before.size(), 2u);
    ASSERT_GE(now.size(), 1u);
    const std::string note = "log continued; the lines before are in tarnwick_stage_rotate.log.1, older ones "
                             "were dropped";
    EXPECT_EQ(before[0], note);
    EXPECT_EQ(now[0], note);
    // The kept lines are the last ones, in order, none missing between the two parts.
    std::vector<std::string> kept(before.begin() + 1, before.end());
    kept.insert(kept.end(), now.begin() + 1, now.end());
    for (size_t k = 0; k < kept.size(); ++k)
        EXPECT_EQ(kept[k], "line " + std::to_string(1000 - kept.size() + k));
    EXPECT_LE(std::filesystem::file_size(path), 1000u);
    EXPECT_LE(std::filesystem::file_size(older), 1000u + 40);
    stage.SetLogFileName(path.string());
    EXPECT_FALSE(std::filesystem::exists(older));
    SetUtcClock({});
}

TEST(StepPatternThread, IdleOnlyWhileTheInputHasNotGrownSinceAFruitlessStep) {
    auto in = NewStream("in");
    auto out = NewStream("out");
    std::mutex gate; // held by the test, it keeps the stage from starting its next step
    TTestStage stage(&in, &out, [&](TSHORTstream* aIn, TSHORTstream* aOut) {
        std::lock_guard<std::mutex> pass(gate);
        if (aIn->AwaitingReadSize() < 10) return false;
        uint8_t block[10];
        aIn->Read(block, 10);
        aOut->Write(block, 10);
        return true;
    });
    EXPECT_FALSE(stage.IdleOnCurrentInput()); // no step yet
    uint8_t bytes[10] = {};
    in.Write(bytes, 5);
    stage.Start();
    ASSERT_TRUE(WaitUntil([&] { return stage.IdleOnCurrentInput(); }, std::chrono::seconds(2)));
    {
        std::lock_guard<std::mutex> hold(gate);
        in.Write(bytes, 5);
        // The stage has not looked at the new input yet.
        EXPECT_FALSE(stage.IdleOnCurrentInput());
    }
    ASSERT_TRUE(WaitUntil([&] { return stage.IdleOnCurrentInput(); }, std::chrono::seconds(2)));
    EXPECT_EQ(out.Size(), 10);
    StopStage(stage);
}

TEST(StepPatternThread, AnUnwritableLogDropsLinesWithoutFailingTheStep) {
    auto in = NewStream("in");
    TTestStage stage(&in, nullptr, [](TSHORTstream*, TSHORTstream*) { return false; });
    stage.SetLogFileName((std::filesystem::temp_directory_path() / "no such folder" / "stage.log").string());
    EXPECT_NO_THROW(stage.LOG("first"));
    EXPECT_NO_THROW(stage.LOG("second"));
    EXPECT_EQ(stage.LostLogLines(), 2);
}

// While the loop runs, lines wait in a buffer: they reach the file within about a second of an
// idle stage, all of them, in order and in the line format, when FlushLog is called or the loop
// ends; lines that a running stage cannot write are counted as lost.
TEST(StepPatternThread, BufferedLogReachesTheFileInOrderWithinASecondAndWhenTheLoopEnds) {
    SetUtcClock([] { return EncodeDateTime(2014, 4, 28, 10, 5, 9); });
    const auto path = std::filesystem::temp_directory_path() / "tarnwick_buffered_stage.log";
    auto read = [&] {
        std::ifstream log(path, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    };
    auto in = NewStream("in");
    std::atomic<int> batch{0}; // the step logs batch n once when the test sets it to n
    std::atomic<int> logged{0};
    TTestStage* self = nullptr;
    TTestStage stage(&in, nullptr, [&](TSHORTstream*, TSHORTstream*) {
        // A batch counts as logged only after its last line, so the test never flushes half of one.
        for (const int target = batch.load(); logged < target;) {
            const int n = logged + 1;
            for (int i = 0; i < 1000; ++i)
                self->LOG("batch " + std::to_string(n) + " line " + std::to_string(i));
            logged = n;
        }
        return false;
    });
    self = &stage;
    stage.SetLogFileName(path.string());
    std::string expected;
    for (int n = 1; n <= 3; ++n)
        for (int i = 0; i < 1000; ++i)
            expected +=
                "28.04.2014 13:05:09 - batch " + std::to_string(n) + " line " + std::to_string(i) + "\r\n";
    const size_t oneBatch = expected.size() / 3;

    stage.Start();
    batch = 1;
    ASSERT_TRUE(WaitUntil([&] { return read().size() == oneBatch; }, std::chrono::seconds(10)));
    batch = 2;
    ASSERT_TRUE(WaitUntil([&] { return logged == 2; }, std::chrono::seconds(10)));
    stage.FlushLog();
    EXPECT_EQ(read(), expected.substr(0, 2 * oneBatch));
    batch = 3;
    ASSERT_TRUE(WaitUntil([&] { return logged == 3; }, std::chrono::seconds(10)));
    StopStage(stage);
    EXPECT_EQ(read(), expected);
    EXPECT_EQ(stage.LostLogLines(), 0);

    // A log on a full device: the lines buffered while the loop runs cannot be written; they are
    // counted as lost and the stage goes on stepping.
    const auto full = std::filesystem::temp_directory_path() / "tarnwick_full_stage.log";
    if (std::filesystem::exists("/dev/full")) {
        auto in2 = NewStream("in2");
        std::atomic<bool> go{false};
        std::atomic<int> done{0};
        TTestStage* other = nullptr;
        TTestStage second(&in2, nullptr, [&](TSHORTstream*, TSHORTstream*) {
            if (go.exchange(false)) {
                other->LOG("a");
                other->LOG("b");
                ++done;
            }
            return false;
        });
        other = &second;
        second.SetLogFileName(full.string()); // deletes an old file of that name, so link after it
        std::filesystem::create_symlink("/dev/full", full);
        second.Start();
        go = true;
        ASSERT_TRUE(WaitUntil([&] { return done == 1; }, std::chrono::seconds(10)));
        const int stepsBefore = second.Steps.load();
        ASSERT_TRUE(WaitUntil([&] { return second.LostLogLines() == 2; }, std::chrono::seconds(10)));
        EXPECT_TRUE(
            WaitUntil([&] { return second.Steps.load() > stepsBefore + 2; }, std::chrono::seconds(10)));
        StopStage(second);
        EXPECT_EQ(second.LostLogLines(), 2);
        std::filesystem::remove(full);
    }
    std::filesystem::remove(path);
    SetUtcClock({});
}
