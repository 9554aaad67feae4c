// The generator's recordings: forms, modes, polarities, impairments, the
// ground truth and the command-line program.
#include "FrameCoding.h"
#include "ImageEncoder.h"
#include "PacketLayer.h"
#include "SignalWriter.h"
#include "Synthesizer.h"
#include "TestConvEncoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace lrptsynth;

namespace {

SynthOptions smallPass() {
    SynthOptions o;
    o.durationSeconds = 6;
    o.leadInSeconds = 0.05;
    return o;
}

// Reads blocks of an image packet back with the encoder's tables and the
// decoding rules of the image format; returns the pixels of the 14 blocks
// (8 rows x 112 columns) or an empty vector on a code that matches nothing.
std::vector<std::uint8_t> decodeImagePacket(const std::vector<std::uint8_t>& pkt, const ImageEncoder& enc) {
    const int q = pkt[19];
    std::size_t pos = 20;
    int bit = 8;
    unsigned cur = 0;
    auto readBit = [&]() -> unsigned {
        if (bit == 8) {
            cur = pos < pkt.size() ? pkt[pos] : 0;
            ++pos;
            bit = 0;
        }
        return (cur >> (7 - bit++)) & 1u;
    };
    auto readBits = [&](int n) {
        unsigned v = 0;
        for (int i = 0; i < n; ++i)
            v = (v << 1) | readBit();
        return v;
    };
    auto extend = [](unsigned v, int s) {
        return s == 0 ? 0 : (v >> (s - 1)) & 1 ? static_cast<int>(v) : static_cast<int>(v) - ((1 << s) - 1);
    };
    std::vector<std::uint8_t> out(8 * 112);
    int pred = 0;
    const auto& zz = ImageEncoder::zigzag();
    for (int b = 0; b < 14; ++b) {
        int zzc[64] = {};
        unsigned code = 0;
        int len = 0, cat = -1;
        while (cat < 0 && len < 16) {
            code = (code << 1) | readBit();
            ++len;
            for (int c = 0; c < 12; ++c)
                if (enc.dcCodes()[c].length == len && enc.dcCodes()[c].code == code) cat = c;
        }
        if (cat < 0) return {};
        pred += extend(readBits(cat), cat);
        zzc[0] = pred;
        for (int k = 1; k <= 63;) {
            code = 0;
            len = 0;
            int sym = -1;
            while (sym < 0 && len < 16) {
                code = (code << 1) | readBit();
                ++len;
                for (int s = 0; s < 256; ++s)
                    if (enc.acCodes()[s].length == len && enc.acCodes()[s].code == code) sym = s;
            }
            if (sym < 0) return {};
            if (sym == 0) break;
            if (sym == 0xF0) {
                k += 16;
                continue;
            }
            const int run = sym >> 4, size = sym & 15;
            k += run;
            if (k <= 63) zzc[k] = extend(readBits(size), size);
            ++k;
        }
        std::array<int, 64> nat{};
        for (int i = 0; i < 64; ++i)
            nat[i] = zzc[zz[i]];
        enc.reconstructBlock(nat, q, out.data() + b * 8, 112);
    }
    return out;
}

std::map<std::pair<int, int>, std::vector<std::uint8_t>> packetsByApidCount(const Recording& rec) {
    const auto& seq = pseudoRandomSequence();
    std::vector<std::vector<std::uint8_t>> frames;
    for (std::size_t f = 0; f < rec.sentCadus.size() / 1024; ++f) {
        std::vector<std::uint8_t> fr(rec.sentCadus.begin() + static_cast<std::ptrdiff_t>(f * 1024 + 4),
                                     rec.sentCadus.begin() + static_cast<std::ptrdiff_t>(f * 1024 + 4 + 892));
        for (int i = 0; i < 892; ++i)
            fr[i] ^= seq[i];
        frames.push_back(fr);
    }
    std::vector<const std::uint8_t*> ptrs;
    for (const auto& f : frames)
        if (f[1] == 5) ptrs.push_back(f.data());
    std::map<std::pair<int, int>, std::vector<std::uint8_t>> out;
    for (auto& p : reassemblePackets(ptrs))
        out[{((p[0] & 7) << 8) | p[1], ((p[2] & 0x3F) << 8) | p[3]}] = p;
    return out;
}

} // namespace

