// lrpt-decode run as a user runs it, on short passes from the generator: how the pass was sent is
// found without flags, forced options are obeyed, symbol files decode, a live pipe gives growing
// pictures, pass.json reads back, and refused inputs leave nothing behind.
#include "PassSummary.h"
#include "PipedRun.h"
#include "Synthesizer.h"
#include "TestFolder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

// ---- pass.json read back through nlohmann-json, with accessors that give a plain "missing"
// value instead of throwing, so that one absent key fails one expectation, not the whole test.

struct TJson {
    nlohmann::json V;
    TJson operator[](const std::string& aKey) const {
        if (!V.is_object() || !V.contains(aKey)) return {};
        return {V.at(aKey)};
    }
    std::vector<TJson> Items() const {
        std::vector<TJson> items;
        if (V.is_array())
            for (const auto& item : V)
                items.push_back({item});
        return items;
    }
    bool IsNull() const { return V.is_null(); }
    double Number() const { return V.is_number() ? V.get<double>() : NAN; }
    std::string Text() const { return V.is_string() ? V.get<std::string>() : "<none>"; }
    bool Flag() const { return V.is_boolean() && V.get<bool>(); }
};

// Throws nlohmann::json::parse_error for a malformed document.
TJson ParseJson(const std::string& aText) {
    return {nlohmann::json::parse(aText)};
}

// ---- Running the program.

fs::path TempDir(const std::string& aName) {
    return TestFolder("lrpt-decode-test", aName);
}

