// The generator's complex baseband in every encoding and form, at wideband sample rates, and with
// a drifting carrier.
#include "Synthesizer.h"
#include "TestConvEncoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

using namespace lrptsynth;

namespace {

SynthOptions shortBaseband() {
    SynthOptions o;
    o.form = OutputForm::Wav;
    o.durationSeconds = 1;
    o.leadInSeconds = 0;
    o.tailFrames = 0;
    return o;
}

uint32_t le(const std::vector<uint8_t>& b, size_t at, int n) {
    uint32_t v = 0;
    for (int k = n - 1; k >= 0; --k)
        v = v << 8 | b[at + size_t(k)];
    return v;
}

// Sample k (0-based over the interleaved stream) in full-scale units.
double sampleAt(const std::vector<uint8_t>& b, size_t header, SampleFormat f, size_t k) {
    switch (f) {
    case SampleFormat::U8:
        return (b[header + k] - 128) / 128.0;
    case SampleFormat::S8:
        return int8_t(b[header + k]) / 128.0;
    case SampleFormat::S16:
        return int16_t(le(b, header + 2 * k, 2)) / 32768.0;
    case SampleFormat::S24:
        return double(int32_t(le(b, header + 3 * k, 3) << 8) >> 8) / 8388608.0;
    case SampleFormat::S32:
        return int32_t(le(b, header + 4 * k, 4)) / 2147483648.0;
    case SampleFormat::F32: {
        const uint32_t u = le(b, header + 4 * k, 4);
        float x;
        std::memcpy(&x, &u, 4);
        return x;
    }
    default: {
        const uint64_t u = uint64_t(le(b, header + 8 * k, 4)) | uint64_t(le(b, header + 8 * k + 4, 4)) << 32;
        double x;
        std::memcpy(&x, &u, 8);
        return x;
    }
    }
}

} // namespace

// Every encoding holds the 16-bit recording's signal at the same level relative to full scale,
// within its own rounding, behind a header that says what it holds.
TEST(BasebandForms, EveryEncodingHoldsTheSameSignal) {
    SynthOptions o = shortBaseband();
    o.esn0Db = 10;
    const Recording ref = synthesize(o);
    const size_t n = (ref.bytes.size() - 44) / 2;
    struct TCase {
        OutputForm form;
        SampleFormat format;
        int tag, bits;
        size_t header;
        double step;
    };
    for (const TCase& c : {TCase{OutputForm::Wav, SampleFormat::U8, 1, 8, 44, 1 / 128.0},
                           TCase{OutputForm::Wav, SampleFormat::S24, 1, 24, 44, 1 / 32768.0},
                           TCase{OutputForm::Wav, SampleFormat::S32, 1, 32, 44, 1 / 32768.0},
                           TCase{OutputForm::Wav, SampleFormat::F32, 3, 32, 58, 1 / 32768.0},
                           TCase{OutputForm::Wav, SampleFormat::F64, 3, 64, 58, 1 / 32768.0},
                           TCase{OutputForm::Iq, SampleFormat::U8, 0, 8, 0, 1 / 128.0},
                           TCase{OutputForm::Iq, SampleFormat::S8, 0, 8, 0, 1 / 128.0},
                           TCase{OutputForm::Iq, SampleFormat::S16, 0, 16, 0, 0},
                           TCase{OutputForm::Iq, SampleFormat::F32, 0, 32, 0, 1 / 32768.0}}) {
        SCOPED_TRACE(std::string(sampleFormatName(c.format)) +
                     (c.form == OutputForm::Iq ? " headerless" : " WAV"));
        o.form = c.form;
        o.sampleFormat = c.format;
        const Recording r = synthesize(o);
        const auto& b = r.bytes;
        ASSERT_EQ(b.size(), c.header + n * size_t(c.bits) / 8);
        if (c.form == OutputForm::Wav) {
            EXPECT_EQ(le(b, 20, 2), uint32_t(c.tag));
            EXPECT_EQ(le(b, 22, 2), 2u);
            EXPECT_EQ(le(b, 32, 2), uint32_t(c.bits / 4));
            EXPECT_EQ(le(b, 34, 2), uint32_t(c.bits));
            EXPECT_EQ(le(b, 4, 4), b.size() - 8);
            EXPECT_EQ(std::string(b.begin() + long(c.header) - 8, b.begin() + long(c.header) - 4), "data");
            EXPECT_EQ(le(b, c.header - 4, 4), b.size() - c.header);
        }
        // Half a step of each rounding, and the floats' own 2^-24.
        double worst = 0;
        for (size_t k = 0; k < n; ++k)
            worst = std::max(worst, std::fabs(sampleAt(b, c.header, c.format, k) -
                                              sampleAt(ref.bytes, 44, SampleFormat::S16, k)));
        EXPECT_LE(worst, c.step / 2 + 1 / 65536.0 + 1e-7);
    }
}

