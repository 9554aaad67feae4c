#include "fec/LRPT_SyncBeforeViterbiUnit.h"
#include "fec/LRPT_ViterbiThreadUnit.h"

#include "TestLog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using Soft = std::vector<int8_t>;

Bytes RandomFrames(int count, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes b(static_cast<size_t>(count) * 1024);
    for (int f = 0; f < count; ++f) {
        uint8_t* frame = b.data() + 1024 * f;
        frame[0] = 0x1A, frame[1] = 0xCF, frame[2] = 0xFC, frame[3] = 0x1D;
        for (int i = 4; i < 1024; ++i)
            frame[i] = static_cast<uint8_t>(rng());
    }
    return b;
}

// Rate 1/2, K = 7, generators 171 and 133 octal, the 171 symbol first; bit 1 as +amplitude.
struct Encoder {
    int r = 0;
    void Push(const Bytes& bytes, int amplitude, Soft& out) {
        for (uint8_t byte : bytes)
            for (int b = 7; b >= 0; --b) {
                r = (r >> 1) | ((byte >> b & 1) << 6);
                out.push_back(static_cast<int8_t>(__builtin_parity(r & 0171) ? amplitude : -amplitude));
                out.push_back(static_cast<int8_t>(__builtin_parity(r & 0133) ? amplitude : -amplitude));
            }
    }
};

// NRZ-M: e_k = e_(k-1) XOR b_k over all bits, e_(-1) = aPrevious.
Bytes NrzmEncode(const Bytes& bytes, int aPrevious = 0) {
    Bytes out(bytes.size());
    int e = aPrevious;
    for (size_t i = 0; i < bytes.size(); ++i)
        for (int b = 7; b >= 0; --b) {
            e ^= bytes[i] >> b & 1;
            out[i] = static_cast<uint8_t>(out[i] | e << b);
        }
    return out;
}

Soft Encode(const Bytes& bytes, int amplitude) {
    Soft out;
    Encoder().Push(bytes, amplitude, out);
    return out;
}

// What a receiver locked in the given mode delivers for the nominal pair (I, Q).
void Receive(Soft& v, int mode) {
    for (size_t n = 0; n + 1 < v.size(); n += 2) {
        const int I = v[n], Q = v[n + 1];
        int i2 = I, q2 = Q;
        switch (mode) {
        case 1:
            i2 = -I, q2 = -Q;
            break;
        case 3:
            q2 = -Q;
            break;
        case 4:
            i2 = -I;
            break;
        case 5:
            i2 = -Q, q2 = -I;
            break;
        case 6:
            i2 = Q, q2 = I;
            break;
        case 7:
            i2 = -Q, q2 = I;
            break;
        case 8:
            i2 = Q, q2 = -I;
            break;
        default:
            break;
        }
        v[n] = static_cast<int8_t>(i2);
        v[n + 1] = static_cast<int8_t>(q2);
    }
}

void AddNoise(Soft& v, double sigma, uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> noise(0, sigma);
    for (auto& x : v)
        x = static_cast<int8_t>(std::clamp(static_cast<int>(std::lround(x + noise(rng))), -127, 127));
}

Soft Noise(size_t count, double sigma, uint32_t seed) {
    Soft v(count, 0);
    AddNoise(v, sigma, seed);
    return v;
}

std::vector<std::string> ReadLog(const std::string& path) {
    return LogMessages(path);
}

