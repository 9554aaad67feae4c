#include "ImagePacketEncoder.h"

#include "image/Bitmap24.h"
#include "image/CanalDrawThreadUnit.h"
#include "image/ImageControls.h"
#include "image/MCUUnit.h"
#include "platform/Exceptions.h"
#include "platform/Streams.h"
#include "platform/SysUtils.h"
#include "stages/StepPatternThreadUnit.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

using namespace imagetest;
namespace fs = std::filesystem;

namespace {

constexpr TPixel24 Green{0, 255, 0};
constexpr TPixel24 Red{0, 0, 255};
constexpr TPixel24 Black{0, 0, 0};
constexpr uint32_t T0 = 36000000; // 10:00:00.000

TPixel24 Grey(uint8_t aLevel) {
    return TPixel24{aLevel, aLevel, aLevel};
}

std::string TempName(const std::string& aSuffix) {
    static int counter = 0;
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    return (fs::temp_directory_path() /
            ("tarnwick_image_" + std::string(info->name()) + "_" + std::to_string(++counter) + aSuffix))
        .string();
}

// Messages of a stage log, without the date-time prefix.
std::vector<std::string> LogMessages(const std::string& aFile) {
    std::vector<std::string> out;
    std::ifstream in(aFile, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t at = line.find(" - ");
        out.push_back(at == std::string::npos ? line : line.substr(at + 3));
    }
    return out;
}

Block FlatBlock(uint8_t aLevel) {
    Block b;
    for (auto& row : b)
        row.fill(aLevel);
    return b;
}

// One packet of aCount flat blocks; aDrawn receives the level the decoder must draw.
std::vector<uint8_t> FlatPacket(uint32_t aTime, int aMcu, uint8_t aLevel, int aChannel = 1, int aCount = 14,
                                uint8_t* aDrawn = nullptr) {
    std::vector<Block> expected;
    auto packet = EncodePacket(PacketSpec{aChannel, aTime, aMcu, 50, 0, 0},
                               std::vector<Block>(aCount, FlatBlock(aLevel)), &expected);
    if (aDrawn) *aDrawn = expected[0][0][0];
    return packet;
}

// A drawing stage driven by hand, without its thread.
// An image control that shows its whole picture, as the window's does, or only the decoded rows.
struct TTestImage : TBitmapImage {
    explicit TTestImage(bool aWhole) : Whole(aWhole) {}
    bool ShowsWholePicture() const override { return Whole; }
    bool Whole;
};

struct Channel {
    explicit Channel(int aNumChannel = 1, bool aLog = false, const char* aCaption = "0.5-0.7",
                     bool aWhole = true)
        : In("MPDU_64", true, true, nullptr), Progress(aCaption), Image(aWhole),
          LogFile(aLog ? TempName(".64.log") : ""),
          Stage(&In, nullptr, aNumChannel, LogFile, &Progress, &Image) {}
    ~Channel() {
        if (!LogFile.empty()) fs::remove(LogFile);
    }

    void Put(const std::vector<uint8_t>& aBytes) {
        ASSERT_EQ(In.Write(aBytes.data(), static_cast<int32_t>(aBytes.size())),
                  static_cast<int32_t>(aBytes.size()));
    }
    // Steps as the stage loop does until the step finds too little input; returns the errors seen.
    int Run() {
        int errors = 0;
        for (;;) {
            try {
                if (!Stage.DoStep(&In, nullptr)) return errors;
                In.ClearNotActualMemory();
            } catch (const Exception&) {
                ++errors;
            }
        }
    }
    TPixel24 At(int aX, int aY) { return Image.Picture().Pixel(aX, aY); }

    TSHORTstream In;
    TCaptionProgress Progress;
    TTestImage Image;
    std::string LogFile;
    TCanalDrawThread Stage;
};

// Row aY holds a strip drawn by flat packets covering columns [aFrom, aTo) with aLevel, green
// elsewhere up to column 1568, and the red band behind.
::testing::AssertionResult StripRow(Channel& aCh, int aY, int aFrom, int aTo, TPixel24 aLevel) {
    for (int x = 0; x < TCanalDrawThread::PictureWidth; ++x) {
        const TPixel24 want = x >= 1569 ? Red : (x >= aFrom && x < aTo) ? aLevel : Green;
        const TPixel24 got = aCh.At(x, aY);
        if (!(got == want))
            return ::testing::AssertionFailure()
                   << "row " << aY << " column " << x << ": got (" << int(got.Blue) << "," << int(got.Green)
                   << "," << int(got.Red) << ")";
    }
    return ::testing::AssertionSuccess();
}

// A row that no strip reached: black with the red band.
::testing::AssertionResult UntouchedRow(Channel& aCh, int aY) {
    for (int x = 0; x < TCanalDrawThread::PictureWidth; ++x) {
        const TPixel24 want = x >= 1536 ? Red : Black;
        if (!(aCh.At(x, aY) == want)) return ::testing::AssertionFailure() << "row " << aY << " column " << x;
    }
    return ::testing::AssertionSuccess();
}

uint32_t ReadLE32(const std::vector<uint8_t>& aData, size_t aAt) {
    return aData[aAt] | aData[aAt + 1] << 8 | aData[aAt + 2] << 16 | uint32_t(aData[aAt + 3]) << 24;
}

} // namespace

// ---------------------------------------------------------------- bitmap

TEST(Bitmap24, RowsArePaddedResizeKeepsContentAndPixelsAreBlueGreenRed) {
    TBitmap24 bmp(5, 3);
    EXPECT_EQ(bmp.BytesPerLine(), 16);
    EXPECT_EQ(bmp.Pixel(4, 2), Black);
    bmp.SetPixel(1, 2, TPixel24{1, 2, 3});
    EXPECT_EQ(bmp.ScanLine(2)[3], 1);
    EXPECT_EQ(bmp.ScanLine(2)[5], 3);
    EXPECT_EQ(bmp.Bits() + 2 * 16, bmp.ScanLine(2));

    bmp.SetHeight(6);
    EXPECT_EQ(bmp.Pixel(1, 2), (TPixel24{1, 2, 3}));
    EXPECT_EQ(bmp.Pixel(1, 5), Black);
    bmp.SetHeight(2);
    EXPECT_EQ(bmp.Height(), 2);
    EXPECT_THROW(bmp.Pixel(1, 2), std::out_of_range);
    bmp.SetSize(7, 4);
    bmp.SetPixel(0, 1, Red);
    bmp.SetSize(2, 4);
    EXPECT_EQ(bmp.Pixel(0, 1), Red);
    EXPECT_EQ(bmp.BytesPerLine(), 8);
    bmp.SetHeight(0);
    EXPECT_EQ(bmp.Height(), 0);
}

