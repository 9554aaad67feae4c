// The whole chain without windows: generator WAV -> haldrin-batch -> tarnwick-batch -> pictures,
// compared with the generator's ideal pictures.
#include "PipedRun.h"
#include "Synthesizer.h"
#include "TestFolder.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

fs::path TempDir(const std::string& aName) {
    return TestFolder("haldrin-batch-test", aName);
}

void Write(const fs::path& aPath, const std::vector<uint8_t>& aBytes) {
    std::ofstream f(aPath, std::ios::binary);
    f.write(reinterpret_cast<const char*>(aBytes.data()), std::streamsize(aBytes.size()));
}

struct TRun {
    int Exit = -1;
    std::string Out, Err;
};

// Runs a command with its standard output and error captured in files of aDir.
TRun RunCommand(const std::string& aCommand, const fs::path& aDir) {
    const fs::path out = aDir / "stdout.txt", err = aDir / "stderr.txt";
    const int status = std::system((aCommand + " >" + out.string() + " 2>" + err.string()).c_str());
    TRun r;
    r.Exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    auto slurp = [](const fs::path& p) {
        std::ifstream f(p);
        return std::string(std::istreambuf_iterator<char>(f), {});
    };
    r.Out = slurp(out);
    r.Err = slurp(err);
    return r;
}

