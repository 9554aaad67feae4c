#include "platform/Exceptions.h"
#include "platform/SysUtils.h"
#include "stages/StageLog.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace {

class StageLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fPath = (std::filesystem::temp_directory_path() /
                 ("tarnwick_log_" +
                  std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + ".log"))
                    .string();
        std::filesystem::remove(fPath);
    }
    void TearDown() override {
        SetUtcClock({});
        std::filesystem::remove(fPath);
    }
    static void FixUtc(TDateTime aValue) {
        SetUtcClock([aValue] { return aValue; });
    }
    std::string Contents() const {
        std::ifstream in(fPath, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::string fPath;
};

} // namespace

TEST_F(StageLogTest, LinesCarryOnBoardDateTimeAndCrLf) {
    FixUtc(EncodeDateTime(2014, 4, 28, 10, 5, 9, 420));
    EXPECT_TRUE(AppendLogLine(fPath, "SYNC=1ACFFC1D"));
    FixUtc(EncodeDateTime(2014, 4, 28, 21, 0, 0)); // on-board midnight: date alone
    EXPECT_TRUE(AppendLogLineLocked(fPath, "потеря"));
    EXPECT_EQ(Contents(), "28.04.2014 13:05:09 - SYNC=1ACFFC1D\r\n29.04.2014 - потеря\r\n");
}

TEST_F(StageLogTest, UnwritableFileRaisesAnInputOutputError) {
    const auto dir = std::filesystem::temp_directory_path();
    EXPECT_THROW(AppendLogLine(dir.string(), "x"), EInOutError);
    EXPECT_THROW(AppendLogLine((dir / "no such folder" / "a.log").string(), "x"), EInOutError);
}

TEST_F(StageLogTest, LockedAppendsFromManyThreadsKeepLinesWhole) {
    FixUtc(EncodeDateTime(2020, 1, 2, 3, 4, 5));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i)
                AppendLogLineLocked(fPath, std::string(200, static_cast<char>('a' + t)));
        });
    for (auto& th : threads)
        th.join();
    std::istringstream lines(Contents());
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        ++count;
        ASSERT_EQ(line.size(), std::string("02.01.2020 06:04:05 - ").size() + 200 + 1);
        EXPECT_EQ(line.substr(22, 200), std::string(200, line[22]));
        EXPECT_EQ(line.back(), '\r');
    }
    EXPECT_EQ(count, 200);
}

TEST(StageLog, OnBoardTimeIsUtcPlusThreeHours) {
    SetUtcClock([] { return EncodeDateTime(2014, 4, 28, 10, 0, 0); });
    EXPECT_EQ(FormatLogDateTime(OnBoardNow()), "28.04.2014 13:00:00");
    SetUtcClock([] { return EncodeDateTime(2014, 12, 31, 22, 30, 0); });
    EXPECT_EQ(FormatLogDateTime(OnBoardNow()), "01.01.2015 01:30:00");
    SetUtcClock({});
    EXPECT_EQ(OnBoardTimeBias, -180);
}

TEST(StageLog, FormatTimeOfDayRoundsToTheMillisecond) {
    EXPECT_EQ(FormatTimeOfDay(0.5), "12:00:00.000");
    EXPECT_EQ(FormatTimeOfDay(1.0 / 86400000), "00:00:00.001");
    EXPECT_EQ(FormatTimeOfDay(EncodeDateTime(2014, 4, 28, 13, 5, 9, 42)), "13:05:09.042");
    EXPECT_EQ(FormatTimeOfDay(0.4 / 86400000), "00:00:00.000");
    // A value that rounds up to midnight shows midnight, not 24:00.
    EXPECT_EQ(FormatTimeOfDay(1.0 - 0.2 / 86400000), "00:00:00.000");
}
