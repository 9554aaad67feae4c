#include "session/ModeDetector.h"

#include "Synthesizer.h"
#include "platform/Exceptions.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string Write(const lrptsynth::Recording& aRecording, const std::string& aName) {
    const fs::path path =
        fs::temp_directory_path() / ("tarnwick_mode_" + std::to_string(::getpid()) + "_" + aName);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(aRecording.bytes.data()),
               static_cast<std::streamsize>(aRecording.bytes.size()));
    return path.string();
}

} // namespace

// Every mode and NRZ-M combination, in every symbol-file form, turned and with both polarities,
// is found; the other three hypotheses see no clean frame at all.
TEST(ModeDetector, FindsEveryModeAndNrzmInEveryForm) {
    struct Case {
        lrptsynth::Mode mode;
        bool nrzm;
        lrptsynth::OutputForm form;
        lrptsynth::Polarity polarity;
        int rotation;
    };
    using M = lrptsynth::Mode;
    using F = lrptsynth::OutputForm;
    using P = lrptsynth::Polarity;
    const Case cases[] = {
        {M::k72, false, F::Soft8, P::Nominal, 0},   {M::k72, true, F::Soft3, P::Satellite, 90},
        {M::k72, true, F::Hard, P::Nominal, 270},   {M::k80, false, F::Soft3, P::Satellite, 180},
        {M::k80, true, F::Soft8, P::Satellite, 90}, {M::k80, true, F::Hard, P::Nominal, 0},
    };
    int index = 0;
    for (const Case& c : cases) {
        lrptsynth::SynthOptions o;
        o.mode = c.mode;
        o.nrzm = c.nrzm;
        o.form = c.form;
        o.polarity = c.polarity;
        o.rotationDeg = c.rotation;
        o.durationSeconds = c.mode == M::k72 ? 6 : 24;
        o.esn0Db = c.form == F::Hard ? 9 : 5;
        o.seed = static_cast<uint64_t>(++index);
        const std::string file = Write(lrptsynth::synthesize(o),
                                       "case" + std::to_string(index) + lrptsynth::formExtension(c.form));
        const TModeDetection d = DetectMode(file);
        fs::remove(file);
        const TModeHypothesis expected{c.mode == M::k72 ? TLrptMode::lm72k : TLrptMode::lm80k, c.nrzm};
        SCOPED_TRACE(d.Describe());
        ASSERT_TRUE(d.Found);
        EXPECT_EQ(d.Chosen, expected);
        EXPECT_EQ(d.Form, c.form == F::Soft8 ? dm_8BitSoft : c.form == F::Soft3 ? dm_3BitSoft : dm_Hard);
        ASSERT_EQ(d.Tried.size(), 4u);
        for (const auto& e : d.Tried) {
            if (e.Hypothesis == expected) {
                EXPECT_GE(e.CleanFrames, TModeDetectorOptions().EnoughFrames);
            } else {
                EXPECT_EQ(e.CleanFrames, 0u) << HypothesisName(e.Hypothesis);
            }
        }
        EXPECT_NE(d.Describe().find(HypothesisName(expected) + " ("), std::string::npos);
    }
}

TEST(ModeDetector, StopsAtThePrefixAndAtEnoughFrames) {
    lrptsynth::SynthOptions o;
    o.durationSeconds = 10;
    o.nrzm = true;
    const auto rec = lrptsynth::synthesize(o);
    std::vector<int8_t> values(rec.bytes.begin(), rec.bytes.end());
    const auto count = static_cast<int64_t>(values.size());
    // Enough frames: the hypothesis stops within a feeding round of the 16th clean frame.
    const auto quick = TryHypothesis({TLrptMode::lm72k, true}, values.data(), count, 720000, 16);
    EXPECT_GE(quick.CleanFrames, 16u);
    EXPECT_LT(quick.Symbols, 360000); // of 720,000: 5 s of the 10 s
    // A one-second prefix holds at most 72,000 / 8,192 = 8.8 frames' worth of symbols.
    const auto short1 = TryHypothesis({TLrptMode::lm72k, true}, values.data(), count, 72000, 100);
    EXPECT_EQ(short1.Symbols, 72000);
    EXPECT_GE(short1.CleanFrames, 5u);
    EXPECT_LE(short1.CleanFrames, 8u);
}

