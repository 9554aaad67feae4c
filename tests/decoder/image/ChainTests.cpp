// Generated passes through the packet stage and the drawing stages, compared with the generator's
// ideal pictures.
#include "Synthesizer.h"

#include "fec/Randomization.h"
#include "image/CanalDrawThreadUnit.h"
#include "image/ImageControls.h"
#include "packets/LRPT_MPDUThreadUnit.h"

#include <gtest/gtest.h>

#include <array>
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

// Lost packets over midnight. A lost packet leaves a green band; when the lost packet is the
// first of its scan, the scan's other packets land in the strip of the scan before (only a
// packet with MCU number 0 starts a strip) and the scan's own rows stay untouched.
TEST(ImageChain, LostPacketsOverMidnight) {
    lrptsynth::SynthOptions o;
    o.channels = {1, 3};
    o.scans = 40;
    o.startTimeMs = 86400000 - 20000; // 23:59:40
    o.dropPacketRate = 0.04;
    o.seed = 5;
    const auto rec = lrptsynth::synthesize(o);
    DecodedPass pass(rec);
    EXPECT_EQ(pass.Errors, 0);

    int lost = 0;
    for (int c : o.channels) {
        // Expected picture: follow the strip rules over the packets that arrived.
        const auto& truth = rec.truth[c - 1];
        std::vector<std::vector<int>> rows(8 * o.scans + 8,
                                           std::vector<int>()); // per row: source scan per block, -1 green
        std::vector<int> buffer(196, -1);
        int firstScan = -1, row = 0;
        uint32_t stripTime = 0;
        auto writeOut = [&] {
            if (row >= 0 && row + 8 <= static_cast<int>(rows.size()))
                for (int y = 0; y < 8; ++y)
                    rows[row + y] = buffer;
            std::fill(buffer.begin(), buffer.end(), -1);
        };
        for (const auto& p : rec.packets) {
            if (p.channel != c) continue;
            if (!p.delivered) {
                ++lost;
                continue;
            }
            if (p.mcu == 0 && (firstScan < 0 || p.timeMs != stripTime)) {
                if (firstScan >= 0) writeOut();
                std::fill(buffer.begin(), buffer.end(), -1);
                if (firstScan < 0) firstScan = p.scan;
                row = 8 * (p.scan - firstScan);
                stripTime = p.timeMs;
            }
            for (int b = 0; b < 14; ++b)
                buffer[p.mcu + b] = p.scan;
        }
        writeOut();

        TBitmap24& pic = pass.Images[c - 1].Picture();
        for (int y = 0; y < static_cast<int>(rows.size()); ++y) {
            for (int x = 0; x < 1568; ++x) {
                TPixel24 want = x >= 1536 ? Red : Black; // a row no strip reached
                if (!rows[y].empty()) {
                    const int scan = rows[y][x / 8];
                    want = scan < 0 ? Green : Grey(truth.at(x, 8 * scan + y % 8));
                }
                ASSERT_EQ(pic.Pixel(x, y), want) << "channel " << c << " x " << x << " y " << y;
            }
            EXPECT_EQ(pic.Pixel(1568, y), rows[y].empty() ? Red : Green);
        }
        EXPECT_EQ(pass.Stages[c - 1]->LineCount(), row + 8);
    }
    EXPECT_GT(lost, 5);
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