// Sync and Viterbi stages stepped by hand, as their threads would.
class SyncViterbi : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        const auto dir = std::filesystem::temp_directory_path();
        fSyncLog = (dir / ("tarnwick_sync_" + name + ".log")).string();
        fViterbiLog = (dir / ("tarnwick_viterbi_" + name + ".log")).string();
        fViterbi.reset();
        fSync.reset();
        fIn = std::make_unique<TSHORTstream>("in", true, true, nullptr);
        fSynced = std::make_unique<TSHORTstream>("synced", true, true, nullptr);
        fDecoded = std::make_unique<TSHORTstream>("decoded", true, true, nullptr);
        fSync = std::make_unique<TSyncBeforeViterbi>(fIn.get(), fSynced.get(), fSyncLog, fNrzm);
        fViterbi = std::make_unique<TViterbiThread>(fSynced.get(), fDecoded.get(), fViterbiLog, fNrzm);
    }
    void TearDown() override {
        std::filesystem::remove(fSyncLog);
        std::filesystem::remove(fViterbiLog);
    }
    void Feed(const Soft& v) {
        for (size_t at = 0; at < v.size(); at += 1 << 20) {
            const auto n = static_cast<int32_t>(std::min<size_t>(1 << 20, v.size() - at));
            fIn->Write(v.data() + at, n);
        }
    }
    void RunSync() {
        while (fSync->DoStep(fIn.get(), fSynced.get()))
            fIn->ClearNotActualMemory();
    }
    Bytes RunBoth() {
        RunSync();
        while (fViterbi->DoStep(fSynced.get(), fDecoded.get()))
            fSynced->ClearNotActualMemory();
        Bytes out(static_cast<size_t>(fDecoded->AwaitingReadSize()));
        fDecoded->Read(out.data(), static_cast<int32_t>(out.size()));
        return out;
    }
    Soft Synced() {
        Soft out(static_cast<size_t>(fSynced->AwaitingReadSize()));
        fSynced->Read(out.data(), static_cast<int32_t>(out.size()));
        return out;
    }

    // Fresh streams for every SetUp, so that a test may run several cases one after another.
    std::unique_ptr<TSHORTstream> fIn, fSynced, fDecoded;
    std::string fSyncLog, fViterbiLog;
    std::unique_ptr<TSyncBeforeViterbi> fSync;
    std::unique_ptr<TViterbiThread> fViterbi;
    bool fNrzm = false; // stages of the next SetUp search and decode NRZ-M
};

// Frame k of the input must stand at output byte 1024 * k.
void ExpectFramesAligned(const Bytes& out, const Bytes& frames, int firstFrame, int lastFrame) {
    for (int k = firstFrame; k <= lastFrame; ++k) {
        SCOPED_TRACE(k);
        ASSERT_GE(out.size(), static_cast<size_t>(1024 * (k + 1)));
        EXPECT_TRUE(
            std::equal(frames.begin() + 1024 * k, frames.begin() + 1024 * (k + 1), out.begin() + 1024 * k));
    }
}

} // namespace

TEST(SyncSymbols, AreTheEncodedMarkerBitsD49C24FF2686) {
    const uint64_t expected = 0xD49C24FF2686ULL;
    for (int k = 0; k < 48; ++k)
        EXPECT_EQ(SyncSymbols()[static_cast<size_t>(k)], (expected >> (47 - k) & 1) ? 1 : -1) << k;
}

TEST(SyncSymbols, NrzmSymbolsAreTheEncodedDifferentialMarkerWhateverCameBefore) {
    // 1ACFFC1D differentially encoded from 0 is 137557E9; code symbols 12..59 of that, 10B02F33D207.
    EXPECT_EQ(NrzmEncode({0x1A, 0xCF, 0xFC, 0x1D}), Bytes({0x13, 0x75, 0x57, 0xE9}));
    const uint64_t expected = 0x10B02F33D207ULL;
    for (int k = 0; k < 48; ++k)
        EXPECT_EQ(NrzmSyncSymbols()[static_cast<size_t>(k)], (expected >> (47 - k) & 1) ? 1 : -1) << k;
    // Whatever bits went before, the marker's symbols 12..59 are these after an encoded 0 and
    // their negation after an encoded 1.
    std::mt19937 rng(5);
    for (int trial = 0; trial < 16; ++trial) {
        Bytes before(3);
        for (auto& b : before)
            b = static_cast<uint8_t>(rng());
        Bytes stream = before;
        stream.insert(stream.end(), {0x1A, 0xCF, 0xFC, 0x1D});
        const Bytes encoded = NrzmEncode(stream, trial & 1);
        const int last = encoded[2] & 1;
        const Soft code = Encode(encoded, 1);
        for (int k = 0; k < 48; ++k)
            ASSERT_EQ(code[static_cast<size_t>(3 * 16 + 12 + k)],
                      last ? -NrzmSyncSymbols()[static_cast<size_t>(k)]
                           : NrzmSyncSymbols()[static_cast<size_t>(k)])
                << trial << " " << k;
    }
}