TEST(Recording, ImagePacketsDecodeToTheGroundTruthAndCarryTheirFields) {
    SynthOptions o = smallPass();
    o.channels = {2, 5};
    o.varyQuality = true;
    o.startTimeMs = 12 * 3600000u + 345;
    const Recording rec = synthesize(o);
    const ImageEncoder enc;
    const auto pkts = packetsByApidCount(rec);
    int image = 0, telemetry = 0, prevCount = -1;
    for (const auto& pr : rec.packets) {
        ASSERT_TRUE(pr.delivered);
        if (prevCount >= 0) {
            ASSERT_EQ(pr.count, (prevCount + 1) & 0x3FFF); // one counter for all APIDs
        }
        prevCount = pr.count;
        auto it = pkts.find({pr.apid, pr.count});
        ASSERT_NE(it, pkts.end());
        const auto& p = it->second;
        ASSERT_EQ(static_cast<int>(p.size()), pr.dataLength + 6);
        ASSERT_EQ(((p[4] << 8) | p[5]) + 1, pr.dataLength);
        const std::uint32_t t = static_cast<std::uint32_t>(p[8] << 24 | p[9] << 16 | p[10] << 8 | p[11]);
        ASSERT_EQ(t, pr.timeMs);
        if (pr.apid == 70) {
            ++telemetry;
            continue;
        }
        ++image;
        ASSERT_EQ(p[14], pr.mcu);
        ASSERT_EQ(p[19], pr.quality);
        ASSERT_EQ(pr.mcu % 14, 0);
        ASSERT_EQ(std::lround(pr.scan * 1231.14) + o.startTimeMs, pr.timeMs);
        const auto px = decodeImagePacket(p, enc);
        ASSERT_FALSE(px.empty()) << "packet " << pr.count;
        const auto& truth = rec.truth[pr.channel - 1];
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 112; ++x)
                ASSERT_EQ(px[y * 112 + x], truth.at(pr.mcu * 8 + x, pr.scan * 8 + y))
                    << "packet " << pr.count;
    }
    EXPECT_EQ(image, rec.scans * 2 * 14);
    EXPECT_EQ(telemetry, rec.scans);
    EXPECT_EQ(rec.truth[0].width, 0);
    EXPECT_EQ(rec.truth[1].height, rec.scans * 8);
}

TEST(Recording, GroundTruthIsCloseToTheSourcePicture) {
    SynthOptions o = smallPass();
    o.channels = {1};
    o.quality = 90;
    GreyImage pic{1568, 40, std::vector<std::uint8_t>(1568 * 40)};
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 1568; ++x)
            pic.pixels[y * 1568 + x] = static_cast<std::uint8_t>((x / 3 + y * 5) % 256);
    o.pictures[0] = pic;
    const Recording rec = synthesize(o);
    EXPECT_EQ(rec.scans, 5);
    double err = 0;
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 1568; ++x)
            err += std::abs(rec.truth[0].at(x, y) - pic.at(x, y));
    EXPECT_LT(err / (40 * 1568), 4.0);
}

TEST(Recording, PacketsSpanFramesAndHeadersStraddleFrameBoundaries) {
    SynthOptions o = smallPass();
    o.quality = 100;
    o.channels = {1, 3, 6};
    o.pace = false;
    o.telemetryLength = 2000; // always over three frames
    const Recording rec = synthesize(o);
    int twoFrames = 0, threeFrames = 0, straddle = 0;
    for (const auto& p : rec.packets) {
        ASSERT_TRUE(p.delivered);
        twoFrames += p.lastFrame - p.firstFrame == 1;
        threeFrames += p.lastFrame - p.firstFrame >= 2;
        const std::int64_t inZone = p.zoneOffset % 882;
        straddle += inZone > 882 - 6;
    }
    EXPECT_GT(twoFrames, 10);
    EXPECT_GT(threeFrames, 0);
    EXPECT_GT(straddle, 0);
    bool sawNoHeader = false;
    for (const auto& f : rec.frames)
        sawNoHeader |= f.pointer == 2047;
    EXPECT_TRUE(sawNoHeader);
}

TEST(Recording, PacingHoldsTheDownlinkFrameRate) {
    SynthOptions o;
    o.durationSeconds = 30;
    o.tailFrames = 0;
    const Recording rec = synthesize(o);
    const double seconds = rec.scans * 1.23114;
    EXPECT_NEAR(static_cast<double>(rec.frames.size()), seconds * 72000 / 8192, 2.0);
    EXPECT_TRUE(rec.notes.empty());
    int fill = 0;
    for (const auto& f : rec.frames)
        fill += f.fill;
    EXPECT_GT(fill, 0);

    // Head frames: only fill before the first scan, and the pass behind them keeps its pace.
    o.headFrames = 10;
    const Recording headed = synthesize(o);
    EXPECT_EQ(headed.frames.size(), rec.frames.size() + 10);
    for (int i = 0; i < 10; ++i)
        EXPECT_TRUE(headed.frames[i].fill) << i;
    EXPECT_FALSE(headed.frames[10].fill);
    EXPECT_EQ(headed.packets.front().firstFrame, 10);
}

