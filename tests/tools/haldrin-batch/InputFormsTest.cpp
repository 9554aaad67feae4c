// haldrin-batch's input side: a recording converted to another form, or fed live through a pipe,
// gives the frames of the WAV; inputs it cannot use are refused in one line with no output file.
#include "Synthesizer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

fs::path Dir() {
    struct TRoot {
        fs::path Path = fs::temp_directory_path() / ("haldrin-input-test-" + std::to_string(getpid()));
        TRoot() { fs::create_directories(Path); }
        ~TRoot() {
            std::error_code ignored;
            fs::remove_all(Path, ignored);
        }
    };
    static const TRoot root;
    return root.Path;
}

std::string Quote(const fs::path& p) {
    std::string q(1, '\'');
    return q.append(p.string()).append(1, '\'');
}

std::string Slurp(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

void Write(const fs::path& p, const std::string& aBytes) {
    std::ofstream(p, std::ios::binary) << aBytes;
}

// Runs a shell command; returns its exit status, its standard error in aErr.
int Shell(const std::string& aCommand, std::string* aErr = nullptr) {
    const fs::path err = Dir() / "stderr.txt";
    const int status = std::system((aCommand + " >/dev/null 2>" + Quote(err)).c_str());
    if (aErr) *aErr = Slurp(err);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A generated pass of four scans, 16-bit, and its samples in rtl_sdr's cu8 form (same order).
struct TPass {
    lrptsynth::Recording Rec;
    std::string Cu8;
};
const TPass& Pass() {
    static const TPass pass = [] {
        lrptsynth::SynthOptions o;
        o.form = lrptsynth::OutputForm::Wav;
        o.scans = 4;
        o.headFrames = 12;
        o.esn0Db = 12;
        o.carrierOffsetHz = -1800;
        o.seed = 21;
        TPass p{lrptsynth::synthesize(o), {}};
        const auto& b = p.Rec.bytes;
        for (size_t k = 44; k + 1 < b.size(); k += 2)
            p.Cu8.push_back(char((int16_t(b[k] | b[k + 1] << 8) >> 8) + 128));
        return p;
    }();
    return pass;
}

// The corrected transfer frames the decoder gets out of a symbol file (the .vcdu records without
// their Reed-Solomon result bytes).
std::vector<std::string> DecodedFrames(const fs::path& aRaw) {
    const fs::path out = aRaw.string() + ".out";
    fs::create_directories(out);
    EXPECT_EQ(Shell(std::string(TARNWICK_BATCH) + " -q --out " + Quote(out) + " " + Quote(aRaw)), 0);
    const std::string vcdu = Slurp(out / (aRaw.filename().string() + ".vcdu"));
    std::vector<std::string> frames;
    for (size_t r = 0; r + 1024 <= vcdu.size(); r += 1024)
        frames.push_back(vcdu.substr(r + 4, 1020));
    return frames;
}

} // namespace

// rtl_sdr's form on a pipe: the run ends when the pipe closes, and the decoder gets the frames it
// gets from the WAV (the 8-bit samples cost nothing at this noise).
TEST(HaldrinBatchInputTest, Cu8ThroughAPipeDecodesLikeTheWav) {
    const fs::path wav = Dir() / "pass.wav", cu8 = Dir() / "pass.cu8";
    Write(wav, std::string(Pass().Rec.bytes.begin(), Pass().Rec.bytes.end()));
    Write(cu8, Pass().Cu8);
    ASSERT_EQ(Shell(std::string(HALDRIN_BATCH) + " -q --receiver model " + Quote(wav) + " " +
                    Quote(Dir() / "wav.raw")),
              0);
    std::string err;
    ASSERT_EQ(Shell("cat " + Quote(cu8) + " | " + HALDRIN_BATCH +
                        " -q --receiver model --input-format cu8 --rate 196078 - " +
                        Quote(Dir() / "pipe.raw"),
                    &err),
              0)
        << err;
    EXPECT_NEAR(double(fs::file_size(Dir() / "pipe.raw")), double(fs::file_size(Dir() / "wav.raw")), 1);
    const std::vector<std::string> fromWav = DecodedFrames(Dir() / "wav.raw");
    // All but the lock time and the tail, every one a frame of virtual channel 5.
    EXPECT_GE(fromWav.size(), Pass().Rec.sentCadus.size() / 1024 - 14);
    EXPECT_EQ(std::count_if(fromWav.begin(), fromWav.end(),
                            [](const std::string& f) { return f.compare(0, 2, "\x40\x05") == 0; }),
              std::ptrdiff_t(fromWav.size()));
    EXPECT_TRUE(DecodedFrames(Dir() / "pipe.raw") == fromWav);
}

// A live source: symbols reach the file while the pipe is still open, and the run ends cleanly
// when the writer closes it.
TEST(HaldrinBatchInputTest, OutputGrowsWhileThePipeIsOpen) {
    const fs::path fifo = Dir() / "live.fifo", out = Dir() / "live.raw", rc = Dir() / "live.rc";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string command = "(";
    command.append(HALDRIN_BATCH)
        .append(" -q --receiver model --input-format cu8 --rate 196078 - ")
        .append(Quote(out))
        .append(" < ")
        .append(Quote(fifo))
        .append(" >/dev/null 2>&1; echo $? > ")
        .append(Quote(rc))
        .append(") &");
    ASSERT_EQ(std::system(command.c_str()), 0);
    std::FILE* w = std::fopen(fifo.c_str(), "wb");
    ASSERT_NE(w, nullptr);
    const std::string& data = Pass().Cu8;
    const size_t half = data.size() / 2;
    ASSERT_EQ(std::fwrite(data.data(), 1, half, w), half);
    std::fflush(w);
    auto waitFor = [](const std::function<bool()>& aDone) {
        for (int k = 0; k < 200 && !aDone(); ++k)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return aDone();
    };
    // Half the pass at 196,078 frames/s is over 200,000 symbols; all but the last block is there.
    EXPECT_TRUE(waitFor([&] { return fs::exists(out) && fs::file_size(out) > 150000; }));
    EXPECT_FALSE(fs::exists(rc));
    std::fwrite(data.data() + half, 1, data.size() - half, w);
    std::fclose(w);
    ASSERT_TRUE(waitFor([&] { return fs::exists(rc) && !Slurp(rc).empty(); }));
    EXPECT_EQ(Slurp(rc), "0\n");
    EXPECT_GT(fs::file_size(out), 300000u);
}

TEST(HaldrinBatchInputTest, UnusableInputsAreRefusedInOneLineWithoutOutput) {
    const fs::path d = Dir();
    Write(d / "pass.cs16", std::string(4000, '\1'));
    Write(d / "pass.iq", std::string(4000, '\1'));
    std::string mono = std::string(Pass().Rec.bytes.begin(), Pass().Rec.bytes.begin() + 4044);
    mono[22] = 1, mono[32] = 2; // one channel, two bytes a frame
    Write(d / "mono.wav", mono);
    std::string adpcm = mono;
    adpcm[20] = 0x11, adpcm[22] = 2;
    Write(d / "adpcm.wav", adpcm);
    struct TCase {
        std::string Args, Says;
    };
    for (const TCase& c : {
             TCase{Quote(d / "pass.cs16"), "pass.cs16: headerless cs16 I/Q has no sample rate"},
             TCase{Quote(d / "pass.iq"), "pass.iq: cannot tell its form"},
             TCase{Quote(d / "mono.wav"), "mono.wav: WAV with 1 channel"},
             TCase{Quote(d / "adpcm.wav"), "adpcm.wav: WAV of format tag 0x0011"},
             TCase{"--receiver model --rate 1024000 " + Quote(d / "pass.cs16"),
                   "1024000 Hz is above the receiver model's 500000 Hz"},
             TCase{"- < " + Quote(d / "pass.cs16"), "standard input: give its form with --input-format"},
             TCase{"--input-format cs16 --rate 96000 - < /dev/null", "standard input holds no samples"},
         }) {
        SCOPED_TRACE(c.Args);
        const fs::path out = d / "refused.raw";
        std::string err;
        EXPECT_EQ(Shell(std::string(HALDRIN_BATCH) + " " + c.Args + " " + Quote(out), &err), 1);
        EXPECT_NE(err.find(c.Says), std::string::npos) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_FALSE(fs::exists(out));
    }
    std::string err;
    EXPECT_EQ(Shell(std::string(HALDRIN_BATCH) + " --input-format mp3 x.wav y.raw", &err), 2);
    EXPECT_NE(err.find("--input-format: wav, cu8, cs8, cs16 or cf32"), std::string::npos) << err;
    EXPECT_EQ(Shell(std::string(HALDRIN_BATCH) + " --rate 250k x.cu8 y.raw", &err), 2);
    EXPECT_NE(err.find("--rate needs a whole number of Hz"), std::string::npos) << err;
}

// 8-bit samples fill the 16-bit scale, so a dongle-level cu8 recording is far louder than the
// model's input range: the summary says how much was clipped; a recording at the model's level
// draws no note.
TEST(HaldrinBatchInputTest, TheSummarySaysWhenTheModelClipsTheInput) {
    std::string loud;
    for (char c : Pass().Cu8)
        loud.push_back(char(std::clamp((uint8_t(c) - 128) * 6 + 128, 0, 255)));
    Write(Dir() / "loud.cu8", loud);
    const fs::path out = Dir() / "summary.txt";
    ASSERT_EQ(std::system((std::string(HALDRIN_BATCH) + " --receiver model --rate 196078 " +
                           Quote(Dir() / "loud.cu8") + " " + Quote(Dir() / "loud.raw") + " > " + Quote(out))
                              .c_str()),
              0);
    EXPECT_NE(Slurp(out).find("of the frames exceed the model's input range"), std::string::npos)
        << Slurp(out);
    Write(Dir() / "plain.cu8", Pass().Cu8);
    ASSERT_EQ(std::system((std::string(HALDRIN_BATCH) + " --receiver model --rate 196078 " +
                           Quote(Dir() / "plain.cu8") + " " + Quote(Dir() / "plain.raw") + " > " + Quote(out))
                              .c_str()),
              0);
    EXPECT_EQ(Slurp(out).find("note:"), std::string::npos) << Slurp(out);
}
