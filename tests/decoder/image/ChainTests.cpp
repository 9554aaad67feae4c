// Generated passes through the packet stage and the drawing stages, compared with the generator's
// ideal pictures.
#include "Synthesizer.h"

#include "fec/Randomization.h"
#include "image/CanalDrawThreadUnit.h"
#include "image/ImageControls.h"
#include "packets/LRPT_MPDUThreadUnit.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

namespace {

constexpr TPixel24 Green{0, 255, 0};
constexpr TPixel24 Red{0, 0, 255};
constexpr TPixel24 Black{0, 0, 0};

struct DecodedPass {
    explicit DecodedPass(const lrptsynth::Recording& aRec) : Frames("RSStream", true, true, nullptr) {
        TMPDUThread packets(&Frames, &Apids, "");
        // The transmitted frames, derandomised; the transfer frame is the 892 bytes behind the marker.
        for (size_t at = 0; at + 1024 <= aRec.sentCadus.size(); at += 1024) {
            std::array<uint8_t, 1020> frame;
            std::copy(aRec.sentCadus.begin() + at + 4, aRec.sentCadus.begin() + at + 1024, frame.begin());
            Derandomize(frame.data(), true);
            Frames.Write(frame.data(), 892);
        }
        while (packets.DoStepMultiOut(&Frames, &Apids))
            Frames.ClearNotActualMemory();

        for (int c : aRec.options.channels) {
            TSHORTstream* in = Apids[63 + c];
            Stages[c - 1] =
                std::make_unique<TCanalDrawThread>(in, nullptr, c, "", &Progress[c - 1], &Images[c - 1]);
            for (;;) {
                try {
                    if (!Stages[c - 1]->DoStep(in, nullptr)) break;
                    in->ClearNotActualMemory();
                } catch (const std::exception&) {
                    ++Errors;
                }
            }
            Stages[c - 1]->WriteOutCurrentStrip();
        }
    }

    TSHORTstream Frames;
    TSHORTStreams Apids;
    std::array<TCaptionProgress, 6> Progress;
    std::array<TBitmapImage, 6> Images;
    std::array<std::unique_ptr<TCanalDrawThread>, 6> Stages;
    int Errors = 0;
};

TPixel24 Grey(uint8_t aLevel) {
    return TPixel24{aLevel, aLevel, aLevel};
}

} // namespace

TEST(ImageChain, CleanPassEqualsTheIdealPictures) {
    lrptsynth::SynthOptions o;
    o.channels = {1, 2, 5};
    o.scans = 12;
    o.varyQuality = true;
    o.seed = 11;
    const auto rec = lrptsynth::synthesize(o);
    DecodedPass pass(rec);
    EXPECT_EQ(pass.Errors, 0);
    for (int c : o.channels) {
        const auto& truth = rec.truth[c - 1];
        TBitmap24& pic = pass.Images[c - 1].Picture();
        ASSERT_EQ(truth.height, 8 * o.scans);
        for (int y = 0; y < truth.height; ++y) {
            for (int x = 0; x < 1568; ++x)
                ASSERT_EQ(pic.Pixel(x, y), Grey(truth.at(x, y)))
                    << "channel " << c << " x " << x << " y " << y;
            ASSERT_EQ(pic.Pixel(1568, y), Green);
            ASSERT_EQ(pic.Pixel(1569, y), Red);
        }
        EXPECT_EQ(pic.Pixel(0, truth.height), Black);
        EXPECT_EQ(pass.Stages[c - 1]->FirstScanTime(), static_cast<int32_t>(o.startTimeMs));
        EXPECT_EQ(pass.Stages[c - 1]->LineCount(), truth.height);
    }
}