TEST(NrzmDecoder, ContinuousAcrossPiecesAndBlindToComplement) {
    std::mt19937 rng(9);
    std::vector<uint8_t> bits(5000);
    for (auto& b : bits)
        b = static_cast<uint8_t>(rng() & 1);
    std::vector<uint8_t> encoded(bits.size());
    uint8_t e = 0;
    for (size_t k = 0; k < bits.size(); ++k)
        encoded[k] = e = static_cast<uint8_t>(e ^ bits[k]);

    std::vector<uint8_t> whole = encoded;
    TNrzmDecoder().Decode(whole.data(), static_cast<int>(whole.size()));
    EXPECT_EQ(whole, bits);
    // Pieces of any size give the same bits as one run.
    std::vector<uint8_t> pieces = encoded;
    TNrzmDecoder decoder;
    for (size_t at = 0; at < pieces.size();) {
        const size_t n = std::min<size_t>(pieces.size() - at, 1 + rng() % 700);
        decoder.Decode(pieces.data() + at, static_cast<int>(n));
        at += n;
    }
    EXPECT_EQ(pieces, bits);
    // The complement decodes to the same bits but the first (whose e_(-1) is taken as 0).
    std::vector<uint8_t> complement = encoded;
    for (auto& b : complement)
        b ^= 1;
    TNrzmDecoder().Decode(complement.data(), static_cast<int>(complement.size()));
    EXPECT_NE(complement[0], bits[0]);
    EXPECT_TRUE(std::equal(complement.begin() + 1, complement.end(), bits.begin() + 1));
}

TEST_F(SyncViterbi, EveryPhaseAndOrderDecodesToAlignedFrames) {
    const Bytes frames = RandomFrames(6, 11);
    const Soft nominal = Encode(frames, 70);
    Soft reference;
    for (int mode = 1; mode <= 8; ++mode) {
        SCOPED_TRACE(mode);
        SetUp();
        Soft received = nominal;
        Receive(received, mode);
        Feed(received);
        RunSync();
        const Soft synced = Synced();
        ASSERT_EQ(synced.size(), 5u * 16384);
        // Whatever the mode, the corrected blocks are the nominal values from pair 6 of the marker.
        EXPECT_TRUE(std::equal(synced.begin(), synced.end(), nominal.begin() + 12));
        const auto log = ReadLog(fSyncLog);
        ASSERT_EQ(log.size(), 5u);
        EXPECT_EQ(log[0], "0 0 12 " + std::to_string(mode) + " 48");
        EXPECT_EQ(log[1], "1 12 16384 " + std::to_string(mode) + " 48");
        TearDown();
    }
}

TEST_F(SyncViterbi, NrzmStreamInEveryPhaseAndOrderDecodesToAlignedFrames) {
    const Bytes frames = RandomFrames(12, 21);
    const Soft nominal = Encode(NrzmEncode(frames), 70);
    Bytes reference;
    std::string modesSeen;
    for (int mode = 1; mode <= 8; ++mode) {
        SCOPED_TRACE(mode);
        fNrzm = true;
        SetUp();
        Soft received = nominal;
        Receive(received, mode);
        Feed(received);
        const Bytes out = RunBoth();
        // 11 blocks: frames 0..9 whole, the tenth's frame without its last 9 bytes.
        ASSERT_EQ(out.size(), 1024u * 11 - 9);
        // Frame 0's first bit is decoded against the decoder's start, not the real e_(-1).
        ExpectFramesAligned(out, frames, 1, 9);
        EXPECT_TRUE(std::equal(frames.begin() + 1, frames.begin() + 1024, out.begin() + 1));
        // The correction kept one half turn over the whole pass: the half turns of the modes make
        // no difference to the output.
        if (mode == 1) reference = out;
        EXPECT_EQ(out, reference);

        const auto log = ReadLog(fSyncLog);
        ASSERT_EQ(log.size(), 12u);
        EXPECT_EQ(log[0], "marker 1ACFFC1D NRZ-M");
        // Each marker is found in the receiver's mode or its half turn, by the bit before it.
        const int partner = mode % 2 ? mode + 1 : mode - 1;
        for (size_t i = 1; i < log.size(); ++i) {
            const char found = log[i][log[i].size() - 4];
            EXPECT_TRUE(found == '0' + mode || found == '0' + partner) << log[i];
            if (mode == 2) modesSeen += found;
        }
        TearDown();
    }
    // Both polarities of the marker occurred, so the half-turn decisions were really tested.
    EXPECT_NE(modesSeen.find('1'), std::string::npos) << modesSeen;
    EXPECT_NE(modesSeen.find('2'), std::string::npos) << modesSeen;
}

