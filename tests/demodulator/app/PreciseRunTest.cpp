// The window's precise run without a window: a generated recording stepped block by block to its
// end, the symbols in the file against the ones sent, the readouts against the generator's carrier.
#include "WavFiles.h"

#include "Synthesizer.h"
#include "app/PreciseRun.h"

#include <array>
#include <filesystem>
#include <gtest/gtest.h>

using namespace wavtest;

namespace {

// Hard decisions (+-1) of the symbol stream, in file order.
std::vector<int> Hard(const std::vector<uint8_t>& aSoft8) {
    std::vector<int> h;
    for (uint8_t b : aSoft8)
        h.push_back(int8_t(b) >= 0 ? 1 : -1);
    return h;
}

// Pair (a, b) under one of the eight ambiguities of a QPSK receiver: bit 2 exchanges the branches,
// bits 0-1 turn by quarter turns.
std::array<int, 2> Ambiguous(int aMap, int a, int b) {
    if (aMap & 4) std::swap(a, b);
    for (int r = 0; r < (aMap & 3); ++r) {
        const int t = a;
        a = -b;
        b = t;
    }
    return {a, b};
}

// Symbol errors of aGot against aSent once the two are lined up: a run of 32 pairs taken from the
// sent values after the receiver's lock is searched in the output under every ambiguity, and the
// following aCount pairs are compared. The sent data repeats (fill, test pictures), so the run can
// fit in several places: the best of them counts. Returns -1 when the run is found nowhere.
double SymbolErrorRate(const std::vector<int>& aGot, const std::vector<int>& aSent, size_t aFrom,
                       size_t aCount) {
    constexpr size_t Run = 32;
    double best = -1;
    for (int m = 0; m < 8; ++m)
        for (size_t d = 0; 2 * (d + Run) <= aGot.size(); ++d) {
            bool same = true;
            for (size_t k = 0; k < Run && same; ++k) {
                const auto s = Ambiguous(m, aSent[2 * (aFrom + k)], aSent[2 * (aFrom + k) + 1]);
                same = s[0] == aGot[2 * (d + k)] && s[1] == aGot[2 * (d + k) + 1];
            }
            if (!same) continue;
            size_t wrong = 0, compared = 0;
            for (size_t k = 0;
                 k < aCount && 2 * (aFrom + k) + 1 < aSent.size() && 2 * (d + k) + 1 < aGot.size();
                 ++k, ++compared) {
                const auto s = Ambiguous(m, aSent[2 * (aFrom + k)], aSent[2 * (aFrom + k) + 1]);
                wrong += (s[0] != aGot[2 * (d + k)]) + (s[1] != aGot[2 * (d + k) + 1]);
            }
            if (compared < aCount / 2) continue;
            const double rate = double(wrong) / double(2 * compared);
            if (best < 0 || rate < best) best = rate;
        }
    return best;
}

TEST(PreciseRunTest, StepsAGeneratedPassToItsEnd) {
    lrptsynth::SynthOptions o;
    o.form = lrptsynth::OutputForm::Wav;
    o.durationSeconds = 1.5;
    o.leadInSeconds = 0.1;
    o.carrierOffsetHz = -1500;
    o.esn0Db = 10;
    o.seed = 21;
    const lrptsynth::Recording rec = lrptsynth::synthesize(o);
    const std::string in = WriteFile("precise-run.wav", rec.bytes);
    const std::string out = TempPath("precise-run.s");

    TSourceOptions src;
    src.Path = in;
    TPreciseSetup setup;
    setup.Precise = true;
    setup.SwapIq = true; // the generator writes Q first
    ProbeBuffer probe;
    TPreciseRun run(src, setup, out, &probe);
    ASSERT_TRUE(run.OutputOpen());
    const int64_t frames = int64_t(rec.bytes.size() - 44) / 4;
    int steps = 0;
    while (run.Step() == TPreciseRun::st_Block)
        ++steps;
    EXPECT_EQ(steps, int((frames + TPreciseRun::BlockFrames - 1) / TPreciseRun::BlockFrames));
    EXPECT_TRUE(run.Ended());
    EXPECT_EQ(run.Step(), TPreciseRun::st_End);

    const precise::TPreciseReadouts r = run.Readouts();
    EXPECT_TRUE(r.Locked);
    EXPECT_NEAR(r.CarrierOffsetHz, -1500, 30);
    EXPECT_NEAR(r.SnrDb, 10, 1.5);
    EXPECT_GE(r.LockTimeS, 0);
    EXPECT_LT(r.LockTimeS, 0.5);

    // The file holds every symbol, two bytes each, and they are the ones sent.
    const std::vector<uint8_t> bytes = ReadFile(out);
    EXPECT_EQ(int64_t(bytes.size()), 2 * run.SymbolsWritten());
    EXPECT_NEAR(double(run.SymbolsWritten()), double(frames) * 72000 / 196078, 200);
    std::vector<int> sent;
    for (uint8_t b : rec.chainBits)
        sent.push_back(b ? 1 : -1);
    const double ser = SymbolErrorRate(Hard(bytes), sent, 36000, 30000);
    EXPECT_GE(ser, 0);
    EXPECT_LT(ser, 5e-3);

    // The displays' copies: the newest symbols form four clouds around the corners (+-1 at 40
    // pixels from the centre; the noise's sigma is 0.32 at 10 dB), none near the centre; the
    // probe holds input.
    ASSERT_EQ(run.Recent().size(), size_t(TPreciseRun::RecentSymbols));
    const TPixelMap map = PreciseConstellation(run.Recent());
    std::array<int, 4> quadrant{};
    int centre = 0;
    for (int y = 0; y < 128; ++y)
        for (int x = 0; x < 128; ++x) {
            if (map.At(x, y) != colours::Point) continue;
            quadrant[size_t((x > 63) + 2 * (y > 63))] += 1;
            centre += std::abs(x - 63) < 8 && std::abs(y - 63) < 8;
        }
    for (int q : quadrant)
        EXPECT_GT(q, 50);
    EXPECT_LT(centre, 10);
    EXPECT_TRUE(probe.Full());
    int nonZero = 0;
    for (int32_t v : probe.Values())
        nonZero += v != 0;
    EXPECT_GT(nonZero, 800);
}

TEST(PreciseRunTest, ControlsAndRefusedInputs) {
    TPreciseSetup s;
    for (const TPreciseControl& c : PreciseControls())
        c.Set(s, 1);
    EXPECT_TRUE(s.Precise && s.Oqpsk && s.SwapIq);
    for (const TPreciseControl& c : PreciseControls())
        c.Set(s, 0);
    EXPECT_FALSE(s.Precise || s.Oqpsk || s.SwapIq);
    EXPECT_STREQ(ReceiverChoices[0], "Model");

    // A rate the receiver does not take, and no file at all: refused before any output exists.
    TSourceOptions src;
    lrptsynth::SynthOptions o;
    o.form = lrptsynth::OutputForm::Wav;
    o.durationSeconds = 0.2;
    o.leadInSeconds = 0.05;
    std::vector<uint8_t> wav = lrptsynth::synthesize(o).bytes;
    const std::vector<uint8_t> good = wav;
    for (int k = 0; k < 4; ++k) { // 4000 Hz, 16,000 bytes per second
        wav[size_t(24 + k)] = uint8_t(4000 >> (8 * k));
        wav[size_t(28 + k)] = uint8_t(16000 >> (8 * k));
    }
    src.Path = WriteFile("slow.wav", wav);
    const std::string out = TempPath("refused.s");
    TPreciseSetup precise;
    precise.Precise = true;
    EXPECT_THROW(TPreciseRun(src, precise, out, nullptr), TInputError);
    src.Path = TempPath("missing.wav");
    EXPECT_THROW(TPreciseRun(src, precise, out, nullptr), TInputError);
    EXPECT_FALSE(std::filesystem::exists(out));

    // An output that cannot be created: the run goes on and drops the symbols.
    src.Path = WriteFile("short.wav", good);
    TPreciseRun run(src, precise, TempPath("no-such-folder/x.s"), nullptr);
    EXPECT_FALSE(run.OutputOpen());
    while (run.Step() == TPreciseRun::st_Block) {
    }
    EXPECT_GT(run.Readouts().Symbols, 10000);
    EXPECT_EQ(run.SymbolsWritten(), 0);
}

// A new output file during a run: the first file keeps what came before, the second the rest.
TEST(PreciseRunTest, OutputChangedDuringARun) {
    lrptsynth::SynthOptions o;
    o.form = lrptsynth::OutputForm::Wav;
    o.durationSeconds = 0.3;
    o.leadInSeconds = 0.05;
    TSourceOptions src;
    src.Path = WriteFile("split.wav", lrptsynth::synthesize(o).bytes);
    TPreciseSetup precise;
    precise.Precise = true;
    const std::string first = TempPath("split-1.raw"), second = TempPath("split-2.raw");
    TPreciseRun run(src, precise, first, nullptr);
    for (int n = 0; n < 3; ++n)
        ASSERT_EQ(run.Step(), TPreciseRun::st_Block);
    const int64_t before = run.SymbolsWritten();
    EXPECT_GT(before, 0);
    ASSERT_TRUE(run.SetOutput(second));
    while (run.Step() == TPreciseRun::st_Block) {
    }
    // One byte per symbol in the 3-bit form.
    EXPECT_EQ(int64_t(std::filesystem::file_size(first)), before);
    EXPECT_EQ(int64_t(std::filesystem::file_size(second)), run.SymbolsWritten());
    EXPECT_EQ(before + run.SymbolsWritten(), run.Readouts().Symbols);
    EXPECT_FALSE(run.SetOutput(TempPath("no-such-folder/y.raw")));
}

} // namespace
