// Acquisition of a recording from the signal generator: a 72 k pass as 16-bit complex baseband,
// a few kHz off frequency and with noise, run through the receiver with its default parameters.
#include "core/CostasReceiver.h"

#include "Synthesizer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

class TVectorSink : public SymbolSink {
  public:
    void Put(uint8_t aByte) override { Bytes.push_back(aByte); }
    std::vector<uint8_t> Bytes;
};

// The frames of a canonical 16-bit stereo WAV as the demodulator's reader converts them: the
// second channel is I, the first Q, both divided by 8 (truncating). The last block is padded
// with zeros.
std::vector<ReceiverBlock> Blocks(const std::vector<uint8_t>& aWav) {
    EXPECT_EQ(std::memcmp(aWav.data(), "RIFF", 4), 0);
    EXPECT_EQ(std::memcmp(aWav.data() + 36, "data", 4), 0);
    EXPECT_EQ(aWav[32], 4); // block alignment
    std::vector<ReceiverBlock> blocks;
    size_t n = 0;
    for (size_t pos = 44; pos + 4 <= aWav.size(); pos += 4, ++n) {
        if (n % ReceiverBlock::FrameCount == 0) blocks.emplace_back();
        const int16_t w0 = int16_t(aWav[pos] | aWav[pos + 1] << 8);
        const int16_t w1 = int16_t(aWav[pos + 2] | aWav[pos + 3] << 8);
        blocks.back().Frames[n % ReceiverBlock::FrameCount] = {w1 / 8, w0 / 8};
    }
    return blocks;
}

class AcquisitionTest : public ::testing::TestWithParam<double> {};

TEST_P(AcquisitionTest, GeneratorWavLocksAndGivesTheTransmittedSymbols) {
    lrptsynth::SynthOptions o;
    o.form = lrptsynth::OutputForm::Wav;
    o.scans = 2;
    o.carrierOffsetHz = GetParam();
    o.esn0Db = 9;
    o.seed = 11;
    const lrptsynth::Recording rec = lrptsynth::synthesize(o);
    ASSERT_EQ(rec.options.sampleRate, 196078); // the receiver's default Samp / 4

    TCostasReceiver rx;
    TVectorSink sink;
    size_t lockedAt = 0;
    for (const ReceiverBlock& b : Blocks(rec.bytes)) {
        rx.ProcessBlock(b, sink);
        if (lockedAt == 0 && rx.State().Locked) lockedAt = sink.Bytes.size();
    }
    ASSERT_GT(lockedAt, 0u) << "no lock";
    EXPECT_TRUE(rx.State().Locked);
    // The sweep covers +-10 kHz at about 26 kHz/s, starting during the 0.25 s of noise lead-in;
    // lock follows within eight windows of 1024 symbols once it passes the carrier.
    EXPECT_LT(lockedAt, size_t(72000 * 1.2));

    // Symbol k of the transmission: I carries the chain's first value of each pair in 72 k mode.
    const int64_t lead = rec.leadInValues / 2;
    const int64_t sent = int64_t(rec.chainBits.size() / 2);
    auto tx = [&](int64_t k, int r) {
        std::pair<int, int> v{rec.chainBits[2 * k] ? 1 : -1, rec.chainBits[2 * k + 1] ? 1 : -1};
        for (int q = 0; q < r; ++q)
            v = {-v.second, v.first};
        return v;
    };
    auto rxSym = [&](size_t j) {
        return std::pair{(sink.Bytes[j] & 7) < 4 ? 1 : -1, ((sink.Bytes[j] >> 4) & 7) < 4 ? 1 : -1};
    };
    // Receiver delay and the quarter-turn ambiguity of the lock, from the best match on 256
    // symbols just after lock.
    const size_t from = lockedAt + 1000;
    int64_t bestDelay = 0;
    int bestRot = 0, bestHits = -1;
    for (int64_t d = -200; d <= 200; ++d)
        for (int r = 0; r < 4; ++r) {
            int hits = 0;
            for (size_t j = from; j < from + 256; ++j) {
                const int64_t k = int64_t(j) - lead + d;
                hits += k >= 0 && k < sent && tx(k, r) == rxSym(j);
            }
            if (hits > bestHits) bestHits = hits, bestDelay = d, bestRot = r;
        }
    ASSERT_GT(bestHits, 240) << "transmitted symbols not found after lock";

    // Every symbol from lock to the end of the transmission, at Es/N0 9 dB: a few symbol errors.
    size_t errors = 0, compared = 0;
    for (size_t j = lockedAt; j < sink.Bytes.size(); ++j) {
        const int64_t k = int64_t(j) - lead + bestDelay;
        if (k >= sent) break;
        errors += tx(k, bestRot) != rxSym(j);
        ++compared;
    }
    EXPECT_GT(compared, size_t(rec.chainBits.size() / 2 - 72000));
    EXPECT_LT(double(errors), 0.01 * double(compared)) << errors << " of " << compared;
}

// Either side of the centre: the sweep finds the carrier going up or coming back down.
INSTANTIATE_TEST_SUITE_P(CarrierOffsets, AcquisitionTest, ::testing::Values(3000.0, -4000.0));

} // namespace