// A file shorter than the detection window is judged by all of it: an 80 k recording shorter than
// the deinterleaver's delay (15.6 s) gives its frames only once the store is flushed at the input's
// end, and a 72 k one whose signal begins after the first 4 s is looked at past them.
TEST(ModeDetector, AFileShorterThanTheWindowIsJudgedWhole) {
    struct Case {
        lrptsynth::Mode mode;
        bool nrzm;
        double lead, seconds;
        int64_t cut; // bytes kept (-1: all)
    };
    const Case cases[] = {{lrptsynth::Mode::k80, true, 0.25, 20, 2 * 1248000},
                          {lrptsynth::Mode::k72, false, 6, 4, -1}};
    int index = 0;
    for (const Case& c : cases) {
        lrptsynth::SynthOptions o;
        o.mode = c.mode;
        o.nrzm = c.nrzm;
        o.leadInSeconds = c.lead;
        o.durationSeconds = c.seconds;
        o.esn0Db = 6;
        o.seed = static_cast<uint64_t>(31 + index);
        o.truncateBytes = c.cut;
        const std::string file = Write(lrptsynth::synthesize(o), "short" + std::to_string(++index) + ".s");
        const TModeDetection d = DetectMode(file);
        fs::remove(file);
        SCOPED_TRACE(d.Describe());
        const TModeHypothesis expected{c.mode == lrptsynth::Mode::k72 ? TLrptMode::lm72k : TLrptMode::lm80k,
                                       c.nrzm};
        ASSERT_TRUE(d.Found);
        EXPECT_EQ(d.Chosen, expected);
        EXPECT_EQ(d.Windows, 1);
        for (const auto& e : d.Tried) {
            if (!(e.Hypothesis == expected)) {
                EXPECT_EQ(e.CleanFrames, 0u) << HypothesisName(e.Hypothesis);
            }
        }
    }
}

// At the input's end the frames the stages hold back for the values that would follow come out:
// every frame of a pass that ends right behind its last frame.
TEST(ModeDetector, TheInputsEndLetsTheLastFramesOut) {
    lrptsynth::SynthOptions o;
    o.durationSeconds = 3;
    o.tailFrames = 0;
    o.esn0Db = 8;
    const auto rec = lrptsynth::synthesize(o);
    const std::vector<int8_t> values(rec.bytes.begin(), rec.bytes.end());
    const auto count = static_cast<int64_t>(values.size());
    const auto frames = static_cast<uint32_t>(rec.sentCadus.size() / 1024);
    const auto ended = TryHypothesis({TLrptMode::lm72k, false}, values.data(), count, count, 1000, true);
    EXPECT_EQ(ended.CleanFrames, frames);
    EXPECT_EQ(ended.Frames, frames);
    // Without the end, the last frame waits for the next marker and the one before it for the
    // Viterbi decoder's delay; nor is the end taken for one when the window stops short of it.
    const auto open = TryHypothesis({TLrptMode::lm72k, false}, values.data(), count, count, 1000, false);
    EXPECT_EQ(open.CleanFrames, frames - 2);
    const auto cut =
        TryHypothesis({TLrptMode::lm72k, false}, values.data(), count, count / 2 - 1000, 1000, true);
    const auto cutOpen =
        TryHypothesis({TLrptMode::lm72k, false}, values.data(), count, count / 2 - 1000, 1000, false);
    EXPECT_EQ(cut.Frames, cutOpen.Frames);
}

TEST(ModeDetector, ARecordingThatBeginsWithLongNoiseIsFoundFurtherOn) {
    lrptsynth::SynthOptions o;
    o.durationSeconds = 20;
    o.leadInSeconds = 40; // beyond the first window (3.52 MB: 24.4 s of 72 k in the 8-bit form)
    o.nrzm = true;
    o.esn0Db = 6;
    const std::string file = Write(lrptsynth::synthesize(o), "late.s");
    TModeDetectorOptions first;
    first.Windows = 1;
    const TModeDetection early = DetectMode(file, first);
    EXPECT_FALSE(early.Found) << early.Describe();
    const TModeDetection d = DetectMode(file);
    fs::remove(file);
    ASSERT_TRUE(d.Found) << d.Describe();
    EXPECT_EQ(d.Chosen, (TModeHypothesis{TLrptMode::lm72k, true}));
    EXPECT_EQ(d.Windows, 2);
    EXPECT_EQ(d.StartByte, 2 * 22 * 80000);
    EXPECT_NE(d.Describe().find("from byte 3520000; 2 windows tried"), std::string::npos) << d.Describe();
}

TEST(ModeDetector, NoiseEmptyAndMissingFiles) {
    std::vector<int8_t> noise(2 * 400000);
    std::mt19937 random(7);
    std::normal_distribution<double> gauss(0, 70);
    for (auto& v : noise)
        v = static_cast<int8_t>(std::clamp(std::lround(gauss(random)), -127L, 127L));
    const TModeDetection d = DetectModeInValues(noise.data(), static_cast<int64_t>(noise.size()));
    EXPECT_FALSE(d.Found);
    for (const auto& e : d.Tried)
        EXPECT_EQ(e.CleanFrames, 0u);
    EXPECT_EQ(d.Describe().rfind("no mode found (", 0), 0u);

    const fs::path empty =
        fs::temp_directory_path() / ("tarnwick_mode_empty_" + std::to_string(::getpid()) + ".s");
    std::ofstream(empty).close();
    EXPECT_FALSE(DetectMode(empty.string()).Found);
    fs::remove(empty);
    EXPECT_THROW(DetectMode((fs::temp_directory_path() / "tarnwick_mode_missing.s").string()), EFOpenError);
    EXPECT_THROW(DetectMode(fs::temp_directory_path().string()), EFOpenError);
}
