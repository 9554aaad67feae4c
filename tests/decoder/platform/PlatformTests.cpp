#include "platform/Exceptions.h"
#include "platform/Streams.h"
#include "platform/SysUtils.h"
#include "platform/Threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <stdexcept>
#include <thread>

namespace {

std::string TempPath(const std::string& name) {
    return (std::filesystem::temp_directory_path() / ("tarnwick_platform_" + name)).string();
}

class TCountingThread : public TThread {
  public:
    std::atomic<int> Loops{0};
    bool Throw = false;

  protected:
    void Execute() override {
        if (Throw) throw std::runtime_error("dies");
        while (!Terminated()) {
            ++Loops;
            SleepMs(1);
        }
    }
};

} // namespace

TEST(Platform, DateTimeEncodingMatchesTheDayCount) {
    EXPECT_DOUBLE_EQ(EncodeDateTime(1899, 12, 30), 0.0);
    EXPECT_DOUBLE_EQ(EncodeDateTime(1970, 1, 1), 25569.0);
    EXPECT_DOUBLE_EQ(EncodeDateTime(2014, 4, 28, 12), 41757.5);
    const TDecodedDateTime t = DecodeDateTime(EncodeDateTime(2024, 2, 29, 23, 59, 59, 999));
    EXPECT_EQ(t.Year, 2024);
    EXPECT_EQ(t.Month, 2);
    EXPECT_EQ(t.Day, 29);
    EXPECT_EQ(t.Hour, 23);
    EXPECT_EQ(t.Minute, 59);
    EXPECT_EQ(t.Second, 59);
    EXPECT_EQ(t.Millisecond, 999);
    // Rounding up to 24:00 moves to the next day.
    const TDecodedDateTime next = DecodeDateTime(EncodeDateTime(2024, 2, 29) + 1.0 - 1e-10);
    EXPECT_EQ(next.Month, 3);
    EXPECT_EQ(next.Day, 1);
    EXPECT_EQ(next.Hour, 0);
}

TEST(Platform, SystemClockAndMemoryAreSensible) {
    const TDateTime now = UtcNow();
    EXPECT_GT(now, EncodeDateTime(2020, 1, 1));
    EXPECT_LT(now, EncodeDateTime(2200, 1, 1));
    EXPECT_GT(FreePhysicalMemory(), 0);
}

TEST(Platform, ThreadStartsStoppedRunsOnceAndSurvivesItsException) {
    TCountingThread idle; // destroyed without ever being started
    EXPECT_FALSE(idle.Started());

    TCountingThread t;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(t.Loops.load(), 0);
    t.Start();
    t.Start();
    while (t.Loops < 3)
        std::this_thread::yield();
    t.Terminate();
    t.WaitFor();
    EXPECT_TRUE(t.Finished());

    TCountingThread dying;
    dying.Throw = true;
    dying.Start();
    dying.WaitFor();
    EXPECT_TRUE(dying.Finished());
}

TEST(Platform, FileStreamRoundTripAndClearErrors) {
    const std::string path = TempPath("file.bin");
    {
        TFileStream f(path, TFileMode::fmCreate);
        const char text[] = "0123456789";
        f.WriteBuffer(text, 10);
        EXPECT_EQ(f.Size(), 10);
        f.SetPosition(4);
        char four[4];
        f.ReadBuffer(four, 4);
        EXPECT_EQ(std::string(four, 4), "4567");
        f.WriteBuffer("XY", 2);
        char rest[8];
        EXPECT_THROW(f.ReadBuffer(rest, 8), EReadError);
    }
    {
        TFileStream f(path, TFileMode::fmOpenRead);
        char all[10];
        f.ReadBuffer(all, 10);
        EXPECT_EQ(std::string(all, 10), "01234567XY");
        EXPECT_THROW(f.WriteBuffer("z", 1), EWriteError);
    }
    std::filesystem::remove(path);
    try {
        TFileStream missing(path, TFileMode::fmOpenRead);
        FAIL() << "opened a missing file";
    } catch (const EFOpenError& e) {
        EXPECT_NE(std::string(e.what()).find(path), std::string::npos);
    }
    EXPECT_THROW(TFileStream(TempPath("no/such/dir.bin"), TFileMode::fmCreate), EFCreateError);
}

TEST(Platform, MemoryStreamGrowsAndFailsShortReads) {
    TMemoryStream m;
    m.WriteBuffer("abc", 3);
    m.SetPosition(5);
    m.WriteBuffer("z", 1);
    EXPECT_EQ(m.Size(), 6);
    EXPECT_EQ(m.Memory()[3], 0);
    m.SetPosition(0);
    char buf[6];
    m.ReadBuffer(buf, 6);
    EXPECT_EQ(buf[5], 'z');
    EXPECT_THROW(m.ReadBuffer(buf, 1), EReadError);
    EXPECT_EQ(m.Seek(-1, TSeekOrigin::soEnd), 5);
    m.SetSize(2);
    EXPECT_EQ(m.Position(), 2);
    m.Clear();
    EXPECT_EQ(m.Size(), 0);
}
