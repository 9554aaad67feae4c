#include "BatchDecoder.h"

#include "Synthesizer.h"
#include "session/Products.h"

#include <gtest/gtest.h>
#include <png.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

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
    while (size_t n = std::fread(buffer.data(), 1, buffer.size(), pipe))
        output.append(buffer.data(), n);
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

class Batch : public ::testing::Test {
  protected:
    void SetUp() override {
        // The process id keeps runs of the same test from other build trees out of each other's way.
        fDir = fs::temp_directory_path() /
               ("tarnwick_batch_" +
                std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "_" +
                std::to_string(::getpid()));
        fs::remove_all(fDir);
        fs::create_directories(fDir);
    }
    void TearDown() override { fs::remove_all(fDir); }
    std::string Save(const lrptsynth::Recording& r, const std::string& aName) {
        const fs::path path = fDir / aName;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(r.bytes.data()),
                   static_cast<std::streamsize>(r.bytes.size()));
        return path.string();
    }
    fs::path fDir;
};

std::string ReadFile(const std::string& aPath) {
    std::ifstream in(aPath, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Width and height from a PNG file's header.
std::pair<uint32_t, uint32_t> PngSize(const std::string& aPath) {
    const std::string png = ReadFile(aPath);
    if (png.size() < 24) return {0, 0};
    auto word = [&](size_t at) {
        return static_cast<uint32_t>(
            static_cast<uint8_t>(png[at]) << 24 | static_cast<uint8_t>(png[at + 1]) << 16 |
            static_cast<uint8_t>(png[at + 2]) << 8 | static_cast<uint8_t>(png[at + 3]));
    };
    return {word(16), word(20)};
}

// A picture read back from a PNG (with libpng) or from a 24-bit BMP of the program's form; an
// empty picture when the file cannot be read.
TBitmap24 ReadPng(const std::string& aPath) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, aPath.c_str())) return {};
    image.format = PNG_FORMAT_BGR;
    TBitmap24 picture(static_cast<int>(image.width), static_cast<int>(image.height));
    if (!png_image_finish_read(&image, nullptr, picture.Bits(), picture.BytesPerLine(), nullptr)) return {};
    return picture;
}

TBitmap24 ReadBmp(const std::string& aPath) {
    const std::string file = ReadFile(aPath);
    if (file.size() < 54) return {};
    auto word = [&](size_t at) {
        return static_cast<int>(static_cast<uint8_t>(file[at]) | static_cast<uint8_t>(file[at + 1]) << 8 |
                                static_cast<uint8_t>(file[at + 2]) << 16);
    };
    TBitmap24 picture(word(18), word(22));
    if (file.size() !=
        54 + static_cast<size_t>(picture.BytesPerLine()) * static_cast<size_t>(picture.Height()))
        return {};
    for (int y = 0; y < picture.Height(); ++y)
        std::memcpy(picture.ScanLine(y),
                    file.data() + 54 + static_cast<size_t>(picture.Height() - 1 - y) * picture.BytesPerLine(),
                    static_cast<size_t>(picture.BytesPerLine()));
    return picture;
}

bool SamePixels(const TBitmap24& a, const TBitmap24& b) {
    if (a.Width() != b.Width() || a.Height() != b.Height()) return false;
    for (int y = 0; y < a.Height(); ++y)
        if (std::memcmp(a.ScanLine(y), b.ScanLine(y), 3 * static_cast<size_t>(a.Width())) != 0) return false;
    return true;
}

} // namespace

