// The recording detector on generated baseband: every way of sending is found from the samples
// alone, the receiver and values it hands on carry the pass to its end, and noise finds nothing.
#include "RecordingDetector.h"
#include "Synthesizer.h"
#include "precise/SoftSymbolWriter.h"

#include <complex>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

struct TCase {
    bool Oqpsk;
    bool Is80k;
    bool Nrzm;
    bool IFirst; // the recorder's channel order
    double OffsetHz;
    double DriftHzPerS;
};

std::string Name(const TCase& c) {
    return std::string(c.Oqpsk ? "Oqpsk" : "Qpsk") + (c.Is80k ? "80k" : "72k") + (c.Nrzm ? "Nrzm" : "") +
           (c.IFirst ? "IFirst" : "QFirst");
}

// Complex samples (I + jQ, the first channel taken as I as SDR recordings hold it).
std::vector<std::complex<float>> Samples(const lrptsynth::Recording& aRec) {
    std::vector<std::complex<float>> s(aRec.bytes.size() / sizeof(std::complex<float>));
    std::memcpy(s.data(), aRec.bytes.data(), s.size() * sizeof(std::complex<float>));
    return s;
}

lrptsynth::Recording Generate(const TCase& c, uint64_t aSeed) {
    lrptsynth::SynthOptions o;
    o.mode = c.Is80k ? lrptsynth::Mode::k80 : lrptsynth::Mode::k72;
    o.form = lrptsynth::OutputForm::Iq;
    o.sampleFormat = lrptsynth::SampleFormat::F32;
    o.sampleRate = 192000;
    o.polarity = lrptsynth::Polarity::Satellite;
    o.nrzm = c.Nrzm;
    o.oqpsk = c.Oqpsk;
    o.swapIq = c.IFirst; // the generator writes Q first unless exchanged
    o.channels = {1};
    o.scans = c.Is80k ? 26 : 8; // the 80 k window needs the deinterleaver's delay and more
    o.tailFrames = 3;
    o.esn0Db = 8;
    o.carrierOffsetHz = c.OffsetHz;
    o.driftHzPerS = c.DriftHzPerS;
    o.seed = aSeed;
    return lrptsynth::synthesize(o);
}

class RecordingDetection : public ::testing::TestWithParam<TCase> {};

// Found without any constraint, and the hand-over goes on without a seam: the handed values
// followed by what the handed receiver makes of the rest decode to (nearly) every frame sent.
TEST_P(RecordingDetection, FindsTheWayItWasSentAndHandsOnTheReceiver) {
    const TCase c = GetParam();
    const auto rec = Generate(c, 7);
    const auto samples = Samples(rec);
    TRecordingDetector detector(192000, {});
    size_t fed = 0;
    const size_t block = 10000; // not a multiple of the detector's rounds
    while (fed < samples.size() && !detector.Decided()) {
        const size_t n = std::min(block, samples.size() - fed);
        detector.Process(samples.data() + fed, n);
        fed += n;
    }
    if (!detector.Decided()) detector.Finish();
    const TRecordingDetection& d = detector.Result();
    ASSERT_TRUE(d.Found) << d.Describe();
    EXPECT_EQ(d.Chosen,
              (TRecordingHypothesis{c.Oqpsk, c.Is80k ? TLrptMode::lm80k : TLrptMode::lm72k, c.Nrzm}))
        << d.Describe();
    EXPECT_NE(d.Describe().find(RecordingHypothesisName(d.Chosen)), std::string::npos);
    // A wrong rate or NRZ-M choice never decodes; the other modulation at the right ones may decode
    // some frames of a strong 80 k pass (the unique-word stage mends much of a half-symbol-late
    // branch), which is why the choice goes by the corrections the frames needed.
    for (const TRecordingEvidence& e : d.Tried) {
        if (e.Hypothesis.Mode != d.Chosen.Mode || e.Hypothesis.Nrzm != d.Chosen.Nrzm) {
            EXPECT_EQ(e.CleanFrames, 0u) << d.Describe();
        }
    }

    auto receiver = detector.TakeReceiver();
    std::vector<int8_t> values = detector.TakeValues();
    ASSERT_TRUE(receiver);
    ASSERT_FALSE(values.empty());
    EXPECT_FALSE(detector.TakeReceiver()); // once only
    std::vector<precise::TSoftPair> pairs;
    receiver->Process(samples.data() + fed, samples.size() - fed, pairs);
    receiver->Flush(pairs);
    const double scale = precise::Soft8Scale(receiver->NoiseRatio());
    for (const auto& p : pairs) {
        values.push_back(precise::Soft8Value(p.Q, scale));
        values.push_back(precise::Soft8Value(p.I, scale));
    }
    const auto e =
        TryHypothesis({d.Chosen.Mode, d.Chosen.Nrzm}, values.data(), static_cast<int64_t>(values.size()),
                      static_cast<int64_t>(values.size()), 1u << 30);
    uint32_t sent = 0;
    for (const auto& f : rec.frames)
        sent += f.sent && !f.fill ? 1 : 0;
    // The 80 k deinterleaver swallows what precedes its fill; the window started at the pass's start
    // only for 72 k.
    // (Code words may fail in the frames the receiver sent while it pulled in at the start.)
    EXPECT_GE(e.CleanFrames + (c.Is80k ? 40u : 2u), sent) << d.Describe();
}