// A channel-sized picture takes its memory from the system: it starts black, keeps its rows
// across a change of height (also back below the size that takes that path), and a copy is its own.
TEST(Bitmap24, LargePictureStartsBlackResizesAndCopiesLikeASmallOne) {
    TBitmap24 bmp(1636, 6000);
    for (int y : {0, 2999, 5999})
        EXPECT_EQ(bmp.Pixel(1635, y), Black);
    bmp.SetPixel(3, 5999, Red);
    bmp.SetPixel(1635, 100, TPixel24{7, 8, 9});
    bmp.SetHeight(7000);
    EXPECT_EQ(bmp.Pixel(3, 5999), Red);
    EXPECT_EQ(bmp.Pixel(3, 6999), Black);
    TBitmap24 copy = bmp;
    copy.SetPixel(3, 5999, Black);
    EXPECT_EQ(bmp.Pixel(3, 5999), Red);
    bmp.SetHeight(200); // below the size served by the system
    EXPECT_EQ(bmp.Pixel(1635, 100), (TPixel24{7, 8, 9}));
    bmp.SetHeight(6000);
    EXPECT_EQ(bmp.Pixel(3, 5999), Black); // the rows cut off come back black
    EXPECT_EQ(copy.Pixel(1635, 100), (TPixel24{7, 8, 9}));
    TBitmap24 moved = std::move(copy);
    EXPECT_EQ(moved.Pixel(1635, 100), (TPixel24{7, 8, 9}));
}

TEST(Bitmap24, WidePenLineCoversItsColumnsAndIsClipped) {
    TBitmap24 bmp(1636, 40);
    bmp.DrawVerticalPenLine(1586, 1, 40, 100, Red);
    for (int y = 0; y < 40; ++y) {
        EXPECT_EQ(bmp.Pixel(1535, y), Black);
        EXPECT_EQ(bmp.Pixel(1536, y), Red);
        EXPECT_EQ(bmp.Pixel(1635, y), Red);
    }
    TBitmap24 small(10, 10);
    small.DrawVerticalPenLine(2, 4, 5, 3, Green);
    EXPECT_EQ(small.Pixel(1, 3), Green);
    EXPECT_EQ(small.Pixel(3, 6), Green);
    EXPECT_EQ(small.Pixel(1, 2), Black);
    EXPECT_EQ(small.Pixel(4, 4), Black);
    EXPECT_EQ(small.Pixel(0, 4), Black);
}

TEST(Bitmap24, BmpFileIsBottomUpWithPaddedRows) {
    TBitmap24 bmp(3, 2);
    bmp.SetPixel(0, 0, TPixel24{10, 20, 30});
    bmp.SetPixel(2, 1, TPixel24{40, 50, 60});
    const std::string name = TempName(".bmp");
    bmp.SaveToFile(name);
    std::ifstream in(name, std::ios::binary);
    std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    fs::remove(name);

    ASSERT_EQ(file.size(), 54u + 2 * 12);
    EXPECT_EQ(file[0], 'B');
    EXPECT_EQ(file[1], 'M');
    EXPECT_EQ(ReadLE32(file, 2), file.size());
    EXPECT_EQ(ReadLE32(file, 10), 54u);
    EXPECT_EQ(ReadLE32(file, 14), 40u);
    EXPECT_EQ(ReadLE32(file, 18), 3u);
    EXPECT_EQ(ReadLE32(file, 22), 2u);
    EXPECT_EQ(file[28], 24);
    EXPECT_EQ(ReadLE32(file, 30), 0u);
    // First stored row is the bottom one.
    const std::vector<uint8_t> bottom(file.begin() + 54, file.begin() + 66);
    const std::vector<uint8_t> top(file.begin() + 66, file.end());
    EXPECT_EQ(bottom, (std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 40, 50, 60, 0, 0, 0}));
    EXPECT_EQ(top, (std::vector<uint8_t>{10, 20, 30, 0, 0, 0, 0, 0, 0, 0, 0, 0}));

    EXPECT_THROW(bmp.SaveToFile((fs::temp_directory_path() / "no-such-dir" / "x.bmp").string()),
                 EStreamError);
}

// ---------------------------------------------------------------- tables and arithmetic

TEST(MCUTables, CodesAreTheStandardLuminanceCodes) {
    TSHORTstream in("in", true, true, nullptr);
    TMCU mcu(&in, 1);
    for (int cat = 0; cat < 16; ++cat) {
        const THufCode e = mcu.DCHuf()[cat];
        if (cat < 12) {
            EXPECT_EQ(e.Len, DCCodes()[cat].Len) << cat;
            EXPECT_EQ(e.Code, DCCodes()[cat].Bits) << cat;
        } else {
            EXPECT_EQ(e.Len, 0) << cat;
        }
    }
    int defined = 0;
    for (int run = 0; run < 16; ++run)
        for (int size = 0; size < 11; ++size) {
            const THufCode e = mcu.ACHuf()[run][size];
            const Code& want = ACCodes()[run << 4 | size];
            EXPECT_EQ(e.Len, want.Len) << run << "/" << size;
            if (want.Len) {
                EXPECT_EQ(e.Code, want.Bits) << run << "/" << size;
            }
            defined += e.Len != 0;
        }
    EXPECT_EQ(defined, 162);
    // Literal codes of the standard, in case both transcriptions went wrong the same way.
    EXPECT_EQ(mcu.DCHuf()[0].Len, 2);
    EXPECT_EQ(mcu.DCHuf()[0].Code, 0b00);
    EXPECT_EQ(mcu.DCHuf()[11].Len, 9);
    EXPECT_EQ(mcu.DCHuf()[11].Code, 0b111111110);
    EXPECT_EQ(mcu.ACHuf()[0][0].Len, 4);
    EXPECT_EQ(mcu.ACHuf()[0][0].Code, 0b1010);
    EXPECT_EQ(mcu.ACHuf()[15][0].Len, 11);
    EXPECT_EQ(mcu.ACHuf()[15][0].Code, 0b11111111001);
    EXPECT_EQ(mcu.ACHuf()[1][1].Code, 0b1100);
    EXPECT_EQ(mcu.ACHuf()[0][3].Code, 0b100);
    EXPECT_EQ(mcu.ACHuf()[15][10].Len, 16);
    EXPECT_EQ(mcu.ACHuf()[15][10].Code, 0xFFFE);
}

