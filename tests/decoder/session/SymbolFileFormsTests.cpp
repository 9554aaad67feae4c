#include "platform/Exceptions.h"
#include "session/SymbolFileForms.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <vector>

namespace {

std::string TempPath(const std::string& name) {
    return (std::filesystem::temp_directory_path() / ("tarnwick_forms_" + name)).string();
}

std::vector<uint8_t> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

} // namespace

TEST(SymbolForms, ExpansionOfTheThreeForms) {
    const TExpansionTables tables;
    int8_t out[16];
    // 3-bit soft: 0x37 is codes 3 and 7; set bits 7 or 3 make a code of 8..15, which is 0.
    const uint8_t raw[] = {0x37, 0x04, 0x8F, 0x70};
    ASSERT_EQ(ExpandBlock(tables, dm_3BitSoft, raw, 4, out), 8);
    EXPECT_EQ(std::vector<int>(out, out + 8), (std::vector<int>{84, -12, 12, -84, 0, 0, -12, 12}));
    ExchangePairs(out, 8);
    EXPECT_EQ(out[0], -12);
    EXPECT_EQ(out[1], 84);

    // Hard decisions: bit 7 first, +-70; after the exchange b6, b7, b4, b5, ...
    const uint8_t hard[] = {0xA1};
    ASSERT_EQ(ExpandBlock(tables, dm_Hard, hard, 1, out), 8);
    EXPECT_EQ(std::vector<int>(out, out + 8), (std::vector<int>{70, -70, 70, -70, -70, -70, -70, 70}));
    ExchangePairs(out, 8);
    EXPECT_EQ(std::vector<int>(out, out + 8), (std::vector<int>{-70, 70, -70, 70, -70, -70, 70, -70}));

    const uint8_t soft[] = {0x80, 0x7F, 0x00};
    ASSERT_EQ(ExpandBlock(tables, dm_8BitSoft, soft, 3, out), 3);
    EXPECT_EQ(std::vector<int>(out, out + 3), (std::vector<int>{-128, 127, 0}));
    EXPECT_EQ(SoftValuesPerByte(dm_8BitSoft), 1);
    EXPECT_EQ(SoftValuesPerByte(dm_3BitSoft), 2);
    EXPECT_EQ(SoftValuesPerByte(dm_Hard), 8);
}

TEST(SymbolForms, FormFollowsTheExactExtension) {
    EXPECT_EQ(DemModeFromFileName("/a/pass_LRPT_.s", dm_Hard), dm_8BitSoft);
    EXPECT_EQ(DemModeFromFileName("/a/pass.raw", dm_8BitSoft), dm_3BitSoft);
    EXPECT_EQ(DemModeFromFileName("/a/pass.s.hard", dm_8BitSoft), dm_Hard);
    EXPECT_EQ(DemModeFromFileName("/a/pass.RAW", dm_8BitSoft), dm_8BitSoft); // capitals not recognised
    EXPECT_EQ(DemModeFromFileName("/a/pass.RAW", dm_Hard), dm_Hard);         // an unknown one keeps the form
    EXPECT_EQ(DemModeFromFileName("/a.raw/pass", dm_8BitSoft),
              dm_8BitSoft); // a dot in a folder is no extension
}

TEST(SymbolForms, ConvertSoftToHardConvertsEveryWholeGroupOfEight) {
    const std::string path = TempPath("conv.s");
    WriteAll(path, {5, static_cast<uint8_t>(-3), 0, 127, 0x80, 1, 0xFF, 2});
    EXPECT_EQ(ConvertSoftToHard(path), 1);
    EXPECT_EQ(ReadAll(path + ".hard"), std::vector<uint8_t>{149});

    // Sizes around the 80,000-byte block: every complete group, the last block included.
    for (const size_t size : {0u, 7u, 8u, 79999u, 80000u, 80007u, 160000u, 160001u, 160008u}) {
        SCOPED_TRACE(size);
        std::vector<uint8_t> soft(size);
        for (size_t i = 0; i < size; ++i)
            soft[i] = static_cast<uint8_t>(i * 37 % 251);
        WriteAll(path, soft);
        EXPECT_EQ(ConvertSoftToHard(path), static_cast<int64_t>(size / 8));
        const auto hard = ReadAll(path + ".hard");
        ASSERT_EQ(hard.size(), size / 8);
        for (size_t i = 0; i < hard.size(); i += 997) {
            uint8_t expected = 0;
            for (int j = 0; j < 8; ++j)
                expected = static_cast<uint8_t>(expected << 1 | (static_cast<int8_t>(soft[8 * i + j]) > 0));
            ASSERT_EQ(hard[i], expected) << i;
        }
    }
    std::filesystem::remove(path);
    std::filesystem::remove(path + ".hard");
    EXPECT_THROW(ConvertSoftToHard(path), EFOpenError);
}