std::string Slurp(const fs::path& aPath) {
    std::ifstream f(aPath, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

std::string Quote(const fs::path& p) {
    std::string q(1, '\'');
    return q.append(p.string()).append(1, '\'');
}

// 24-bit BMP as grey rows (blue byte), top-down whatever the file's row order.
bool ReadBmpGrey(const fs::path& aPath, int& aWidth, std::vector<std::vector<uint8_t>>& aRows) {
    std::ifstream f(aPath, std::ios::binary);
    const std::vector<uint8_t> b((std::istreambuf_iterator<char>(f)), {});
    if (b.size() < 54 || b[0] != 'B' || b[1] != 'M') return false;
    auto le32 = [&](size_t at) {
        return int32_t(b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24);
    };
    const int32_t offset = le32(10), width = le32(18), height = le32(22);
    if ((b[28] | b[29] << 8) != 24) return false;
    const int rows = height < 0 ? -height : height;
    const size_t stride = (size_t(width) * 3 + 3) / 4 * 4;
    if (size_t(offset) + stride * size_t(rows) > b.size()) return false;
    aWidth = width;
    aRows.assign(size_t(rows), std::vector<uint8_t>(size_t(width)));
    for (int y = 0; y < rows; ++y) {
        const size_t fileRow = size_t(height < 0 ? y : rows - 1 - y);
        for (int x = 0; x < width; ++x)
            aRows[size_t(y)][size_t(x)] = b[size_t(offset) + fileRow * stride + size_t(x) * 3];
    }
    return true;
}

// A generated pass of six scans through both batch tools; aParams go to haldrin-batch,
// aDecoderParams to tarnwick-batch; aSymbols names the symbol file's form (".raw" or ".s").
void ChainGivesTheIdealPictures(lrptsynth::SynthOptions o, const std::string& aName,
                                const std::string& aParams, const std::string& aDecoderParams = "",
                                const std::string& aSymbols = ".raw") {
    o.form = lrptsynth::OutputForm::Wav;
    o.scans = 6;
    if (o.headFrames == 0) o.headFrames = 12; // about 1.4 s of fill while the receiver locks
    o.esn0Db = 12;
    const lrptsynth::Recording rec = lrptsynth::synthesize(o);
    const fs::path dir = TempDir(aName);
    const fs::path wav = dir / "pass.wav", raw = dir / ("pass" + aSymbols);
    Write(wav, rec.bytes);

    const TRun h =
        RunCommand(std::string(HALDRIN_BATCH) + " " + aParams + " " + Quote(wav) + " " + Quote(raw), dir);
    ASSERT_EQ(h.Exit, 0) << h.Err;
    EXPECT_NE(h.Out.find("symbols written"), std::string::npos) << h.Out;
    EXPECT_TRUE(h.Err.empty()) << "the progress display must stay quiet off a terminal: " << h.Err;
    // One byte per symbol, nothing lost at the end of the file.
    const double symbols = double(fs::file_size(raw)) / (aSymbols == ".s" ? 2 : 1);
    const double frames = double(rec.bytes.size() - 44) / (o.wavBits / 4);
    EXPECT_NEAR(symbols, frames * 72000 / o.sampleRate, 200);

    const TRun t = RunCommand(std::string(TARNWICK_BATCH) + " --72k " + aDecoderParams + " --out " +
                                  Quote(dir) + " " + Quote(raw),
                              dir);
    ASSERT_EQ(t.Exit, 0) << t.Err;
    // Channels 1-3 (APIDs 64-66): every scan of the pass in the picture, pixel for pixel as the
    // generator drew it.
    for (int channel = 1; channel <= 3; ++channel) {
        SCOPED_TRACE("channel " + std::to_string(channel));
        int width = 0;
        std::vector<std::vector<uint8_t>> rows;
        const fs::path bmp = dir / ("pass" + aSymbols + "." + std::to_string(63 + channel) + ".bmp");
        ASSERT_TRUE(ReadBmpGrey(bmp, width, rows)) << t.Out;
        const lrptsynth::GreyImage& truth = rec.truth[size_t(channel - 1)];
        ASSERT_EQ(width, truth.width);
        ASSERT_EQ(int(rows.size()), truth.height);
        int exactScans = 0;
        for (int scan = 0; scan < truth.height / 8; ++scan) {
            bool same = true;
            for (int y = scan * 8; y < scan * 8 + 8 && same; ++y)
                for (int x = 0; x < width && same; ++x)
                    same = rows[size_t(y)][size_t(x)] == truth.at(x, y);
            exactScans += same;
        }
        EXPECT_EQ(exactScans, truth.height / 8);
    }
}

TEST(HaldrinBatchTest, SixteenBitPassDecodesToTheIdealPictures) {
    lrptsynth::SynthOptions o;
    o.carrierOffsetHz = 2500;
    o.seed = 5;
    ChainGivesTheIdealPictures(o, "chain16", "--receiver model");
}

TEST(HaldrinBatchTest, EightBitPassBelowTheCarrierDecodes) {
    lrptsynth::SynthOptions o;
    o.wavBits = 8;
    o.carrierOffsetHz = -3000;
    o.seed = 7;
    ChainGivesTheIdealPictures(o, "chain8", "--receiver model");
}

TEST(HaldrinBatchTest, ExchangedChannelsDecodeWithIqSwap) {
    lrptsynth::SynthOptions o;
    o.swapIq = true;
    o.carrierOffsetHz = 1000;
    o.seed = 9;
    ChainGivesTheIdealPictures(o, "chainswap", "--receiver model --param IqSwap=1");
}

// Offset QPSK (Q sent half a symbol after I) with the receiver's Oqpsk option, on both sides of
// the carrier and turned a quarter, where the lock may put the on-time strobes on the Q centres.
// Three seconds of fill: the pairs of an OQPSK receiver far off the carrier still give a mean
// carrier error a little below the lock detector's limit, so the signal's onset can raise a
// false lock that the detector only drops after about two seconds (the first pass here does).
TEST(HaldrinBatchTest, OffsetQpskPassDecodesWithTheOqpskOption) {
    lrptsynth::SynthOptions o;
    o.oqpsk = true;
    o.headFrames = 24;
    o.carrierOffsetHz = 2000;
    o.seed = 13;
    ChainGivesTheIdealPictures(o, "chainoqpsk", "--receiver model --param Oqpsk=1");
    o.carrierOffsetHz = -1500;
    o.rotationDeg = 90;
    o.seed = 14;
    ChainGivesTheIdealPictures(o, "chainoqpsk90", "--receiver model --oqpsk");
}

// Today's satellites: NRZ-M coded and sent as offset QPSK. The receiver pairs with Oqpsk, the
// decoder searches the NRZ-M marker and decodes differentially (--diff); any quarter-turn lock,
// straddled pairs included, comes out as the sent pictures.
TEST(HaldrinBatchTest, NrzmOffsetQpskPassDecodesWithBothOptions) {
    lrptsynth::SynthOptions o;
    o.nrzm = true;
    o.oqpsk = true;
    o.headFrames = 24;
    o.carrierOffsetHz = 2000;
    o.seed = 13;
    ChainGivesTheIdealPictures(o, "chainnrzm", "--receiver model --param Oqpsk=1", "--diff");
    o.carrierOffsetHz = -1500;
    o.rotationDeg = 90;
    o.seed = 14;
    ChainGivesTheIdealPictures(o, "chainnrzm90", "--receiver model --param Oqpsk=1", "--diff");
}

// The precise receiver, haldrin-batch's default: a pass 6 kHz off the carrier, recorded at
// 144 kS/s, in both symbol forms; 8-bit WAV at 250 kS/s; an NRZ-M offset-QPSK pass with --oqpsk.
TEST(HaldrinBatchTest, PreciseReceiverPassesDecodeToTheIdealPictures) {
    lrptsynth::SynthOptions o;
    o.carrierOffsetHz = 6000;
    o.sampleRate = 144000;
    o.headFrames = 4;
    o.seed = 21;
    ChainGivesTheIdealPictures(o, "precise-s", "", "", ".s");
    ChainGivesTheIdealPictures(o, "precise-raw", "--receiver precise", "", ".raw");
    o.wavBits = 8;
    o.sampleRate = 250000;
    o.carrierOffsetHz = -5000;
    ChainGivesTheIdealPictures(o, "precise-8bit", "", "", ".s");
    lrptsynth::SynthOptions n;
    n.nrzm = true;
    n.oqpsk = true;
    n.headFrames = 4;
    n.carrierOffsetHz = -2500;
    n.seed = 22;
    ChainGivesTheIdealPictures(n, "precise-nrzm", "--oqpsk", "--diff", ".s");
}

// The 80 k mode as it is sent today (NRZ-M, offset QPSK, the pair's first value on Q, half a
// symbol after the second), I first, through the precise receiver, as is and turned a quarter
// turn: whatever phase the receiver's lock lands in for one, it lands a quarter turn away for the
// other, where each of its pairs holds the values of two sent pairs. Both give the whole picture.
TEST(HaldrinBatchTest, PreciseReceiver80kNrzmOffsetQpskDecodesInBothLockPhases) {
    lrptsynth::SynthOptions o;
    o.form = lrptsynth::OutputForm::Wav;
    o.mode = lrptsynth::Mode::k80;
    o.nrzm = true;
    o.oqpsk = true;
    o.swapIq = true;
    o.polarity = lrptsynth::Polarity::Satellite;
    o.channels = {1};
    o.scans = 2;
    o.headFrames = 12;
    o.esn0Db = 10;
    o.sampleRate = 192000;
    o.seed = 7;
    for (const int rotation : {0, 90}) {
        SCOPED_TRACE(rotation);
        o.rotationDeg = rotation;
        const lrptsynth::Recording rec = lrptsynth::synthesize(o);
        const fs::path dir = TempDir("precise80k" + std::to_string(rotation));
        const fs::path wav = dir / "pass.wav", symbols = dir / "pass.s";
        Write(wav, rec.bytes);
        const TRun h = RunCommand(std::string(HALDRIN_BATCH) + " --oqpsk --symbol-rate 80000 " + Quote(wav) +
                                      " " + Quote(symbols),
                                  dir);
        ASSERT_EQ(h.Exit, 0) << h.Err;
        const TRun t = RunCommand(
            std::string(TARNWICK_BATCH) + " --80k --diff --out " + Quote(dir) + " " + Quote(symbols), dir);
        ASSERT_EQ(t.Exit, 0) << t.Out << t.Err;
        int width = 0;
        std::vector<std::vector<uint8_t>> rows;
        ASSERT_TRUE(ReadBmpGrey(dir / "pass.s.64.bmp", width, rows)) << t.Out;
        const lrptsynth::GreyImage& truth = rec.truth[0];
        ASSERT_EQ(width, truth.width);
        ASSERT_EQ(int(rows.size()), truth.height) << t.Out;
        for (int y = 0; y < truth.height; ++y)
            for (int x = 0; x < width; ++x)
                ASSERT_EQ(rows[size_t(y)][size_t(x)], truth.at(x, y)) << "row " << y << ", column " << x;
    }
}

// Frames received from N2-3/N2-4 sent again the way those satellites send them (NRZ-M, offset
// QPSK, inverted second value) come back whole once the receiver has locked.
void RealFramesComeBackWhole(const std::string& aReceiver) {
    lrptsynth::SynthOptions o;
    o.cadus = lrptsynth::readCaduFile(LRPT_REAL_CADU);
    o.form = lrptsynth::OutputForm::Wav;
    o.nrzm = true;
    o.oqpsk = true;
    o.polarity = lrptsynth::Polarity::Satellite;
    o.carrierOffsetHz = 1200;
    o.rotationDeg = 270;
    o.esn0Db = 12;
    o.seed = 17;
    const lrptsynth::Recording rec = lrptsynth::synthesize(o);
    const fs::path dir = TempDir("realnrzm" + std::to_string(aReceiver.size()));
    const fs::path wav = dir / "real.wav", raw = dir / "real.raw";
    Write(wav, rec.bytes);
    const TRun h =
        RunCommand(std::string(HALDRIN_BATCH) + " " + aReceiver + " " + Quote(wav) + " " + Quote(raw), dir);
    ASSERT_EQ(h.Exit, 0) << h.Err;
    const TRun t =
        RunCommand(std::string(TARNWICK_BATCH) + " --72k --diff --out " + Quote(dir) + " " + Quote(raw), dir);
    ASSERT_EQ(t.Exit, 0) << t.Err;
    EXPECT_NE(t.Out.find("RS words failed 0"), std::string::npos) << t.Out;
    EXPECT_TRUE(fs::exists(dir / "real.raw.64.bmp")) << t.Out;

    // The records of the decoder's frame file are the frames, in order, from the first record up
    // to the last frame (the generator's fill frames follow); only those sent while the receiver
    // locked (about a second, 8 frames) are missing.
    std::ifstream f(dir / "real.raw.vcdu", std::ios::binary);
    const std::string vcdu((std::istreambuf_iterator<char>(f)), {});
    const std::string cadus(o.cadus->begin(), o.cadus->end());
    const size_t sent = cadus.size() / 1024, got = vcdu.size() / 1024;
    ASSERT_GE(got, 2u);
    size_t at = 0;
    while (at < sent && vcdu.compare(4, 1020, cadus, 1024 * at + 4, 1020) != 0)
        ++at;
    ASSERT_LT(at, 12u) << "first decoded frame not among the first sent";
    ASSERT_GE(got + at, sent);
    for (size_t k = 0; at + k < sent; ++k)
        ASSERT_EQ(vcdu.compare(1024 * k + 4, 1020, cadus, 1024 * (at + k) + 4, 1020), 0) << "record " << k;
}

TEST(HaldrinBatchTest, RealFramesAsNrzmOffsetQpskComeBackWhole) {
    RealFramesComeBackWhole("--receiver model --param Oqpsk=1");
    RealFramesComeBackWhole("--oqpsk");
}

// The first Ctrl-C on a WAV coming through a pipe that stays open ends the input where it is: the
// program ends by itself, with the symbols of what came written, for both receivers; an interrupt
// before anything came ends it cleanly with nothing written.
TEST(HaldrinBatchTest, InterruptEndsAPipedRecordingCleanly) {
    const fs::path dir = TempDir("interrupt");
    lrptsynth::SynthOptions o;
    o.form = lrptsynth::OutputForm::Wav;
    o.sampleRate = 144000;
    o.esn0Db = 10;
    o.durationSeconds = 5;
    const std::vector<uint8_t> pass = lrptsynth::synthesize(o).bytes;
    for (const std::string receiver : {"precise", "model"}) {
        SCOPED_TRACE(receiver);
        const TPiped r = InterruptThroughPipe(
            HALDRIN_BATCH, {"--receiver", receiver, "--input-format", "wav", "-", (dir / "out.raw").string()},
            pass, std::chrono::seconds(2), dir / "err.txt", true, dir / "out.txt");
        ASSERT_TRUE(r.Ended) << "the interrupt did not end the run";
        ASSERT_TRUE(WIFEXITED(r.Status))
            << "ended by signal " << (WIFSIGNALED(r.Status) ? WTERMSIG(r.Status) : 0);
        EXPECT_EQ(WEXITSTATUS(r.Status), 0);
        const std::string out = Slurp(dir / "out.txt");
        EXPECT_NE(out.find("input ended by an interrupt"), std::string::npos) << out;
        // Every symbol of the 5 s: the receivers' delay aside.
        EXPECT_GT(fs::file_size(dir / "out.raw"), size_t(72000 * 5 * 0.95));
    }
    const TPiped nothing =
        InterruptThroughPipe(HALDRIN_BATCH, {"--input-format", "wav", "-", (dir / "none.raw").string()}, {},
                             std::chrono::milliseconds(500), dir / "err.txt");
    ASSERT_TRUE(nothing.Ended && WIFEXITED(nothing.Status));
    EXPECT_EQ(WEXITSTATUS(nothing.Status), 0);
    EXPECT_NE(Slurp(dir / "err.txt").find("interrupted before anything came"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir / "none.raw"));
}

TEST(HaldrinBatchTest, BadInputsGiveOneLineAndNonZeroExit) {
    const fs::path dir = TempDir("errors");
    const std::string tool = HALDRIN_BATCH;

    TRun r = RunCommand(tool + " " + Quote(dir / "missing.wav") + " " + Quote(dir / "out.raw"), dir);
    EXPECT_EQ(r.Exit, 1);
    EXPECT_EQ(r.Err, "haldrin-batch: cannot open input file " + (dir / "missing.wav").string() + "\n");

    Write(dir / "text.wav", {'n', 'o', 't', ' ', 'a', ' ', 'w', 'a', 'v'});
    r = RunCommand(tool + " " + Quote(dir / "text.wav") + " " + Quote(dir / "out.raw"), dir);
    EXPECT_EQ(r.Exit, 1);
    EXPECT_NE(r.Err.find("header code -2"), std::string::npos) << r.Err;
    EXPECT_EQ(std::count(r.Err.begin(), r.Err.end(), '\n'), 1);

    lrptsynth::SynthOptions o;
    o.form = lrptsynth::OutputForm::Wav;
    o.scans = 1;
    Write(dir / "ok.wav", lrptsynth::synthesize(o).bytes);
    r = RunCommand(tool + " " + Quote(dir / "ok.wav") + " " + Quote(dir / "no-such-dir" / "out.raw"), dir);
    EXPECT_EQ(r.Exit, 1);
    EXPECT_NE(r.Err.find("cannot create output file"), std::string::npos) << r.Err;

    r = RunCommand(tool + " --param Bogus=1 " + Quote(dir / "ok.wav") + " " + Quote(dir / "out.raw"), dir);
    EXPECT_EQ(r.Exit, 2);
    EXPECT_NE(r.Err.find("unknown receiver parameter \"Bogus\""), std::string::npos) << r.Err;
    r = RunCommand(tool + " --param KpMan=16 " + Quote(dir / "ok.wav") + " " + Quote(dir / "out.raw"), dir);
    EXPECT_EQ(r.Exit, 2);
    EXPECT_NE(r.Err.find("KpMan must lie in 0..15"), std::string::npos) << r.Err;

    // A parameter by name acts: with the carrier loop open 5 kHz off the carrier, no lock.
    r = RunCommand(tool + " --receiver model --param CarOpen=1 --param Sweep=0 --param Nco=5000 " +
                       Quote(dir / "ok.wav") + " " + Quote(dir / "out.raw"),
                   dir);
    EXPECT_EQ(r.Exit, 0) << r.Err;
    EXPECT_NE(r.Out.find("locked 0.0% of the time"), std::string::npos) << r.Out;
    EXPECT_NE(r.Out.find("receiver model"), std::string::npos) << r.Out;

    // The model's parameters are refused for the precise receiver; receivers by name only.
    r = RunCommand(tool + " --param Nco=100 " + Quote(dir / "ok.wav") + " " + Quote(dir / "out.s"), dir);
    EXPECT_EQ(r.Exit, 2);
    EXPECT_NE(r.Err.find("add --receiver model"), std::string::npos) << r.Err;
    r = RunCommand(tool + " --receiver fast " + Quote(dir / "ok.wav") + " " + Quote(dir / "out.s"), dir);
    EXPECT_EQ(r.Exit, 2);
    EXPECT_NE(r.Err.find("--receiver must be precise or model"), std::string::npos) << r.Err;
    r = RunCommand(tool + " --receiver model --symbol-rate 80000 " + Quote(dir / "ok.wav") + " " +
                       Quote(dir / "out.raw"),
                   dir);
    EXPECT_EQ(r.Exit, 2);
    EXPECT_NE(r.Err.find("--param SymRate="), std::string::npos) << r.Err;
    // The precise receiver's summary: receiver, first lock, carrier and drift, Es/N0.
    r = RunCommand(tool + " " + Quote(dir / "ok.wav") + " " + Quote(dir / "out.s"), dir);
    EXPECT_EQ(r.Exit, 0) << r.Err;
    EXPECT_NE(r.Out.find("receiver precise: "), std::string::npos) << r.Out;
    EXPECT_NE(r.Out.find("first lock after"), std::string::npos) << r.Out;
    EXPECT_NE(r.Out.find("Es/N0 about"), std::string::npos) << r.Out;
}

} // namespace
