#include "WavFiles.h"

#include "app/RunLoop.h"
#include "app/WavInput.h"

#include <gtest/gtest.h>

using namespace wavtest;

namespace {

int64_t Parse(const std::vector<uint8_t>& aBytes, TWavFormat* aFormat = nullptr) {
    const std::string path = WriteFile("parse.wav", aBytes);
    std::FILE* f = std::fopen(path.c_str(), "rb");
    TWavFormat fmt;
    const int64_t r = ParseWavHeader(f, fmt);
    std::fclose(f);
    if (aFormat) *aFormat = fmt;
    return r;
}

TEST(WavHeaderTest, DataOffsetsOfCanonicalExtendedAndListHeaders) {
    const std::vector<uint8_t> data(64, 0);
    TWavFormat fmt;
    EXPECT_EQ(Parse(Wav(4, data), &fmt), 44);
    EXPECT_EQ(fmt.SampleRate, 196078);
    EXPECT_EQ(fmt.ByteRate, 196078 * 4);
    EXPECT_EQ(fmt.BlockAlign, 4);
    EXPECT_EQ(Parse(Wav(4, data, 18)), 46);
    EXPECT_EQ(Parse(Wav(4, data, 16, {{"LIST", std::vector<uint8_t>(26, 'x')}})), 44 + 34);
    // Two chunks before "data" still count; three do not.
    EXPECT_EQ(
        Parse(Wav(4, data, 16, {{"LIST", std::vector<uint8_t>(4)}, {"auxi", std::vector<uint8_t>(72)}})),
        44 + 12 + 80);
    EXPECT_EQ(Parse(Wav(4, data, 16, {{"LIST", {}}, {"junk", {}}, {"fact", std::vector<uint8_t>(4)}})),
              wh_NoData);
}

TEST(WavHeaderTest, NegativeCodesForEachMissingPart) {
    std::vector<uint8_t> good = Wav(4, std::vector<uint8_t>(16));
    auto damaged = [&](size_t at, char c) {
        std::vector<uint8_t> b = good;
        b[at] = uint8_t(c);
        return b;
    };
    EXPECT_EQ(Parse(damaged(0, 'X')), wh_NoRiff);
    EXPECT_EQ(Parse(damaged(8, 'X')), wh_NoWave);
    EXPECT_EQ(Parse(damaged(12, 'X')), wh_NoFmt);
    EXPECT_EQ(Parse(damaged(36, 'X')), wh_NoData);
    // Files that end inside the header: the code of the part they lack, never a wild offset.
    EXPECT_EQ(Parse({}), wh_NoRiff);
    EXPECT_EQ(Parse(std::vector<uint8_t>(good.begin(), good.begin() + 10)), wh_NoWave);
    EXPECT_EQ(Parse(std::vector<uint8_t>(good.begin(), good.begin() + 30)), wh_NoFmt);
    EXPECT_EQ(Parse(std::vector<uint8_t>(good.begin(), good.begin() + 38)), wh_NoData);
    // A chunk size that runs past the end of the file.
    std::vector<uint8_t> b = Wav(4, {}, 16, {{"LIST", std::vector<uint8_t>(4)}});
    b[40] = 0xFF, b[41] = 0xFF, b[42] = 0xFF, b[43] = 0x7F;
    EXPECT_EQ(Parse(b), wh_NoData);
}

TEST(WavFramesTest, FourLayoutsScalingAndSwap) {
    ReceiverBlock blk;
    const uint8_t w16[] = {0x10, 0x00, 0xF0, 0xFF};
    ASSERT_TRUE(ConvertFrames(w16, 1, 4, false, blk));
    EXPECT_EQ(blk.Frames[0].I, -2);
    EXPECT_EQ(blk.Frames[0].Q, 2);
    ConvertFrames(w16, 1, 4, true, blk);
    EXPECT_EQ(blk.Frames[0].I, 2);
    EXPECT_EQ(blk.Frames[0].Q, -2);

    const uint8_t b8[] = {0x80, 0x7F};
    ConvertFrames(b8, 1, 2, false, blk);
    EXPECT_EQ(blk.Frames[0].I, -128);
    EXPECT_EQ(blk.Frames[0].Q, 127);

    // 16-bit -7 / 8 truncates to 0, -9 / 8 to -1.
    const uint8_t w16b[] = {0xF9, 0xFF, 0xF7, 0xFF};
    ConvertFrames(w16b, 1, 4, false, blk);
    EXPECT_EQ(blk.Frames[0].I, -1);
    EXPECT_EQ(blk.Frames[0].Q, 0);

    const uint8_t w24[] = {0x01, 0x00, 0x80, 0xFF, 0xFF, 0x7F};
    ConvertFrames(w24, 1, 6, false, blk);
    EXPECT_EQ(blk.Frames[0].I, 0x7FFFFF);
    EXPECT_EQ(blk.Frames[0].Q, -0x7FFFFF);

    const uint8_t w32[] = {0x00, 0x00, 0x00, 0x80, 0x05, 0x00, 0x00, 0x00};
    ConvertFrames(w32, 1, 8, false, blk);
    EXPECT_EQ(blk.Frames[0].I, 5);
    EXPECT_EQ(blk.Frames[0].Q, INT32_MIN);

    // Other alignments convert nothing.
    blk.Frames[0] = {7, 8};
    EXPECT_FALSE(ConvertFrames(w32, 1, 3, false, blk));
    EXPECT_EQ(blk.Frames[0].I, 7);
}

TEST(WavInputTest, MonoSixteenBitIsReadAsEightBitStereoAndBlocksEndAtTheFile) {
    // Block alignment 2: low and high byte of each 16-bit sample become I and Q.
    std::vector<uint8_t> data;
    for (int n = 0; n < 10000; ++n)
        Le(data, uint32_t(int16_t(n - 5000)), 2);
    const std::string path = WriteFile("mono.wav", Wav(2, data));
    TWavInput in;
    ASSERT_TRUE(in.Open(path));
    ASSERT_TRUE(in.Readable()) << in.Problem();
    EXPECT_EQ(in.Position(), 44);
    ReceiverBlock blk;
    EXPECT_EQ(in.ReadBlock(blk, false), 8192);
    EXPECT_EQ(blk.Frames[1].I, int8_t(uint8_t((1 - 5000) & 0xFF)));
    EXPECT_EQ(blk.Frames[1].Q, int8_t(uint8_t(((1 - 5000) >> 8) & 0xFF)));
    EXPECT_EQ(in.ReadBlock(blk, false), 10000 - 8192);
    EXPECT_EQ(in.ReadBlock(blk, false), 0);
    EXPECT_EQ(in.Position(), 44 + 20000);
}

TEST(WavInputTest, BarSeekFileTimeAndBarPosition) {
    EXPECT_EQ(BarSeekOffset(1000044, 50, 4, 44), 500044);
    EXPECT_EQ(BarSeekOffset(1000044, 0, 4, 44), 44);
    EXPECT_EQ(FileTimeText(441000, 176400), " 00:02:500");
    EXPECT_EQ(FileTimeText(176400 * 125 + 176, 176400), " 02:05:000");
    EXPECT_EQ(FileTimeText(1000, 0), " 00:00:000");

    const std::string path = WriteFile("bar.wav", Wav(4, std::vector<uint8_t>(4 * 10000)));
    TWavInput in;
    ASSERT_TRUE(in.Open(path));
    in.SeekToBar(50);
    EXPECT_EQ(in.Position(), ((40044 / 100) * 50 / 4) * 4 + 44);
    EXPECT_EQ(in.BarPosition(), 50);
}

TEST(WavInputTest, UnusableFilesAreRefusedWithAReason) {
    TWavInput in;
    EXPECT_FALSE(in.Open(TempPath("does-not-exist.wav")));
    EXPECT_FALSE(in.IsOpen());

    ASSERT_TRUE(in.Open(WriteFile("text.wav", std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o'})));
    EXPECT_EQ(in.DataOffset(), wh_NoRiff);
    EXPECT_FALSE(in.Readable());
    EXPECT_NE(in.Problem().find("-2"), std::string::npos);
    ReceiverBlock blk;
    EXPECT_EQ(in.ReadBlock(blk, false), 0);

    // Twelve bytes per frame would overrun the block's raw buffer.
    ASSERT_TRUE(in.Open(WriteFile("wide.wav", Wav(12, std::vector<uint8_t>(12 * 100)))));
    EXPECT_EQ(in.DataOffset(), 44);
    EXPECT_FALSE(in.Readable());
    EXPECT_NE(in.Problem().find("block alignment 12"), std::string::npos);
    EXPECT_EQ(in.ReadBlock(blk, false), 0);

    ASSERT_TRUE(in.Open(WriteFile("zero-rate.wav", Wav(4, std::vector<uint8_t>(400), 16, {}, 0))));
    EXPECT_FALSE(in.Readable());
}

} // namespace
