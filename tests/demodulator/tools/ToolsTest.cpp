#include "../app/WavFiles.h"

#include "tools/Fft.h"
#include "tools/Rrcmain.h"
#include "tools/Waveinfo.h"

#include <cmath>
#include <gtest/gtest.h>

using namespace wavtest;

namespace {

TEST(RrcTest, DefaultListing) {
    const std::vector<std::string> l = RrcListing(0.4, 2, 512);
    ASSERT_EQ(l.size(), 2 + 15 + 3 + 15 + 4 + 15 + 4u);
    EXPECT_EQ(l[0], "");
    EXPECT_EQ(l[2], "h(0) = 0.0106264");
    EXPECT_EQ(l[3], "h(1) = -0.0112205");
    EXPECT_EQ(l[4], "h(2) = 0.0060080");
    EXPECT_EQ(l[9], "h(7) = 0.7843909");
    EXPECT_EQ(l[18], "sum = 1.4247087");
    EXPECT_EQ(l[19], "");
    EXPECT_EQ(l[37], "sum = 1.0000000");
    EXPECT_EQ(l[38], "Actual coefficients.");
    const char* scaled[15] = {"3.82",   "-4.03",  "2.16",   "13.90", "-29.36", "-23.67", "152.26", "281.89",
                              "152.22", "-23.69", "-29.35", "13.91", "2.16",   "-4.03",  "3.82"};
    for (int i = 0; i < 15; ++i)
        EXPECT_EQ(l[39 + i], "h(" + std::to_string(i) + ") = " + scaled[i]);
    EXPECT_EQ(l[55], "sum = 512.0");
    EXPECT_EQ(l.back(), "");
}

TEST(RrcTest, UndefinedTapsAreSaidNotListed) {
    const std::vector<std::string> l = RrcListing(0.4, 0, 512);
    ASSERT_EQ(l.size(), 3u);
    EXPECT_NE(l[2].find("No finite taps"), std::string::npos);
    // t = -6.9999 ... never hits 0, but alpha 0 makes d zero for every tap.
    EXPECT_EQ(RrcListing(0, 2, 512).size(), 3u);
}

std::vector<std::string> Listing(const std::vector<uint8_t>& aWav) {
    const std::string path = WriteFile("info.wav", aWav);
    std::FILE* f = std::fopen(path.c_str(), "rb");
    TWavFormat fmt;
    ParseWavHeader(f, fmt);
    std::fseek(f, 0, SEEK_SET);
    std::vector<std::string> l = WaveInfoListing(f, fmt);
    std::fclose(f);
    return l;
}

TEST(WaveInfoTest, CanonicalFile) {
    const std::vector<std::string> l = Listing(Wav(4, std::vector<uint8_t>(40)));
    const std::vector<std::string> expected = {"HEADER CHUNK",
                                               "   Chunk ID = RIFF",
                                               "   Chunk Size = 76",
                                               "   File Format = WAVE",
                                               "",
                                               "SUB-CHUNK 1",
                                               "   Chunk ID = fmt ",
                                               "   Chunk Size = 16",
                                               "   AudioFormat = 1",
                                               "   NumChannels = 2",
                                               "   SampleRate = 196078Hz",
                                               "   ByteRate = 784312Hz",
                                               "   BlockAlign = 4",
                                               "   BitsPerSample = 16",
                                               "",
                                               "SUB-CHUNK 2",
                                               "   Chunk ID = data",
                                               "   Chunk Size = 40"};
    EXPECT_EQ(l, expected);
}

TEST(WaveInfoTest, ExtraParameterAuxiliaryChunkAndMissingData) {
    std::vector<std::string> l = Listing(Wav(4, {}, 18));
    EXPECT_EQ(l[14], "   ExtraParameter = 8721"); // bytes 0x11 0x22
    EXPECT_EQ(l[17], "   Chunk ID = data");

    std::vector<uint8_t> auxi(72, 0);
    const int32_t values[5] = {137, 2048, -12, 2, -5};
    for (int k = 0; k < 5; ++k)
        for (int b = 0; b < 4; ++b)
            auxi[32 + 4 * k + b] = uint8_t(uint32_t(values[k]) >> (8 * b));
    l = Listing(Wav(4, {}, 16, {{"auxi", auxi}}));
    const std::vector<std::string> sub2(l.begin() + 14, l.end());
    const std::vector<std::string> expected = {"",
                                               "SUB-CHUNK 2",
                                               "   Chunk ID = auxi",
                                               "   Chunk Size = 72",
                                               "   Center Freq = 137MHz",
                                               "   ADC Freq = 2048MHz",
                                               "   IF Freq = -12MHz",
                                               "   Bandwidth = 2MHz",
                                               "   DC offset = -5 cnts",
                                               "",
                                               "SUB-CHUNK 3",
                                               "   Chunk ID = data",
                                               "   Chunk Size = 0"};
    EXPECT_EQ(sub2, expected);

    // Another size is skipped without decoding.
    l = Listing(Wav(4, {}, 16, {{"auxi", std::vector<uint8_t>(70)}}));
    EXPECT_EQ(l[17], "   Chunk Size = 70");
    EXPECT_EQ(l[20], "   Chunk ID = data");

    // "data" as sub-chunk 5 ends normally; as sub-chunk 6 it is missing.
    const std::vector<Chunk> three = {
        {"LIST", {}}, {"junk", std::vector<uint8_t>(3)}, {"fact", std::vector<uint8_t>(4)}};
    l = Listing(Wav(4, {}, 16, three));
    EXPECT_EQ(l.back(), "   Chunk Size = 0");
    EXPECT_EQ(l[l.size() - 3], "SUB-CHUNK 5");
    std::vector<Chunk> four = three;
    four.push_back({"more", {}});
    l = Listing(Wav(4, {}, 16, four));
    EXPECT_EQ(l.back(), "DATA CHUNK MISSING!!! 6");
    EXPECT_EQ(l[l.size() - 4], "SUB-CHUNK 5");
    EXPECT_EQ(l[l.size() - 3], "   Chunk ID = more");
}

TEST(SpectrumTest, GridNumbers) {
    TSpectrumAnalyser::TGrid g = TSpectrumAnalyser::GridFor(2);
    EXPECT_EQ(g.Dx, 256);
    EXPECT_EQ(g.X0, 255);
    const TPixelMap m = TSpectrumAnalyser::EmptyImage(g);
    for (int x : {255, 511, 767, 1023})
        EXPECT_EQ(m.At(x, 4), colours::Grid) << x;
    EXPECT_EQ(m.At(254, 4), colours::Black);
    EXPECT_EQ(m.At(600, 275), colours::Grid);
    EXPECT_EQ(m.At(7, 25), colours::Grid);
    EXPECT_EQ(m.At(8, 25), colours::Black);
    g = TSpectrumAnalyser::GridFor(20);
    EXPECT_EQ(g.Dx, 25);
    EXPECT_EQ(g.X0, 11);
    g = TSpectrumAnalyser::GridFor(16);
    EXPECT_EQ(g.Dx, 32);
    EXPECT_EQ(g.X0, 31);
}

void Fill(ProbeBuffer& p, int32_t (*f)(int)) {
    p.Restart();
    for (int i = 0; i < ProbeBuffer::Size; ++i)
        p.Append(f(i));
}

TEST(SpectrumTest, FirstEightCapturesOnlyFillTheHistory) {
    TSpectrumAnalyser a;
    ProbeBuffer p;
    std::vector<TSpectrumAnalyser::TPlot> plots;
    p.Append(5);
    EXPECT_FALSE(a.Trace(p, plots));
    EXPECT_EQ(a.TraceCount(), 0);
    EXPECT_EQ(p.ProbeCount(), 1);
    for (int n = 0; n < 8; ++n) {
        Fill(p, [](int) { return 0; });
        EXPECT_TRUE(a.Trace(p, plots));
        EXPECT_TRUE(plots.empty());
        EXPECT_EQ(p.ProbeCount(), 0);
    }
    EXPECT_EQ(a.TraceCount(), 8);
    // The ninth draws: a constant 0 lies on the axis in time and spectrum.
    Fill(p, [](int) { return 0; });
    ASSERT_TRUE(a.Trace(p, plots));
    ASSERT_EQ(plots.size(), 2 * 1023u);
    for (const auto& pl : plots)
        EXPECT_EQ(pl.Y, 275);
}

TEST(SpectrumTest, ToneLandsInItsBinAfterTheAverage) {
    TSpectrumAnalyser a;
    ProbeBuffer p;
    std::vector<TSpectrumAnalyser::TPlot> plots;
    // Bin 64 of 1024, amplitude 100; eight equal captures average to the same.
    for (int n = 0; n < 9; ++n) {
        Fill(p, [](int i) { return int32_t(std::lround(100 * std::cos(2 * M_PI * 64 * i / 1024))); });
        a.Trace(p, plots);
    }
    int bestX = -1, bestY = 10000;
    for (const auto& pl : plots)
        if (pl.Colour == TSpectrumAnalyser::SpectrumColour && pl.Y < bestY) bestY = pl.Y, bestX = pl.X;
    EXPECT_TRUE(bestX == 512 + 64 || bestX == 1024 - 64 - 512) << bestX;
    // |X| = 100 x 512 x 0.54 x 0.625^10 ~ 251: 100 log10 = 240 above the axis.
    EXPECT_NEAR(275 - bestY, 100 * std::log10(100 * 512 * 0.54 * std::pow(0.625, 10)), 3);
}

TEST(SpectrumTest, TransformOfAnImpulseIsFlatWithTheStageFactor) {
    std::array<std::complex<double>, 1024> x{};
    x[0] = 1;
    TSpectrumAnalyser::Transform(x);
    for (const auto& v : x)
        EXPECT_NEAR(std::abs(v), std::pow(0.625, 10), 1e-12);
    EXPECT_DOUBLE_EQ(TSpectrumAnalyser::Window()[512], 1.0);
    EXPECT_DOUBLE_EQ(TSpectrumAnalyser::Window()[511], 1.0);
    EXPECT_NEAR(TSpectrumAnalyser::Window()[1023], 0.54 + 0.46 * std::cos(511 * 6.283185307179586 / 1023),
                1e-15);
}

} // namespace