TEST(Recording, FormsAgreeWithTheSoftForm) {
    SynthOptions o = smallPass();
    o.esn0Db = 6;
    const Recording s = synthesize(o);
    o.form = OutputForm::Soft3;
    const Recording raw = synthesize(o);
    o.form = OutputForm::Hard;
    const Recording hard = synthesize(o);
    ASSERT_EQ(raw.bytes.size() * 2, s.bytes.size());
    ASSERT_EQ(hard.bytes.size(), (s.bytes.size() + 7) / 8);
    auto code3 = [](int v) {
        const int a = std::abs(v);
        const int m = a < 24 ? 0 : a < 48 ? 1 : a < 72 ? 2 : 3;
        return v >= 0 ? m : 7 - m;
    };
    for (std::size_t i = 0; i < raw.bytes.size(); ++i) {
        const int q = static_cast<std::int8_t>(s.bytes[2 * i]),
                  iv = static_cast<std::int8_t>(s.bytes[2 * i + 1]);
        ASSERT_EQ(raw.bytes[i], code3(q) << 4 | code3(iv)) << i;
    }
    for (std::size_t i = 0; i < s.bytes.size(); ++i) {
        const bool bit = (hard.bytes[i / 8] >> (7 - i % 8)) & 1;
        ASSERT_EQ(bit, static_cast<std::int8_t>(s.bytes[i]) > 0) << i;
    }
    EXPECT_EQ(SignalWriter::softCode3(0), 0);
    EXPECT_EQ(SignalWriter::softCode3(-1), 7);
    EXPECT_EQ(SignalWriter::softCode3(90), 3);
    EXPECT_EQ(SignalWriter::softCode3(-50), 5);
}

TEST(Recording, NoiseFollowsEsN0AndTheSeed) {
    SynthOptions o = smallPass();
    o.esn0Db = 3;
    o.amplitude = 40; // keeps clipping at +-127 out of the spread
    o.leadInSeconds = 0;
    const Recording a = synthesize(o);
    const Recording b = synthesize(o);
    EXPECT_EQ(a.bytes, b.bytes);
    o.seed = 2;
    const Recording c = synthesize(o);
    EXPECT_NE(a.bytes, c.bytes);
    // Spread around +-40 matches sigma = 40 / sqrt(10^0.3).
    const auto code = convEncode(a.sentCadus);
    double sum = 0, sum2 = 0;
    std::size_t n = 0;
    for (std::size_t i = 0; i + 1 < a.bytes.size(); i += 2) {
        // (Q, I) in the file; I carries the first value of the pair.
        const double vi = static_cast<std::int8_t>(a.bytes[i + 1]);
        const double e = vi - (code[i] ? 40 : -40);
        sum += e;
        sum2 += e * e;
        ++n;
    }
    EXPECT_NEAR(sum / n, 0, 1.0);
    EXPECT_NEAR(std::sqrt(sum2 / n), 40 / std::sqrt(std::pow(10, 0.3)), 0.5);
}

TEST(Recording, PolarityRotationAndExchangeMapTheValuesAsStated) {
    SynthOptions o = smallPass();
    const Recording base = synthesize(o);
    auto at = [](const Recording& r, std::size_t i) {
        return static_cast<int>(static_cast<std::int8_t>(r.bytes[i]));
    };
    o.polarity = Polarity::Satellite;
    const Recording sat = synthesize(o);
    o.polarity = Polarity::Nominal;
    o.rotationDeg = 90;
    const Recording rot = synthesize(o);
    o.rotationDeg = 0;
    o.swapIq = true;
    const Recording swp = synthesize(o);
    const std::size_t from = static_cast<std::size_t>(base.leadInValues);
    for (std::size_t i = from; i + 1 < base.bytes.size(); i += 2) {
        const int q = at(base, i), iv = at(base, i + 1);
        // Satellite: G1 on I with bit 1 negative, NOT G2 on Q with bit 1 negative.
        ASSERT_EQ(at(sat, i + 1), -iv);
        ASSERT_EQ(at(sat, i), q);
        // A quarter turn: (I, Q) -> (-Q, I).
        ASSERT_EQ(at(rot, i + 1), -q);
        ASSERT_EQ(at(rot, i), iv);
        ASSERT_EQ(at(swp, i + 1), q);
        ASSERT_EQ(at(swp, i), iv);
    }
}

// 80 k: the file goes to the decoder without exchange, so each file pair is
// the chain's pair: a unique word every 80 values, then interleaved code values.
TEST(Recording, Interleaved80kStreamCarriesUniqueWordsAndDeinterleavesToTheCode) {
    SynthOptions o = smallPass();
    o.mode = Mode::k80;
    o.durationSeconds = 3;
    o.tailFrames = 170;
    o.polarity = Polarity::Satellite;
    const Recording rec = synthesize(o);
    EXPECT_EQ(rec.symbolRate, 80000);
    const std::size_t lead = static_cast<std::size_t>(rec.leadInValues);
    std::vector<int> v;
    for (std::size_t i = lead; i < rec.bytes.size(); ++i)
        v.push_back(static_cast<std::int8_t>(rec.bytes[i]));
    ASSERT_EQ(v.size() % 80, 0u);
    // Unique word 27 hex as (I, Q) pairs, bit 1 positive; satellite polarity
    // turns the whole word over, which the decoder's correlation takes as a half turn.
    const int uw[8] = {-1, -1, 1, -1, -1, 1, 1, 1};
    std::vector<std::uint8_t> data;
    for (std::size_t g = 0; g < v.size(); g += 80) {
        for (int k = 0; k < 8; ++k)
            ASSERT_EQ(v[g + k], -70 * uw[k]) << g;
        for (int k = 8; k < 80; ++k) {
            // Undo the satellite polarity: G1 (even) turned over, NOT G2 (odd) kept.
            const bool positive = v[g + k] > 0;
            data.push_back(k % 2 == 0 ? !positive : positive);
        }
    }
    // Deinterleaver written here: every branch ends up 36 x 73,728 values late.
    const std::int64_t step = 36 * 2048, delay = 36 * step;
    const auto code = convEncode(rec.sentCadus);
    std::int64_t checked = 0;
    for (std::int64_t i = delay; i < static_cast<std::int64_t>(data.size()); ++i) {
        const std::int64_t b = i % 36;
        const std::int64_t src = i - (36 - b) * step;
        const std::int64_t orig = i - delay;
        if (orig >= static_cast<std::int64_t>(code.size())) break;
        ASSERT_EQ(data[static_cast<std::size_t>(src)], code[static_cast<std::size_t>(orig)]) << i;
        ++checked;
    }
    // Every frame that carries picture data comes out of the deinterleaver.
    std::int64_t lastDataFrame = 0;
    for (const auto& f : rec.frames)
        if (!f.fill) lastDataFrame = f.sentIndex;
    EXPECT_GE(checked, (lastDataFrame + 3) * 16384);
}

