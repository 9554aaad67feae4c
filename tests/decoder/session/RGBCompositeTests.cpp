#include "session/RGBComposite.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

// A channel picture whose row y has grey value (base + y) % 256 in its first byte.
TBitmap24 Channel(int rows, int base) {
    TBitmap24 b(1636, rows);
    for (int y = 0; y < rows; ++y)
        for (int x = 0; x < 1636; ++x)
            b.SetPixel(x, y, {static_cast<uint8_t>((base + y) % 256), 9, 9});
    return b;
}

} // namespace

TEST(RGBComposite, AlignsChannelsByFirstScanTime) {
    const TBitmap24 a = Channel(6000, 0), b = Channel(6000, 100), c = Channel(6000, 200);
    TBitmap24 out;
    // c began two scan periods later: its row 0 lines up with row 16 of the others.
    const auto stat = ComposeRGB({&a, 36000000, 400}, {&b, 36000000, 400}, {&c, 36002462, 384}, out);
    ASSERT_EQ(out.Width(), 1568);
    ASSERT_EQ(out.Height(), 400);
    EXPECT_EQ(out.ScanLine(0)[0], 16);         // byte 0 from a ("R:")
    EXPECT_EQ(out.ScanLine(0)[1], 116);        // byte 1 from b
    EXPECT_EQ(out.ScanLine(0)[2], 200);        // byte 2 from c
    EXPECT_EQ(out.ScanLine(10)[3 * 1567], 26); // last column too
    EXPECT_EQ(stat[0], "10:00:02.462");
    EXPECT_EQ(stat[2], "0.1538925");
}

TEST(RGBComposite, AlignsAPassAcrossMidnight) {
    const TBitmap24 a = Channel(6000, 0), b = Channel(6000, 100), c = Channel(6000, 200);
    TBitmap24 out;
    // c's first strip came two scan periods after a's and b's, past midnight.
    const auto stat = ComposeRGB({&a, 86399000, 400}, {&b, 86399000, 400}, {&c, 1462, 384}, out);
    ASSERT_EQ(out.Height(), 400);
    EXPECT_EQ(out.ScanLine(0)[0], 16);
    EXPECT_EQ(out.ScanLine(0)[1], 116);
    EXPECT_EQ(out.ScanLine(0)[2], 200);
    EXPECT_EQ(stat[0], "00:00:01.462");
    // Order does not matter, and a channel without strips is left out of the choice.
    EXPECT_EQ(LatestFirstScanTime(1462, -1, 86399000), 1462);
    EXPECT_EQ(LatestFirstScanTime(-1, -1, -1), -1);
    EXPECT_EQ(LatestFirstScanTime(36000000, 36002462, 36001231), 36002462);
}

TEST(RGBComposite, StatisticsAndEdgeCases) {
    EXPECT_EQ(RGBStatistics(0, 5600)[1], "00:14:21.798");
    const TBitmap24 a = Channel(6000, 0);
    TBitmap24 out;
    // A channel that never began a strip: its offset runs past the picture, no row is composed,
    // and the composite keeps the other channels' line count.
    ComposeRGB({&a, 36000000, 800}, {&a, -1, 0}, {&a, 36000000, 800}, out);
    EXPECT_EQ(out.Height(), 800);
    EXPECT_EQ(out.ScanLine(0)[0], 0);
    EXPECT_EQ(out.ScanLine(0)[1], 0);
    // No strip anywhere: zero rows.
    EXPECT_EQ(ComposeRGB({&a, -1, 0}, {&a, -1, 0}, {&a, -1, 0}, out)[0], "00:00:00.000");
    EXPECT_EQ(out.Height(), 0);
    // The same channel thrice is grey; rounding of the offset goes to the nearest period.
    const TBitmap24 b = Channel(6000, 50);
    ComposeRGB({&b, 1000, 6000}, {&b, 1000, 6000}, {&b, 1000, 6000}, out);
    EXPECT_EQ(out.Height(), 6000);
    // Every row of the pictures is composed, the last 80 too.
    for (const int row : {5919, 5920, 5999}) {
        EXPECT_EQ(out.ScanLine(row)[0], out.ScanLine(row)[2]) << row;
        EXPECT_EQ(out.ScanLine(row)[0], (50 + row) % 256) << row;
    }
}

TEST(RGBComposite, SaveWritesBitmapAndStatistics) {
    const auto stem = (std::filesystem::temp_directory_path() / "tarnwick_rgb_save").string();
    TBitmap24 out(1568, 3);
    SaveComposite(out, RGBStatistics(36000000, 16), stem);
    std::ifstream stat(stem + ".bmp.stat", std::ios::binary);
    std::ostringstream text;
    text << stat.rdbuf();
    EXPECT_EQ(text.str(), "10:00:00.000\r\n00:00:02.462\r\n0.1538925\r\n");
    EXPECT_EQ(std::filesystem::file_size(stem + ".bmp"), 54u + 1568u * 3 * 3);
    std::filesystem::remove(stem + ".bmp");
    std::filesystem::remove(stem + ".bmp.stat");
}