// Lost packets over midnight, first packets of scans among them: every packet that arrives is
// drawn at the rows of its own scan, a lost one leaves a green band, and no scan loses its strip.
TEST(ImageChain, LostPacketsOverMidnight) {
    lrptsynth::SynthOptions o;
    o.channels = {1, 3};
    o.scans = 40;
    o.startTimeMs = 86400000 - 20000; // 23:59:40
    o.dropPacketRate = 0.12;
    o.seed = 5;
    const auto rec = lrptsynth::synthesize(o);
    DecodedPass pass(rec);
    EXPECT_EQ(pass.Errors, 0);

    int lost = 0, lostFirst = 0;
    for (int c : o.channels) {
        const auto& truth = rec.truth[c - 1];
        TBitmap24& pic = pass.Images[c - 1].Picture();
        int firstScan = -1, lastScan = -1;
        for (const auto& p : rec.packets) {
            if (p.channel != c) continue;
            if (!p.delivered) {
                ++lost;
                lostFirst += p.mcu == 0;
                continue;
            }
            if (firstScan < 0) firstScan = p.scan;
            lastScan = p.scan;
            // Each delivered block where the ideal picture has it.
            for (int y = 0; y < 8; ++y)
                for (int x = 8 * p.mcu; x < 8 * p.mcu + 112; ++x)
                    ASSERT_EQ(pic.Pixel(x, 8 * (p.scan - firstScan) + y), Grey(truth.at(x, 8 * p.scan + y)))
                        << "channel " << c << " scan " << p.scan << " x " << x << " y " << y;
        }
        // And everything else as the generator's model of the strip rules draws it.
        const lrptsynth::ExpectedPicture want = lrptsynth::expectedPicture(rec, c);
        ASSERT_EQ(want.height, 8 * (lastScan - firstScan + 1));
        for (int y = 0; y < want.height; ++y)
            for (int x = 0; x < 1568; ++x) {
                const TPixel24 expected =
                    want.stateAt(x, y) == lrptsynth::ExpectedPicture::Grey    ? Grey(want.at(x, y))
                    : want.stateAt(x, y) == lrptsynth::ExpectedPicture::Green ? Green
                                                                              : (x >= 1536 ? Red : Black);
                ASSERT_EQ(pic.Pixel(x, y), expected) << "channel " << c << " x " << x << " y " << y;
            }
        EXPECT_EQ(pass.Stages[c - 1]->LineCount(),
                  8 * (lastScan - firstScan + 1)); // the last strip written out
    }
    EXPECT_GT(lost, 50);
    EXPECT_GT(lostFirst, 3);
}

namespace {

// Mean absolute difference of horizontally neighbouring pixels, across block edges and inside blocks.
void EdgeStatistics(const TBitmap24& aPic, int aRows, double& aAcross, double& aInside) {
    double across = 0, inside = 0;
    int64_t nAcross = 0, nInside = 0;
    for (int y = 0; y < aRows; ++y) {
        const uint8_t* row = aPic.ScanLine(y);
        if (row[1] == 255 && row[0] == 0) continue; // a green first block: nothing decoded there
        for (int x = 0; x + 1 < 1568; ++x) {
            const int a = row[3 * x], b = row[3 * x + 3];
            if (row[3 * x + 1] != a || row[3 * x + 4] != b) continue; // green on either side
            ((x % 8 == 7) ? across : inside) += std::abs(a - b);
            ++((x % 8 == 7) ? nAcross : nInside);
        }
    }
    aAcross = nAcross ? across / nAcross : 0;
    aInside = nInside ? inside / nInside : 0;
}

} // namespace

// Frames of a real pass: no ground truth, but the pictures must come out without errors and
// without block edges standing out, which any mistake in the coefficient order, the tables or
// the transform would cause.
TEST(ImageChain, RealPassDecodesToSmoothPictures) {
    std::ifstream in(LRPT_REAL_CADU, std::ios::binary);
    ASSERT_TRUE(in) << LRPT_REAL_CADU;
    lrptsynth::Recording rec;
    rec.sentCadus.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    // These frames carry no pseudo-random sequence: put it on, the pass takes it off again.
    for (size_t at = 0; at + 1024 <= rec.sentCadus.size(); at += 1024)
        Derandomize(&rec.sentCadus[at + 4], true);
    rec.options.channels = {1, 2, 3};
    DecodedPass pass(rec);
    EXPECT_EQ(pass.Errors, 0);
    for (int c = 1; c <= 3; ++c) {
        TCanalDrawThread& stage = *pass.Stages[c - 1];
        EXPECT_GT(stage.FirstScanTime(), 0);
        const int rows = stage.LineCount();
        EXPECT_GT(rows, 100) << "channel " << c;
        double across = 0, inside = 0;
        EdgeStatistics(pass.Images[c - 1].Picture(), rows, across, inside);
        std::printf("channel %d: %d rows, mean step across block edges %.2f, inside blocks %.2f\n", c, rows,
                    across, inside);
        EXPECT_GT(inside, 0.5) << "channel " << c;
        EXPECT_LT(across, 2.0 * inside + 1.0) << "channel " << c;
    }
}