TEST(BatchArguments, ParseOptionsAndModes) {
    const auto o =
        ParseBatchArguments({"--80k", "--ignore-rs-errors", "--rgb", "5,2,1", "--out", "d", "x.s"});
    EXPECT_EQ(o.Mode, TLrptMode::lm80k);
    EXPECT_TRUE(o.IgnoreRsErrors);
    EXPECT_FALSE(o.Nrzm);
    EXPECT_TRUE(ParseBatchArguments({"--diff", "x.s"}).Nrzm);
    EXPECT_TRUE(ParseBatchArguments({"--auto", "x.s"}).Auto);
    EXPECT_EQ(o.Rgb, (std::array<int, 3>{5, 2, 1}));
    EXPECT_EQ(o.OutDir, "d");
    EXPECT_EQ(o.Input, "x.s");
    EXPECT_FALSE(ParseBatchArguments({"x.s"}).Mode.has_value());
    EXPECT_TRUE(ParseBatchArguments({"--help"}).Help);
    for (const auto& bad : std::vector<std::vector<std::string>>{{},
                                                                 {"--rgb", "1,2", "x.s"},
                                                                 {"--rgb", "0,1,2", "x.s"},
                                                                 {"--bogus", "x.s"},
                                                                 {"a.s", "b.s"},
                                                                 {"--out"}})
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
    for (const Case& c :
         {Case{"'" + (fDir / "missing.s").string() + "'", 1, "no such file"},
          Case{"'" + fDir.string() + "'", 1, "not a regular file"}, Case{"'" + empty + "'", 1, "is empty"},
          Case{"--rgb 9,9,9 x.s", 2, "--rgb"}, Case{"", 2, "no input file"}}) {
        SCOPED_TRACE(c.arguments);
        const Outcome o = RunProgram(c.arguments);
        EXPECT_EQ(o.status, c.status);
        EXPECT_NE(o.output.find(c.says), std::string::npos) << o.output;
        EXPECT_EQ(std::count(o.output.begin(), o.output.end(), '\n'), 1) << o.output;
    }
    // A text file is read as soft values: nothing found, no crash, one line and status 3. No
    // stage had anything to log, and the line does not claim logs.
    const Outcome o = RunProgram("-q '" + text + "'");
    EXPECT_EQ(o.status, 3);
    EXPECT_NE(o.output.find("no transfer frame found"), std::string::npos) << o.output;
    bool logs = false;
    for (const auto& entry : fs::directory_iterator(fDir))
        logs |= entry.path().extension() == ".log";
    EXPECT_FALSE(logs);
    EXPECT_EQ(o.output.find("logs"), std::string::npos) << o.output;
    EXPECT_NE(o.output.find("only an empty composite and an empty .vcdu file were written"),
              std::string::npos)
        << o.output;
    const Outcome help = RunProgram("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.output.find("3 when no transfer frame"), std::string::npos) << help.output;
}

// A new recording decoded under the name of an earlier one leaves nothing of the earlier run that
// this run did not write itself: not the picture of a channel it lacks, not a .70 without
// telemetry, not the other mode's log.
TEST_F(Batch, RerunUnderTheSameNameLeavesNoStaleFiles) {
    lrptsynth::SynthOptions options;
    options.durationSeconds = 4;
    options.channels = {1, 2};
    const std::string input = Save(lrptsynth::synthesize(options), "pass_LRPT_.s");
    ASSERT_EQ(RunProgram("-q '" + input + "'").status, 0);
    for (const char* suffix : {".65.png", ".65.bmp", ".70", ".64.png"})
        ASSERT_TRUE(fs::exists(input + suffix)) << suffix;
    std::ofstream(input + ".SyncBeforInt.log") << "an 80 k session's log\n";

    options.channels = {1};
    options.telemetry = false;
    Save(lrptsynth::synthesize(options), "pass_LRPT_.s");
    const Outcome o = RunProgram("'" + input + "'");
    ASSERT_EQ(o.status, 0) << o.output;
    for (const char* suffix : {".65.png", ".65.bmp", ".65.log", ".70", ".SyncBeforInt.log"})
        EXPECT_FALSE(fs::exists(input + suffix)) << suffix;
    for (const char* suffix : {".64.png", ".64.bmp", ".vcdu", ".bmp", ".bmp.stat", ".SyncBeforeViterbi.log"})
        EXPECT_TRUE(fs::exists(input + suffix)) << suffix;
    EXPECT_NE(o.output.find("scans ch1:" + std::to_string(lrptsynth::synthesize(options).scans) + " ch2:0"),
              std::string::npos)
        << o.output;
}

TEST_F(Batch, DecodesAGeneratedPassIntoEveryFile) {
    lrptsynth::SynthOptions options;
    options.durationSeconds = 8;
    options.channels = {1, 2, 5};
    const auto r = lrptsynth::synthesize(options);
    const fs::path input = fDir / "pass_LRPT_.s";
    std::ofstream(input, std::ios::binary)
        .write(reinterpret_cast<const char*>(r.bytes.data()), static_cast<std::streamsize>(r.bytes.size()));

    const Outcome o =
        RunProgram("--rgb 1,2,5 --out '" + (fDir / "out").string() + "' '" + input.string() + "'");
    ASSERT_EQ(o.status, 0) << o.output;
    EXPECT_NE(o.output.find("mode 72k"), std::string::npos);
    EXPECT_NE(o.output.find("scans ch1:" + std::to_string(r.scans) + " "), std::string::npos) << o.output;
    const std::string stem = (fDir / "out" / "pass_LRPT_.s").string();
    for (const char* suffix :
         {".vcdu", ".70", ".SyncBeforeViterbi.log", ".Viterbi.log", ".ReedSolomon.log", ".mpdu.log",
          ".64.log", ".68.log", ".64.png", ".64.bmp", ".65.png", ".68.bmp", ".bmp", ".bmp.stat"})
        EXPECT_TRUE(fs::exists(stem + suffix)) << suffix;
    EXPECT_FALSE(fs::exists(stem + ".66.png"));         // channel 3 was not sent
    EXPECT_FALSE(fs::exists(input.string() + ".vcdu")); // nothing beside the input with --out
    // The channel picture is the decoded rows only: 8 per scan, 1568 wide (BMP header 54 bytes).
    EXPECT_EQ(fs::file_size(stem + ".64.bmp"), 54u + static_cast<uintmax_t>(8 * r.scans) * 1568 * 3);
    // Products: channels and composites rectified (2,844 columns at the nadir spacing), the
    // composites that channels 1, 2 and 5 allow, and none that needs channel 3.
    const uint32_t rows = static_cast<uint32_t>(8 * r.scans);
    for (const char* suffix :
         {".64.rect.png", ".65.rect.png", ".68.rect.png", ".rgb221.rect.png", ".ir.rect.png"})
        EXPECT_EQ(PngSize(stem + suffix), std::make_pair(2844u, rows)) << suffix;
    for (const char* suffix : {".rgb221.png", ".ir.png"})
        EXPECT_EQ(PngSize(stem + suffix), std::make_pair(1568u, rows)) << suffix;
    EXPECT_FALSE(fs::exists(stem + ".rgb123.png"));
    EXPECT_FALSE(fs::exists(stem + ".66.rect.png"));
}

TEST_F(Batch, AutoFindsTheModeWhateverTheName) {
    // Interleaved NRZ-M under a name that says 72 k: --auto decodes it as --80k --diff does.
    lrptsynth::SynthOptions options;
    options.mode = lrptsynth::Mode::k80;
    options.nrzm = true;
    options.polarity = lrptsynth::Polarity::Satellite;
    options.rotationDeg = 270;
    options.durationSeconds = 30;
    options.esn0Db = 6;
    const auto r = lrptsynth::synthesize(options);
    const std::string input = Save(r, "pass_LRPT_.raw.s");
    const Outcome o = RunProgram("--auto --out '" + (fDir / "auto").string() + "' '" + input + "'");
    ASSERT_EQ(o.status, 0) << o.output;
    EXPECT_EQ(o.output.rfind("detected 80k NRZ-M (", 0), 0u) << o.output;
    EXPECT_NE(o.output.find("mode 80k"), std::string::npos) << o.output;
    ASSERT_EQ(RunProgram("-q --80k --diff --out '" + (fDir / "flags").string() + "' '" + input + "'").status,
              0);
    for (const char* suffix : {".vcdu", ".64.bmp", ".65.bmp", ".66.bmp"}) {
        SCOPED_TRACE(suffix);
        const std::string picture = ReadFile((fDir / "auto" / "pass_LRPT_.raw.s").string() + suffix);
        EXPECT_GT(picture.size(), 54u + 1568 * 3 * 8);
        EXPECT_TRUE(picture == ReadFile((fDir / "flags" / "pass_LRPT_.raw.s").string() + suffix));
    }

    // Noise: nothing found, said so, and the name's mode is tried as without --auto.
    std::string noise(400000, '\0');
    uint32_t state = 1;
    for (char& c : noise)
        c = static_cast<char>((state = state * 1664525u + 1013904223u) >> 24);
    const std::string noiseFile = (fDir / "noise.s").string();
    std::ofstream(noiseFile, std::ios::binary) << noise;
    const Outcome n = RunProgram("--auto --out '" + (fDir / "noise").string() + "' '" + noiseFile + "'");
    EXPECT_EQ(n.status, 3);
    EXPECT_EQ(n.output.rfind("detected no mode found (", 0), 0u) << n.output;
    EXPECT_NE(n.output.find("mode 72k"), std::string::npos) << n.output;
    for (const char* clash : {"--auto --72k x.s", "--diff --auto x.s"})
        EXPECT_EQ(RunProgram(clash).status, 2) << clash;
}

TEST_F(Batch, RealFramesThroughTheNrzmPathGiveThePicturesOfThePlainPath) {
    const auto cadus = lrptsynth::readCaduFile(LRPT_REAL_CADU);
    // The same frames three times, each time turned a further quarter and with other noise.
    for (int index = 0; index < 3; ++index) {
        SCOPED_TRACE(index);
        lrptsynth::SynthOptions options;
        options.cadus = cadus;
        options.nrzm = true;
        options.polarity = lrptsynth::Polarity::Satellite;
        options.rotationDeg = 90 * index;
        options.esn0Db = 6;
        options.seed = static_cast<uint64_t>(index + 1);
        const std::string input =
            Save(lrptsynth::synthesize(options), "real" + std::to_string(index) + "_LRPT_.s");

        // Off: not one frame passes the frame stage, which the program says.
        const Outcome off = RunProgram("-q --out '" + (fDir / "off").string() + "' '" + input + "'");
        EXPECT_EQ(off.status, 3) << off.output;
        EXPECT_NE(off.output.find("no transfer frame found"), std::string::npos) << off.output;
        const std::string offStem = (fDir / "off" / fs::path(input).filename()).string();
        EXPECT_FALSE(fs::exists(offStem + ".64.png"));
        EXPECT_EQ(ReadFile(offStem + ".ReedSolomon.log").find("FatalRS=0 40"), std::string::npos);

        const Outcome o = RunProgram("--diff --out '" + (fDir / "on").string() + "' '" + input + "'");
        ASSERT_EQ(o.status, 0) << o.output;
        EXPECT_NE(o.output.find("RS words failed 0"), std::string::npos) << o.output;
        const std::string stem = (fDir / "on" / fs::path(input).filename()).string();
        // Every frame comes back as it was received, from the first record on, the last ones too.
        const std::string vcdu = ReadFile(stem + ".vcdu");
        ASSERT_GE(vcdu.size() / 1024, cadus.size() / 1024);
        for (size_t f = 0; f < cadus.size() / 1024; ++f)
            ASSERT_EQ(0, std::memcmp(vcdu.data() + 1024 * f + 4, cadus.data() + 1024 * f + 4, 1020)) << f;

        // The pictures are those of the same frames sent plainly and decoded without --diff.
        if (index == 0) {
            options.nrzm = false;
            const std::string plain = Save(lrptsynth::synthesize(options), "plain_LRPT_.s");
            ASSERT_EQ(RunProgram("-q --out '" + (fDir / "plain").string() + "' '" + plain + "'").status, 0);
            const std::string plainStem = (fDir / "plain" / "plain_LRPT_.s").string();
            EXPECT_EQ(vcdu, ReadFile(plainStem + ".vcdu"));
            for (const char* suffix : {".64.bmp", ".65.bmp", ".66.bmp", ".bmp"}) {
                SCOPED_TRACE(suffix);
                const std::string picture = ReadFile(stem + suffix);
                EXPECT_GT(picture.size(), 54u + 1568 * 3 * 8);
                EXPECT_EQ(picture, ReadFile(plainStem + suffix));
            }
        }
    }
}

TEST_F(Batch, RealFramesInterleavedThroughTheNrzmPathGiveThePicturesOfThePlainPath) {
    lrptsynth::SynthOptions options;
    options.cadus = lrptsynth::readCaduFile(LRPT_REAL_CADU);
    options.mode = lrptsynth::Mode::k80;
    options.polarity = lrptsynth::Polarity::Satellite;
    options.rotationDeg = 180;
    std::string stems[2];
    for (const bool nrzm : {false, true}) {
        SCOPED_TRACE(nrzm);
        options.nrzm = nrzm;
        const std::string name = nrzm ? "n23_LRPT INT_.s" : "plain_LRPT INT_.s";
        const std::string input = Save(lrptsynth::synthesize(options), name);
        const Outcome o = RunProgram(std::string(nrzm ? "--diff " : "") + "-q --out '" +
                                     (fDir / "out").string() + "' '" + input + "'");
        ASSERT_EQ(o.status, 0) << o.output;
        stems[nrzm] = (fDir / "out" / name).string();
    }
    // Every frame comes back, in order, in both (the records before the first are the garbage of
    // the deinterleaver's store filling, and differ), and so the pictures are the same.
    const std::string cadus(options.cadus->begin(), options.cadus->end());
    for (const std::string& stem : stems) {
        SCOPED_TRACE(stem);
        const std::string vcdu = ReadFile(stem + ".vcdu");
        size_t at = 0;
        while (at + 1024 <= vcdu.size() && vcdu.compare(at + 4, 1020, cadus, 4, 1020) != 0)
            at += 1024;
        ASSERT_GE(vcdu.size(), at + cadus.size());
        for (size_t f = 0; f < cadus.size() / 1024; ++f)
            ASSERT_EQ(vcdu.compare(at + 1024 * f + 4, 1020, cadus, 1024 * f + 4, 1020), 0) << f;
    }
    for (const char* suffix : {".64.bmp", ".65.bmp", ".66.bmp"}) {
        SCOPED_TRACE(suffix);
        const std::string picture = ReadFile(stems[1] + suffix);
        EXPECT_GT(picture.size(), 54u + 1568 * 3 * 8);
        EXPECT_TRUE(picture == ReadFile(stems[0] + suffix));
    }
}

// An 80 k recording that ends without the fill frames behind the pass, as a real recording does:
// the frames whose values were all sent must all decode, the last ones too, which at the end of
// the input still sit in the deinterleaver's store (36 x 73,728 values); and of the frames whose
// values were only partly sent before the end, those with most of them must decode as well.
TEST_F(Batch, EightyKRecordingEndingWithoutFillDecodesWhatTheDeinterleaverHeld) {
    lrptsynth::SynthOptions options;
    options.mode = lrptsynth::Mode::k80;
    options.durationSeconds = 30;
    options.channels = {1};
    options.tailFrames = 0;
    const auto rec = lrptsynth::synthesize(options);
    const std::string input = Save(rec, "end_LRPT INT_.s");
    const Outcome o = RunProgram("-q --out '" + (fDir / "out").string() + "' '" + input + "'");
    ASSERT_EQ(o.status, 0) << o.output;

    std::set<uint32_t> decoded; // counters of the frames that came out whole
    const std::string vcdu = ReadFile((fDir / "out" / "end_LRPT INT_.s.vcdu").string());
    for (size_t at = 0; at + 1024 <= vcdu.size(); at += 1024) {
        const auto* r = reinterpret_cast<const uint8_t*>(vcdu.data() + at);
        if (r[0] != 255 && r[1] != 255 && r[2] != 255 && r[3] != 255 && r[4] == 0x40 && r[5] == 0x05)
            decoded.insert(static_cast<uint32_t>(r[6] << 16 | r[7] << 8 | r[8]));
    }
    // Code value c goes out on branch c mod 36, (c mod 36) x 73,728 data values after it came; the
    // recording holds 72 data values per 80-value group.
    const int64_t sentData = static_cast<int64_t>(rec.chainBits.size()) / 80 * 72;
    int whole = 0, wholeDecoded = 0, partly = 0, partlyDecoded = 0;
    for (const auto& f : rec.frames) {
        int64_t sent = 0;
        for (int64_t c = 16384LL * f.sentIndex; c < 16384LL * (f.sentIndex + 1); ++c)
            sent += c + (c % 36) * 73728 < sentData;
        const bool got = decoded.count(f.counter) > 0;
        if (sent == 16384) {
            ++whole;
            wholeDecoded += got;
            EXPECT_TRUE(got) << "frame " << f.counter << ", all of it sent";
        } else {
            ++partly;
            partlyDecoded += got;
            // A quarter of the values missing, in bursts of neighbouring branches, is within the
            // code's reach (about a third is not).
            if (4 * sent >= 3 * 16384) {
                EXPECT_TRUE(got) << "frame " << f.counter << ", " << sent << " values sent";
            }
        }
    }
    std::printf("%d frames sent whole, %d decoded; %d partly sent before the end, %d of them decoded\n",
                whole, wholeDecoded, partly, partlyDecoded);
    EXPECT_GT(whole, 100);
    EXPECT_GT(partly, 100);
}

// The files written side by side agree with each other: each channel's PNG and BMP hold the same
// pixels, each rectified PNG is its raw picture rectified, and the natural-colour product is the
// RGB composite of the same channels. A file that cannot be written stops the program with its
// name, after the other files were written.
TEST_F(Batch, PicturesAgreeWithEachOtherAndAWriteFailureIsNamed) {
    lrptsynth::SynthOptions options;
    options.durationSeconds = 6;
    options.channels = {1, 2, 3, 5};
    const std::string input = Save(lrptsynth::synthesize(options), "pass_LRPT_.s");
    ASSERT_EQ(RunProgram("-q '" + input + "'").status, 0);
    for (const char* channel : {".64", ".65", ".66", ".68"}) {
        SCOPED_TRACE(channel);
        const TBitmap24 raw = ReadPng(input + channel + ".png");
        ASSERT_GT(raw.Height(), 8);
        EXPECT_TRUE(SamePixels(raw, ReadBmp(input + channel + ".bmp")));
        EXPECT_TRUE(SamePixels(RectifyProduct(raw), ReadPng(input + channel + ".rect.png")));
    }
    for (const char* product : {".rgb123", ".rgb221", ".ir"}) {
        SCOPED_TRACE(product);
        const TBitmap24 raw = ReadPng(input + product + ".png");
        ASSERT_GT(raw.Height(), 8);
        EXPECT_TRUE(SamePixels(RectifyProduct(raw), ReadPng(input + product + ".rect.png")));
    }
    const TBitmap24 composite = ReadBmp(input + ".bmp");
    EXPECT_TRUE(SamePixels(composite, ReadPng(input + ".rgb123.png")));
    EXPECT_FALSE(SamePixels(composite, ReadPng(input + ".rgb221.png")));

    fs::remove(input + ".65.rect.png");
    fs::create_directories(input + ".65.rect.png/taken");
    const Outcome o = RunProgram("-q '" + input + "'");
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.output.find(".65.rect.png"), std::string::npos) << o.output;
    EXPECT_EQ(std::count(o.output.begin(), o.output.end(), '\n'), 1) << o.output;
    for (const char* suffix : {".64.rect.png", ".66.rect.png", ".65.png", ".bmp", ".ir.rect.png"})
        EXPECT_TRUE(fs::exists(input + suffix)) << suffix;
}