namespace {

// The plain search: one bit at a time, entries compared in index order after each bit.
struct BitwiseSearch {
    const std::vector<uint8_t>& Data;
    int64_t Pos = 0;
    int LastRun = 0, LastSize = 0;

    uint32_t Bit() {
        const int64_t byte = Pos >> 3;
        const uint8_t b = byte < static_cast<int64_t>(Data.size()) ? Data[byte] : 0;
        return b >> (7 - (Pos++ & 7)) & 1;
    }
    int DC(const THufCode (&aTable)[16]) {
        uint32_t code = 0;
        for (int len = 1; len <= 16; ++len) {
            code = code << 1 | Bit();
            for (int i = 0; i < 16; ++i)
                if (aTable[i].Len == len && aTable[i].Code == code) return i;
        }
        return 0;
    }
    void AC(const THufCode (&aTable)[16][11], int& aRun, int& aSize) {
        uint32_t code = 0;
        for (int len = 1; len <= 16; ++len) {
            code = code << 1 | Bit();
            for (int r = 0; r < 16; ++r)
                for (int s = 0; s < 11; ++s)
                    if (aTable[r][s].Len == len && aTable[r][s].Code == code) {
                        aRun = LastRun = r;
                        aSize = LastSize = s;
                        return;
                    }
        }
        aRun = LastRun;
        aSize = LastSize;
    }
};

} // namespace

TEST(MCUTables, LookupDecodingYieldsTheSymbolsOfTheBitwiseSearch) {
    TSHORTstream in("in", true, true, nullptr);
    TMCU mcu(&in, 1);
    std::mt19937 rng(1234);
    int fallbacksDC = 0, fallbacksAC = 0;
    for (int trial = 0; trial < 300; ++trial) {
        // Random bytes with runs of ones, which match no code, so the fall-backs are exercised.
        std::vector<uint8_t> data(200 + rng() % 200);
        for (auto& b : data)
            b = static_cast<uint8_t>(rng());
        for (int k = 0; k < 6; ++k) {
            const size_t at = rng() % data.size();
            for (size_t i = at; i < std::min(data.size(), at + 2 + rng() % 3); ++i)
                data[i] = 0xFF;
        }
        TMCUBitReader bits;
        bits.Reset(data.data(), static_cast<int64_t>(data.size()));
        BitwiseSearch ref{data};
        mcu.ResetACFallback();
        // Run past the end of the data too: missing bytes read as zeros.
        while (ref.Pos < static_cast<int64_t>(data.size()) * 8 + 64) {
            if (rng() % 4 == 0) {
                const int64_t before = ref.Pos;
                const int want = ref.DC(mcu.DCHuf());
                fallbacksDC += ref.Pos - before == 16 && want == 0;
                ASSERT_EQ(mcu.DecodeDC(bits), want) << "trial " << trial << " bit " << before;
            } else {
                const int64_t before = ref.Pos;
                int wr = -1, ws = -1, gr = -1, gs = -1;
                const int lastRun = ref.LastRun, lastSize = ref.LastSize;
                ref.AC(mcu.ACHuf(), wr, ws);
                fallbacksAC += ref.Pos - before == 16 && wr == lastRun && ws == lastSize;
                mcu.DecodeAC(bits, gr, gs);
                ASSERT_EQ(gr, wr) << "trial " << trial << " bit " << before;
                ASSERT_EQ(gs, ws) << "trial " << trial << " bit " << before;
            }
            ASSERT_EQ(bits.BitPosition(), ref.Pos);
            // Value bits between symbols, as in a block.
            const int extra = static_cast<int>(rng() % 12);
            uint32_t want = 0;
            for (int i = 0; i < extra; ++i)
                want = want << 1 | ref.Bit();
            ASSERT_EQ(bits.ReadBits(extra), want);
        }
    }
    EXPECT_GT(fallbacksDC, 20);
    EXPECT_GT(fallbacksAC, 20);
}

TEST(MCUArithmetic, QualityScalingRoundsTiesToEven) {
    EXPECT_EQ(TMCU::QualityScale(16), 312); // 312.5
    EXPECT_EQ(TMCU::QualityScale(48), 104); // 104.17
    EXPECT_EQ(TMCU::QualityScale(75), 50);
    TSHORTstream in("in", true, true, nullptr);
    TMCU mcu(&in, 1);
    mcu.ScaleQuant(75);
    EXPECT_EQ(mcu.Quant()[2][1], 6); // base 13: 6.5 -> 6
    EXPECT_EQ(mcu.Quant()[0][0], 8);
    for (int q : {1, 7, 16, 33, 50, 51, 75, 99, 100, 101, 255}) {
        mcu.ScaleQuant(q);
        const Coefficients want = QuantTable(q);
        for (int u = 0; u < 8; ++u)
            for (int v = 0; v < 8; ++v)
                ASSERT_EQ(mcu.Quant()[u][v], want[u][v]) << "Q " << q;
    }
    mcu.ScaleQuant(50);
    EXPECT_EQ(mcu.Quant()[0][0], 16);
    EXPECT_EQ(mcu.Quant()[7][7], 99);
    mcu.ScaleQuant(16);
    EXPECT_EQ(mcu.Quant()[0][0], 50); // 16 x 312 / 100 = 49.92
    for (int q : {100, 180}) {
        mcu.ScaleQuant(q);
        for (int u = 0; u < 8; ++u)
            for (int v = 0; v < 8; ++v)
                ASSERT_EQ(mcu.Quant()[u][v], 1);
    }
}