TEST(Recording, DroppedFramesAndPacketsAreInTheManifest) {
    SynthOptions o = smallPass();
    o.durationSeconds = 20;
    o.dropFrameRate = 0.08;
    o.dropPacketRate = 0.03;
    o.otherVcRate = 0.1;
    const Recording rec = synthesize(o);
    int droppedFrames = 0, other = 0, droppedPackets = 0, lost = 0;
    for (const auto& f : rec.frames) {
        droppedFrames += !f.sent;
        other += f.vcid != 5;
    }
    for (const auto& p : rec.packets) {
        droppedPackets += !p.sent;
        if (!p.sent) {
            EXPECT_FALSE(p.delivered);
            continue;
        }
        bool allSent = true;
        for (int f = p.firstFrame; f <= p.lastFrame; ++f)
            if (rec.frames[f].vcid == 5 && !rec.frames[f].sent) allSent = false;
        if (!allSent) {
            EXPECT_FALSE(p.delivered) << p.count;
        }
        lost += p.sent && !p.delivered;
    }
    EXPECT_GT(droppedFrames, 5);
    EXPECT_GT(other, 5);
    EXPECT_GT(droppedPackets, 5);
    EXPECT_GT(lost, 5);
    // The mask of what arrives marks exactly the delivered packets' blocks.
    const GreyImage mask = deliveredMask(rec, 2);
    ASSERT_EQ(mask.height, rec.truth[1].height);
    for (const auto& p : rec.packets)
        if (p.channel == 2) {
            EXPECT_EQ(mask.at(p.mcu * 8 + 5, p.scan * 8 + 3), p.delivered ? 255 : 0) << p.count;
        }
    // Sent frames are on the air back to back; the counters of VC 5 jump over dropped ones.
    std::size_t sent = 0;
    for (const auto& f : rec.frames)
        sent += f.sent;
    EXPECT_EQ(rec.sentCadus.size(), sent * 1024);
}

TEST(Recording, FlippedBitsAreCountedPerCodeWord) {
    SynthOptions o = smallPass();
    o.flipBitRate = 0.002;
    const Recording rec = synthesize(o);
    SynthOptions clean = smallPass();
    const Recording ref = synthesize(clean);
    ASSERT_EQ(rec.sentCadus.size(), ref.sentCadus.size());
    int total = 0;
    for (std::size_t f = 0; f < rec.frames.size(); ++f) {
        std::array<int, 4> words{};
        int bits = 0;
        for (int b = 4; b < 1024; ++b) {
            const std::uint8_t d = rec.sentCadus[f * 1024 + b] ^ ref.sentCadus[f * 1024 + b];
            bits += __builtin_popcount(d);
            if (d) ++words[(b - 4) % 4];
        }
        EXPECT_EQ(bits, rec.frames[f].flippedBits);
        EXPECT_EQ(words, rec.frames[f].wordErrors);
        total += bits;
    }
    EXPECT_GT(total, 100);
}

TEST(Recording, TimeStampsWrapAtMidnight) {
    SynthOptions o = smallPass();
    o.startTimeMs = 86400000u - 3000;
    const Recording rec = synthesize(o);
    bool wrapped = false;
    for (const auto& p : rec.packets) {
        ASSERT_LT(p.timeMs, 86400000u);
        wrapped |= p.timeMs < 10000;
    }
    EXPECT_TRUE(wrapped);
}

TEST(Recording, TruncationAndNoiseGapsMarkTheFramesTheyHit) {
    SynthOptions o = smallPass();
    o.noiseGaps = {{2.0, 0.5}};
    o.truncateBytes = 500000;
    const Recording rec = synthesize(o);
    EXPECT_EQ(rec.bytes.size(), 500000u);
    int gap = 0, cut = 0;
    for (const auto& f : rec.frames) {
        gap += f.inNoiseGap;
        cut += f.cutOff;
        if (f.lastValue < 500000) {
            EXPECT_FALSE(f.cutOff);
        }
    }
    EXPECT_GE(gap, 4);
    EXPECT_GT(cut, 10);
    // Inside the gap the values no longer follow the code.
    const auto code = convEncode(rec.sentCadus);
    const std::size_t a = 2 * 144000 + 100;
    int agree = 0;
    for (std::size_t i = a; i < a + 2000; i += 2)
        agree += (static_cast<std::int8_t>(rec.bytes[i + 1]) > 0) == (code[i - rec.leadInValues] == 1);
    EXPECT_LT(agree, 700);
}