TEST_F(SyncViterbi, AComplementedNrzmStreamDecodesToTheSameBits) {
    // The complemented encoding (e_(-1) = 1 at the start) with noise: its code values are the
    // negation of the other's, so the sync stage takes the other half turn throughout.
    const Bytes frames = RandomFrames(12, 22);
    Bytes outputs[2];
    for (int complemented = 0; complemented < 2; ++complemented) {
        SCOPED_TRACE(complemented);
        fNrzm = true;
        SetUp();
        Soft signal = Encode(NrzmEncode(frames, complemented), 70);
        AddNoise(signal, 30, 4);
        Feed(signal);
        outputs[complemented] = RunBoth();
        ExpectFramesAligned(outputs[complemented], frames, 1, 9);
        TearDown();
    }
    ASSERT_EQ(outputs[0].size(), outputs[1].size());
    EXPECT_TRUE(std::equal(outputs[0].begin() + 1, outputs[0].end(), outputs[1].begin() + 1));
}

TEST_F(SyncViterbi, NrzmStreamWithThePlainSearchGivesNoFrames) {
    const Bytes frames = RandomFrames(12, 23);
    Feed(Encode(NrzmEncode(frames), 70));
    const Bytes out = RunBoth();
    // Not a single frame comes out right.
    for (size_t k = 0; k < out.size() / 1024; ++k)
        EXPECT_FALSE(std::equal(frames.begin() + 4, frames.begin() + 1024,
                                out.begin() + 1024 * static_cast<long>(k) + 4));
    const auto log = ReadLog(fSyncLog);
    EXPECT_TRUE(log.empty() || log[0] != "marker 1ACFFC1D NRZ-M");
}

TEST_F(SyncViterbi, NoisyPassAfterANoiseLeadInDecodesEveryFrame) {
    const Bytes frames = RandomFrames(45, 12);
    Soft stream = Noise(5001, 50, 1); // odd length: the marker starts on the other value parity
    Soft signal = Encode(frames, 70);
    AddNoise(signal, 28, 2);
    Receive(signal, 7);
    stream.insert(stream.end(), signal.begin(), signal.end());
    Feed(stream);
    const Bytes out = RunBoth();
    ASSERT_EQ(out.size(), 1024u * 44 - 9);
    ExpectFramesAligned(out, frames, 0, 42);
    const auto log = ReadLog(fSyncLog);
    EXPECT_EQ(log[0], "0 0 " + std::to_string(5001 + 12) + " 7 48");
    // 40 blocks make one quality line; the noise makes it clearly above zero.
    const auto berLog = ReadLog(fViterbiLog);
    ASSERT_EQ(berLog.size(), 1u);
    EXPECT_EQ(berLog[0].substr(0, 6), "BER = ");
    EXPECT_GT(std::stod(berLog[0].substr(6)), 5.0);
}

TEST_F(SyncViterbi, QualityLineEveryFortyBlocks) {
    for (const int amplitude : {70, 127}) {
        SCOPED_TRACE(amplitude);
        SetUp();
        Feed(Encode(RandomFrames(42, 3), amplitude));
        const Bytes out = RunBoth();
        EXPECT_EQ(out.size(), 1024u * 41 - 9);
        // At full scale each pair costs 92, except the 24 marker pairs per block that the sync stage
        // rewrote at amplitude 70: 92 * (8192 - 24) / 8192.
        EXPECT_EQ(ReadLog(fViterbiLog),
                  std::vector<std::string>{amplitude == 70 ? "BER = 0" : "BER = 91.73046875"});
        TearDown();
    }
}