TEST(MCUArithmetic, SamplesRoundTiesToEvenAndClamp) {
    EXPECT_EQ(TMCU::SampleToByte(100.5 - 128), 100);
    EXPECT_EQ(TMCU::SampleToByte(101.5 - 128), 102);
    EXPECT_EQ(TMCU::SampleToByte(-3 - 128), 0);
    EXPECT_EQ(TMCU::SampleToByte(300 - 128), 255);
    EXPECT_EQ(TMCU::SampleToByte(254.6 - 128), 255);
    EXPECT_EQ(TMCU::SampleToByte(-0.4 - 128), 0);
}

// ---------------------------------------------------------------- drawing stage

TEST(CanalDraw, NewStageHasBlackPictureWithRedBandAndShowsNothing) {
    Channel ch;
    ASSERT_EQ(ch.Stage.Picture(), &ch.Image.Picture());
    EXPECT_EQ(ch.Image.Picture().Width(), 1636);
    EXPECT_EQ(ch.Image.Picture().Height(), 6000);
    for (int y : {0, 1, 2999, 5999})
        EXPECT_TRUE(UntouchedRow(ch, y));
    EXPECT_EQ(ch.Stage.FirstScanTime(), -1);
    EXPECT_EQ(ch.Stage.LineCount(), 0);
    EXPECT_FALSE(ch.Stage.DoStep(&ch.In, nullptr));
    ch.Stage.DoProgress();
    EXPECT_FALSE(ch.Image.Visible());
    EXPECT_EQ(ch.Progress.Caption(), "0.5-0.7");
    ch.Stage.WriteOutCurrentStrip(); // no strip has begun: nothing is written
    EXPECT_TRUE(UntouchedRow(ch, 0));
}

// Headless, the band is painted on rows only as the decoder reaches them, yet every row within
// LineCount is what the picture shown whole holds: strips, lost scans between them (counted
// before any strip below them is written), a late packet into a skipped scan, the last strip
// written out. Rows further down stay untouched, band and all.
TEST(CanalDraw, HeadlessPictureMatchesTheWholeOneWithinTheLineCount) {
    Channel whole, headless(1, false, "0.5-0.7", false);
    auto both = [&](const std::vector<uint8_t>& aPacket) {
        whole.Put(aPacket);
        headless.Put(aPacket);
        EXPECT_EQ(whole.Run(), 0);
        EXPECT_EQ(headless.Run(), 0);
    };
    auto same = [&](int aExpectedRows) {
        const int rows = headless.Stage.LineCount();
        EXPECT_EQ(rows, aExpectedRows);
        EXPECT_EQ(whole.Stage.LineCount(), rows);
        for (int y = 0; y < rows; ++y)
            for (int x = 0; x < TCanalDrawThread::PictureWidth; ++x)
                ASSERT_EQ(headless.At(x, y), whole.At(x, y)) << "row " << y << " column " << x;
        // (The strip being built may already have been written over the 8 rows after them.)
        for (int y : {rows + 8, rows + 15, 5999})
            for (int x : {0, 1536, 1600, 1635}) {
                ASSERT_EQ(headless.At(x, y), Black) << "row " << y << " column " << x;
                ASSERT_EQ(whole.At(x, y), x >= 1536 ? Red : Black) << "row " << y << " column " << x;
            }
    };
    same(0);
    both(FlatPacket(T0, 0, 40));
    same(0);
    both(FlatPacket(T0 + 3 * 1231, 0, 80)); // scans 1 and 2 lost
    same(24);
    both(FlatPacket(T0 + 1231, 14, 120)); // late, into lost scan 1
    same(24);
    both(FlatPacket(T0 + 6 * 1231, 28, 160));
    same(48);
    whole.Stage.WriteOutCurrentStrip();
    headless.Stage.WriteOutCurrentStrip();
    same(56);
    // The rows drawn: scans 0, 1 (the late packet), 3 and 6; scans 2, 4 and 5 are lost.
    for (Channel* ch : {&whole, &headless}) {
        const std::vector<uint8_t> drawn = ch->Stage.RowsDrawn();
        for (size_t y = 0; y < 64; ++y) {
            const size_t scan = y / 8;
            EXPECT_EQ(y < drawn.size() && drawn[y] != 0, scan == 0 || scan == 1 || scan == 3 || scan == 6)
                << "row " << y;
        }
    }
}

// Whole scans of an encoded scene come out exactly as an independent decoder of the same
// coefficients draws them, and close to the scene itself.
TEST(CanalDraw, EncodedScansDecodePixelExact) {
    Channel ch;
    const int qualities[] = {16, 50, 75, 90, 100};
    const int scans = 5;
    std::vector<std::vector<uint8_t>> expected(scans + 1, std::vector<uint8_t>(8 * 1568));
    for (int s = 0; s <= scans; ++s) {
        const int q = qualities[s % 5];
        for (int p = 0; p < 14; ++p) {
            std::vector<Block> blocks(14), drawn;
            for (int b = 0; b < 14; ++b)
                for (int y = 0; y < 8; ++y)
                    for (int x = 0; x < 8; ++x)
                        blocks[b][y][x] = Scene(112 * p + 8 * b + x, 8 * s + y, 7);
            ch.Put(EncodePacket(PacketSpec{1, T0 + 1231 * s, 14 * p, q, 0, 0}, blocks, &drawn));
            for (int b = 0; b < 14; ++b)
                for (int y = 0; y < 8; ++y)
                    for (int x = 0; x < 8; ++x)
                        expected[s][y * 1568 + 112 * p + 8 * b + x] = drawn[b][y][x];
        }
    }
    EXPECT_EQ(ch.Run(), 0);
    EXPECT_EQ(ch.Stage.FirstScanTime(), static_cast<int32_t>(T0));
    EXPECT_EQ(ch.Stage.LineCount(), 8 * scans);
    double errorAtQ100 = 0;
    for (int s = 0; s < scans; ++s)
        for (int y = 0; y < 8; ++y) {
            for (int x = 0; x < 1568; ++x) {
                const uint8_t want = expected[s][y * 1568 + x];
                ASSERT_EQ(ch.At(x, 8 * s + y), Grey(want)) << "scan " << s << " row " << y << " column " << x;
                if (qualities[s % 5] == 100) errorAtQ100 += std::abs(want - Scene(x, 8 * s + y, 7));
            }
            EXPECT_EQ(ch.At(1568, 8 * s + y), Green);
            EXPECT_EQ(ch.At(1569, 8 * s + y), Red);
        }
    EXPECT_LT(errorAtQ100 / (8 * 1568), 1.0);
    // The last scan is still in the strip buffer.
    EXPECT_TRUE(UntouchedRow(ch, 8 * scans));
}