INSTANTIATE_TEST_SUITE_P(
    Ways, RecordingDetection,
    ::testing::Values(TCase{false, false, false, true, 2500, 0}, TCase{false, false, false, false, -1500, 0},
                      TCase{true, false, true, true, 3000, 40}, TCase{true, false, true, false, -800, -40},
                      TCase{false, true, false, true, 1000, 0}, TCase{true, true, true, true, -2000, 30},
                      TCase{true, true, false, false, -100, 0}),
    [](const auto& aInfo) { return Name(aInfo.param) + std::to_string(aInfo.index); });

// A recording shorter than the 80 k window (15.6 s, less than the deinterleaver's delay) is decoded
// to its end when the input ends: the deinterleaver's store comes out behind erasures, and the
// frames whose values were mostly sent decide.
TEST(RecordingDetector, A80kRecordingShorterThanTheWindowIsFoundAtItsEnd) {
    lrptsynth::SynthOptions o;
    o.mode = lrptsynth::Mode::k80;
    o.form = lrptsynth::OutputForm::Iq;
    o.sampleFormat = lrptsynth::SampleFormat::F32;
    o.sampleRate = 192000;
    o.polarity = lrptsynth::Polarity::Satellite;
    o.nrzm = true;
    o.oqpsk = true;
    o.channels = {1};
    o.scans = 26;
    o.esn0Db = 8;
    o.seed = 11;
    o.truncateBytes = int64_t{8} * 192000 * 156 / 10; // 15.6 s of complex float samples
    const auto samples = Samples(lrptsynth::synthesize(o));
    TRecordingConstraints forced; // one receiver keeps the test short; the windows are the same
    forced.Oqpsk = true;
    forced.Mode = TLrptMode::lm80k;
    TRecordingDetector detector(192000, forced);
    EXPECT_FALSE(detector.Process(samples.data(), samples.size()));
    detector.Finish();
    const TRecordingDetection& d = detector.Result();
    ASSERT_TRUE(d.Found) << d.Describe();
    EXPECT_EQ(d.Chosen, (TRecordingHypothesis{true, TLrptMode::lm80k, true})) << d.Describe();
}

TEST(RecordingDetector, NoiseAndConstraints) {
    // Noise alone: every hypothesis tried, nothing found, and Finish decides.
    lrptsynth::SynthOptions o;
    o.form = lrptsynth::OutputForm::Iq;
    o.sampleFormat = lrptsynth::SampleFormat::F32;
    o.sampleRate = 192000;
    o.channels = {1};
    o.scans = 4;
    o.esn0Db = -30; // the signal is buried far below the noise
    const auto rec = lrptsynth::synthesize(o);
    const auto samples = Samples(rec);
    TRecordingDetector detector(192000, {});
    EXPECT_FALSE(detector.Process(samples.data(), samples.size()));
    detector.Finish();
    EXPECT_TRUE(detector.Decided());
    EXPECT_FALSE(detector.Result().Found);
    EXPECT_EQ(detector.Result().Tried.size(), 8u);
    EXPECT_FALSE(detector.TakeReceiver());
    EXPECT_NE(detector.Result().Describe().find("nothing decodable"), std::string::npos);

    // Forced choices leave only the hypotheses they allow.
    TRecordingConstraints forced;
    forced.Oqpsk = true;
    forced.Nrzm = false;
    TRecordingDetector narrow(192000, forced);
    narrow.Finish();
    ASSERT_EQ(narrow.Result().Tried.size(), 2u);
    for (const auto& e : narrow.Result().Tried) {
        EXPECT_TRUE(e.Hypothesis.Oqpsk);
        EXPECT_FALSE(e.Hypothesis.Nrzm);
    }
    // A rate the receiver cannot take is refused at once.
    EXPECT_THROW(TRecordingDetector(100, {}), precise::TPreciseParamError);
}

} // namespace