TEST_F(SyncViterbi, LockIsLostAfterTenCoastedBlocksAndRegained) {
    const Bytes frames = RandomFrames(30, 13);
    Soft stream;
    Encoder encoder;
    encoder.Push(Bytes(frames.begin(), frames.begin() + 1024 * 10), 70, stream);
    // Twelve blocks' worth of noise at signal level: no marker anywhere in it.
    const Soft noise = Noise(12 * 16384 + 500, 70, 3);
    stream.insert(stream.end(), noise.begin(), noise.end());
    encoder.Push(Bytes(frames.begin() + 1024 * 10, frames.end()), 70, stream);
    Feed(stream);
    const Bytes out = RunBoth();

    const auto log = ReadLog(fSyncLog);
    std::vector<std::string> seps;
    for (const auto& line : log) {
        const std::string mode = line.substr(0, line.rfind(' '));
        seps.push_back(mode.back() == '!' ? (mode.size() > 1 && mode[mode.size() - 2] == '!' ? "!!" : "!")
                                          : " ");
    }
    // 9 locked blocks after the first, then exactly 10 coasted, then silence until the relock.
    ASSERT_GE(log.size(), 21u);
    for (size_t i = 0; i < 10; ++i)
        EXPECT_EQ(seps[i], " ") << log[i];
    for (size_t i = 10; i < 20; ++i)
        EXPECT_EQ(seps[i], "!!") << log[i];
    EXPECT_EQ(seps[20], " ") << log[20];
    // The relock line reports the distance from the last logged block, slides included.
    const int64_t relockAt = 12 + 10 * 16384 + static_cast<int64_t>(noise.size());
    const int64_t lastLogged = 12 + 19 * 16384;
    EXPECT_EQ(log[20],
              "20 " + std::to_string(lastLogged) + " " + std::to_string(relockAt - lastLogged) + " 2 48");
    // Frames after the relock come out aligned again.
    const size_t blocksOut = (out.size() + 9) / 1024;
    const size_t firstAfter = 10 + 10 + 1; // blocks before the noise, coasted blocks, start-up block
    ASSERT_GT(blocksOut, firstAfter + 5);
    for (size_t b = firstAfter; b + 1 < blocksOut; ++b) {
        const size_t frame = 10 + (b - firstAfter) + 1;
        EXPECT_TRUE(std::equal(frames.begin() + 1024 * static_cast<long>(frame),
                               frames.begin() + 1024 * static_cast<long>(frame + 1),
                               out.begin() + 1024 * static_cast<long>(b)))
            << b;
    }
}

TEST_F(SyncViterbi, WeakAndCoastedBlocksWhileLocked) {
    Soft stream = Encode(RandomFrames(5, 14), 127);
    // Block 1: 8 marker values flipped leaves 40 agreements (weak); block 2: 18 flipped, coasted.
    // Flipping runs of I and Q values alike keeps the other patterns near chance level.
    const size_t block1 = 12 + 16384, block2 = 12 + 2 * 16384;
    for (size_t k = 0; k < 8; ++k)
        stream[block1 + k] = static_cast<int8_t>(-stream[block1 + k]);
    for (size_t k = 0; k < 18; ++k)
        stream[block2 + k] = static_cast<int8_t>(-stream[block2 + k]);
    Feed(stream);
    RunSync();
    const auto log = ReadLog(fSyncLog);
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0], "0 0 12 2 48");
    EXPECT_EQ(log[1], "1 12 16384 2! 40");
    EXPECT_EQ(log[2].substr(0, 16), "2 16396 16384 2!");
    EXPECT_EQ(log[2].substr(16, 3), "! 3"); // best is the 30 agreements left
    EXPECT_EQ(log[3], "3 32780 16384 2 48");
    EXPECT_EQ(fSync->LastMode(), 2);
    EXPECT_EQ(fSynced->Size(), 4 * 16384);
}

TEST_F(SyncViterbi, ZerosAndShortInput) {
    Feed(Soft(16383, 0));
    EXPECT_FALSE(fSync->DoStep(fIn.get(), fSynced.get()));
    EXPECT_EQ(fIn->Position(), 0);
    Feed(Soft(200, 0));
    // Every position with a whole block behind it is tried, one value apart, and none locks.
    EXPECT_TRUE(fSync->DoStep(fIn.get(), fSynced.get()));
    EXPECT_EQ(fIn->Position(), 200);
    EXPECT_FALSE(fSync->DoStep(fIn.get(), fSynced.get()));
    EXPECT_EQ(fSynced->Size(), 0);
    EXPECT_FALSE(std::filesystem::exists(fSyncLog));
    EXPECT_FALSE(fViterbi->DoStep(fSynced.get(), fDecoded.get()));
    EXPECT_EQ(fDecoded->Size(), 0); // nothing ahead of a marker
}