TEST(CanalDraw, MissingBlocksAndPacketsStayGreen) {
    Channel ch;
    uint8_t level = 0, levelB = 0;
    ch.Put(FlatPacket(T0, 0, 60, 1, 14, &level));
    // Packet 14 is missing. Packet 28 ends inside its fifth block: the block is finished from the
    // byte after the packet (byte 0 of the next packet, which nothing else examines), and then
    // the decoder stops because it has read past the packet, leaving nine blocks green.
    BitWriter bits;
    int32_t prev = 0;
    const Coefficients quant = QuantTable(50);
    for (int b = 0; b < 5; ++b)
        EncodeBlock(bits, ForwardQuantised(FlatBlock(60), quant), prev);
    std::vector<uint8_t> data = bits.Bytes();
    const uint8_t carried = data.back();
    data.pop_back();
    ch.Put(WrapPacket(PacketSpec{1, T0, 28, 50, 0, 0}, data));
    auto packetB = FlatPacket(T0, 42, 100, 1, 14, &levelB);
    packetB[0] = carried;
    ch.Put(packetB);
    ch.Put(FlatPacket(T0 + 1231, 0, 200));
    EXPECT_EQ(ch.Run(), 0);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 1636; ++x) {
            const TPixel24 want = x >= 1569                  ? Red
                                  : x < 112                  ? Grey(level)
                                  : x >= 224 && x < 224 + 40 ? Grey(level)
                                  : x >= 336 && x < 448      ? Grey(levelB)
                                                             : Green;
            ASSERT_EQ(ch.At(x, y), want) << x << "," << y;
        }
}

TEST(CanalDraw, StripsArePlacedByRoundedScanPeriods) {
    Channel ch;
    struct Scan {
        uint32_t Time;
        uint8_t Level;
    };
    const uint32_t t3 = T0 + 1231 + 2462;
    const std::vector<Scan> scans = {
        {T0, 40},               // rows 0..7
        {T0 + 1231, 60},        // one period: rows 8..15
        {t3, 80},               // two periods: rows 16..23 left alone, strip at 24..31
        {t3 + 500, 100},        // below half a period: still 8 rows down (32..39), time taken as t + 1231
        {t3 + 500 + 2462, 120}, // one period after t + 1231: rows 40..47
        {t3 + 500 + 2462 - 3 * 1231, 140}, // three periods back: late, drawn at once at rows 16..23
        {t3 + 500 + 2462 - 2 * 1231, 160}, // late, over rows 24..31
        {t3 + 500 + 2462 + 1231, 180},     // the strip after rows 40..47
    };
    std::vector<uint8_t> drawn(scans.size());
    for (size_t i = 0; i < scans.size(); ++i)
        ch.Put(FlatPacket(scans[i].Time, 0, scans[i].Level, 1, 14, &drawn[i]));
    EXPECT_EQ(ch.Run(), 0);

    for (int y = 0; y < 8; ++y) {
        EXPECT_TRUE(StripRow(ch, 0 + y, 0, 112, Grey(drawn[0])));
        EXPECT_TRUE(StripRow(ch, 8 + y, 0, 112, Grey(drawn[1])));
        // A late packet touches only its own columns; the rest of a row no strip reached stays.
        for (int x = 0; x < 1636; ++x)
            ASSERT_EQ(ch.At(x, 16 + y), x < 112 ? Grey(drawn[5]) : x >= 1536 ? Red : Black) << x;
        EXPECT_TRUE(StripRow(ch, 24 + y, 0, 112, Grey(drawn[6])));
        EXPECT_TRUE(StripRow(ch, 32 + y, 0, 112, Grey(drawn[3])));
        EXPECT_TRUE(StripRow(ch, 40 + y, 0, 112, Grey(drawn[4])));
        EXPECT_TRUE(UntouchedRow(ch, 48 + y)); // the strip being built
    }
    EXPECT_EQ(ch.Stage.FirstScanTime(), static_cast<int32_t>(T0));
    // The strip being built starts (3693 + 500 + 2462 + 1231) ms after the first, taken as
    // 1231 ms later for the short step: 7886 / 1231.14 rounds to 6.
    EXPECT_EQ(ch.Stage.ScanCount(), 6);
    EXPECT_EQ(ch.Stage.LineCount(), 48);
}

