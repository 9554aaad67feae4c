// The input layer: one signal written in every encoding and form reads back as the same frames,
// in whatever pieces it is read; inputs that cannot be demodulated are refused by name.
#include "WavFiles.h"

#include "Synthesizer.h"
#include "app/RunLoop.h"
#include "app/SampleSource.h"
#include "app/WavInput.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <thread>
#include <tuple>
#include <unistd.h>

using namespace wavtest;

namespace {

// 20,000 frames (two whole blocks and a partial one) of a tone plus pseudo-random values, both
// ends of the 16-bit range included.
std::vector<int16_t> Signal() {
    std::vector<int16_t> s(40000);
    uint32_t x = 12345;
    for (size_t k = 0; k < s.size(); ++k) {
        x = x * 1664525u + 1013904223u;
        const double tone = 20000 * std::sin(0.01 * double(k / 2) + (k % 2 ? 1.5 : 0));
        s[k] = int16_t(std::clamp(tone + double(int32_t(x >> 20) - 2048), -32768.0, 32767.0));
    }
    s[100] = -32768, s[101] = 32767, s[102] = 0, s[103] = -1;
    return s;
}

// The signal in a libsndfile container: integers left-justified, floats as v / 32768.
std::string WriteSnd(const std::string& aName, int aFormat, const std::vector<int16_t>& aSamples,
                     int aChannels = 2) {
    const std::string path = TempPath(aName);
    SF_INFO info{};
    info.samplerate = 196078;
    info.channels = aChannels;
    info.format = aFormat;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    EXPECT_NE(f, nullptr) << aName << ": " << sf_strerror(nullptr);
    if (!f) return path;
    const sf_count_t frames = sf_count_t(aSamples.size()) / aChannels;
    const int sub = aFormat & SF_FORMAT_SUBMASK;
    if (sub == SF_FORMAT_FLOAT || sub == SF_FORMAT_DOUBLE) {
        std::vector<double> d(aSamples.begin(), aSamples.end());
        for (double& v : d)
            v /= 32768.0;
        EXPECT_EQ(sf_writef_double(f, d.data(), frames), frames);
    } else {
        std::vector<int> d(aSamples.size());
        for (size_t k = 0; k < d.size(); ++k)
            d[k] = int(uint32_t(int32_t(aSamples[k])) << 16);
        EXPECT_EQ(sf_writef_int(f, d.data(), frames), frames);
    }
    sf_close(f);
    return path;
}

std::string WriteHeaderless(const std::string& aName, const std::vector<int16_t>& aSamples) {
    std::vector<uint8_t> b;
    const std::string ext = aName.substr(aName.rfind('.') + 1);
    for (int16_t v : aSamples) {
        if (ext == "cu8") b.push_back(uint8_t((v >> 8) + 128));
        if (ext == "cs8") b.push_back(uint8_t(int8_t(v >> 8)));
        if (ext == "cs16") Le(b, uint16_t(v), 2);
        if (ext == "cf32") {
            const float f = float(v) / 32768.0f;
            uint32_t u;
            std::memcpy(&u, &f, 4);
            Le(b, u, 4);
        }
    }
    return WriteFile(aName, b);
}

TSampleSource Open(const std::string& aPath, int64_t aRate = 0, bool aSwap = false,
                   TInputForm aForm = TInputForm::Auto) {
    TSourceOptions o;
    o.Path = aPath;
    o.RateHz = aRate;
    o.SwapIq = aSwap;
    o.Form = aForm;
    return TSampleSource(o);
}

std::vector<ReceiverFrame> ReadAllModel(TSampleSource& s, bool aModelSwap = false) {
    std::vector<ReceiverFrame> out;
    ReceiverBlock block;
    while (int n = s.ReadModelBlock(block, aModelSwap))
        out.insert(out.end(), block.Frames.begin(), block.Frames.begin() + n);
    return out;
}

std::vector<std::complex<float>> ReadAllComplex(TSampleSource& s, int aPiece = 5000) {
    std::vector<std::complex<float>> out;
    std::vector<std::complex<float>> piece(static_cast<size_t>(aPiece));
    while (int n = s.ReadComplex(piece.data(), aPiece))
        out.insert(out.end(), piece.begin(), piece.begin() + n);
    return out;
}

bool Same(const ReceiverFrame& a, const ReceiverFrame& b) {
    return a.I == b.I && a.Q == b.Q;
}
bool Same(const std::vector<ReceiverFrame>& a, const std::vector<ReceiverFrame>& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](auto& x, auto& y) { return Same(x, y); });
}

