#include "platform/Exceptions.h"
#include "platform/Streams.h"
#include "platform/SysUtils.h"
#include "streams/SHORTstreamUnit_v3.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int64_t MiB = TSHORTstream::PageSize;

// Byte k of every test stream: distinct enough that a misplaced page or offset shows.
uint8_t PatternByte(int64_t k) {
    return static_cast<uint8_t>((k * 131 + (k >> 20) * 17 + (k >> 8)) & 0xFF);
}

std::vector<uint8_t> Pattern(int64_t from, int64_t count) {
    std::vector<uint8_t> v(static_cast<size_t>(count));
    for (int64_t i = 0; i < count; ++i)
        v[static_cast<size_t>(i)] = PatternByte(from + i);
    return v;
}

TSHORTstream NewStream() {
    return TSHORTstream("test", true, true, nullptr);
}

void WritePattern(TSHORTstream& s, int64_t count) {
    const auto data = Pattern(s.Size(), count);
    ASSERT_EQ(s.Write(data.data(), static_cast<int32_t>(count)), count);
}

void ExpectPatternRead(TSHORTstream& s, int64_t count) {
    const int64_t from = s.Position();
    std::vector<uint8_t> got(static_cast<size_t>(count));
    ASSERT_EQ(s.Read(got.data(), static_cast<int32_t>(count)), count);
    ASSERT_EQ(got, Pattern(from, count));
}

std::string TempPath(const std::string& name) {
    return (std::filesystem::temp_directory_path() / ("tarnwick_streams_" + name)).string();
}

} // namespace

TEST(SHORTstream, NonPositiveCountsChangeNothing) {
    auto s = NewStream();
    uint8_t byte = 7;
    EXPECT_EQ(s.Write(&byte, 0), 0);
    EXPECT_EQ(s.Write(&byte, -5), 0);
    EXPECT_EQ(s.Size(), 0);
    EXPECT_EQ(s.PagesCount(), 0);
    WritePattern(s, 10);
    EXPECT_EQ(s.Read(&byte, -1), 0);
    EXPECT_EQ(s.Position(), 0);
    // Reading more than waits returns what waits; reading nothing waiting returns 0.
    std::vector<uint8_t> buf(100);
    EXPECT_EQ(s.Read(buf.data(), 100), 10);
    EXPECT_EQ(s.Read(buf.data(), 100), 0);
    EXPECT_EQ(s.Position(), 10);
}

TEST(SHORTstream, LargeWriteTakesOnePagePerMegabyteAndReadsBackAcrossPages) {
    auto s = NewStream();
    WritePattern(s, 3 * MiB);
    EXPECT_EQ(s.Size(), 3 * MiB);
    EXPECT_EQ(s.PagesCount(), 3);
    EXPECT_EQ(s.Capacity(), 3 * MiB);
    EXPECT_EQ(s.ActualMemoryResource(), 3 * MiB);
    // Reads that straddle page boundaries at odd offsets.
    ExpectPatternRead(s, MiB - 3);
    ExpectPatternRead(s, 7);
    ExpectPatternRead(s, MiB + 100);
    EXPECT_EQ(s.AwaitingReadSize(), 3 * MiB - (MiB - 3) - 7 - (MiB + 100));
}

TEST(SHORTstream, ReleaseGivesBackOnlyWholePagesBelowTheMark) {
    auto s = NewStream();
    WritePattern(s, MiB + MiB / 2);
    ExpectPatternRead(s, MiB + MiB / 2);
    s.ClearNotActualMemory();
    EXPECT_EQ(s.PagesCount(), 1);
    EXPECT_EQ(s.DeletedPagesCount(), 1);
    EXPECT_EQ(s.NotActualPosition(), MiB + MiB / 2);
    EXPECT_EQ(s.ActualSize(), 0);

    // A mark on a page boundary releases that page too; the next write starts a new one at
    // list index 0 and still reads back right.
    auto exact = NewStream();
    WritePattern(exact, MiB);
    ExpectPatternRead(exact, MiB);
    exact.ClearNotActualMemory();
    EXPECT_EQ(exact.PagesCount(), 0);
    EXPECT_EQ(exact.DeletedPagesCount(), 1);
    WritePattern(exact, 10);
    EXPECT_EQ(exact.PagesCount(), 1);
    ExpectPatternRead(exact, 10);
}

TEST(SHORTstream, PositionIsClampedBetweenMarkAndSize) {
    auto s = NewStream();
    WritePattern(s, 2 * MiB + 10);
    ExpectPatternRead(s, MiB);
    s.ClearNotActualMemory();
    s.SetPosition(0);
    EXPECT_EQ(s.Position(), MiB);
    s.SetPosition(5 * MiB);
    EXPECT_EQ(s.Position(), 2 * MiB + 10);
    // The mark cannot pass the read position nor go negative.
    s.SetPosition(MiB + 5);
    s.SetNotActualPosition(3 * MiB);
    EXPECT_EQ(s.NotActualPosition(), MiB + 5);
    s.SetNotActualPosition(-1);
    EXPECT_EQ(s.NotActualPosition(), 0);
    EXPECT_EQ(s.DeletedPagesCount(), 1);
    // Stepping back and re-reading above the mark gives the same bytes.
    s.SetNotActualPosition(MiB + 5);
    s.Seek(int64_t{2}, TSeekOrigin::soCurrent);
    s.Seek(int64_t{-2}, TSeekOrigin::soCurrent);
    ExpectPatternRead(s, 100);
}