// A scan whose MCU-0 packet was lost still begins its own strip with its first packet that
// arrives, and a packet of an earlier scan arriving late goes to that scan's rows.
TEST(CanalDraw, EveryPacketGoesToTheRowsOfItsOwnTimeStamp) {
    Channel ch;
    uint8_t a = 0, b = 0, c = 0, d = 0, e = 0;
    ch.Put(FlatPacket(T0, 0, 40, 1, 14, &a));
    ch.Put(FlatPacket(T0 + 1231, 28, 80, 1, 14, &b));  // scan 1 without its MCU-0 packet: rows 8..15
    ch.Put(FlatPacket(T0, 14, 120, 1, 14, &c));        // scan 0, late: rows 0..7, columns 112..223
    ch.Put(FlatPacket(T0 + 1231, 0, 160, 1, 14, &d));  // scan 1's MCU-0 packet after all
    ch.Put(FlatPacket(T0 + 2462, 42, 200, 1, 14, &e)); // scan 2 without its MCU-0 packet
    EXPECT_EQ(ch.Run(), 0);
    ch.Stage.WriteOutCurrentStrip();
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 1569; ++x) {
            ASSERT_EQ(ch.At(x, y), x < 112 ? Grey(a) : x < 224 ? Grey(c) : Green) << x;
            ASSERT_EQ(ch.At(x, 8 + y), x < 112 ? Grey(d) : x >= 224 && x < 336 ? Grey(b) : Green) << x;
            ASSERT_EQ(ch.At(x, 16 + y), x >= 336 && x < 448 ? Grey(e) : Green) << x;
        }
    EXPECT_EQ(ch.Stage.LineCount(), 24);
}

TEST(CanalDraw, MidnightIsTakenAsTheNextDay) {
    Channel ch;
    const uint32_t late = 86400000 - 1000; // 23:59:59.000
    uint8_t levels[3] = {};
    ch.Put(FlatPacket(late, 0, 40, 1, 14, &levels[0]));
    ch.Put(FlatPacket(late + 1231 - 86400000, 0, 80, 1, 14, &levels[1])); // 00:00:00.231
    ch.Put(FlatPacket(late + 2462 - 86400000, 0, 120, 1, 14, &levels[2]));
    ch.Put(FlatPacket(late + 3693 - 86400000, 0, 160));
    EXPECT_EQ(ch.Run(), 0);
    for (int s = 0; s < 3; ++s)
        for (int y = 0; y < 8; ++y)
            EXPECT_TRUE(StripRow(ch, 8 * s + y, 0, 112, Grey(levels[s])));
    EXPECT_EQ(ch.Stage.FirstScanTime(), static_cast<int32_t>(late));
    EXPECT_EQ(ch.Stage.ScanCount(), 3);
    EXPECT_EQ(ch.Stage.LineCount(), 24);
    ch.Stage.DoProgress();
    EXPECT_EQ(ch.Progress.Caption(), "0.5-0.7 (00:00:02.693)");
}

// A first scan stamped exactly 00:00:00.000 is a scan, not "nothing yet": its rows are drawn and
// the next scan goes below it.
TEST(CanalDraw, FirstScanAtMidnightIsDrawn) {
    Channel ch;
    uint8_t levels[2] = {};
    ch.Put(FlatPacket(0, 0, 40, 1, 14, &levels[0]));
    ch.Put(FlatPacket(1231, 0, 80, 1, 14, &levels[1]));
    ch.Put(FlatPacket(2462, 0, 120));
    EXPECT_EQ(ch.Run(), 0);
    for (int s = 0; s < 2; ++s)
        for (int y = 0; y < 8; ++y)
            EXPECT_TRUE(StripRow(ch, 8 * s + y, 0, 112, Grey(levels[s])));
    EXPECT_EQ(ch.Stage.FirstScanTime(), 0);
    EXPECT_EQ(ch.Stage.ScanCount(), 2);
    EXPECT_EQ(ch.Stage.LineCount(), 16);
}

TEST(CanalDraw, LastStripReachesThePictureWhenWrittenOut) {
    Channel ch;
    uint8_t a = 0, b = 0;
    ch.Put(FlatPacket(T0, 0, 40, 1, 14, &a));
    ch.Put(FlatPacket(T0 + 1231, 0, 80, 1, 14, &b));
    EXPECT_EQ(ch.Run(), 0);
    EXPECT_TRUE(UntouchedRow(ch, 8));
    EXPECT_EQ(ch.Stage.LineCount(), 8);
    ch.Stage.WriteOutCurrentStrip();
    for (int y = 0; y < 8; ++y) {
        EXPECT_TRUE(StripRow(ch, y, 0, 112, Grey(a)));
        EXPECT_TRUE(StripRow(ch, 8 + y, 0, 112, Grey(b)));
    }
    EXPECT_EQ(ch.Stage.LineCount(), 16);
    EXPECT_EQ(ch.Stage.ScanCount(), 1);

    // Writing out early does no harm: packets of the same scan still arrive and the regular
    // write-out of the strip later holds all of them.
    ch.Put(FlatPacket(T0 + 1231, 14, 120));
    ch.Put(FlatPacket(T0 + 2462, 0, 160));
    EXPECT_EQ(ch.Run(), 0);
    EXPECT_EQ(ch.Stage.LineCount(), 16);
    uint8_t c = 0;
    FlatPacket(0, 0, 120, 1, 1, &c);
    for (int x = 112; x < 224; ++x)
        EXPECT_EQ(ch.At(x, 12), Grey(c));
    EXPECT_EQ(ch.At(5, 12), Grey(b));
    EXPECT_EQ(ch.At(300, 12), Green);
}

TEST(CanalDraw, StripsOutsideThePictureAreDropped) {
    Channel ch;
    uint8_t a = 0, b = 0;
    ch.Put(FlatPacket(T0, 0, 40, 1, 14, &a));
    ch.Put(FlatPacket(T0 + 749 * 1231, 0, 80, 1, 14, &b)); // rows 5992..5999
    ch.Put(FlatPacket(T0 + 750 * 1231, 0, 120));           // rows 6000..: not written
    ch.Put(FlatPacket(T0 + 751 * 1231, 0, 160));
    ch.Put(FlatPacket(T0 - 5 * 1231, 0, 200)); // far above the picture
    ch.Put(FlatPacket(T0 - 4 * 1231, 0, 220));
    EXPECT_EQ(ch.Run(), 0);
    for (int y = 0; y < 8; ++y) {
        EXPECT_TRUE(StripRow(ch, y, 0, 112, Grey(a)));
        EXPECT_TRUE(StripRow(ch, 5992 + y, 0, 112, Grey(b)));
    }
    EXPECT_TRUE(UntouchedRow(ch, 5991));

    // A smaller picture put in place of the channel's is written only within its bounds.
    TBitmap24 small(100, 10);
    ch.Stage.SetPicture(&small);
    ch.Put(FlatPacket(T0, 0, 40));
    ch.Put(FlatPacket(T0 + 1231, 0, 40)); // writes the strip at row 0 (back at the first scan)
    ch.Put(FlatPacket(T0 + 2462, 0, 40)); // writes rows 8..15, of which 8 and 9 exist
    EXPECT_EQ(ch.Run(), 0);
    EXPECT_EQ(small.Pixel(99, 9), Grey(a));
    ch.Stage.SetPicture(&ch.Image.Picture());
}

