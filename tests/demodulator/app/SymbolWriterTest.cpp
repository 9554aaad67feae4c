#include "WavFiles.h"

#include "app/RunLoop.h"
#include "app/SymbolWriter.h"

#include <filesystem>
#include <gtest/gtest.h>

using namespace wavtest;

namespace {

int64_t Size(const std::string& aPath) {
    return int64_t(std::filesystem::file_size(aPath));
}

TEST(SymbolWriterTest, WritesWholeBlocksAndFlushesThePartOnClose) {
    const std::string path = TempPath("blocks.raw");
    TSymbolWriter w;
    ASSERT_TRUE(w.Open(path));
    for (int n = 0; n < 6738; ++n)
        w.Put(uint8_t(n));
    EXPECT_EQ(Size(path), 0);
    w.Put(1);
    EXPECT_EQ(Size(path), 6739);
    for (int n = 0; n < 1000; ++n)
        w.Put(uint8_t(n * 7));
    EXPECT_EQ(Size(path), 6739);
    // Closing (quitting) writes the pending 1000 symbols instead of losing them.
    w.Close();
    const std::vector<uint8_t> b = ReadFile(path);
    ASSERT_EQ(b.size(), 7739u);
    EXPECT_EQ(b[6737], uint8_t(6737));
    EXPECT_EQ(b[6739 + 999], uint8_t(999 * 7));
    EXPECT_EQ(w.Written(), 7739);
}

TEST(SymbolWriterTest, PendingBytesStayWithTheFileTheyBelongTo) {
    const std::string first = TempPath("first.raw"), second = TempPath("second.raw");
    TSymbolWriter w;
    ASSERT_TRUE(w.Open(first));
    for (int n = 0; n < 100; ++n)
        w.Put(0x11);
    ASSERT_TRUE(w.Open(second));
    for (int n = 0; n < 6739; ++n)
        w.Put(0x22);
    EXPECT_EQ(ReadFile(first), std::vector<uint8_t>(100, 0x11));
    EXPECT_EQ(ReadFile(second), std::vector<uint8_t>(6739, 0x22));
}

TEST(SymbolWriterTest, NoFileMeansSymbolsAreCountedNotWritten) {
    TSymbolWriter w;
    EXPECT_FALSE(w.Open(TempPath("no-such-dir/x.raw")));
    EXPECT_FALSE(w.IsOpen());
    for (int n = 0; n < 7000; ++n)
        w.Put(1);
    EXPECT_EQ(w.Dropped(), 7000);
    EXPECT_EQ(w.Written(), 0);
    // A later file starts clean.
    const std::string path = TempPath("after.raw");
    ASSERT_TRUE(w.Open(path));
    w.Put(3);
    w.Close();
    EXPECT_EQ(ReadFile(path), std::vector<uint8_t>{3});
}

// Counts the symbols and remembers the receiver's input of the last block.
TEST(RunLoopTest, EndOfFileProcessesTheLastFramesOnceAndFlushes) {
    // 8192 + 100 frames of a constant 16-bit tone.
    std::vector<uint8_t> data;
    for (int n = 0; n < 8292; ++n) {
        Le(data, uint32_t(int16_t(n % 2 ? 1600 : -1600)), 2);
        Le(data, uint32_t(int16_t(n % 4 < 2 ? 1600 : -1600)), 2);
    }
    const std::string in = WriteFile("eof.wav", Wav(4, data));
    const std::string out = TempPath("eof.raw");

    TCostasReceiver rx;
    TSourceOptions so;
    so.Path = in;
    TSampleSource input(so);
    TSymbolWriter output;
    ASSERT_TRUE(output.Open(out));
    TakeInputRate(rx, nullptr, input.SampleRate());
    EXPECT_EQ(rx.Params().Samp, 4 * 196078);
    rx.ComputeWords();
    TRunLoop loop(rx, input, output);
    EXPECT_EQ(loop.Tick(), TRunLoop::tk_Block);
    EXPECT_EQ(loop.Tick(), TRunLoop::tk_End);
    EXPECT_EQ(loop.FramesProcessed(), 8292);
    // Flushed at the end: the file holds every symbol made.
    const int64_t symbols = output.Written();
    EXPECT_EQ(output.Pending(), 0);
    EXPECT_EQ(int64_t(ReadFile(out).size()), symbols);
    // About 72000 / 196078 symbols per frame; none from frames beyond the data.
    EXPECT_NEAR(double(symbols), 8292 * 72000.0 / 196078.0, 40.0);
    // Nothing more is read or processed after the end.
    EXPECT_EQ(loop.Tick(), TRunLoop::tk_End);
    EXPECT_EQ(loop.FramesProcessed(), 8292);
    EXPECT_EQ(output.Written(), symbols);
}

TEST(RunLoopTest, ABlockSplitIntoPartsGivesTheSameSymbolsAndState) {
    ReceiverBlock whole, first, second;
    for (int n = 0; n < ReceiverBlock::FrameCount; ++n)
        whole.Frames[n] = {((n * 37) % 200 - 100) * 2, ((n * 53) % 200 - 100) * 2};
    const int cut = 3001;
    for (int n = 0; n < ReceiverBlock::FrameCount; ++n)
        (n < cut ? first.Frames[n] : second.Frames[n - cut]) = whole.Frames[n];
    struct Sink : SymbolSink {
        std::vector<uint8_t> Bytes;
        void Put(uint8_t b) override { Bytes.push_back(b); }
    };
    TCostasReceiver a, b;
    Sink sa, sb;
    for (int k = 0; k < 3; ++k)
        a.ProcessBlock(whole, sa);
    for (int k = 0; k < 3; ++k) {
        b.ProcessFrames(first, cut, sb);
        b.ProcessFrames(second, ReceiverBlock::FrameCount - cut, sb);
    }
    EXPECT_EQ(sa.Bytes, sb.Bytes);
    EXPECT_EQ(a.State().NcoPhase, b.State().NcoPhase);
    EXPECT_EQ(a.State().ClfAcc, b.State().ClfAcc);
    EXPECT_EQ(a.State().SymPhase, b.State().SymPhase);
    EXPECT_EQ(a.State().AgcAcc, b.State().AgcAcc);
    // Nothing, and nothing beyond the block, for counts outside 0..8192.
    TCostasReceiver c;
    Sink sc;
    c.ProcessFrames(whole, 0, sc);
    c.ProcessFrames(whole, -5, sc);
    EXPECT_TRUE(sc.Bytes.empty());
    EXPECT_EQ(c.State().SymPhase, TCostasReceiver().State().SymPhase);
}

TEST(RunLoopTest, PartialBlockGivesTheSameSymbolsAsTheFramesAlone) {
    // The frames of a short file through the loop, against the same frames in a whole block
    // followed by silence, cut where the short file ends.
    std::vector<uint8_t> data;
    ReceiverBlock whole;
    for (int n = 0; n < 3000; ++n) {
        const int16_t i = int16_t(((n * 37) % 200 - 100) * 16), q = int16_t(((n * 53) % 200 - 100) * 16);
        Le(data, uint32_t(q), 2);
        Le(data, uint32_t(i), 2);
        whole.Frames[n] = {i / 8, q / 8};
    }
    struct Sink : SymbolSink {
        std::vector<uint8_t> Bytes;
        void Put(uint8_t b) override { Bytes.push_back(b); }
    };
    TCostasReceiver a, b;
    Sink sa;
    a.ProcessFrames(whole, 3000, sa);

    TSourceOptions so;
    so.Path = WriteFile("short.wav", Wav(4, data));
    TSampleSource input(so);
    TSymbolWriter output;
    const std::string out = TempPath("short.raw");
    ASSERT_TRUE(output.Open(out));
    TRunLoop loop(b, input, output);
    EXPECT_EQ(loop.Tick(), TRunLoop::tk_End);
    EXPECT_EQ(ReadFile(out), sa.Bytes);
    EXPECT_EQ(a.State().SymPhase, b.State().SymPhase);
}

} // namespace
