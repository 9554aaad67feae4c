#include "fec/Randomization.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

// The sequence written here from its recurrence: s[n + 8] = s[n] ^ s[n + 3] ^ s[n + 5] ^ s[n + 7]
// (x^8 + x^7 + x^5 + x^3 + 1), eight ones to start, bytes packed first bit high.
TEST(Randomization, TableIsTheSequenceFromAllOnes) {
    std::vector<int> s(8 * kRandTableSize, 1);
    for (size_t n = 0; n + 8 < s.size(); ++n)
        s[n + 8] = s[n] ^ s[n + 3] ^ s[n + 5] ^ s[n + 7];
    const auto& t = RandomizationTable();
    for (int i = 0; i < kRandTableSize; ++i) {
        int b = 0;
        for (int j = 0; j < 8; ++j)
            b = (b << 1) | s[8 * i + j];
        ASSERT_EQ(t[i], b) << i;
    }
    const uint8_t head[] = {0xFF, 0x48, 0x0E, 0xC0, 0x9A, 0x0D, 0x70, 0xBC,
                            0x8E, 0x2C, 0x93, 0xAD, 0xA7, 0xB7, 0x46, 0xCE};
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(t[i], head[i]) << i;
    for (int i = 0; i + 255 < kRandTableSize; ++i)
        ASSERT_EQ(t[i + 255], t[i]) << i;
    for (int p : {1, 3, 5, 15, 17, 51, 85}) {
        bool repeats = true;
        for (int i = 0; i + p < kRandTableSize && repeats; ++i)
            repeats = t[i + p] == t[i];
        EXPECT_FALSE(repeats) << "period " << p;
    }
}

TEST(Randomization, DerandomizeXorsTheFrameAndUndoesItself) {
    std::mt19937 rng(5);
    std::vector<uint8_t> frame(kRandTableSize);
    for (auto& b : frame)
        b = static_cast<uint8_t>(rng());
    const auto original = frame;
    const auto& t = RandomizationTable();

    Derandomize(frame.data(), true);
    for (int i = 0; i < kRandTableSize; ++i)
        ASSERT_EQ(frame[i], original[i] ^ t[i]) << i;
    Derandomize(frame.data(), true);
    EXPECT_EQ(frame, original);

    Derandomize(frame.data(), false);
    for (int i = 0; i < kRandTableSize; ++i)
        ASSERT_EQ(frame[i], i < kRandHeaderSize + kRandDataSize ? original[i] ^ t[i] : original[i]) << i;
}