TEST(Recording, WavHeaderAndLevels) {
    SynthOptions o = smallPass();
    o.form = OutputForm::Wav;
    o.durationSeconds = 2;
    o.leadInSeconds = 0;
    o.tailFrames = 0;
    const Recording r16 = synthesize(o);
    const auto& b = r16.bytes;
    ASSERT_GT(b.size(), 44u);
    auto le32 = [&](std::size_t i) {
        return b[i] | b[i + 1] << 8 | b[i + 2] << 16 | static_cast<std::uint32_t>(b[i + 3]) << 24;
    };
    auto le16 = [&](std::size_t i) { return b[i] | b[i + 1] << 8; };
    EXPECT_EQ(std::string(b.begin(), b.begin() + 4), "RIFF");
    EXPECT_EQ(le32(4), b.size() - 8);
    EXPECT_EQ(std::string(b.begin() + 8, b.begin() + 16), "WAVEfmt ");
    EXPECT_EQ(le32(16), 16u);
    EXPECT_EQ(le16(20), 1); // PCM
    EXPECT_EQ(le16(22), 2); // stereo
    EXPECT_EQ(le32(24), 196078u);
    EXPECT_EQ(le32(28), 196078u * 4);
    EXPECT_EQ(le16(32), 4);
    EXPECT_EQ(le16(34), 16);
    EXPECT_EQ(std::string(b.begin() + 36, b.begin() + 40), "data");
    EXPECT_EQ(le32(40), b.size() - 44);
    const double expectSeconds = static_cast<double>(r16.pairs) / 72000;
    EXPECT_NEAR((b.size() - 44) / 4 / 196078.0, expectSeconds, 0.001);
    double sq = 0, si = 0;
    int peak = 0;
    const std::size_t frames = (b.size() - 44) / 4;
    for (std::size_t f = 1000; f < frames - 1000; ++f) {
        const int q = static_cast<std::int16_t>(le16(44 + 4 * f)),
                  i = static_cast<std::int16_t>(le16(46 + 4 * f));
        sq += double(q) * q;
        si += double(i) * i;
        peak = std::max({peak, std::abs(q), std::abs(i)});
    }
    EXPECT_NEAR(std::sqrt(si / (frames - 2000)), 1600, 80);
    EXPECT_NEAR(std::sqrt(sq / (frames - 2000)), 1600, 80);
    EXPECT_LT(peak, 4096); // the demodulator takes 16-bit samples / 8 into -512..511

    // Matched filter at the symbol instants gives back the I symbols: 16-bit
    // frames are (Q, I); with the symbol rate an integer divisor of the
    // sample rate the instants fall on samples.
    o.sampleRate = 288000; // 4 samples per symbol
    const Recording r4 = synthesize(o);
    const auto code = convEncode(r4.sentCadus);
    int agree = 0, n = 0;
    for (std::size_t k = 20; k < 2000; ++k) {
        const std::size_t f = 4 * k;
        const int i = static_cast<std::int16_t>(r4.bytes[44 + 4 * f + 2] | r4.bytes[44 + 4 * f + 3] << 8);
        agree += (i > 0) == (code[2 * k] == 1);
        ++n;
    }
    EXPECT_GT(agree, n * 95 / 100); // without matched filtering some ISI remains

    o.wavBits = 8;
    o.sampleRate = 196078;
    const Recording r8 = synthesize(o);
    EXPECT_EQ(r8.bytes[32], 2);
    EXPECT_EQ(r8.bytes[34], 8);
    // 8-bit samples are unsigned with zero at 128; frames (Q, I) as in 16-bit; the default level
    // is 16-bit's on the 8-bit scale (1600 / 256).
    double s8 = 0, mean8 = 0;
    int agree8 = 0, n8 = 0;
    const std::size_t f8 = (r8.bytes.size() - 44) / 2;
    for (std::size_t f = 1000; f < f8 - 1000; ++f) {
        const int i = r8.bytes[44 + 2 * f + 1] - 128;
        s8 += double(i) * i;
        mean8 += i;
    }
    EXPECT_NEAR(std::sqrt(s8 / (f8 - 2000)), 6.25, 0.5);
    EXPECT_NEAR(mean8 / (f8 - 2000), 0, 0.2);
    o.sampleRate = 288000;
    const Recording r8i = synthesize(o);
    for (std::size_t k = 20; k < 2000; ++k) {
        agree8 += (r8i.bytes[44 + 2 * 4 * k + 1] > 128) == (code[2 * k] == 1);
        ++n8;
    }
    EXPECT_GT(agree8, n8 * 9 / 10);
}