TEST(SyncCorrection, NegationIsTwosComplement) {
    int8_t v[2] = {-128, 5};
    TSyncBeforeViterbi::Correct(v, 1, 1);
    EXPECT_EQ(v[0], -128);
    EXPECT_EQ(v[1], -5);
    int8_t w[2] = {10, -20};
    TSyncBeforeViterbi::Correct(w, 1, 7);
    EXPECT_EQ(w[0], -20);
    EXPECT_EQ(w[1], -10);
}

TEST(FloatToStrGeneral, GeneralNumberForm) {
    EXPECT_EQ(FloatToStrGeneral(0), "0");
    EXPECT_EQ(FloatToStrGeneral(92), "92");
    EXPECT_EQ(FloatToStrGeneral(0.5L), "0.5");
    EXPECT_EQ(FloatToStrGeneral(12.345678901234567L), "12.3456789012346");
    EXPECT_EQ(FloatToStrGeneral(0.00002L), "0.00002");
    EXPECT_EQ(FloatToStrGeneral(0.000001L), "1E-6");
    EXPECT_EQ(FloatToStrGeneral(1.5e20L), "1.5E20");
    EXPECT_EQ(FloatToStrGeneral(-2.25L), "-2.25");
    EXPECT_EQ(FloatToStrGeneral(123456789012345.0L), "123456789012345");
}

TEST_F(SyncViterbi, ASlipCostsTheFrameItFallsInAndTheNextBlockIsFoundAtOnce) {
    // The stream moved by some values in the middle of frame 5's block: a symbol lost or doubled
    // (2 values), a value (a receiver pairing anew), three symbols, 40 values either way (still
    // near) and 100 (beyond: the rest of the block is searched). Frames after the slip come out in
    // place again at once; only a marker moved back beyond the near search costs the next frame.
    const Bytes frames = RandomFrames(13, 15);
    for (const int shift : {-2, 2, -1, 1, -6, 40, -40, 100, -100}) {
        SCOPED_TRACE(shift);
        SetUp();
        Soft stream = Encode(frames, 70);
        const auto at = stream.begin() + 12 + 5 * 16384 + 8000;
        if (shift < 0)
            stream.erase(at, at - shift);
        else
            stream.insert(at, at - shift, at); // the values before it again
        Feed(stream);
        const Bytes out = RunBoth();
        const auto log = ReadLog(fSyncLog);
        ASSERT_GE(log.size(), 11u);
        const bool farBack = shift < -TSyncBeforeViterbi::NearValues;
        const int64_t block6 = 12 + 6 * 16384 + shift + (farBack ? 16384 : 0);
        EXPECT_EQ(log[6], std::to_string(6) + " " + std::to_string(12 + 5 * 16384) + " " +
                              std::to_string(block6 - (12 + 5 * 16384)) + " 2 48");
        ExpectFramesAligned(out, frames, 0, 4);
        EXPECT_FALSE(
            std::equal(frames.begin() + 5 * 1024, frames.begin() + 6 * 1024, out.begin() + 5 * 1024));
        // Frames from the next on come out in place (far back: frame 7 where frame 6 would have);
        // the first bits of the first one's marker lie in the block the slip spoilt.
        const int next = farBack ? 7 : 6;
        for (int k = next; k < 10; ++k) {
            SCOPED_TRACE(k);
            const int from = k == next ? 4 : 0;
            EXPECT_TRUE(std::equal(frames.begin() + 1024 * k + from, frames.begin() + 1024 * (k + 1),
                                   out.begin() + 1024 * (k - (next - 6)) + from));
        }
        TearDown();
    }
}