TEST(SHORTstream, SeekForms) {
    auto s = NewStream();
    WritePattern(s, 1000);
    EXPECT_EQ(s.Seek(-100, 2), 900);
    EXPECT_EQ(s.Seek(10, 1), 910);
    EXPECT_EQ(s.Seek(5, 0), 5);
    EXPECT_EQ(s.Seek(500, 7), 5); // unknown origin: unchanged
    EXPECT_EQ(s.Seek(int64_t{-2000}, TSeekOrigin::soEnd), 0);
    EXPECT_EQ(s.Seek(int64_t{2000}, TSeekOrigin::soBeginning), 1000);
}

TEST(SHORTstream, CopyFromPagedSourceMovesAllWaitingAndReleasesTheSource) {
    auto source = NewStream();
    WritePattern(source, 2 * MiB + 123);
    ExpectPatternRead(source, 23); // these were read already and are not copied
    auto target = NewStream();
    EXPECT_EQ(target.CopyFrom(source, 0), 2 * MiB + 100);
    EXPECT_EQ(source.AwaitingReadSize(), 0);
    EXPECT_EQ(source.DeletedPagesCount(), 2);
    EXPECT_EQ(source.PagesCount(), 1);
    EXPECT_EQ(target.Size(), 2 * MiB + 100);
    std::vector<uint8_t> got(static_cast<size_t>(target.Size()));
    target.Read(got.data(), static_cast<int32_t>(got.size()));
    EXPECT_EQ(got, Pattern(23, 2 * MiB + 100));

    // A count above what waits is cut to what waits.
    WritePattern(source, 50);
    EXPECT_EQ(target.CopyFrom(source, 1000), 50);
}

TEST(SHORTstream, MoveToPagedStreamHandsOverTheCount) {
    auto source = NewStream();
    WritePattern(source, 3000);
    auto target = NewStream();
    EXPECT_EQ(source.MoveTo(target, 1000), 1000);
    EXPECT_EQ(source.MoveTo(target, 0), 2000);
    EXPECT_EQ(source.MoveTo(target, 0), 0);
    ExpectPatternRead(target, 3000);
}

TEST(SHORTstream, MoveToFileWritesOnlyWhatWaits) {
    const std::string path = TempPath("move.bin");
    auto s = NewStream();
    WritePattern(s, MiB);
    {
        TFileStream file(path, TFileMode::fmCreate);
        EXPECT_EQ(s.MoveTo(file, 5 * MiB), MiB);
    }
    EXPECT_EQ(s.AwaitingReadSize(), 0);
    EXPECT_EQ(s.PagesCount(), 0);
    TMemoryStream back;
    back.LoadFromFile(path);
    ASSERT_EQ(back.Size(), MiB);
    EXPECT_EQ(std::vector<uint8_t>(back.Memory(), back.Memory() + MiB), Pattern(0, MiB));
    std::filesystem::remove(path);
}

TEST(SHORTstream, CopyFromGenericStream) {
    TMemoryStream memory;
    const auto data = Pattern(0, 3 * MiB / 2);
    memory.WriteBuffer(data.data(), static_cast<int64_t>(data.size()));
    auto s = NewStream();
    // 0 means the whole source from its start, wherever it is positioned.
    EXPECT_EQ(s.CopyFrom(memory, 0), 3 * MiB / 2);
    ExpectPatternRead(s, 3 * MiB / 2);
    // A count is limited to what lies behind the source's position.
    memory.SetPosition(3 * MiB / 2 - 10);
    EXPECT_EQ(s.CopyFrom(memory, 100), 10);
    EXPECT_EQ(s.Size(), 3 * MiB / 2 + 10);
}

TEST(SHORTstream, WriteStoresWhatFitsWhenThePoolHasNoPage) {
    TMemoBank bank(static_cast<int32_t>(MiB), "small", 1);
    ASSERT_EQ(bank.FreeCount(), 1);
    SetFreePhysicalMemoryProvider([] { return int64_t{0}; });
    {
        TSHORTstream s("starved", true, false, &bank);
        const auto data = Pattern(0, MiB + MiB / 2);
        EXPECT_EQ(s.Write(data.data(), static_cast<int32_t>(data.size())), MiB);
        EXPECT_EQ(s.Size(), MiB);
        EXPECT_EQ(s.Write(data.data(), 1), 0);
        ExpectPatternRead(s, MiB);
    }
    SetFreePhysicalMemoryProvider({});
    EXPECT_EQ(bank.BufferCount(), 0);
    EXPECT_EQ(bank.FreeCount(), 1);
}