// Packets of a real pass dropped at 5 % and 12 %, first packets of scans among them: every block
// of a packet that arrives is drawn exactly where the whole pass draws it (rows by its own time
// stamp, counted from each run's first scan).
TEST(ImageChain, RealPassWithLostPacketsKeepsEveryArrivingBlockInPlace) {
    std::ifstream in(LRPT_REAL_CADU, std::ios::binary);
    ASSERT_TRUE(in) << LRPT_REAL_CADU;
    lrptsynth::Recording rec;
    rec.sentCadus.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    for (size_t at = 0; at + 1024 <= rec.sentCadus.size(); at += 1024)
        Derandomize(&rec.sentCadus[at + 4], true);
    rec.options.channels = {};
    DecodedPass pass(rec); // packets only

    struct Packet {
        std::vector<uint8_t> Bytes;
        int64_t Time;
        int Mcu;
    };
    for (int c = 1; c <= 3; ++c) {
        TSHORTstream& apid = *pass.Apids[63 + c];
        std::vector<uint8_t> all(static_cast<size_t>(apid.AwaitingReadSize()));
        apid.Read(all.data(), static_cast<int32_t>(all.size()));
        std::vector<Packet> packets;
        for (size_t at = 0; at + 20 <= all.size();) {
            const size_t len = 6 + (((all[at + 4] << 8) | all[at + 5]) & 0x3FFF) + 1;
            if (at + len > all.size()) break;
            packets.push_back(
                {std::vector<uint8_t>(all.begin() + static_cast<std::ptrdiff_t>(at),
                                      all.begin() + static_cast<std::ptrdiff_t>(at + len)),
                 int64_t{all[at + 8]} << 24 | all[at + 9] << 16 | all[at + 10] << 8 | all[at + 11],
                 all[at + 14]});
            at += len;
        }
        ASSERT_GT(packets.size(), 1000u);

        // Draws the kept packets; returns the stage (its picture and first scan time).
        auto draw = [&](const std::vector<bool>& aKeep, TBitmapImage& aImage) {
            TSHORTstream stream("MPDU", true, true, nullptr);
            TCaptionProgress progress("x");
            auto stage = std::make_unique<TCanalDrawThread>(&stream, nullptr, c, "", &progress, &aImage);
            for (size_t i = 0; i < packets.size(); ++i)
                if (aKeep[i])
                    stream.Write(packets[i].Bytes.data(), static_cast<int32_t>(packets[i].Bytes.size()));
            while (stage->DoStep(&stream, nullptr))
                stream.ClearNotActualMemory();
            stage->WriteOutCurrentStrip();
            const int32_t first = stage->FirstScanTime();
            StopStage(*stage);
            return first;
        };
        TBitmapImage whole;
        const int32_t wholeFirst = draw(std::vector<bool>(packets.size(), true), whole);

        for (const double rate : {0.05, 0.12}) {
            std::vector<bool> keep(packets.size());
            uint64_t state =
                0x9E3779B97F4A7C15ull * static_cast<uint64_t>(c) + static_cast<uint64_t>(rate * 1000);
            int lostFirst = 0;
            for (size_t i = 0; i < packets.size(); ++i) {
                state = state * 6364136223846793005ull + 1442695040888963407ull;
                keep[i] = static_cast<double>(state >> 11) / 9007199254740992.0 >= rate;
                lostFirst += !keep[i] && packets[i].Mcu == 0;
            }
            EXPECT_GT(lostFirst, 0);
            TBitmapImage part;
            const int32_t partFirst = draw(keep, part);
            int64_t misplaced = 0, checked = 0;
            for (size_t i = 0; i < packets.size(); ++i) {
                if (!keep[i] || packets[i].Mcu > 182) continue;
                auto row = [&](int32_t aFirst) {
                    return 8 * static_cast<int>(std::nearbyint((packets[i].Time - aFirst) / 1231.14));
                };
                for (int y = 0; y < 8; ++y)
                    for (int x = 8 * packets[i].Mcu; x < 8 * packets[i].Mcu + 112 && x < 1568; ++x) {
                        ++checked;
                        misplaced += !(part.Picture().Pixel(x, row(partFirst) + y) ==
                                       whole.Picture().Pixel(x, row(wholeFirst) + y));
                    }
            }
            std::printf(
                "channel %d, %.0f %% of %zu packets lost (%d first of a scan): %lld of %lld pixels of "
                "arriving packets misplaced\n",
                c, 100 * rate, packets.size(), lostFirst, static_cast<long long>(misplaced),
                static_cast<long long>(checked));
            EXPECT_EQ(misplaced, 0) << "channel " << c << " rate " << rate;
        }
    }
}
