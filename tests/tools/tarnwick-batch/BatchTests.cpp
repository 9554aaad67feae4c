#include "BatchDecoder.h"

#include "Synthesizer.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <sys/wait.h>

namespace fs = std::filesystem;

namespace {

struct Outcome {
    int status;
    std::string output;
};

// Runs the program with a shell command line; standard error is captured with standard output.
Outcome RunProgram(const std::string& arguments) {
    const std::string command = std::string("'") + TARNWICK_BATCH + "' " + arguments + " 2>&1";
    std::FILE* pipe = popen(command.c_str(), "r");
    std::string output;
    std::array<char, 4096> buffer{};
    while (size_t n = std::fread(buffer.data(), 1, buffer.size(), pipe)) output.append(buffer.data(), n);
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

class Batch : public ::testing::Test {
protected:
    void SetUp() override {
        fDir = fs::temp_directory_path() /
               ("tarnwick_batch_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(fDir);
        fs::create_directories(fDir);
    }
    void TearDown() override { fs::remove_all(fDir); }
    fs::path fDir;
};

} // namespace

TEST(BatchArguments, ParseOptionsAndModes) {
    const auto o = ParseBatchArguments({"--80k", "--ignore-rs-errors", "--rgb", "5,2,1", "--out", "d", "x.s"});
    EXPECT_EQ(o.Mode, TLrptMode::lm80k);
    EXPECT_TRUE(o.IgnoreRsErrors);
    EXPECT_EQ(o.Rgb, (std::array<int, 3>{5, 2, 1}));
    EXPECT_EQ(o.OutDir, "d");
    EXPECT_EQ(o.Input, "x.s");
    EXPECT_FALSE(ParseBatchArguments({"x.s"}).Mode.has_value());
    EXPECT_TRUE(ParseBatchArguments({"--help"}).Help);
    for (const auto& bad : std::vector<std::vector<std::string>>{
             {}, {"--rgb", "1,2", "x.s"}, {"--rgb", "0,1,2", "x.s"}, {"--bogus", "x.s"}, {"a.s", "b.s"}, {"--out"}})
        EXPECT_THROW(ParseBatchArguments(bad), std::invalid_argument);
    EXPECT_EQ(ModeForFileName("/data/2026_LRPT INT_x.s"), TLrptMode::lm80k);
    EXPECT_EQ(ModeForFileName("/data/2026_LRPT_x.s"), TLrptMode::lm72k);
    EXPECT_EQ(ModeForFileName("/data_LRPT INT_/x.s"), TLrptMode::lm72k); // the folder does not count
}

TEST_F(Batch, BadInputGivesOneLineAndAnErrorStatus) {
    const std::string empty = (fDir / "empty.s").string();
    std::ofstream(empty).close();
    const std::string text = (fDir / "notes.txt").string();
    std::ofstream(text) << "not a recording\n";
    struct Case {
        std::string arguments;
        int status;
        std::string says;
    };
    for (const Case& c : {Case{"'" + (fDir / "missing.s").string() + "'", 1, "no such file"},
                          Case{"'" + fDir.string() + "'", 1, "not a regular file"}, Case{"'" + empty + "'", 1, "is empty"},
                          Case{"--rgb 9,9,9 x.s", 2, "--rgb"}, Case{"", 2, "no input file"}}) {
        SCOPED_TRACE(c.arguments);
        const Outcome o = RunProgram(c.arguments);
        EXPECT_EQ(o.status, c.status);
        EXPECT_NE(o.output.find(c.says), std::string::npos) << o.output;
        EXPECT_EQ(std::count(o.output.begin(), o.output.end(), '\n'), 1) << o.output;
    }
    // A text file is decoded as soft values: nothing found, no crash, a summary.
    const Outcome o = RunProgram("-q '" + text + "'");
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(RunProgram("--help").status, 0);
}

TEST_F(Batch, DecodesAGeneratedPassIntoEveryFile) {
    lrptsynth::SynthOptions options;
    options.durationSeconds = 8;
    options.channels = {1, 2, 5};
    const auto r = lrptsynth::synthesize(options);
    const fs::path input = fDir / "pass_LRPT_.s";
    std::ofstream(input, std::ios::binary)
        .write(reinterpret_cast<const char*>(r.bytes.data()), static_cast<std::streamsize>(r.bytes.size()));

    const Outcome o = RunProgram("--rgb 1,2,5 --out '" + (fDir / "out").string() + "' '" + input.string() + "'");
    ASSERT_EQ(o.status, 0) << o.output;
    EXPECT_NE(o.output.find("mode 72k"), std::string::npos);
    EXPECT_NE(o.output.find("scans ch1:" + std::to_string(r.scans - 1)), std::string::npos) << o.output;
    const std::string stem = (fDir / "out" / "pass_LRPT_.s").string();
    for (const char* suffix : {".vcdu", ".70", ".SyncBeforeViterbi.log", ".Viterbi.log", ".ReedSolomon.log", ".mpdu.log",
                               ".64.log", ".68.log", ".64.png", ".64.bmp", ".65.png", ".68.bmp", ".bmp", ".bmp.stat"})
        EXPECT_TRUE(fs::exists(stem + suffix)) << suffix;
    EXPECT_FALSE(fs::exists(stem + ".66.png")); // channel 3 was not sent
    EXPECT_FALSE(fs::exists(input.string() + ".vcdu")); // nothing beside the input with --out
    // The channel picture is the decoded rows only: 8 per scan, 1568 wide (BMP header 54 bytes).
    EXPECT_EQ(fs::file_size(stem + ".64.bmp"), 54u + static_cast<uintmax_t>(8 * r.scans) * 1568 * 3);
}