TEST(CanalDraw, PacketArrivingInPiecesIsDecodedOnceWholeWithoutEarlierLogLines) {
    Channel ch(1, true);
    std::vector<Block> blocks(14), drawn;
    for (int b = 0; b < 14; ++b)
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 8; ++x)
                blocks[b][y][x] = Scene(8 * b + x, y, 3);
    const auto packet = EncodePacket(PacketSpec{1, T0, 0, 80, 0, 0}, blocks, &drawn);
    const auto next = FlatPacket(T0 + 1231, 0, 10);
    ASSERT_GT(packet.size(), 100u);
    ch.Put(std::vector<uint8_t>(packet.begin(), packet.begin() + 10));
    EXPECT_FALSE(ch.Stage.DoStep(&ch.In, nullptr));
    ch.Put(std::vector<uint8_t>(packet.begin() + 10, packet.begin() + 30));
    EXPECT_TRUE(ch.Stage.DoStep(&ch.In, nullptr));
    EXPECT_EQ(ch.In.Position(), 0);
    EXPECT_EQ(ch.Stage.MCU().NeedAddLen(), static_cast<int32_t>(packet.size()) - 16);
    EXPECT_FALSE(ch.Stage.DoStep(&ch.In, nullptr));
    ch.Put(std::vector<uint8_t>(packet.begin() + 30, packet.end() - 1));
    EXPECT_FALSE(ch.Stage.DoStep(&ch.In, nullptr));
    EXPECT_FALSE(fs::exists(ch.LogFile));
    EXPECT_EQ(ch.Stage.FirstScanTime(), -1);

    ch.Put(std::vector<uint8_t>(packet.end() - 1, packet.end()));
    EXPECT_TRUE(ch.Stage.DoStep(&ch.In, nullptr));
    EXPECT_EQ(ch.In.Position(), static_cast<int64_t>(packet.size()));
    EXPECT_EQ(ch.Stage.MCU().NeedAddLen(), 0);
    EXPECT_EQ(LogMessages(ch.LogFile).size(), 3u);
    ch.Put(next);
    EXPECT_EQ(ch.Run(), 0);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 112; ++x)
            ASSERT_EQ(ch.At(x, y), Grey(drawn[x / 8][y][x % 8]));
}

TEST(CanalDraw, ForeignChannelFailsTheStepAndGarbageApidIsLogged) {
    Channel ch(2, true);
    // 12 bytes that look like packet starts: channel 1 (foreign), then an APID byte of no channel.
    std::vector<uint8_t> junk(12, 0);
    junk[1] = 0x40;
    junk[7] = 0x99;
    ch.Put(junk);
    uint8_t level = 0;
    ch.Put(FlatPacket(T0, 0, 90, 2, 14, &level));
    ch.Put(FlatPacket(T0 + 1231, 0, 90, 2));
    try {
        ch.Stage.DoStep(&ch.In, nullptr);
        FAIL() << "a foreign packet must fail the step";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "NumChannel error");
    }
    EXPECT_EQ(ch.In.Position(), 6);
    EXPECT_FALSE(fs::exists(ch.LogFile));
    EXPECT_THROW(ch.Stage.DoStep(&ch.In, nullptr), Exception);
    EXPECT_EQ(ch.In.Position(), 12);
    EXPECT_EQ(LogMessages(ch.LogFile), std::vector<std::string>{"Ошибка декодирования"});
    EXPECT_EQ(ch.Run(), 0);
    for (int y = 0; y < 8; ++y)
        EXPECT_TRUE(StripRow(ch, y, 0, 112, Grey(level)));
}

TEST(CanalDraw, LogLinesTellPacketsAndStrips) {
    Channel ch(1, true);
    auto p1 = EncodePacket(PacketSpec{1, T0, 0, 50, 0x1234, 0}, std::vector<Block>(14, FlatBlock(50)));
    auto p2 = EncodePacket(PacketSpec{1, T0, 14, 50, 7, 0}, std::vector<Block>(14, FlatBlock(50)));
    auto p3 = EncodePacket(PacketSpec{1, T0 + 500, 0, 75, 7, 0}, std::vector<Block>(14, FlatBlock(50)));
    auto p4 = EncodePacket(PacketSpec{1, T0 + 500, 14, 0, 7, 0}, std::vector<Block>(14, FlatBlock(50)));
    auto p5 = EncodePacket(PacketSpec{1, T0 + 500, 183, 50, 7, 0}, std::vector<Block>(14, FlatBlock(50)));
    for (const auto* p : {&p1, &p2, &p3, &p4, &p5})
        ch.Put(*p);
    EXPECT_EQ(ch.Run(), 0);
    const auto size = [](const std::vector<uint8_t>& p) { return std::to_string(p.size() - 6); };
    const std::vector<std::string> want = {
        "конец скана ...  count=1 0 36000000 0",
        "Ch=1 size=" + size(p1) + " tt=10:00:00.000 x=0 Q.f=4660 Q.v=50",
        "xt=14",
        "Ch=1 size=" + size(p2) + " tt=10:00:00.000 x=112 Q.f=7 Q.v=50",
        "xt=14",
        "конец скана ...  count=2 0 36001731 " + std::to_string(p1.size() + p2.size() - 12),
        "Ch=1 size=" + size(p3) + " tt=10:00:01.731 x=0 Q.f=7 Q.v=75",
        "xt=14",
        "Ch=1 size=" + size(p4) + " tt=10:00:00.500 x=112 Q.f=7 Q.v=0",
        "Ch=1 size=" + size(p5) + " tt=10:00:00.500 x=1464 Q.f=7 Q.v=50",
    };
    EXPECT_EQ(LogMessages(ch.LogFile), want);
    // Q 0 and MCU 183 decode nothing.
    ch.Stage.WriteOutCurrentStrip();
    EXPECT_EQ(ch.At(112, 8), Green);
    EXPECT_EQ(ch.At(1464, 8), Green);
    EXPECT_EQ(ch.At(1567, 8), Green);
}