// Offset QPSK at two samples per symbol: the Q branch is the plain recording's Q one sample
// (half a symbol) later, sample for sample; I does not change. Symbol forms refuse the option.
TEST(Recording, OqpskDelaysTheQBranchByHalfASymbol) {
    SynthOptions o = smallPass();
    o.form = OutputForm::Wav;
    o.durationSeconds = 2;
    o.sampleRate = 144000;
    const Recording plain = synthesize(o);
    o.oqpsk = true;
    const Recording offset = synthesize(o);
    ASSERT_EQ(plain.bytes.size(), offset.bytes.size());
    EXPECT_EQ(plain.chainBits, offset.chainBits);
    auto sample = [](const Recording& r, std::size_t f, int ch) { // 16-bit frames are (Q, I)
        return static_cast<std::int16_t>(r.bytes[44 + 4 * f + 2 * ch] | r.bytes[44 + 4 * f + 2 * ch + 1]
                                                                            << 8);
    };
    const std::size_t frames = (plain.bytes.size() - 44) / 4;
    std::size_t sameI = 0, delayedQ = 0, sameQ = 0;
    for (std::size_t f = 1; f < frames; ++f) {
        sameI += sample(offset, f, 1) == sample(plain, f, 1);
        delayedQ += sample(offset, f, 0) == sample(plain, f - 1, 0);
        sameQ += sample(offset, f, 0) == sample(plain, f, 0);
    }
    EXPECT_EQ(sameI, frames - 1);
    EXPECT_EQ(delayedQ, frames - 1);
    EXPECT_LT(sameQ, frames / 2);
    EXPECT_NE(offset.manifestJson().find("\"oqpsk\": true"), std::string::npos);

    o.form = OutputForm::Soft8;
    try {
        synthesize(o);
        FAIL();
    } catch (const SynthError& e) {
        EXPECT_NE(std::string(e.what()).find("--oqpsk"), std::string::npos);
    }
}

TEST(Recording, BadOptionsAreRefusedWithTheOptionNamed) {
    SynthOptions o = smallPass();
    o.channels = {7};
    EXPECT_THROW(synthesize(o), SynthError);
    o = smallPass();
    o.pictures[0] = GreyImage{100, 8, std::vector<std::uint8_t>(800)};
    try {
        synthesize(o);
        FAIL();
    } catch (const SynthError& e) {
        EXPECT_NE(std::string(e.what()).find("1568"), std::string::npos);
    }
    o = smallPass();
    o.cadus = std::vector<std::uint8_t>(1024, 0);
    EXPECT_THROW(synthesize(o), SynthError);
    o.cadus = std::vector<std::uint8_t>(1000, 0);
    EXPECT_THROW(synthesize(o), SynthError);
    o = smallPass();
    o.form = OutputForm::Wav;
    o.durationSeconds = 7200; // over 4 GiB of 16-bit samples at the default rate
    EXPECT_THROW(synthesize(o), SynthError);
}

TEST(Recording, PicturesAreReadFromPgmAndBmp) {
    std::vector<std::uint8_t> pgm = {'P', '5', '\n', '#',  ' ', 'c', '\n', '3', ' ', '2', '\n',
                                     '2', '5', '5',  '\n', 1,   2,   3,    4,   5,   6};
    const auto a = readPictureFromMemory(pgm, "x.pgm");
    EXPECT_EQ(a.width, 3);
    EXPECT_EQ(a.at(2, 1), 6);
    pgm.pop_back();
    EXPECT_THROW(readPictureFromMemory(pgm, "x.pgm"), PictureError);
    // 2 x 2, 24-bit, bottom-up rows padded to 8 bytes.
    std::vector<std::uint8_t> bmp(54 + 16, 0);
    bmp[0] = 'B';
    bmp[1] = 'M';
    bmp[10] = 54;
    bmp[14] = 40;
    bmp[18] = 2;
    bmp[22] = 2;
    bmp[28] = 24;
    const std::uint8_t bottom[6] = {10, 10, 10, 20, 20, 20}, top[6] = {0, 0, 255, 40, 40, 40};
    std::copy(bottom, bottom + 6, bmp.begin() + 54);
    std::copy(top, top + 6, bmp.begin() + 62);
    const auto b = readPictureFromMemory(bmp, "x.bmp");
    EXPECT_EQ(b.at(0, 0), 63); // (R + 2G + B) / 4 of pure red
    EXPECT_EQ(b.at(1, 0), 40);
    EXPECT_EQ(b.at(1, 1), 20);
    EXPECT_THROW(readPictureFromMemory({'G', 'I', 'F'}, "x.gif"), PictureError);
}