TEST(SHORTstream, DestructionReturnsEveryPage) {
    const int32_t before = CommonBank().BufferCount();
    {
        auto s = NewStream();
        WritePattern(s, 5 * MiB + 1);
        ExpectPatternRead(s, 10);
        EXPECT_EQ(CommonBank().BufferCount(), before + 6);
    }
    EXPECT_EQ(CommonBank().BufferCount(), before);
    EXPECT_LE(CommonBank().FreeCount(), 3);

    TSHORTstream own("own pool", true, false, nullptr);
    WritePattern(own, 10);
    EXPECT_EQ(own.MemoBank().Master, "own pool");
    EXPECT_EQ(own.MemoBank().BufferCount(), 1);
}

TEST(SHORTStreams, IndexedEntriesStartEmptyAndCheckBounds) {
    TSHORTStreams list;
    list.SetCount(4096);
    EXPECT_EQ(list.GetStreams(64), nullptr);
    auto s = NewStream();
    list.SetStreams(70, &s);
    EXPECT_EQ(list[70], &s);
    EXPECT_THROW(list.GetStreams(4096), EListError);
    EXPECT_THROW(list.SetStreams(-1, &s), EListError);
}

// One writer and one reader thread, as between two stages. The reader steps back and re-reads
// before giving bytes up, and checks that it holds no page below its release mark.
TEST(SHORTstream, WriterAndReaderThreadsSeeEveryByteInOrder) {
    auto s = NewStream();
    constexpr int64_t Total = 24 * MiB + 12345;
    std::atomic<bool> failed{false};
    std::atomic<bool> writerDone{false};

    std::thread writer([&] {
        std::mt19937 rng(1);
        std::uniform_int_distribution<int64_t> size(1, 3 * MiB);
        int64_t written = 0;
        while (written < Total) {
            const int64_t n = std::min(size(rng), Total - written);
            const auto data = Pattern(written, n);
            if (s.Write(data.data(), static_cast<int32_t>(n)) != n) failed = true;
            written += n;
            if (s.ActualSize() > 8 * MiB) std::this_thread::yield();
        }
        writerDone = true;
    });

    std::mt19937 rng(2);
    std::uniform_int_distribution<int32_t> size(1, 2 * static_cast<int32_t>(MiB));
    std::vector<uint8_t> buf(2 * MiB);
    int64_t consumed = 0;
    while (consumed < Total && !failed) {
        const int64_t waiting = s.AwaitingReadSize();
        if (waiting == 0) {
            if (writerDone && s.AwaitingReadSize() == 0) break;
            std::this_thread::yield();
            continue;
        }
        const int32_t want = static_cast<int32_t>(std::min<int64_t>(size(rng), waiting));
        const int64_t from = s.Position();
        if (s.Read(buf.data(), want) != want) failed = true;
        for (int32_t i = 0; i < want; ++i)
            if (buf[static_cast<size_t>(i)] != PatternByte(from + i)) failed = true;
        // Step back over half of it and read it again, as a stage looking ahead would.
        s.Seek(static_cast<int64_t>(-(want / 2)), TSeekOrigin::soCurrent);
        const int32_t again = want / 2;
        const int64_t from2 = s.Position();
        if (s.Read(buf.data(), again) != again) failed = true;
        for (int32_t i = 0; i < again; ++i)
            if (buf[static_cast<size_t>(i)] != PatternByte(from2 + i)) failed = true;
        s.ClearNotActualMemory();
        consumed = s.Position();
        if (s.DeletedPagesCount() != s.NotActualPosition() / MiB) failed = true;
    }
    writer.join();
    EXPECT_FALSE(failed.load());
    EXPECT_EQ(consumed, Total);
    EXPECT_EQ(s.Size(), Total);
    EXPECT_EQ(s.PagesCount(), 1); // only the page holding the last bytes
}

// An interrupted wait ends long before its time and reports no growth, whether the interruption
// comes during the wait or before it (then it ends that next wait only); growth still ends a wait
// with true.
TEST(SHORTstream, InterruptedWaitEndsEarlyWithoutGrowth) {
    using Clock = std::chrono::steady_clock;
    constexpr int kLong = 60000; // ms; an interruption that does not work sleeps it out
    auto s = NewStream();
    WritePattern(s, 10);
    const auto started = Clock::now();
    std::atomic<int> result{-1};
    std::thread waiter([&] { result = s.WaitForData(10, kLong, 1) ? 1 : 0; });
    s.InterruptWait();
    waiter.join();
    EXPECT_EQ(result.load(), 0);
    s.InterruptWait(); // before the wait: ends the next one
    EXPECT_FALSE(s.WaitForData(10, kLong, 1));
    EXPECT_LT(Clock::now() - started, std::chrono::milliseconds(kLong / 2));
    EXPECT_FALSE(s.WaitForData(10, 20, 1)); // spent: this one runs to its time
    s.InterruptWait();
    WritePattern(s, 5);
    EXPECT_TRUE(s.WaitForData(10, kLong, 5));
}