// The model's frames of a 16-bit file of these samples, as its WAV reader has always made them.
std::vector<ReceiverFrame> OldModelFrames(const std::vector<int16_t>& aSamples) {
    std::vector<uint8_t> data;
    for (int16_t v : aSamples)
        Le(data, uint16_t(v), 2);
    TWavInput in;
    EXPECT_TRUE(in.Open(WriteFile("old.wav", Wav(4, data))));
    std::vector<ReceiverFrame> out;
    ReceiverBlock block;
    while (int n = in.ReadBlock(block, false))
        out.insert(out.end(), block.Frames.begin(), block.Frames.begin() + n);
    return out;
}

std::string RefusalOf(const std::function<void()>& aOpen) {
    try {
        aOpen();
    } catch (const TInputError& e) {
        return e.what();
    }
    return "(accepted)";
}

} // namespace

TEST(SampleSourceTest, EveryEncodingAndFormGivesTheFramesOfTheSixteenBitFile) {
    const std::vector<int16_t> s = Signal();
    const std::vector<ReceiverFrame> old = OldModelFrames(s);
    ASSERT_EQ(old.size(), s.size() / 2);
    // The top byte only, for the 8-bit encodings.
    std::vector<int16_t> top(s);
    for (int16_t& v : top)
        v = int16_t((v >> 8) * 256);
    const std::vector<ReceiverFrame> oldTop = OldModelFrames(top);

    struct TCase {
        std::string Name;
        int Format; // 0: headerless
        bool EightBit;
    };
    const std::vector<TCase> cases = {
        {"s16.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, false},
        {"u8.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_U8, true},
        {"s24.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, false},
        {"s32.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_32, false},
        {"f32.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, false},
        {"f64.wav", SF_FORMAT_WAV | SF_FORMAT_DOUBLE, false},
        {"ext16.wav", SF_FORMAT_WAVEX | SF_FORMAT_PCM_16, false},
        {"extf32.wav", SF_FORMAT_WAVEX | SF_FORMAT_FLOAT, false},
        {"s24.rf64", SF_FORMAT_RF64 | SF_FORMAT_PCM_24, false},
        {"s32.w64", SF_FORMAT_W64 | SF_FORMAT_PCM_32, false},
        {"f64.w64", SF_FORMAT_W64 | SF_FORMAT_DOUBLE, false},
        {"a.cu8", 0, true},
        {"a.cs8", 0, true},
        {"a.cs16", 0, false},
        {"a.cf32", 0, false},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::string path = c.Format ? WriteSnd(c.Name, c.Format, s) : WriteHeaderless(c.Name, s);
        TSampleSource model = Open(path, c.Format ? 0 : 196078);
        EXPECT_EQ(model.SampleRate(), 196078);
        EXPECT_EQ(model.TotalFrames(), int64_t(s.size() / 2));
        const std::vector<ReceiverFrame> frames = ReadAllModel(model);
        EXPECT_TRUE(Same(frames, c.EightBit ? oldTop : old));
        EXPECT_EQ(model.FramesRead(), int64_t(s.size() / 2));

        // I is the first channel, full scale at +-1.
        TSampleSource complex = Open(path, c.Format ? 0 : 196078);
        const std::vector<std::complex<float>> z = ReadAllComplex(complex);
        const std::vector<int16_t>& want = c.EightBit ? top : s;
        ASSERT_EQ(z.size(), s.size() / 2);
        int wrong = 0;
        for (size_t n = 0; n < z.size(); ++n)
            wrong +=
                z[n] != std::complex<float>(float(want[2 * n]) / 32768.0f, float(want[2 * n + 1]) / 32768.0f);
        EXPECT_EQ(wrong, 0);
    }
}

TEST(SampleSourceTest, EightBitIsUnsignedWithZeroAt128) {
    const std::string path = WriteFile("bytes.cu8", {0x80, 0x80, 0x00, 0xFF, 0xFF, 0x01});
    TSampleSource model = Open(path, 1000);
    const std::vector<ReceiverFrame> f = ReadAllModel(model);
    ASSERT_EQ(f.size(), 3u);
    // 16-bit scale (v - 128) x 256, / 8; the model's I is the second channel.
    EXPECT_TRUE(Same(f[0], ReceiverFrame{0, 0}));
    EXPECT_TRUE(Same(f[1], ReceiverFrame{127 * 32, -128 * 32}));
    EXPECT_TRUE(Same(f[2], ReceiverFrame{-127 * 32, 127 * 32}));
    TSampleSource complex = Open(path, 1000);
    const std::vector<std::complex<float>> z = ReadAllComplex(complex);
    ASSERT_EQ(z.size(), 3u);
    EXPECT_EQ(z[1], std::complex<float>(-1.0f, 127.0f / 128));
    // A WAV's 8-bit samples are the same encoding.
    std::vector<uint8_t> wav = Wav(2, {0x00, 0xFF});
    wav[34] = 8; // bits per sample
    TSampleSource w = Open(WriteFile("bytes.wav", wav));
    EXPECT_EQ(w.Encoding(), TSampleEncoding::U8);
    const std::vector<ReceiverFrame> wf = ReadAllModel(w);
    ASSERT_EQ(wf.size(), 1u);
    EXPECT_TRUE(Same(wf[0], ReceiverFrame{127 * 32, -128 * 32}));
}

TEST(SampleSourceTest, SwapExchangesTheChannelsForBothReadersAndTheModelsSwapUndoesIt) {
    const std::string path = WriteFile("swap.cs16", {0x10, 0x00, 0xF0, 0xFF}); // (16, -16)
    TSampleSource plain = Open(path, 1000), swapped = Open(path, 1000, true);
    EXPECT_TRUE(Same(ReadAllModel(plain)[0], ReceiverFrame{-2, 2}));
    EXPECT_TRUE(Same(ReadAllModel(swapped)[0], ReceiverFrame{2, -2}));
    TSampleSource both = Open(path, 1000, true);
    EXPECT_TRUE(Same(ReadAllModel(both, true)[0], ReceiverFrame{-2, 2}));
    TSampleSource zs = Open(path, 1000, true);
    EXPECT_EQ(ReadAllComplex(zs)[0], std::complex<float>(-16.0f / 32768, 16.0f / 32768));
}

// Reading in pieces of any size, and switching between the two readers, continues exactly where
// the last read stopped.
TEST(SampleSourceTest, PiecesOfAnySizeGiveTheSameStream) {
    const std::vector<int16_t> s = Signal();
    for (const std::string& path :
         {WriteSnd("pieces.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, s), WriteHeaderless("pieces.cf32", s)}) {
        SCOPED_TRACE(path);
        TSampleSource whole = Open(path, 196078);
        const std::vector<std::complex<float>> want = ReadAllComplex(whole, 40000);
        ASSERT_EQ(want.size(), s.size() / 2);
        TSampleSource cut = Open(path, 196078);
        std::vector<std::complex<float>> got;
        const int sizes[] = {1, 7, 8191, 8193, 0, 3};
        std::vector<std::complex<float>> piece(9000);
        for (int k = 0; got.size() < want.size(); ++k) {
            const int n = cut.ReadComplex(piece.data(), sizes[k % 6]);
            got.insert(got.end(), piece.begin(), piece.begin() + n);
            if (k == 2) { // one model block in between
                ReceiverBlock block;
                const int m = cut.ReadModelBlock(block, false);
                ASSERT_EQ(m, ReceiverBlock::FrameCount);
                for (int j = 0; j < m; ++j) {
                    const std::complex<float> z = want[got.size() + size_t(j)];
                    ASSERT_EQ(block.Frames[size_t(j)].I, int32_t(std::lround(z.imag() * 32768)) / 8);
                }
                got.insert(got.end(), want.begin() + std::ptrdiff_t(got.size()),
                           want.begin() + std::ptrdiff_t(got.size()) + m);
            }
        }
        EXPECT_TRUE(got == want);
        EXPECT_EQ(cut.ReadComplex(piece.data(), 100), 0);
        EXPECT_FALSE(cut.WaitForData());
    }
}

// A seek to any frame, forwards or back, also after the end, makes the next read start at that
// frame of the stream, for the containers and the headerless forms alike; a seek beyond the end
// stops at the end.
TEST(SampleSourceTest, SeekLandsOnTheFrameInEveryForm) {
    const std::vector<int16_t> s = Signal();
    const int64_t total = int64_t(s.size() / 2);
    for (const std::string& path :
         {WriteSnd("seek.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, s),
          WriteSnd("seek.wav8", SF_FORMAT_WAV | SF_FORMAT_PCM_U8, s),
          WriteSnd("seek.rf64", SF_FORMAT_RF64 | SF_FORMAT_FLOAT, s), WriteHeaderless("seek.cu8", s),
          WriteHeaderless("seek.cs16", s), WriteHeaderless("seek.cf32", s)}) {
        SCOPED_TRACE(path);
        TSampleSource whole =
            Open(path, 196078, false, path.ends_with(".wav8") ? TInputForm::Wav : TInputForm::Auto);
        const std::vector<ReceiverFrame> all = ReadAllModel(whole);
        ASSERT_EQ(int64_t(all.size()), total);
        TSampleSource in =
            Open(path, 196078, false, path.ends_with(".wav8") ? TInputForm::Wav : TInputForm::Auto);
        ReceiverBlock block;
        for (int64_t to : {int64_t(12345), int64_t(7), total - 3, int64_t(0), total, total + 50}) {
            SCOPED_TRACE(to);
            if (to == 0) ReadAllModel(in); // from the end
            in.SeekFrame(to);
            const int64_t at = std::min(to, total);
            EXPECT_EQ(in.FramesRead(), at);
            const int n = in.ReadModelBlock(block, false);
            ASSERT_EQ(n, int(std::min<int64_t>(ReceiverBlock::FrameCount, total - at)));
            EXPECT_TRUE(Same(std::vector<ReceiverFrame>(block.Frames.begin(), block.Frames.begin() + n),
                             std::vector<ReceiverFrame>(all.begin() + at, all.begin() + at + n)));
            EXPECT_EQ(in.FramesRead(), at + n);
        }
        in.SeekFrame(-5);
        EXPECT_EQ(in.FramesRead(), 0);
    }
    // Standard input cannot go back: refused by name, and the position stays.
    TSourceOptions o;
    o.Path = "-";
    o.Form = TInputForm::Cu8;
    o.RateHz = 1000;
    TSampleSource pipe(o);
    EXPECT_FALSE(pipe.CanSeek());
    const std::string why = RefusalOf([&] { pipe.SeekFrame(0); });
    EXPECT_EQ(why.rfind("standard input: ", 0), 0u) << why;
    EXPECT_EQ(pipe.FramesRead(), 0);
}

// What the window shows of an input: its time from the frames read, its first frame's offset and,
// without RIFF chunks to list, a summary.
TEST(SampleSourceTest, TimeOffsetAndSummary) {
    EXPECT_EQ(FrameTimeText(110250, 44100), " 00:02:500");
    EXPECT_EQ(FrameTimeText(int64_t(196078) * 3600 * 2, 196078), " 120:00:000"); // beyond 99 minutes

    std::vector<uint8_t> data(400);
    TSampleSource wav = Open(WriteFile("offset.wav", Wav(4, data, 18, {{"LIST", std::vector<uint8_t>(26)}})));
    EXPECT_EQ(wav.DataOffset(), 44 + 2 + 34);
    TSampleSource rf64 = Open(WriteSnd("offset.rf64", SF_FORMAT_RF64 | SF_FORMAT_PCM_16, Signal()));
    EXPECT_EQ(rf64.DataOffset(), -1);
    EXPECT_EQ(rf64.Summary()[0], "RF64 FILE");
    TSampleSource raw = Open(WriteFile("summary.cs8", data), 2048000);
    EXPECT_EQ(raw.DataOffset(), 0);
    const std::vector<std::string> lines = raw.Summary();
    EXPECT_EQ(lines[0], "HEADERLESS I/Q");
    EXPECT_NE(std::find(lines.begin(), lines.end(), "   Frames = 200"), lines.end());
}

TEST(SampleSourceTest, UnusableInputsAreRefusedInOneLineNamingTheFile) {
    const std::vector<int16_t> s(2000, 100);
    const std::string mono = WriteSnd("mono.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, s, 1);
    const std::string adpcm = WriteSnd("adpcm.wav", SF_FORMAT_WAV | SF_FORMAT_IMA_ADPCM, s);
    const std::string gsm = WriteSnd("gsm.wav", SF_FORMAT_WAV | SF_FORMAT_GSM610, s, 1);
    const std::string aiff = WriteSnd("pass.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, s);
    const std::string four = WriteSnd("four.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, s, 4);
    std::vector<uint8_t> tag11 = Wav(4, std::vector<uint8_t>(400));
    tag11[20] = 0x11; // IMA ADPCM's format tag on a PCM-sized header
    const std::string badTag = WriteFile("tag11.wav", tag11);
    const std::string unknown = WriteHeaderless("a.cs16", s);
    std::filesystem::copy_file(unknown, TempPath("pass.iq"),
                               std::filesystem::copy_options::overwrite_existing);
    const std::string empty = WriteFile("empty.cu8", {});
    const std::string half = WriteFile("half.cf32", {1, 2, 3});
    std::filesystem::create_directories(TempPath("folder.wav"));

    struct TCase {
        std::string Path;
        std::function<void()> Open;
        std::string Says;
    };
    const std::vector<TCase> cases = {
        {mono, [&] { Open(mono); }, "1 channel of 16-bit signed integer"},
        {four, [&] { Open(four); }, "4 channels"},
        {adpcm, [&] { Open(adpcm); }, "IMA ADPCM"},
        {gsm, [&] { Open(gsm); }, "GSM 6.10"},
        {badTag, [&] { Open(badTag); }, "format tag 0x0011"},
        {aiff, [&] { Open(aiff, 0, false, TInputForm::Wav); }, "AIFF"},
        {TempPath("pass.iq"), [&] { Open(TempPath("pass.iq"), 1000); }, "--input-format"},
        {unknown, [&] { Open(unknown); }, "--rate"},
        {empty, [&] { Open(empty, 1000); }, "is empty"},
        {half, [&] { Open(half, 1000); }, "shorter than one frame"},
        {TempPath("folder.wav"), [&] { Open(TempPath("folder.wav")); }, "is a folder"},
        {TempPath("missing.wav"), [&] { Open(TempPath("missing.wav")); }, "cannot open"},
        {"standard input", [&] { Open("-"); }, "--input-format"},
    };
    auto openFiles = [] { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); };
    const auto before = openFiles();
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Path);
        const std::string why = RefusalOf(c.Open);
        EXPECT_NE(why.find(c.Path), std::string::npos) << why;
        EXPECT_NE(why.find(c.Says), std::string::npos) << why;
        EXPECT_EQ(why.find('\n'), std::string::npos) << why;
    }
    EXPECT_EQ(openFiles(), before); // a refusal keeps no file open
}

TEST(SampleSourceTest, ACutShortWavIsReadAsFarAsItGoesWithAWarning) {
    std::vector<uint8_t> data;
    for (int k = 0; k < 1000; ++k)
        Le(data, uint32_t(k * 3), 4);
    std::vector<uint8_t> wav = Wav(4, data);
    wav.erase(wav.end() - 400, wav.end()); // 100 frames missing; the header still claims 1000
    TSampleSource in = Open(WriteFile("cut.wav", wav), 48000);
    EXPECT_NE(in.Warning().find("cut short"), std::string::npos) << in.Warning();
    EXPECT_EQ(in.SampleRate(), 48000); // --rate replaces the header's
    EXPECT_EQ(ReadAllModel(in).size(), 900u);
    TSampleSource whole = Open(WriteFile("whole.wav", Wav(4, data)));
    EXPECT_TRUE(whole.Warning().empty());
    EXPECT_EQ(whole.Description(), "WAV, 2 channels of 16-bit signed integer, 196078 Hz");
}

// The model's symbols from a generated 16-bit recording are those of its old WAV reader, byte for
// byte, and so are those from the recording in other lossless forms.
TEST(SampleSourceTest, TheModelGivesTheSameSymbolsThroughTheInputLayer) {
    lrptsynth::SynthOptions o;
    o.form = lrptsynth::OutputForm::Wav;
    o.scans = 1;
    o.headFrames = 8;
    o.esn0Db = 10;
    o.carrierOffsetHz = 1200;
    const std::vector<uint8_t> bytes = lrptsynth::synthesize(o).bytes;
    const std::string wav = WriteFile("gen.wav", bytes);
    std::vector<int16_t> samples((bytes.size() - 44) / 2);
    for (size_t k = 0; k < samples.size(); ++k)
        samples[k] = int16_t(bytes[44 + 2 * k] | bytes[45 + 2 * k] << 8);

    auto symbols = [](TSampleSource& aInput, const std::string& aOut) {
        TCostasReceiver rx;
        TakeInputRate(rx, nullptr, aInput.SampleRate());
        rx.ComputeWords();
        TSymbolWriter out;
        EXPECT_TRUE(out.Open(TempPath(aOut)));
        TRunLoop loop(rx, aInput, out);
        while (loop.Tick() == TRunLoop::tk_Block) {
        }
        out.Close();
        return ReadFile(TempPath(aOut));
    };
    // The old reader's frames, block by block, into the same receiver.
    struct TBytes : SymbolSink {
        std::vector<uint8_t> Bytes;
        void Put(uint8_t b) override { Bytes.push_back(b); }
    } old;
    {
        TWavInput in;
        ASSERT_TRUE(in.Open(wav));
        TCostasReceiver rx;
        TakeInputRate(rx, nullptr, 196078);
        rx.ComputeWords();
        ReceiverBlock block;
        while (int n = in.ReadBlock(block, false))
            rx.ProcessFrames(block, n, old);
    }
    const std::vector<uint8_t>& want = old.Bytes;
    ASSERT_GT(want.size(), 50000u);
    for (const std::string& path : {wav, WriteSnd("gen.rf64", SF_FORMAT_RF64 | SF_FORMAT_FLOAT, samples),
                                    WriteHeaderless("gen.cs16", samples)}) {
        SCOPED_TRACE(path);
        TSampleSource in = Open(path, 196078);
        EXPECT_TRUE(symbols(in, "new.raw") == want);
    }
}

// The generator's recordings in every encoding it writes read back, through the input layer, as
// its 16-bit recording's frames within the rounding of each encoding: its headers are ones the
// layer reads.
TEST(SampleSourceTest, TheGeneratorsEncodingsReadAsItsSixteenBitRecording) {
    lrptsynth::SynthOptions o;
    o.form = lrptsynth::OutputForm::Wav;
    o.durationSeconds = 1;
    o.esn0Db = 8;
    TSampleSource ref = Open(WriteFile("ref.wav", lrptsynth::synthesize(o).bytes));
    const std::vector<ReceiverFrame> want = ReadAllModel(ref);
    using F = lrptsynth::SampleFormat;
    for (const auto& [form, format, name] : {std::tuple{lrptsynth::OutputForm::Wav, F::U8, "g.wav"},
                                             std::tuple{lrptsynth::OutputForm::Wav, F::S24, "g.wav"},
                                             std::tuple{lrptsynth::OutputForm::Wav, F::S32, "g.wav"},
                                             std::tuple{lrptsynth::OutputForm::Wav, F::F32, "g.wav"},
                                             std::tuple{lrptsynth::OutputForm::Wav, F::F64, "g.wav"},
                                             std::tuple{lrptsynth::OutputForm::Iq, F::U8, "g.cu8"},
                                             std::tuple{lrptsynth::OutputForm::Iq, F::S8, "g.cs8"},
                                             std::tuple{lrptsynth::OutputForm::Iq, F::F32, "g.cf32"}}) {
        SCOPED_TRACE(std::string(name) + " " + lrptsynth::sampleFormatName(format));
        o.form = form;
        o.sampleFormat = format;
        TSampleSource in = Open(WriteFile(name, lrptsynth::synthesize(o).bytes), 196078);
        const std::vector<ReceiverFrame> got = ReadAllModel(in);
        ASSERT_EQ(got.size(), want.size());
        // 8 bits: half a step of 256 on the 16-bit scale, / 8; else one 16-bit step, / 8.
        const int limit = format == F::U8 || format == F::S8 ? 17 : 1;
        int worst = 0;
        for (size_t k = 0; k < got.size(); ++k)
            worst = std::max({worst, std::abs(got[k].I - want[k].I), std::abs(got[k].Q - want[k].Q)});
        EXPECT_LE(worst, limit);
    }
}

namespace {

// Standard input replaced by a pipe for one test; the writing end is the test's.
class TStdinPipe {
  public:
    TStdinPipe() {
        int fds[2];
        EXPECT_EQ(pipe(fds), 0);
        fSaved = dup(STDIN_FILENO);
        dup2(fds[0], STDIN_FILENO);
        close(fds[0]);
        fWrite = fds[1];
    }
    ~TStdinPipe() {
        CloseWriter();
        dup2(fSaved, STDIN_FILENO);
        close(fSaved);
    }
    void Put(const std::vector<uint8_t>& aBytes, size_t aFrom, size_t aCount) {
        EXPECT_EQ(write(fWrite, aBytes.data() + aFrom, aCount), ssize_t(aCount));
    }
    void CloseWriter() {
        if (fWrite >= 0) close(fWrite);
        fWrite = -1;
    }

  private:
    int fSaved = -1, fWrite = -1;
};

std::vector<uint8_t> ReadBytes(const std::string& aPath) {
    std::ifstream in(aPath, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

} // namespace

// Standard input delivered in pieces that cut frames anywhere gives the frames of the file, in a
// raw form and in a WAV; a stop request then ends a read that waits on the idle pipe, at once,
// with the frames that came (a part of a frame is not one).
TEST(SampleSourceTest, StandardInputInPiecesAndAStopOnAnIdlePipe) {
    const std::vector<int16_t> s = Signal();
    for (const std::string& path :
         {WriteHeaderless("stdin.cs16", s), WriteSnd("stdin.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, s)}) {
        SCOPED_TRACE(path);
        TSampleSource file = Open(path, 196078);
        const std::vector<std::complex<float>> want = ReadAllComplex(file, 40000);
        const std::vector<uint8_t> bytes = ReadBytes(path);
        const bool wav = path.find(".wav") != std::string::npos;
        TStdinPipe in;
        std::atomic<bool> stop{false};
        // All but the last 3 bytes (a part of a frame), in pieces of 1, 1001 and 4095 bytes.
        std::thread writer([&] {
            const size_t sizes[] = {1, 1001, 4095};
            for (size_t done = 0, k = 0; done + 3 < bytes.size(); ++k) {
                const size_t n = std::min(sizes[k % 3], bytes.size() - 3 - done);
                in.Put(bytes, done, n);
                done += n;
            }
        });
        TSourceOptions o;
        o.Path = "-";
        o.Form = wav ? TInputForm::Wav : TInputForm::Cs16;
        o.RateHz = 196078;
        o.Stop = &stop;
        TSampleSource source(o);
        ASSERT_TRUE(source.WaitForData());
        std::vector<std::complex<float>> got(want.size() + 10);
        const int n = source.ReadComplex(got.data(), int(want.size()) - 1);
        writer.join();
        ASSERT_EQ(n, int(want.size()) - 1);
        EXPECT_TRUE(std::equal(got.begin(), got.begin() + n, want.begin()));
        // The pipe stays open and idle: only the stop ends the next read.
        std::thread stopper([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            stop.store(true);
        });
        const auto asked = std::chrono::steady_clock::now();
        EXPECT_EQ(source.ReadComplex(got.data(), 100), 0);
        stopper.join();
        EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(5));
        EXPECT_TRUE(source.StopRequested());
    }
}

// A stop before anything came: a raw form's wait says "nothing", a WAV's wait for its header
// throws TInputInterrupted; either way within moments.
TEST(SampleSourceTest, AStopBeforeAnythingCameEndsTheWait) {
    for (const TInputForm form : {TInputForm::Cu8, TInputForm::Wav}) {
        TStdinPipe in;
        std::atomic<bool> stop{false};
        std::thread stopper([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            stop.store(true);
        });
        TSourceOptions o;
        o.Path = "-";
        o.Form = form;
        o.RateHz = 144000;
        o.Stop = &stop;
        if (form == TInputForm::Wav) {
            EXPECT_THROW(TSampleSource{o}, TInputInterrupted);
        } else {
            TSampleSource source(o);
            EXPECT_FALSE(source.WaitForData());
            EXPECT_TRUE(source.StopRequested());
        }
        stopper.join();
    }
}

// NaN and infinite values of a float recording read as 0, counted, for the float reader and the
// model's reader alike; every other value is as stored.
TEST(SampleSourceTest, NonFiniteFloatsAreReadAsZeroAndCounted) {
    const std::vector<int16_t> s = Signal();
    const size_t spoilt[] = {0, 1, 16383, 16384, 20001, 39999};
    const float with[] = {NAN, INFINITY, -INFINITY, NAN, -NAN, INFINITY};
    for (const std::string& path : {WriteHeaderless("nonfinite.cf32", s),
                                    WriteSnd("nonfinite.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, s)}) {
        SCOPED_TRACE(path);
        const bool wav = path.find(".wav") != std::string::npos;
        std::vector<uint8_t> bytes = ReadBytes(path);
        const size_t first =
            wav ? size_t(std::search(bytes.begin(), bytes.end(), "data", "data" + 4) - bytes.begin()) + 8 : 0;
        for (size_t k = 0; k < std::size(spoilt); ++k)
            std::memcpy(bytes.data() + first + 4 * spoilt[k], &with[k], 4);
        const std::string bad = WriteFile(wav ? "nonfinite-bad.wav" : "nonfinite-bad.cf32", bytes);
        TSampleSource clean = Open(path, 196078), a = Open(bad, 196078), b = Open(bad, 196078);
        std::vector<std::complex<float>> want = ReadAllComplex(clean, 40000);
        for (const size_t k : spoilt)
            (k % 2 ? reinterpret_cast<float*>(&want[k / 2])[1] : reinterpret_cast<float*>(&want[k / 2])[0]) =
                0;
        EXPECT_TRUE(ReadAllComplex(a, 3000) == want);
        EXPECT_EQ(a.NonFiniteSamples(), std::size(spoilt));
        const std::vector<ReceiverFrame> model = ReadAllModel(b);
        ASSERT_EQ(model.size(), want.size());
        for (const size_t k : spoilt) {
            const ReceiverFrame& f = model[k / 2];
            EXPECT_EQ(k % 2 ? f.I : f.Q, 0) << k; // the model takes I from the second channel
        }
        EXPECT_EQ(b.NonFiniteSamples(), std::size(spoilt));
    }
}