TEST(Recording, RealFramesGoThroughTheChannelChainUnchanged) {
    const std::string path = LRPT_REAL_CADU;
    SynthOptions o;
    o.cadus = readCaduFile(path);
    o.tailFrames = 5;
    const Recording rec = synthesize(o);
    // The frames given, then the fill frames asked for (idle frames of the other virtual channel).
    ASSERT_EQ(rec.sentCadus.size(), o.cadus->size() + 5 * 1024);
    for (int j = 1; j <= 5; ++j) {
        EXPECT_TRUE(rec.frames[rec.frames.size() - j].fill);
        EXPECT_EQ(rec.frames[rec.frames.size() - j].vcid, 63);
    }
    o.tailFrames = -1;
    o.mode = Mode::k80;
    EXPECT_EQ(synthesize(o).sentCadus.size(), o.cadus->size() + 170 * 1024);
    const auto& seq = pseudoRandomSequence();
    for (std::size_t i = 0; i < o.cadus->size(); ++i) {
        const std::size_t k = i % 1024;
        const std::uint8_t expect =
            k < 4 ? (*o.cadus)[i] : static_cast<std::uint8_t>((*o.cadus)[i] ^ seq[k - 4]);
        ASSERT_EQ(rec.sentCadus[i], expect) << i;
    }
    // Their code words are valid as received and stay valid with the sequence on.
    for (std::size_t f = 0; f < rec.sentCadus.size() / 1024; ++f) // fill frames included
        for (int w = 0; w < 4; ++w) {
            const auto syn = ReedSolomonEncoder::syndromes(rec.sentCadus.data() + f * 1024 + 4 + w, 4);
            for (auto s : syn)
                ASSERT_EQ(s, 0) << "frame " << f;
        }
    std::map<int, int> perApid;
    for (const auto& p : rec.packets)
        ++perApid[p.apid];
    EXPECT_GT(perApid[64], 100);
    EXPECT_GT(perApid[70], 0);
    for (const auto& p : rec.packets)
        if (p.apid >= 64 && p.apid <= 69) {
            EXPECT_EQ(p.mcu % 14, 0);
        }
}

TEST(Recording, CommandLineWritesTheRecordingAndItsGroundTruth) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("lrpt_synth_cli_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string exe = LRPT_SYNTH_EXE;
    const std::string out = (dir / "pass_LRPT_.raw").string();
    const std::string cmd = exe + " -q --duration 3 --channels 1,4 -o '" + out + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    EXPECT_TRUE(fs::exists(out));
    EXPECT_TRUE(fs::exists(out + ".json"));
    EXPECT_TRUE(fs::exists(out + ".ch1.pgm"));
    EXPECT_TRUE(fs::exists(out + ".ch4.pgm"));
    EXPECT_FALSE(fs::exists(out + ".ch2.pgm"));
    EXPECT_FALSE(fs::exists(out + ".ch1.expected.ppm")); // nothing lost
    const std::string lossy = (dir / "lossy_LRPT_.s").string();
    ASSERT_EQ(std::system((exe + " -q --duration 3 --drop-packets 0.2 -o '" + lossy + "'").c_str()), 0);
    EXPECT_TRUE(fs::exists(lossy + ".ch1.expected.ppm"));
    std::ifstream js(out + ".json");
    const std::string json((std::istreambuf_iterator<char>(js)), std::istreambuf_iterator<char>());
    EXPECT_NE(json.find("\"packets\": ["), std::string::npos);
    EXPECT_NE(json.find("\"apid\": 67"), std::string::npos);
    // Usage errors exit with 2, failures with 1.
    EXPECT_EQ(WEXITSTATUS(std::system((exe + " --bogus -o x.s 2>/dev/null").c_str())), 2);
    EXPECT_EQ(WEXITSTATUS(std::system((exe + " --from-cadu /nonexistent -o x.s 2>/dev/null").c_str())), 1);
    // --help names every option the program accepts.
    const std::string helpFile = (dir / "help.txt").string();
    ASSERT_EQ(std::system((exe + " --help > '" + helpFile + "'").c_str()), 0);
    std::ifstream hs(helpFile);
    const std::string help((std::istreambuf_iterator<char>(hs)), std::istreambuf_iterator<char>());
    for (const char* opt : {"--output",
                            "--form",
                            "--manifest",
                            "--truth-prefix",
                            "--no-truth",
                            "--quiet",
                            "--mode",
                            "--polarity",
                            "--channels",
                            "--picture",
                            "--scans",
                            "--duration",
                            "--quality",
                            "--vary-quality",
                            "--start-time",
                            "--day",
                            "--no-telemetry",
                            "--telemetry-length",
                            "--no-pace",
                            "--head-frames",
                            "--first-frame-counter",
                            "--first-packet-count",
                            "--tail-frames",
                            "--from-cadu",
                            "--drop-packets",
                            "--drop-frames",
                            "--flip-bits",
                            "--other-vc",
                            "--other-vcid",
                            "--noise-gap",
                            "--truncate",
                            "--lead-in",
                            "--amplitude",
                            "--esn0",
                            "--rotate",
                            "--swap-iq",
                            "--wav-bits",
                            "--sample-rate",
                            "--symbol-rate",
                            "--carrier-offset",
                            "--phase",
                            "--level",
                            "--rolloff",
                            "--seed",
                            "--help"})
        EXPECT_NE(help.find(opt), std::string::npos) << opt;
    fs::remove_all(dir);
}