std::string Slurp(const fs::path& aPath) {
    std::ifstream f(aPath, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

void Write(const fs::path& aPath, const std::vector<uint8_t>& aBytes) {
    std::ofstream(aPath, std::ios::binary)
        .write(reinterpret_cast<const char*>(aBytes.data()), std::streamsize(aBytes.size()));
}

std::string Quote(const fs::path& p) {
    std::string q = "'";
    for (const char c : p.string())
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

struct TRun {
    int Exit = -1;
    std::string Out, Err;
};

TRun Decode(const std::string& aArguments, const fs::path& aDir) {
    const fs::path out = aDir / "stdout.txt", err = aDir / "stderr.txt";
    const int status = std::system(
        (std::string(LRPT_DECODE) + " " + aArguments + " >" + Quote(out) + " 2>" + Quote(err) + " </dev/null")
            .c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, Slurp(out), Slurp(err)};
}

TJson ReadPass(const fs::path& aDir) {
    return ParseJson(Slurp(aDir / "pass.json"));
}

// Height of a PNG from its header; 0 when it is no PNG.
int PngHeight(const fs::path& aPath) {
    const std::string b = Slurp(aPath);
    if (b.size() < 24 || b.compare(1, 3, "PNG") != 0 || b.compare(12, 4, "IHDR") != 0) return 0;
    return int(uint8_t(b[20])) << 24 | int(uint8_t(b[21])) << 16 | int(uint8_t(b[22])) << 8 |
           int(uint8_t(b[23]));
}

// Rows of channel 1 of a 24-bit BMP as the decoder writes it (bottom-up), compared with the
// generator's picture: the number of 8-row scans that are exact.
int ExactScans(const fs::path& aBmp, const lrptsynth::GreyImage& aTruth) {
    const std::string b = Slurp(aBmp);
    if (b.size() < 54) return -1;
    auto le32 = [&](size_t at) {
        return int32_t(uint8_t(b[at]) | uint8_t(b[at + 1]) << 8 | uint8_t(b[at + 2]) << 16 |
                       uint32_t(uint8_t(b[at + 3])) << 24);
    };
    const int width = le32(18), rows = le32(22);
    const size_t stride = (size_t(width) * 3 + 3) / 4 * 4;
    if (width != aTruth.width || b.size() < 54 + stride * size_t(rows)) return -1;
    int exact = 0;
    for (int scan = 0; scan < std::min(rows, aTruth.height) / 8; ++scan) {
        bool same = true;
        for (int y = 8 * scan; y < 8 * scan + 8 && same; ++y)
            for (int x = 0; x < width && same; ++x)
                same = uint8_t(b[54 + size_t(rows - 1 - y) * stride + size_t(x) * 3]) == aTruth.at(x, y);
        exact += same;
    }
    return exact;
}

// "hh:mm:ss.zzz" of a time stamp in ms of the day.
std::string TimeOfDay(uint32_t aMs) {
    char text[16];
    std::snprintf(text, sizeof text, "%02u:%02u:%02u.%03u", aMs / 3600000, aMs / 60000 % 60, aMs / 1000 % 60,
                  aMs % 1000);
    return text;
}

struct TWay {
    bool Oqpsk, Nrzm, IFirst;
    lrptsynth::Mode Mode;
};

std::string WayName(const TWay& w) {
    return std::string(w.Oqpsk ? "Oqpsk" : "Qpsk") + (w.Mode == lrptsynth::Mode::k72 ? "72k" : "80k") +
           (w.Nrzm ? "Nrzm" : "") + (w.IFirst ? "IFirst" : "QFirst");
}

// A short pass as complex baseband at 144 kS/s: a few seconds of pictures (80 k: followed by the
// fill that empties the interleaver; the generator's interleaver starts empty, so that the frames
// of its first 18 s fail and only the rest can be found).
lrptsynth::Recording Pass(const TWay& w, uint64_t aSeed, double aEsN0 = 9) {
    lrptsynth::SynthOptions o;
    o.mode = w.Mode;
    o.oqpsk = w.Oqpsk;
    o.nrzm = w.Nrzm;
    o.polarity = w.Nrzm ? lrptsynth::Polarity::Satellite : lrptsynth::Polarity::Nominal;
    o.swapIq = w.IFirst; // the generator's baseband is Q first unless exchanged
    o.form = lrptsynth::OutputForm::Wav;
    o.sampleRate = 144000;
    o.esn0Db = aEsN0;
    o.carrierOffsetHz = aSeed % 2 ? 1800 : -2300;
    o.channels = {1, 2, 3};
    o.headFrames = 12;
    o.durationSeconds = w.Mode == lrptsynth::Mode::k72 ? 5 : 4;
    o.seed = aSeed;
    return lrptsynth::synthesize(o);
}

void PrintTo(const TWay& aWay, std::ostream* aOut) {
    *aOut << WayName(aWay);
}

class EveryWay : public ::testing::TestWithParam<TWay> {};

// Found and decoded without a flag: the choice printed and in pass.json, frames Reed-Solomon clean.
TEST_P(EveryWay, IsFoundAndDecodedWithoutFlags) {
    const TWay w = GetParam();
    const lrptsynth::Recording rec =
        Pass(w, 100 + uint64_t(w.Oqpsk) * 8 + uint64_t(w.Nrzm) * 4 + uint64_t(w.IFirst) * 2 +
                    uint64_t(w.Mode == lrptsynth::Mode::k80));
    const fs::path dir = TempDir(WayName(w));
    Write(dir / "pass.wav", rec.bytes);
    const TRun r = Decode("--out " + Quote(dir / "out") + " " + Quote(dir / "pass.wav"), dir);
    ASSERT_EQ(r.Exit, 0) << r.Err << r.Out;
    const std::string chosen = std::string(w.Oqpsk ? "OQPSK" : "QPSK") +
                               (w.Mode == lrptsynth::Mode::k72 ? " 72k" : " 80k") + (w.Nrzm ? " NRZ-M" : "");
    EXPECT_EQ(r.Out.rfind("detected " + chosen + " (", 0), 0u) << r.Out;
    const TJson pass = ReadPass(dir / "out");
    EXPECT_TRUE(pass["detected"]["found"].Flag());
    EXPECT_EQ(pass["detected"]["modulation"].Text(), w.Oqpsk ? "OQPSK" : "QPSK");
    EXPECT_EQ(pass["detected"]["mode"].Text(), w.Mode == lrptsynth::Mode::k72 ? "72k" : "80k");
    EXPECT_EQ(pass["detected"]["nrzm"].Flag(), w.Nrzm);
    EXPECT_FALSE(pass["detected"]["forced"]["modulation"].Flag());
    EXPECT_GT(pass["frames"]["passed_on"].Number(), 40);
    EXPECT_GT(pass["packets"]["64"].Number(), 0);
    if (w.Mode == lrptsynth::Mode::k72) {
        // The pictures come out whole: detection lost nothing of the pass.
        EXPECT_EQ(ExactScans(dir / "out/pass.64.bmp", rec.truth[0]), rec.truth[0].height / 8);
        EXPECT_EQ(pass["frames"]["rs_failed_words"].Number(), 0);
    }
}

// Every modulation, rate, NRZ-M and channel order.
std::vector<TWay> Ways() {
    std::vector<TWay> ways;
    for (const bool oqpsk : {false, true})
        for (const auto mode : {lrptsynth::Mode::k72, lrptsynth::Mode::k80})
            for (const bool nrzm : {false, true})
                for (const bool iFirst : {true, false})
                    ways.push_back({oqpsk, nrzm, iFirst, mode});
    return ways;
}

INSTANTIATE_TEST_SUITE_P(LrptDecode, EveryWay, ::testing::ValuesIn(Ways()),
                         [](const auto& aInfo) { return WayName(aInfo.param); });

// Every option forced: no detection, the pass decoded whole; pass.json says what was forced and
// tells the pass as the generator made it; --keep-symbols writes a symbol file that decodes alike.
// Forcing a wrong way is obeyed too (nothing found), and a partial force limits the search.
TEST(LrptDecode, ForcedOptionsAreObeyedAndPassJsonTellsThePass) {
    const TWay w{true, true, true, lrptsynth::Mode::k72};
    const lrptsynth::Recording rec = Pass(w, 21, 8);
    // A name a shell and JSON both have to escape.
    const fs::path dir = TempDir("forced");
    const fs::path wav = dir / "it's a \"pass\".wav";
    Write(wav, rec.bytes);
    const TRun r = Decode("--oqpsk --72k --diff --keep-symbols " + Quote(dir / "kept.raw") + " --out " +
                              Quote(dir / "out") + " " + Quote(wav),
                          dir);
    ASSERT_EQ(r.Exit, 0) << r.Err;
    EXPECT_EQ(r.Out.rfind("detected OQPSK 72k NRZ-M (forced)\n", 0), 0u) << r.Out;
    const TJson pass = ReadPass(dir / "out");
    EXPECT_EQ(pass["input"].Text(), wav.string());
    for (const char* part : {"modulation", "mode", "nrzm"})
        EXPECT_TRUE(pass["detected"]["forced"][part].Flag()) << part;
    EXPECT_FALSE(pass["detected"]["forced"]["swap_iq"].Flag());
    EXPECT_EQ(ExactScans(dir / "out/it's a \"pass\".64.bmp", rec.truth[0]), rec.truth[0].height / 8);

    // Times of the first and the latest scan, packets per channel, frames, as sent.
    uint32_t first = UINT32_MAX, last = 0;
    std::map<int, int> sent;
    for (const auto& p : rec.packets)
        if (p.sent) {
            ++sent[p.apid];
            if (p.apid == 64) first = std::min(first, p.timeMs), last = std::max(last, p.timeMs);
        }
    EXPECT_EQ(pass["scans"]["start"].Text(), TimeOfDay(first));
    EXPECT_EQ(pass["scans"]["end"].Text(), TimeOfDay(last));
    ASSERT_EQ(pass["scans"]["channels"].Items().size(), 3u);
    EXPECT_EQ(pass["scans"]["channels"].Items()[0]["scans"].Number(), rec.scans);
    for (const int apid : {64, 65, 66, 70})
        EXPECT_EQ(pass["packets"][std::to_string(apid)].Number(), sent[apid]) << apid;
    EXPECT_EQ(pass["packets"]["67"].Number(), 0);
    int dataFrames = 0;
    for (const auto& f : rec.frames)
        dataFrames += f.sent && f.vcid == 5;
    // Frames sent before the receiver locked (fill, at 8.79 frames/s) go; no other.
    const double lockTime = pass["receiver"]["lock_time_s"].Number();
    EXPECT_GE(pass["frames"]["passed_on"].Number(), dataFrames - std::ceil(lockTime * 8.79) - 1);
    EXPECT_EQ(pass["frames"]["rs_failed_words"].Number(), 0);
    // The receiver: locked early, on the carrier, Es/N0 near the generator's.
    EXPECT_GT(pass["receiver"]["lock_time_s"].Number(), 0);
    EXPECT_LT(pass["receiver"]["lock_time_s"].Number(), 1.5);
    EXPECT_NEAR(pass["receiver"]["mean_carrier_offset_hz"].Number(), rec.options.carrierOffsetHz, 20);
    EXPECT_NEAR(pass["receiver"]["esn0_db"].Number(), 7, 1.5);
    const double seconds = double(rec.bytes.size() - 44) / 4 / 144000;
    EXPECT_NEAR(pass["recording_seconds"].Number(), seconds, 0.01);
    // Every file it names is there, the pictures and products among them.
    std::vector<std::string> files;
    for (const auto& f : pass["files"].Items()) {
        files.push_back(f.Text());
        EXPECT_TRUE(fs::exists(f.Text())) << f.Text();
    }
    for (const char* suffix : {".64.png", ".rgb123.png", ".64.rect.png", ".vcdu", ".70"})
        EXPECT_TRUE(std::count(files.begin(), files.end(), (dir / "out/it's a \"pass\"").string() + suffix))
            << suffix;

    // The kept symbols decode to the same frames.
    const TRun kept =
        Decode("--72k --diff --out " + Quote(dir / "kept") + " " + Quote(dir / "kept.raw"), dir);
    ASSERT_EQ(kept.Exit, 0) << kept.Err;
    const TJson keptPass = ReadPass(dir / "kept");
    EXPECT_EQ(keptPass["frames"]["passed_on"].Number(), pass["frames"]["passed_on"].Number());
    EXPECT_TRUE(keptPass["receiver"].IsNull());

    // A wrong forced way is taken as given: nothing decodes, exit 3.
    const TRun wrong = Decode("--qpsk --72k --no-diff --out " + Quote(dir / "wrong") + " " + Quote(wav), dir);
    EXPECT_EQ(wrong.Exit, 3) << wrong.Err;
    EXPECT_EQ(ReadPass(dir / "wrong")["frames"]["passed_on"].Number(), 0);
    // Only the 80 k hypotheses are tried when 80 k is forced; the line says what was tried.
    const TRun partial = Decode("--80k --out " + Quote(dir / "partial") + " " + Quote(wav), dir);
    EXPECT_EQ(partial.Exit, 3) << partial.Err;
    EXPECT_NE(partial.Err.find("OQPSK 80k NRZ-M"), std::string::npos) << partial.Err;
    EXPECT_EQ(partial.Err.find("72k"), std::string::npos) << partial.Err;
    EXPECT_FALSE(ReadPass(dir / "partial")["detected"]["found"].Flag());
}

// Symbol files of the four decoder hypotheses, in the three forms: mode and NRZ-M found, decoded.
TEST(LrptDecode, SymbolFilesOfEveryHypothesisDecodeWithoutFlags) {
    const fs::path dir = TempDir("symbols");
    int k = 0;
    for (const auto mode : {lrptsynth::Mode::k72, lrptsynth::Mode::k80})
        for (const bool nrzm : {false, true}) {
            const auto form = std::array{lrptsynth::OutputForm::Soft8, lrptsynth::OutputForm::Soft3,
                                         lrptsynth::OutputForm::Hard}[size_t(k++ % 3)];
            lrptsynth::SynthOptions o;
            o.mode = mode;
            o.nrzm = nrzm;
            o.form = form;
            o.esn0Db = 8;
            o.channels = {1, 2};
            o.durationSeconds = mode == lrptsynth::Mode::k72 ? 5 : 2;
            o.seed = 40 + uint64_t(k);
            const lrptsynth::Recording rec = lrptsynth::synthesize(o);
            const std::string name = std::string("pass") + std::to_string(k) + lrptsynth::formExtension(form);
            SCOPED_TRACE(name + (nrzm ? " NRZ-M" : ""));
            Write(dir / name, rec.bytes);
            const fs::path out = dir / ("out" + std::to_string(k));
            const TRun r = Decode("-q --out " + Quote(out) + " " + Quote(dir / name), dir);
            ASSERT_EQ(r.Exit, 0) << r.Err;
            const TJson pass = ReadPass(out);
            EXPECT_TRUE(pass["symbol_file"].Flag());
            EXPECT_EQ(pass["detected"]["mode"].Text(), mode == lrptsynth::Mode::k72 ? "72k" : "80k");
            EXPECT_EQ(pass["detected"]["nrzm"].Flag(), nrzm);
            EXPECT_TRUE(pass["detected"]["modulation"].IsNull());
            EXPECT_GT(pass["packets"]["65"].Number(), 0);
            EXPECT_TRUE(fs::exists(out / ("pass" + std::to_string(k) + ".65.png")));
        }
}

// Standard input as a live pass: the pictures appear and grow while the pipe is open, are never
// seen half written, and the run ends cleanly when the pipe closes.
TEST(LrptDecode, LivePipeWritesGrowingPicturesAndEndsWhenThePipeCloses) {
    lrptsynth::SynthOptions o;
    o.oqpsk = true;
    o.nrzm = true;
    o.polarity = lrptsynth::Polarity::Satellite;
    o.swapIq = true;
    o.form = lrptsynth::OutputForm::Iq;
    o.sampleFormat = lrptsynth::SampleFormat::U8;
    o.sampleRate = 144000;
    o.esn0Db = 9;
    o.carrierOffsetHz = 1000;
    o.channels = {1, 2, 3};
    o.headFrames = 12;
    o.durationSeconds = 14;
    const lrptsynth::Recording rec = lrptsynth::synthesize(o);
    const fs::path dir = TempDir("live");
    const fs::path out = dir / "out";
    const std::string command = std::string(LRPT_DECODE) +
                                " -q --input-format cu8 --rate 144000 --live-every 0.3 --out " + Quote(out) +
                                " - 2>" + Quote(dir / "stderr.txt");
    std::FILE* pipe = popen(command.c_str(), "w");
    ASSERT_NE(pipe, nullptr);
    // About four times real time: one second of signal every quarter of a second.
    const size_t second = 2 * 144000;
    std::vector<int> heights;
    bool halfWritten = false;
    for (size_t at = 0; at < rec.bytes.size(); at += second) {
        const size_t n = std::min(second, rec.bytes.size() - at);
        ASSERT_EQ(std::fwrite(rec.bytes.data() + at, 1, n, pipe), n);
        std::fflush(pipe);
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        const fs::path picture = out / "live.64.png";
        if (fs::exists(picture)) {
            const int height = PngHeight(picture);
            halfWritten |= height == 0;
            heights.push_back(height);
        }
    }
    // Before the pipe closes: channel 1's picture is there and has grown.
    ASSERT_GE(heights.size(), 2u);
    EXPECT_FALSE(halfWritten);
    EXPECT_GT(heights.back(), heights.front());
    EXPECT_TRUE(fs::exists(out / "live.rgb123.png"));
    const int status = pclose(pipe);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << Slurp(dir / "stderr.txt");
    // The final pictures hold the whole pass; no temporary file is left.
    EXPECT_EQ(PngHeight(out / "live.64.png"), 8 * rec.scans);
    EXPECT_EQ(ExactScans(out / "live.64.bmp", rec.truth[0]), rec.scans);
    for (const auto& entry : fs::directory_iterator(out))
        EXPECT_NE(entry.path().extension(), ".tmp") << entry.path();
    const TJson pass = ReadPass(out);
    EXPECT_EQ(pass["input"].Text(), "-");
    EXPECT_EQ(pass["detected"]["mode"].Text(), "72k");
    EXPECT_NEAR(pass["recording_seconds"].Number(), double(rec.bytes.size()) / 2 / 144000, 0.01);
}

// An interrupt while the pipe is still open ends the input there: what was received is decoded and
// written, and the run ends with success.
// The frames of a real pass, sent as today's satellites send them (offset QPSK, NRZ-M, off frequency
// and drifting), come through standard input as a WAV (the streaming path: the input layer's relay,
// the receiver thread, the queue, the stage chain) and are found without a flag: every frame sent
// once the receiver has locked is in the .vcdu file, in order, as received from the satellite.
TEST(LrptDecode, RealFramesThroughAPipeComeBackWhole) {
    lrptsynth::SynthOptions o;
    // The first 400 frames (45 s): enough for every part of the path, short enough for the
    // sanitizer runs.
    o.cadus = lrptsynth::readCaduFile(LRPT_REAL_CADU);
    o.cadus->resize(std::min(o.cadus->size(), size_t{400} * 1024));
    o.form = lrptsynth::OutputForm::Wav;
    o.sampleRate = 144000;
    o.nrzm = true;
    o.oqpsk = true;
    o.polarity = lrptsynth::Polarity::Satellite;
    o.swapIq = true;
    o.carrierOffsetHz = 2500;
    o.driftHzPerS = 30;
    o.esn0Db = 6;
    o.seed = 2026;
    const lrptsynth::Recording rec = lrptsynth::synthesize(o);
    // Also with the Viterbi decoder held to AVX2, as on a processor without AVX-512.
    for (const std::string isa : {"", "avx2"}) {
        SCOPED_TRACE(isa);
        const fs::path dir = TempDir("real-pipe" + isa);
        Write(dir / "real.wav", rec.bytes);
        const int status =
            std::system(("cat " + Quote(dir / "real.wav") + " | LRPT_VITERBI_ISA=" + isa + " " + LRPT_DECODE +
                         " --input-format wav --out " + Quote(dir / "out") + " - >" +
                         Quote(dir / "stdout.txt") + " 2>" + Quote(dir / "stderr.txt"))
                            .c_str());
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << Slurp(dir / "stderr.txt");
        EXPECT_EQ(Slurp(dir / "stdout.txt").rfind("detected OQPSK 72k NRZ-M", 0), 0u)
            << Slurp(dir / "stdout.txt");
        const std::string vcdu = Slurp(dir / "out/live.vcdu");
        const std::string cadus(o.cadus->begin(), o.cadus->end());
        const size_t sent = cadus.size() / 1024, got = vcdu.size() / 1024;
        ASSERT_EQ(sent, 400u);
        // The record of the first frame decoded, and which frame it is: only frames sent while the
        // receiver locked (half a second, a few frames) may be missing before it.
        size_t record = 0, at = 0;
        while (at < 12 && vcdu.compare(1024 * record + 4, 1020, cadus, 1024 * at + 4, 1020) != 0)
            ++at;
        ASSERT_LT(at, 12u) << "the first frame decoded is not among the first sent";
        ASSERT_GE(got - record, sent - at);
        for (size_t k = at; k < sent; ++k, ++record)
            ASSERT_EQ(vcdu.compare(1024 * record + 4, 1020, cadus, 1024 * k + 4, 1020), 0) << "frame " << k;
    }
}

// The first Ctrl-C on a pass from a pipe that stays open (a live receiver) ends the input where it
// is, in every form, a WAV among them (whose reader used to retry the interrupted read for
// ever): the program ends by itself, at once, and everything that came is decoded and written.
TEST(LrptDecode, InterruptEndsALivePassCleanlyInEveryForm) {
    struct TCase {
        const char* Form;
        lrptsynth::OutputForm Output;
        lrptsynth::SampleFormat Samples;
    };
    for (const TCase& c : {TCase{"cs16", lrptsynth::OutputForm::Iq, lrptsynth::SampleFormat::S16},
                           TCase{"wav", lrptsynth::OutputForm::Wav, lrptsynth::SampleFormat::S16},
                           TCase{"cf32", lrptsynth::OutputForm::Iq, lrptsynth::SampleFormat::F32}}) {
        SCOPED_TRACE(c.Form);
        lrptsynth::SynthOptions o;
        o.swapIq = true;
        o.form = c.Output;
        o.sampleFormat = c.Samples;
        o.sampleRate = 144000;
        o.esn0Db = 10;
        o.channels = {1};
        o.headFrames = 12;
        o.durationSeconds = 6;
        const lrptsynth::Recording rec = lrptsynth::synthesize(o);
        const fs::path dir = TempDir(std::string("interrupt-") + c.Form);
        const TPiped r = InterruptThroughPipe(LRPT_DECODE,
                                              {"-q", "--qpsk", "--72k", "--no-diff", "--input-format", c.Form,
                                               "--rate", "144000", "--out", (dir / "out").string(), "-"},
                                              rec.bytes, std::chrono::seconds(2), dir / "err.txt");
        ASSERT_TRUE(r.Ended) << "the interrupt did not end the run";
        ASSERT_TRUE(WIFEXITED(r.Status))
            << "ended by signal " << (WIFSIGNALED(r.Status) ? WTERMSIG(r.Status) : 0);
        EXPECT_EQ(WEXITSTATUS(r.Status), 0) << Slurp(dir / "err.txt");
        // Within a second on an idle machine (0.1-0.3 s measured); the margin is for a loaded one.
        EXPECT_LT(r.SecondsAfterSignal, 5.0);
        const TJson pass = ReadPass(dir / "out");
        EXPECT_TRUE(pass["interrupted"].Flag());
        EXPECT_EQ(pass["packets"]["64"].Number(), rec.scans * 14); // 14 packets per scan of a channel
        EXPECT_EQ(ExactScans(dir / "out/live.64.bmp", rec.truth[0]), rec.scans);
    }
}

// An interrupt before anything came on standard input ends the run cleanly, saying so, and leaves
// nothing behind: for a raw form and for a WAV (whose header was awaited).
TEST(LrptDecode, InterruptBeforeAnythingCameEndsCleanly) {
    for (const char* form : {"cu8", "wav"}) {
        SCOPED_TRACE(form);
        const fs::path dir = TempDir(std::string("nothing-") + form);
        const TPiped r = InterruptThroughPipe(
            LRPT_DECODE, {"--input-format", form, "--rate", "144000", "--out", (dir / "out").string(), "-"},
            {}, std::chrono::milliseconds(500), dir / "err.txt");
        ASSERT_TRUE(r.Ended) << "the interrupt did not end the run";
        ASSERT_TRUE(WIFEXITED(r.Status));
        EXPECT_EQ(WEXITSTATUS(r.Status), 0);
        EXPECT_NE(Slurp(dir / "err.txt").find("interrupted before anything came on standard input"),
                  std::string::npos)
            << Slurp(dir / "err.txt");
        EXPECT_FALSE(fs::exists(dir / "out"));
    }
}

// A session that fails while the pipe stays open and idle (here a folder in the way of the
// .vcdu file) ends the program with its message: the thread reading the pipe is told to stop.
TEST(LrptDecode, AFailingSessionDoesNotWaitForAnIdlePipe) {
    lrptsynth::SynthOptions o;
    o.form = lrptsynth::OutputForm::Iq;
    o.sampleFormat = lrptsynth::SampleFormat::S16;
    o.sampleRate = 144000;
    o.esn0Db = 10;
    o.channels = {1};
    o.durationSeconds = 3;
    const lrptsynth::Recording rec = lrptsynth::synthesize(o);
    const fs::path dir = TempDir("session-fails");
    fs::create_directories(dir / "out/live.vcdu");
    std::ofstream(dir / "out/live.vcdu/keep") << "in the way";
    const TPiped r = InterruptThroughPipe(LRPT_DECODE,
                                          {"-q", "--qpsk", "--72k", "--no-diff", "--input-format", "cs16",
                                           "--rate", "144000", "--out", (dir / "out").string(), "-"},
                                          rec.bytes, std::chrono::milliseconds(0), dir / "err.txt", false);
    ASSERT_TRUE(r.Ended) << "the program waited for the pipe";
    ASSERT_TRUE(WIFEXITED(r.Status));
    EXPECT_EQ(WEXITSTATUS(r.Status), 1);
    EXPECT_NE(Slurp(dir / "err.txt").find("live.vcdu"), std::string::npos) << Slurp(dir / "err.txt");
}

// pass.json that cannot take the place of the old one (a folder of that name) is refused by name,
// and its temporary file does not stay behind.
TEST(LrptDecode, PassJsonThatCannotBeRenamedLeavesNoTemporaryFile) {
    const fs::path dir = TempDir("json-rename");
    fs::create_directories(dir / "pass.json");
    std::ofstream(dir / "pass.json/keep") << "in the way";
    TPassSummary summary;
    summary.Input = "x.wav";
    EXPECT_THROW(WritePassJson(summary, (dir / "pass.json").string()), std::runtime_error);
    EXPECT_FALSE(fs::exists(dir / "pass.json.tmp"));
    WritePassJson(summary, (dir / "other.json").string());
    EXPECT_EQ(ParseJson(Slurp(dir / "other.json"))["input"].Text(), "x.wav");
    EXPECT_FALSE(fs::exists(dir / "other.json.tmp"));
}

// NaN and infinite samples in a float recording (headerless cf32, a float WAV) are erasures: the
// receiver goes on as after a zero, every frame comes back as from the clean recording, and the
// count is reported.
TEST(LrptDecode, NonFiniteSamplesAreErasedAndCounted) {
    for (const bool wav : {false, true}) {
        SCOPED_TRACE(wav ? "float WAV" : "cf32");
        lrptsynth::SynthOptions o;
        o.form = wav ? lrptsynth::OutputForm::Wav : lrptsynth::OutputForm::Iq;
        o.sampleFormat = lrptsynth::SampleFormat::F32;
        o.sampleRate = 144000;
        o.esn0Db = 9;
        o.oqpsk = true;
        o.nrzm = true;
        o.polarity = lrptsynth::Polarity::Satellite;
        o.channels = {1, 2};
        o.headFrames = 12;
        o.durationSeconds = 8;
        const lrptsynth::Recording rec = lrptsynth::synthesize(o);
        const fs::path dir = TempDir(wav ? "nonfinite-wav" : "nonfinite-cf32");
        const std::string name = wav ? "pass.wav" : "pass.cf32";
        Write(dir / ("clean-" + name), rec.bytes);
        // Spoilt at the start of the samples, during detection, in mid-pass (one value and a run of
        // 50), and at the very end; I and Q alike.
        std::vector<uint8_t> bytes = rec.bytes, zeroed = rec.bytes;
        // The samples of a WAV begin behind its "data" chunk's header.
        const size_t first =
            wav ? size_t(std::search(bytes.begin(), bytes.end(), "data", "data" + 4) - bytes.begin()) + 8 : 0;
        const size_t values = (bytes.size() - first) / 4;
        const float spoilers[] = {NAN, INFINITY, -INFINITY};
        size_t count = 0;
        auto spoil = [&](size_t aValue, float aWith) {
            const float zero = 0;
            std::memcpy(bytes.data() + first + 4 * aValue, &aWith, 4);
            std::memcpy(zeroed.data() + first + 4 * aValue, &zero, 4);
            ++count;
        };
        spoil(0, NAN);
        spoil(values / 10 + 1, INFINITY);
        spoil(values / 2, -INFINITY);
        for (size_t k = 0; k < 50; ++k)
            spoil(values * 2 / 3 + k, spoilers[k % 3]);
        spoil(values - 1, NAN);
        Write(dir / name, bytes);
        Write(dir / ("zeroed-" + name), zeroed);
        const TRun zero = Decode("-q --out " + Quote(dir / "zeroed") + " " + Quote(dir / ("zeroed-" + name)) +
                                     (wav ? "" : " --rate 144000"),
                                 dir);
        ASSERT_EQ(zero.Exit, 0) << zero.Err;
        const TRun clean = Decode("-q --out " + Quote(dir / "clean") + " " + Quote(dir / ("clean-" + name)) +
                                      (wav ? "" : " --rate 144000"),
                                  dir);
        ASSERT_EQ(clean.Exit, 0) << clean.Err;
        const TRun spoilt = Decode(
            "-q --out " + Quote(dir / "out") + " " + Quote(dir / name) + (wav ? "" : " --rate 144000"), dir);
        ASSERT_EQ(spoilt.Exit, 0) << spoilt.Err;
        const TJson a = ReadPass(dir / "clean"), b = ReadPass(dir / "out"), z = ReadPass(dir / "zeroed");
        EXPECT_EQ(b["non_finite_samples"].Number(), double(count));
        EXPECT_EQ(a["non_finite_samples"].Number(), 0);
        EXPECT_GT(a["frames"]["passed_on"].Number(), 50);
        // Exactly the recording with zeros in their places; and (a run of 50 erased samples may cost
        // a frame where the floating point of a build falls unluckily) the clean one's frames.
        EXPECT_EQ(b["frames"]["passed_on"].Number(), z["frames"]["passed_on"].Number());
        EXPECT_EQ(b["packets"]["64"].Number(), z["packets"]["64"].Number());
        EXPECT_GE(b["frames"]["passed_on"].Number(), a["frames"]["passed_on"].Number() - 1);
        EXPECT_NEAR(b["receiver"]["esn0_db"].Number(), 9, 1.5);
        EXPECT_LT(std::abs(b["receiver"]["mean_carrier_offset_hz"].Number()), 50);
    }
}

TEST(LrptDecode, BadInputIsRefusedAndLeavesNothing) {
    const fs::path dir = TempDir("bad");
    {
        std::ofstream(dir / "junk.wav") << "this is no recording\n";
        std::ofstream(dir / "empty.s");
        std::ofstream(dir / "tiny.cu8") << std::string(4096, '\x80');
    }
    struct TCase {
        std::string Arguments;
        int Exit;
        std::string Says;
    };
    const std::vector<TCase> cases = {
        {Quote(dir / "junk.wav"), 1, "junk.wav"},
        {Quote(dir / "missing.wav"), 1, "missing.wav"},
        {Quote(dir / "missing.s"), 1, "no such file"},
        {Quote(dir / "empty.s"), 1, "empty"},
        {Quote(dir), 1, ""},
        {"--input-format cu8 --rate 144000 -", 1, "standard input"}, // an empty pipe
        {"--rate 1000 " + Quote(dir / "tiny.cu8"), 1, "tiny.cu8"},   // a rate the receiver refuses
        {"--oqpsk --qpsk " + Quote(dir / "junk.wav"), 2, "contradicts"},
        {"--rate 144000 " + Quote(dir / "empty.s"), 2, "symbol file"},
        {"-", 2, "--input-format"},
        {"--frobnicate x.wav", 2, "unknown option"},
        {"", 2, "no input"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Arguments);
        const fs::path out = dir / "out";
        const TRun r = Decode(c.Arguments + " --out " + Quote(out), dir);
        EXPECT_EQ(r.Exit, c.Exit) << r.Err;
        EXPECT_EQ(std::count(r.Err.begin(), r.Err.end(), '\n'), 1) << r.Err;
        EXPECT_NE(r.Err.find(c.Says), std::string::npos) << r.Err;
        EXPECT_FALSE(fs::exists(out));
    }
}

// pass.json names files as given: what a file name may hold comes back as it was, bytes that are
// not UTF-8 still give a valid document, and values that are not finite are null.
TEST(LrptDecode, PassJsonReadsBackWhateverTheNamesHold) {
    for (const std::string& text :
         {std::string("plain"), std::string("quote \" and \\ back"),
          std::string("tab\tnew\nline\r\x01\x1f\x7f"), std::string("\xc3\xa9t\xc3\xa9 \xe2\x82\xac")}) {
        TPassSummary summary;
        summary.Input = text;
        summary.Files = {text};
        const TJson pass = ParseJson(PassJson(summary));
        EXPECT_EQ(pass["input"].Text(), text);
        EXPECT_EQ(pass["files"].Items().at(0).Text(), text);
    }
    // A lone continuation byte, a cut sequence and an overlong form each become U+FFFD.
    TPassSummary summary;
    summary.Input = "a\x80"
                    "b\xc3"
                    "c\xc0\xaf";
    summary.HasReceiver = true;
    summary.SnrDb = INFINITY;
    summary.CarrierOffsetHz = NAN;
    summary.MeanOffsetHz = -2.5;
    const TJson pass = ParseJson(PassJson(summary));
    EXPECT_EQ(pass["input"].Text(), "a\xef\xbf\xbd"
                                    "b\xef\xbf\xbd"
                                    "c\xef\xbf\xbd\xef\xbf\xbd");
    EXPECT_TRUE(pass["receiver"]["esn0_db"].IsNull());
    EXPECT_TRUE(pass["receiver"]["carrier_offset_hz"].IsNull());
    EXPECT_EQ(pass["receiver"]["mean_carrier_offset_hz"].Number(), -2.5);
}

// The pass's span from its channels' times, over midnight as within a day.
TEST(LrptDecode, ScanSpanIsTakenAcrossMidnight) {
    auto span = [](std::vector<std::pair<std::string, std::string>> aChannels) {
        TPassSummary p;
        for (const auto& [start, end] : aChannels) {
            TPassChannel c;
            c.Start = start;
            c.End = end;
            p.Channels.push_back(c);
        }
        SetScanSpan(p);
        return p.ScanStart + " " + p.ScanEnd;
    };
    EXPECT_EQ(span({{"10:00:01.231", "10:05:00.000"}, {"10:00:00.000", "10:04:58.769"}}),
              "10:00:00.000 10:05:00.000");
    EXPECT_EQ(span({{"23:59:50.000", "00:00:20.000"},
                    {"00:00:02.462", "00:00:25.693"},
                    {"23:59:55.000", "23:59:59.000"}}),
              "23:59:50.000 00:00:25.693");
    // A pass that begins exactly at midnight.
    EXPECT_EQ(span({{"00:00:00.000", "00:03:00.000"}, {"00:00:01.231", "00:02:00.000"}}),
              "00:00:00.000 00:03:00.000");
    EXPECT_EQ(span({}), " ");
}

} // namespace