// The pulse shaping holds at wideband rates: unfiltered, the I branch at the symbol instants has
// the sign of the sent code bits, and the level is the level whatever the rate.
TEST(BasebandForms, WidebandRatesCarryTheSymbols) {
    for (double rate : {1024000.0, 2048000.0, 10e6}) {
        SCOPED_TRACE(rate);
        SynthOptions o = shortBaseband();
        o.durationSeconds = rate > 5e6 ? 0.2 : 1;
        o.form = OutputForm::Iq;
        o.sampleFormat = SampleFormat::F32;
        o.sampleRate = rate;
        const Recording r = synthesize(o);
        const auto code = convEncode(r.sentCadus);
        const double sps = rate / 72000;
        int agree = 0, count = 0;
        double power = 0;
        const size_t frames = r.bytes.size() / 8;
        for (size_t k = 20; k < 4000 && size_t(std::lround(double(k) * sps)) < frames; ++k) {
            const size_t f = size_t(std::lround(double(k) * sps));
            agree += (sampleAt(r.bytes, 0, SampleFormat::F32, 2 * f + 1) > 0) == (code[2 * k] == 1);
            ++count;
        }
        for (size_t f = frames / 4; f < frames * 3 / 4; ++f)
            power += std::pow(sampleAt(r.bytes, 0, SampleFormat::F32, 2 * f), 2);
        EXPECT_GT(count, 2000);
        EXPECT_GT(agree, count * 95 / 100);
        EXPECT_NEAR(std::sqrt(power / double(frames / 2)) * 32768, 1600, 100);
    }
}

// A drifting carrier: against the same recording without drift, the phase at every sample is
// pi x drift x t^2, the integral of the ramp, so it runs on without a step.
TEST(BasebandForms, DriftIsAPhaseContinuousFrequencyRamp) {
    SynthOptions o = shortBaseband();
    o.form = OutputForm::Iq;
    o.sampleFormat = SampleFormat::F32;
    o.sampleRate = 144000;
    o.carrierOffsetHz = 700;
    const Recording plain = synthesize(o);
    o.driftHzPerS = 150;
    const Recording drift = synthesize(o);
    ASSERT_EQ(plain.bytes.size(), drift.bytes.size());
    const size_t frames = plain.bytes.size() / 8;
    auto z = [](const Recording& r, size_t f) { // frames are (Q, I)
        return std::complex<double>(sampleAt(r.bytes, 0, SampleFormat::F32, 2 * f + 1),
                                    sampleAt(r.bytes, 0, SampleFormat::F32, 2 * f));
    };
    double worst = 0;
    int checked = 0;
    for (size_t f = 0; f < frames; f += 7) {
        const std::complex<double> a = z(plain, f);
        if (std::abs(a) < 0.02) continue;
        const double t = double(f) / 144000;
        const double want = M_PI * 150 * t * t;
        const double got = std::arg(z(drift, f) / a);
        worst = std::max(worst, std::fabs(std::remainder(got - want, 2 * M_PI)));
        ++checked;
    }
    EXPECT_GT(checked, 10000);
    EXPECT_LT(worst, 1e-4);
}

// A loud signal in 8 bits is clipped and the recording says so.
TEST(BasebandForms, ClippingIsReported) {
    SynthOptions o = shortBaseband();
    o.sampleFormat = SampleFormat::U8;
    o.wavLevel = 100;
    EXPECT_NE(synthesize(o).notes.find("clipped"), std::string::npos);
    o.wavLevel = 0;
    EXPECT_EQ(synthesize(o).notes.find("clipped"), std::string::npos);
}