// The walk behind the manifest's "delivered": a packet that exactly fills a
// zone waits for the next frame's pointer, a header may straddle two frames,
// a packet may cross a frame without any header (pointer 2047).
TEST(Recording, DeliveryFollowsTheReceivingPacketRules) {
    PacketZoneStream zone;
    auto data = [](int n, int tag) {
        return std::vector<std::uint8_t>(static_cast<std::size_t>(n), static_cast<std::uint8_t>(tag));
    };
    zone.add(makePacket(64, 1, true, data(876, 1))); // fills zone 0 exactly
    zone.add(makePacket(65, 2, true, data(873, 2))); // leaves 3 bytes of zone 1
    zone.add(makePacket(66, 3, true, data(994, 3))); // header straddles, crosses zone 2 whole
    zone.padToBoundary();
    zone.fillTo(zone.size() + 2 * kZoneSize);
    ASSERT_EQ(zone.pointer(2), 2047);
    ASSERT_EQ(zone.pointer(3), 2760 - 2646 + 1);
    std::vector<std::vector<std::uint8_t>> frames;
    for (std::int64_t j = 0; j < zone.frames(); ++j) {
        std::vector<std::uint8_t> f(892, 0);
        f[0] = 0x40;
        f[1] = 0x05;
        f[4] = static_cast<std::uint8_t>(j);
        f[8] = static_cast<std::uint8_t>(zone.pointer(j) >> 8);
        f[9] = static_cast<std::uint8_t>(zone.pointer(j));
        std::copy(zone.zone(j), zone.zone(j) + kZoneSize, f.begin() + 10);
        frames.push_back(f);
    }
    auto apids = [&](std::vector<int> use) {
        std::vector<const std::uint8_t*> p;
        for (int j : use)
            p.push_back(frames[static_cast<std::size_t>(j)].data());
        std::vector<int> out;
        for (const auto& pkt : reassemblePackets(p))
            out.push_back(pkt[1]);
        return out;
    };
    const int n = static_cast<int>(frames.size());
    std::vector<int> all;
    for (int j = 0; j < n; ++j)
        all.push_back(j);
    EXPECT_EQ(apids(all), (std::vector<int>{64, 65, 66}));
    // Without frame 1 the exactly-filling packet is never closed cleanly.
    std::vector<int> no1 = all;
    no1.erase(no1.begin() + 1);
    EXPECT_TRUE(apids(no1).empty());
    // Without frame 2 the crossing packet is lost, the others arrive.
    std::vector<int> no2 = all;
    no2.erase(no2.begin() + 2);
    EXPECT_EQ(apids(no2), (std::vector<int>{64, 65}));
    // The frame that closes packet 66 waits for 20 more bytes.
    EXPECT_EQ(apids({0, 1, 2, 3}), (std::vector<int>{64, 65}));
}

// The picture a decoder draws from what arrives: everything when all
// arrives; a lost block stays green; a scan whose MCU-0 packet is lost still
// gets its own rows, and a packet arriving after a later scan began goes to
// its own rows too.
TEST(Recording, ExpectedPictureFollowsTheStripRules) {
    SynthOptions o = smallPass();
    o.channels = {3};
    Recording rec = synthesize(o);
    const GreyImage& t = rec.truth[2];
    {
        const ExpectedPicture all = expectedPicture(rec, 3);
        ASSERT_EQ(all.height, t.height);
        for (int y = 0; y < t.height; y += 3)
            for (int x = 0; x < t.width; x += 5) {
                ASSERT_EQ(all.stateAt(x, y), ExpectedPicture::Grey);
                ASSERT_EQ(all.at(x, y), t.at(x, y));
            }
        const ExpectedPicture noLast = expectedPicture(rec, 3, false);
        EXPECT_EQ(noLast.height, t.height - 8); // the last strip stays in the buffer
    }
    auto packet = [&](int scan, int mcu) -> PacketRecord& {
        for (auto& p : rec.packets)
            if (p.channel == 3 && p.scan == scan && p.mcu == mcu) return p;
        throw std::runtime_error("no such packet");
    };
    packet(4, 28).delivered = false;
    packet(2, 0).delivered = false;
    const ExpectedPicture e = expectedPicture(rec, 3);
    EXPECT_EQ(e.stateAt(28 * 8 + 3, 32 + 2), ExpectedPicture::Green);
    EXPECT_EQ(e.stateAt(27 * 8 + 3, 32 + 2), ExpectedPicture::Grey);
    EXPECT_EQ(e.at(14 * 8 + 3, 16 + 2), t.at(14 * 8 + 3, 16 + 2)); // scan 2 in its own rows
    EXPECT_EQ(e.at(14 * 8 + 3, 8 + 2), t.at(14 * 8 + 3, 8 + 2));
    EXPECT_EQ(e.stateAt(3, 16 + 2), ExpectedPicture::Green); // only its MCU-0 block is missing
    EXPECT_EQ(e.stateAt(40, 24 + 2), ExpectedPicture::Grey);

    // Scan 3's packets sent after scan 4 began: still in scan 3's rows.
    Recording late = rec;
    std::stable_partition(late.packets.begin(), late.packets.end(), [](const PacketRecord& p) {
        return !(p.channel == 3 && p.scan == 3 && p.mcu >= 98);
    });
    const ExpectedPicture l = expectedPicture(late, 3);
    for (int x = 0; x < t.width; x += 7)
        ASSERT_EQ(l.at(x, 24 + 5), t.at(x, 24 + 5)) << x;
}
