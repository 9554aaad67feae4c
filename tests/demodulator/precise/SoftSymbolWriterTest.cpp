// The symbol file forms of the precise receiver: the form follows the extension, pairs are stored
// Q first as the model stores them, and the values and codes are those the decoder expects.
#include "precise/SoftSymbolWriter.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>
#include <vector>

using namespace precise;

namespace {

std::vector<uint8_t> Slurp(const std::filesystem::path& aPath) {
    std::ifstream f(aPath, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

TEST(SoftSymbolWriterTest, FormFollowsTheExtension) {
    EXPECT_EQ(SymbolFormOfPath("a/pass.raw"), TSymbolForm::Soft3);
    EXPECT_EQ(SymbolFormOfPath("pass.s"), TSymbolForm::Soft8);
    EXPECT_EQ(SymbolFormOfPath("pass.RAW"), TSymbolForm::Soft8); // compared as the decoder does
    EXPECT_EQ(SymbolFormOfPath("dir.raw/pass"), TSymbolForm::Soft8);
    EXPECT_EQ(SymbolFormOfPath("pass"), TSymbolForm::Soft8);
}

TEST(SoftSymbolWriterTest, CodesAndScale) {
    // 3-bit: level edges at 24, 48, 72 of a clean 70.
    EXPECT_EQ(Soft3Code(0.0f), 0);
    EXPECT_EQ(Soft3Code(0.34f), 0);
    EXPECT_EQ(Soft3Code(0.35f), 1);
    EXPECT_EQ(Soft3Code(0.7f), 2);
    EXPECT_EQ(Soft3Code(1.03f), 3);
    EXPECT_EQ(Soft3Code(-0.1f), 7);
    EXPECT_EQ(Soft3Code(-0.5f), 6);
    EXPECT_EQ(Soft3Code(-5.0f), 4);
    // 8-bit: a clean symbol at 72; at low Es/N0 three sigma of noise stay inside 127.
    EXPECT_DOUBLE_EQ(Soft8Scale(0), 72);
    EXPECT_NEAR(Soft8Scale(0.707) * (1 + 3 * 0.707), 127, 1e-9);
    EXPECT_DOUBLE_EQ(Soft8Scale(100), 24);
    EXPECT_EQ(Soft8Value(1.0f, 72), 72);
    EXPECT_EQ(Soft8Value(-0.5f, 72), -36);
    EXPECT_EQ(Soft8Value(3.0f, 72), 127);
    EXPECT_EQ(Soft8Value(-3.0f, 72), -127);
}

TEST(SoftSymbolWriterTest, PairsAreStoredQFirstInBothForms) {
    const auto dir = std::filesystem::temp_directory_path() / ("soft-writer-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::vector<TSoftPair> pairs{{1.0f, -0.5f}, {-0.2f, 0.9f}};
    {
        TSoftSymbolWriter w;
        ASSERT_TRUE(w.Open((dir / "x.s").string()));
        w.Write(pairs.data(), pairs.size(), 0);
        w.Close();
        EXPECT_FALSE(w.Failed());
        EXPECT_EQ(w.Symbols(), 2);
    }
    EXPECT_EQ(Slurp(dir / "x.s"), (std::vector<uint8_t>{uint8_t(-36), 72, 65, uint8_t(-14)}));
    {
        TSoftSymbolWriter w;
        ASSERT_TRUE(w.Open((dir / "x.raw").string()));
        w.Write(pairs.data(), pairs.size(), 0);
    }
    EXPECT_EQ(Slurp(dir / "x.raw"), (std::vector<uint8_t>{0x62, 0x27}));
    TSoftSymbolWriter w;
    EXPECT_FALSE(w.Open((dir / "missing" / "x.s").string()));
    std::filesystem::remove_all(dir);
}

} // namespace
