#include "session/Products.h"

#include <gtest/gtest.h>

namespace {

// A channel picture whose row y has grey value (base + y) % 256.
TBitmap24 Channel(int rows, int base) {
    TBitmap24 b(1636, rows);
    for (int y = 0; y < rows; ++y) {
        const auto v = static_cast<uint8_t>((base + y) % 256);
        for (int x = 0; x < 1636; ++x)
            b.SetPixel(x, y, {v, v, v});
    }
    return b;
}

std::array<bool, 6> Present(std::initializer_list<int> aChannels) {
    std::array<bool, 6> p{};
    for (const int c : aChannels)
        p[static_cast<size_t>(c - 1)] = true;
    return p;
}

} // namespace

TEST(Products, CompositesFollowTheChannelsPresent) {
    using K = TCompositeKind;
    EXPECT_EQ(ChooseComposites(Present({1, 2, 3})), (std::vector<K>{K::Natural123, K::Day221}));
    EXPECT_EQ(ChooseComposites(Present({1, 2, 5})), (std::vector<K>{K::Day221, K::InfraRed}));
    EXPECT_EQ(ChooseComposites(Present({4, 5})), (std::vector<K>{K::InfraRed}));
    EXPECT_TRUE(ChooseComposites(Present({1, 3})).empty());
    EXPECT_EQ(CompositeChannels(K::InfraRed, Present({4, 5, 6})), (std::array<int, 3>{5, 5, 5}));
    EXPECT_EQ(CompositeChannels(K::InfraRed, Present({4, 6})), (std::array<int, 3>{6, 6, 6}));
    EXPECT_EQ(CompositeChannels(K::InfraRed, Present({1, 4})), (std::array<int, 3>{4, 4, 4}));
    EXPECT_EQ(CompositeName(K::Day221), "rgb221");
}

TEST(Products, CompositeChannelsAreAlignedByScanTime) {
    // Channel 2 began two scan periods after channel 1: its row 0 goes with row 16 of channel 1.
    const TBitmap24 one = Channel(600, 0), two = Channel(600, 100), three = Channel(600, 200);
    std::array<TRGBSource, 6> sources{};
    sources[0] = {&one, 36000000, 400};
    sources[1] = {&two, 36002462, 384};
    sources[2] = {&three, 36000000, 400};
    TRGBStatistics stat;
    TBitmap24 day = ComposeProduct(TCompositeKind::Day221, sources, &stat);
    ASSERT_EQ(day.Width(), 1568);
    ASSERT_EQ(day.Height(), 400);
    EXPECT_EQ(day.Pixel(700, 0), (TPixel24{16, 100, 100})); // blue ch 1, green and red ch 2
    EXPECT_EQ(day.Pixel(1567, 5), (TPixel24{21, 105, 105}));
    EXPECT_EQ(stat[0], "10:00:02.462");
    const TBitmap24 natural = ComposeProduct(TCompositeKind::Natural123, sources);
    EXPECT_EQ(natural.Pixel(3, 0), (TPixel24{16, 100, 216})); // red is channel 3

    // The infrared product takes channel 5 over channel 4, aligned and through the palette.
    const TBitmap24 four = Channel(600, 30), five = Channel(600, 150);
    sources[3] = {&four, 36000000, 400};
    sources[4] = {&five, 36001231, 392};
    const TBitmap24 ir = ComposeProduct(TCompositeKind::InfraRed, sources);
    ASSERT_EQ(ir.Height(), 392);
    for (const int y : {0, 9, 105, 391})
        EXPECT_EQ(ir.Pixel(40, y), InfraRedColour(static_cast<uint8_t>((150 + y) % 256))) << y;
    // Rectified: wider, same rows, the nadir pixel unchanged.
    const TBitmap24 rect = RectifyProduct(day);
    EXPECT_EQ(rect.Height(), 400);
    EXPECT_EQ(rect.Width(), 2844);
    EXPECT_EQ(rect.Pixel(1422, 7), day.Pixel(784, 7));
    EXPECT_THROW(RectifyProduct(TBitmap24(100, 1)), std::invalid_argument);
}

TEST(Products, InfraRedPaletteIsGreyThenColdColours) {
    for (int v = 0; v < 160; ++v)
        EXPECT_EQ(InfraRedColour(static_cast<uint8_t>(v)), (TPixel24{uint8_t(v), uint8_t(v), uint8_t(v)}));
    EXPECT_EQ(InfraRedColour(160), (TPixel24{160, 0, 0})); // dark blue (blue byte first)
    const TPixel24 coldest = InfraRedColour(255);
    EXPECT_GT(coldest.Red, 240);
    EXPECT_GT(coldest.Green, 200);
    // Coloured from 161 on, and without jumps between neighbouring values.
    for (int v = 161; v < 256; ++v) {
        const TPixel24 a = InfraRedColour(static_cast<uint8_t>(v - 1)),
                       b = InfraRedColour(static_cast<uint8_t>(v));
        EXPECT_FALSE(b.Red == b.Green && b.Green == b.Blue) << v;
        EXPECT_LE(std::abs(a.Red - b.Red) + std::abs(a.Green - b.Green) + std::abs(a.Blue - b.Blue), 60) << v;
    }
}