TEST_F(SyncViterbi, AWeakMarkerASymbolOffIsTakenInTheLockedMode) {
    // A symbol lost in frame 5's block, and frame 6's marker (now two values early) left with 42
    // agreements, as noise near the threshold leaves it: it is taken there, not coasted past.
    const Bytes frames = RandomFrames(10, 16);
    Soft stream = Encode(frames, 70);
    stream.erase(stream.begin() + 12 + 5 * 16384 + 8000, stream.begin() + 12 + 5 * 16384 + 8002);
    const size_t marker6 = 12 + 6 * 16384 - 2;
    for (size_t k = 0; k < 6; ++k)
        stream[marker6 + k] = static_cast<int8_t>(-stream[marker6 + k]);
    Feed(stream);
    const Bytes out = RunBoth();
    const auto log = ReadLog(fSyncLog);
    ASSERT_GE(log.size(), 8u);
    EXPECT_EQ(log[6], "6 " + std::to_string(12 + 5 * 16384) + " 16382 2! 42");
    EXPECT_EQ(log[7], "7 " + std::to_string(marker6) + " 16384 2 48");
    EXPECT_TRUE(
        std::equal(frames.begin() + 6 * 1024 + 4, frames.begin() + 7 * 1024, out.begin() + 6 * 1024 + 4));
    ExpectFramesAligned(out, frames, 7, 7);
}

TEST_F(SyncViterbi, ErasedValuesAreCoastedAndTheLockLostAsEver) {
    // Noise with every sixth value erased (0) between two runs of frames: no search for a moved
    // marker starts from such values; ten blocks are coasted, the lock is lost, and every block
    // written is a logged one.
    const Bytes frames = RandomFrames(16, 17);
    Soft stream;
    Encoder encoder;
    encoder.Push(Bytes(frames.begin(), frames.begin() + 1024 * 4), 70, stream);
    Soft noise = Noise(12 * 16384 + 300, 100, 4);
    for (size_t k = 0; k < noise.size(); k += 6)
        noise[k] = 0;
    stream.insert(stream.end(), noise.begin(), noise.end());
    encoder.Push(Bytes(frames.begin() + 1024 * 4, frames.end()), 70, stream);
    Feed(stream);
    RunSync();
    const auto log = ReadLog(fSyncLog);
    ASSERT_GE(log.size(), 15u);
    for (size_t i = 4; i < 14; ++i)
        EXPECT_NE(log[i].find("!! "), std::string::npos) << log[i];
    EXPECT_EQ(log[14].substr(log[14].size() - 5), " 2 48") << log[14];
    EXPECT_EQ(fSynced->Size(), 16384 * static_cast<int64_t>(log.size()));
}

// At the end of the input the Viterbi stage lets go of the frame its delay holds back: the output
// ends exactly at the last frame's end, with or without iterative decoding, and the erasures behind
// it add no quality report (39 blocks and the erasures' would make the fifth, a logged line).
TEST_F(SyncViterbi, EndOfInputWritesTheLastFrameAndNothingBeyond) {
    const Bytes frames = RandomFrames(39, 31);
    for (const bool iterative : {false, true}) {
        SCOPED_TRACE(iterative);
        SetUp();
        fViterbi =
            std::make_unique<TViterbiThread>(fSynced.get(), fDecoded.get(), fViterbiLog, false, iterative);
        Soft stream = Encode(frames, 70);
        stream.resize(stream.size() + 12, 0); // the next marker's first pairs, never sent
        Feed(stream);
        Bytes out = RunBoth();
        // Iterative: a frame is written when the block after it has come.
        EXPECT_EQ(out.size(), iterative ? 1024u * 38 : 1024u * 39 - 9);
        fViterbi->EndOfInput(fDecoded.get());
        fViterbi->EndOfInput(fDecoded.get()); // once only
        const auto rest = static_cast<size_t>(fDecoded->AwaitingReadSize());
        out.resize(out.size() + rest);
        fDecoded->Read(out.data() + out.size() - rest, static_cast<int32_t>(rest));
        EXPECT_EQ(out, frames);
        // Nothing is taken after the end.
        Feed(Encode(RandomFrames(1, 32), 70));
        RunSync();
        EXPECT_FALSE(fViterbi->DoStep(fSynced.get(), fDecoded.get()));
        EXPECT_EQ(fViterbi->BERcount(), 4);
        fViterbi->FlushLog();
        EXPECT_TRUE(ReadLog(fViterbiLog).empty());
        TearDown();
    }
}