TEST(CanalDraw, BadEntropyDataSpoilsOnlyItsOwnPacket) {
    Channel ch;
    std::mt19937 rng(99);
    std::vector<uint8_t> garbage(300);
    for (auto& b : garbage)
        b = static_cast<uint8_t>(rng());
    std::vector<uint8_t> ones(40, 0xFF); // matches no code: fall-backs all the way
    uint8_t a = 0, b = 0, c = 0;
    ch.Put(WrapPacket(PacketSpec{1, T0, 0, 50, 0, 0}, garbage));
    ch.Put(FlatPacket(T0, 14, 70, 1, 14, &a));
    ch.Put(WrapPacket(PacketSpec{1, T0, 28, 50, 0, 0}, ones));
    ch.Put(FlatPacket(T0, 42, 110, 1, 14, &b));
    ch.Put(WrapPacket(PacketSpec{1, T0, 56, 50, 0, 0}, std::vector<uint8_t>(1, 0x00))); // runs past its end
    ch.Put(FlatPacket(T0, 70, 150, 1, 14, &c));
    ch.Put(FlatPacket(T0 + 1231, 0, 10));
    EXPECT_EQ(ch.Run(), 0);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 112; ++x) {
            ASSERT_EQ(ch.At(112 + x, y), Grey(a));
            ASSERT_EQ(ch.At(336 + x, y), Grey(b));
            ASSERT_EQ(ch.At(560 + x, y), Grey(c));
        }
}

TEST(CanalDraw, ProgressCaptionShowsTheLatestStripStartOncePerTick) {
    Channel ch(1, false, "10.5 - 11.5");
    ch.Put(FlatPacket(T0 + 42, 0, 50));
    ch.Put(FlatPacket(T0 + 42, 14, 50));
    EXPECT_EQ(ch.Run(), 0);
    EXPECT_EQ(ch.Progress.Tag(), 1);
    ch.Stage.DoProgress();
    EXPECT_EQ(ch.Progress.Caption(), "10.5 - 11.5 (10:00:00.042)");
    EXPECT_EQ(ch.Progress.Tag(), 0);
    EXPECT_TRUE(ch.Image.Visible());

    ch.Image.SetVisible(false);
    ch.Stage.DoProgress(); // nothing new
    EXPECT_FALSE(ch.Image.Visible());
    EXPECT_EQ(ch.Progress.Caption(), "10.5 - 11.5 (10:00:00.042)");

    ch.Put(FlatPacket(T0 + 42 + 1231, 0, 50));
    ch.Put(FlatPacket(T0 + 42 + 2462, 0, 50));
    EXPECT_EQ(ch.Run(), 0);
    ch.Stage.DoProgress();
    EXPECT_EQ(ch.Progress.Caption(), "10.5 - 11.5 (10:00:02.504)");
    EXPECT_TRUE(ch.Image.Visible());
}

// The stage on its own thread, fed while it runs, as in a session.
TEST(CanalDraw, RunningStageDrawsWhatArrives) {
    Channel ch;
    ch.Stage.Start();
    std::vector<uint8_t> drawn(10);
    for (int s = 0; s < 10; ++s) {
        for (int p = 0; p < 14; ++p) {
            uint8_t level = 0;
            ch.Put(FlatPacket(T0 + 1231 * s, 14 * p, static_cast<uint8_t>(20 + 20 * s), 1, 14, &level));
            drawn[s] = level;
        }
        ch.Stage.DoProgress();
    }
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (ch.In.AwaitingReadSize() > 0 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    StopStage(ch.Stage);
    ch.Stage.WriteOutCurrentStrip();
    EXPECT_EQ(ch.In.AwaitingReadSize(), 0);
    for (int s = 0; s < 10; ++s)
        for (int y = 0; y < 8; ++y)
            EXPECT_TRUE(StripRow(ch, 8 * s + y, 0, 1568, Grey(drawn[s])));
    EXPECT_EQ(ch.Stage.LineCount(), 80);
}

// A log that cannot be written costs its lines, not the packets: each step decodes its packet.
TEST(CanalDraw, UnwritableLogLosesLinesButNoPacket) {
    TSHORTstream in("MPDU_64", true, true, nullptr);
    TCaptionProgress progress("0.5-0.7");
    TBitmapImage image;
    TCanalDrawThread stage(&in, nullptr, 1, (fs::temp_directory_path() / "no-such-dir" / "x.64.log").string(),
                           &progress, &image);
    const auto a = FlatPacket(T0, 0, 40);
    const auto b = FlatPacket(T0, 14, 40);
    in.Write(a.data(), static_cast<int32_t>(a.size()));
    in.Write(b.data(), static_cast<int32_t>(b.size()));
    EXPECT_TRUE(stage.DoStep(&in, nullptr));
    EXPECT_EQ(in.Position(), static_cast<int64_t>(a.size()));
    EXPECT_TRUE(stage.DoStep(&in, nullptr));
    EXPECT_EQ(in.Position(), static_cast<int64_t>(a.size() + b.size()));
    EXPECT_GT(stage.LostLogLines(), 0);
    stage.WriteOutCurrentStrip();
    EXPECT_EQ(image.Picture().Pixel(0, 0), image.Picture().Pixel(8 * 14, 7)); // both packets drawn
    EXPECT_NE(image.Picture().Pixel(8 * 14, 7).Green, 255);                   // not the missing-block green
}
