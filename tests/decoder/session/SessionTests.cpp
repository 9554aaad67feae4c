// Whole sessions on recordings made by the signal generator.
#include "fec/Randomization.h"
#include "platform/Exceptions.h"
#include "platform/SysUtils.h"
#include "session/DecodingSession.h"

#include "Synthesizer.h"
#include "TestLog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace {

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> Lines(const std::string& path) {
    return LogMessages(path);
}

class Session : public ::testing::Test {
  protected:
    void SetUp() override {
        fDir = fs::temp_directory_path() /
               ("tarnwick_session_" +
                std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(fDir);
        fs::create_directories(fDir);
        for (size_t i = 0; i < 6; ++i) {
            fProgressPtr[i] = &fProgress[i];
            fImagePtr[i] = &fImages[i];
        }
        fChain = std::make_unique<TStageChain>();
    }
    void TearDown() override {
        fChain.reset();
        fs::remove_all(fDir);
    }

    std::string Save(const lrptsynth::Recording& r, const std::string& name) {
        const std::string path = (fDir / name).string();
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(r.bytes.data()),
                  static_cast<std::streamsize>(r.bytes.size()));
        return path;
    }

    TSessionTotals Run(TLrptMode mode, const std::string& path, TSessionObserver observer = {},
                       bool nrzm = false) {
        fSession = std::make_unique<TDecodingSession>(*fChain, std::move(observer));
        fSession->Run(mode, path, false, fProgressPtr, fImagePtr, {}, nrzm);
        for (auto& stage : fChain->CanalDraw)
            StopStage(*stage);
        return fSession->Totals();
    }

    // Every 8x8 block of the channel's picture is the ideal block, a green block (lost) or
    // untouched black (a scan that never began); returns how many were ideal.
    int CheckAgainstTruth(const lrptsynth::Recording& r, int channel, bool requireAll) {
        const lrptsynth::GreyImage& truth = r.truth[static_cast<size_t>(channel - 1)];
        TCanalDrawThread& stage = *fChain->Channel(channel - 1);
        const TBitmap24& picture = *stage.Picture();
        int ideal = 0, other = 0, wrong = 0;
        for (int by = 0; by < truth.height / 8 && 8 * by < picture.Height(); ++by)
            for (int bx = 0; bx < truth.width / 8; ++bx) {
                bool same = true, green = true, black = true;
                for (int y = 8 * by; y < 8 * by + 8; ++y)
                    for (int x = 8 * bx; x < 8 * bx + 8; ++x) {
                        const TPixel24 p = picture.Pixel(x, y);
                        const uint8_t g = truth.at(x, y);
                        same = same && p.Blue == g && p.Green == g && p.Red == g;
                        green = green && p.Blue == 0 && p.Green == 255 && p.Red == 0;
                        black = black && p.Blue == 0 && p.Green == 0 && p.Red == 0;
                    }
                if (same)
                    ++ideal;
                else if (green || black)
                    ++other;
                else
                    ++wrong;
            }
        EXPECT_EQ(wrong, 0) << "channel " << channel;
        if (requireAll) {
            EXPECT_EQ(other, 0) << "channel " << channel;
        }
        return ideal;
    }

    fs::path fDir;
    std::array<TCaptionProgress, 6> fProgress;
    std::array<TBitmapImage, 6> fImages;
    std::array<TProgressControl*, 6> fProgressPtr{};
    std::array<TImageControl*, 6> fImagePtr{};
    std::unique_ptr<TStageChain> fChain;
    std::unique_ptr<TDecodingSession> fSession;
};

lrptsynth::SynthOptions Options(lrptsynth::Mode mode, double seconds) {
    lrptsynth::SynthOptions o;
    o.mode = mode;
    o.durationSeconds = seconds;
    o.channels = {1, 2, 3, 4, 5, 6};
    return o;
}

} // namespace

TEST_F(Session, CleanPassOfEveryFormDecodesToTheIdealPictures) {
    for (const auto form :
         {lrptsynth::OutputForm::Soft8, lrptsynth::OutputForm::Soft3, lrptsynth::OutputForm::Hard}) {
        SCOPED_TRACE(static_cast<int>(form));
        TearDown();
        SetUp();
        auto o = Options(lrptsynth::Mode::k72, 12);
        o.form = form;
        const auto r = lrptsynth::synthesize(o);
        const std::string path = Save(r, std::string("pass_LRPT_") + lrptsynth::formExtension(form));
        const TSessionTotals totals = Run(TLrptMode::lm72k, path);
        EXPECT_EQ(fSession->DemMode(), form == lrptsynth::OutputForm::Soft8   ? dm_8BitSoft
                                       : form == lrptsynth::OutputForm::Soft3 ? dm_3BitSoft
                                                                              : dm_Hard);
        EXPECT_EQ(totals.FileBytesRead, static_cast<int64_t>(r.bytes.size()));
        EXPECT_EQ(totals.FailedWords, 0u);
        for (int channel = 1; channel <= 6; ++channel)
            CheckAgainstTruth(r, channel, true);
        // Scan periods from the first strip to the last, and every scan's rows in the picture.
        EXPECT_EQ(fChain->Channel(0)->ScanCount(), r.scans - 1);
        EXPECT_EQ(fChain->Channel(0)->LineCount(), 8 * r.scans);
    }
}

TEST_F(Session, FilesOfA72kSession) {
    const auto r = lrptsynth::synthesize(Options(lrptsynth::Mode::k72, 10));
    const std::string path = Save(r, "pass_LRPT_.s");
    const TSessionTotals totals = Run(TLrptMode::lm72k, path);

    // One .vcdu record per frame processed, the first frame's first; clean data frames carry four
    // zero results.
    ASSERT_EQ(fs::file_size(path + ".vcdu"), 1024u * totals.Frames);
    const std::string vcdu = ReadText(path + ".vcdu");
    EXPECT_EQ(vcdu.substr(0, 4), std::string(4, '\0'));
    EXPECT_EQ(vcdu.substr(4, 5), std::string("\x40\x05\0\0\0", 5)); // frame counter 0
    // APID 70 packets go to the .70 file whole: 64 data bytes behind each 6-byte header.
    EXPECT_EQ(fs::file_size(path + ".70"), static_cast<uintmax_t>(70 * totals.Packets[6]));
    EXPECT_EQ(totals.Packets[6], static_cast<uint32_t>(r.scans));

    const auto sync = Lines(path + ".SyncBeforeViterbi.log");
    ASSERT_FALSE(sync.empty());
    EXPECT_EQ(sync[0].substr(0, 4), "0 0 ");
    EXPECT_EQ(sync[0].substr(sync[0].size() - 5), " 2 48");
    EXPECT_EQ(Lines(path + ".ReedSolomon.log").size(), totals.Frames);
    EXPECT_EQ(Lines(path + ".ReedSolomon.log")[0].substr(0, 40), "0 1 SYNC=1ACFFC1D CuredRS=0 FatalRS=0 40");
    for (const char* log : {".mpdu.log", ".Viterbi.log", ".64.log", ".69.log"})
        EXPECT_TRUE(fs::exists(path + log)) << log;
    EXPECT_FALSE(fs::exists(path + ".SyncBeforInt.log"));
}

// Every frame whose code values were all fed comes out, the last ones too, and nothing else: no
// record ahead of the first frame, none of the erasures the end is flushed with. 72 k: the input
// ends right behind the last frame (with the marker the next frame would begin with missing), clean
// at Es/N0 8 dB, plain and NRZ-M. 80 k: a frame's values are all in the input once its last
// value on the most delayed branch (35 x 73,728 values behind its place) was sent; the frames
// behind those, only partly sent, may come out damaged or not at all.
TEST_F(Session, EveryFrameWhoseValuesWereFedComesOut) {
    auto payloads = [](const std::string& aBytes) {
        std::vector<std::string> p;
        for (size_t at = 0; at + 1024 <= aBytes.size(); at += 1024)
            p.push_back(aBytes.substr(at + 4, 1020));
        return p;
    };
    for (const bool nrzm : {false, true}) {
        SCOPED_TRACE(nrzm);
        TearDown();
        SetUp();
        auto o = Options(lrptsynth::Mode::k72, 4);
        o.nrzm = nrzm;
        o.tailFrames = 0;
        o.esn0Db = 8;
        o.seed = 5;
        const auto r = lrptsynth::synthesize(o);
        const std::string path = Save(r, "end_LRPT_.s");
        const TSessionTotals totals = Run(TLrptMode::lm72k, path, {}, nrzm);
        std::string sent(r.sentCadus.begin(), r.sentCadus.end());
        for (size_t at = 0; at < sent.size(); at += 1024)
            Derandomize(reinterpret_cast<uint8_t*>(sent.data() + at + 4), true);
        const std::string vcdu = ReadText(path + ".vcdu");
        ASSERT_EQ(vcdu.size(), sent.size());
        EXPECT_EQ(payloads(vcdu), payloads(sent));
        EXPECT_EQ(totals.Frames, r.sentCadus.size() / 1024);
        EXPECT_EQ(totals.FailedWords, 0u);
    }

    TearDown();
    SetUp();
    auto o = Options(lrptsynth::Mode::k80, 4);
    o.esn0Db = 8;
    o.tailFrames = 165; // the pass's frames and a few fill frames behind them are whole
    const auto r = lrptsynth::synthesize(o);
    const std::string path = Save(r, "end_LRPT INT_.s");
    Run(TLrptMode::lm80k, path);
    const int64_t sentFrames = static_cast<int64_t>(r.sentCadus.size() / 1024);
    const std::vector<std::string> records = payloads(ReadText(path + ".vcdu"));
    std::vector<std::string> whole;
    for (int64_t f = 0; 16384 * (f + 1) - 1 + 35 * 73728 < 16384 * sentFrames; ++f) {
        std::string frame(r.sentCadus.begin() + 1024 * f + 4, r.sentCadus.begin() + 1024 * (f + 1));
        Derandomize(reinterpret_cast<uint8_t*>(frame.data()), true);
        whole.push_back(frame);
    }
    ASSERT_GT(whole.size(), 30u);
    // In order, one after another, somewhere behind the deinterleaver's start-up.
    const auto first = std::find(records.begin(), records.end(), whole.front());
    ASSERT_NE(first, records.end());
    ASSERT_GE(records.end() - first, static_cast<std::ptrdiff_t>(whole.size()));
    EXPECT_TRUE(std::equal(whole.begin(), whole.end(), first));
    const std::string erasures = [] {
        std::string z(1020, '\0');
        Derandomize(reinterpret_cast<uint8_t*>(z.data()), true);
        return z;
    }();
    EXPECT_EQ(std::count(records.begin(), records.end(), erasures), 0);
}

TEST_F(Session, Interleaved80kPassWithRotation) {
    auto o = Options(lrptsynth::Mode::k80, 40);
    o.rotationDeg = 270;
    const auto r = lrptsynth::synthesize(o);
    const std::string path = Save(r, "pass_LRPT INT_.s");
    const TSessionTotals totals = Run(TLrptMode::lm80k, path);
    EXPECT_GT(totals.Packets[0], 0u);
    // Until the deinterleaver's store has filled once (2,654,208 values, about 162 frames), one
    // branch in 36 still carries its initial zeros and frames fail; after that none does, up to
    // the last store's worth, which the end of the input flushes with erasures (the fill frames
    // behind the pass, partly sent, fail there).
    const auto rs = Lines(path + ".ReedSolomon.log");
    ASSERT_GT(rs.size(), 250u + 162u);
    for (size_t i = 170; i + 162 < rs.size(); ++i)
        EXPECT_NE(rs[i].find("FatalRS=0 "), std::string::npos) << rs[i];
    // Everything that came out is ideal.
    for (int channel = 1; channel <= 6; ++channel)
        EXPECT_GT(CheckAgainstTruth(r, channel, false), 1000);
    EXPECT_TRUE(fs::exists(path + ".SyncBeforInt.log"));
    EXPECT_FALSE(fs::exists(path + ".Interliving.log"));
    EXPECT_FALSE(fs::exists(path + ".70")); // no end-of-feeding work in 80 k mode
}

TEST_F(Session, RotatedExchangedAndNoisyPasses) {
    struct Case {
        int rotation;
        bool swap;
        double esn0;
    };
    for (const Case c : {Case{90, true, 99}, Case{180, false, 4.5}}) {
        SCOPED_TRACE(c.rotation);
        TearDown();
        SetUp();
        auto o = Options(lrptsynth::Mode::k72, 12);
        o.rotationDeg = c.rotation;
        o.swapIq = c.swap;
        if (c.esn0 < 50) o.esn0Db = c.esn0;
        const auto r = lrptsynth::synthesize(o);
        const TSessionTotals totals = Run(TLrptMode::lm72k, Save(r, "pass_LRPT_.s"));
        EXPECT_EQ(totals.FailedWords, 0u);
        for (int channel = 1; channel <= 6; ++channel)
            CheckAgainstTruth(r, channel, true);
    }
}

TEST_F(Session, PassOverMidnightAndNoiseNearTheThreshold) {
    auto o = Options(lrptsynth::Mode::k72, 12);
    o.startTimeMs = 86400000u - 6000u; // the fifth scan is the first of the next day
    const auto r = lrptsynth::synthesize(o);
    Run(TLrptMode::lm72k, Save(r, "midnight_LRPT_.s"));
    for (int channel = 1; channel <= 6; ++channel)
        CheckAgainstTruth(r, channel, true);
    EXPECT_EQ(fChain->Channel(0)->LineCount(), 8 * r.scans);

    TearDown();
    SetUp();
    o = Options(lrptsynth::Mode::k72, 20);
    o.esn0Db = 2.0;
    const auto noisy = lrptsynth::synthesize(o);
    const TSessionTotals totals = Run(TLrptMode::lm72k, Save(noisy, "noisy_LRPT_.s"));
    EXPECT_GT(totals.FramesPassedOn, totals.Frames / 2);
    // Lost frames show as green blocks; every block that arrived is the ideal one.
    int ideal = 0;
    for (int channel = 1; channel <= 6; ++channel)
        ideal += CheckAgainstTruth(noisy, channel, false);
    EXPECT_GT(ideal, 6 * 196 * noisy.scans / 2);
}

TEST_F(Session, DroppedPacketsLeaveGreenBlocksAndTheRestIdeal) {
    auto o = Options(lrptsynth::Mode::k72, 15);
    o.dropPacketRate = 0.05;
    o.seed = 7;
    const auto r = lrptsynth::synthesize(o);
    Run(TLrptMode::lm72k, Save(r, "pass_LRPT_.s"));
    int delivered = 0, sent = 0;
    for (const auto& p : r.packets)
        if (p.channel == 1) {
            ++sent;
            delivered += p.delivered;
        }
    ASSERT_LT(delivered, sent);
    const int ideal = CheckAgainstTruth(r, 1, false);
    // Every delivered packet's 14 blocks are ideal (the first scan must have begun for that).
    EXPECT_GE(ideal, 14 * delivered - 14 * 14);
}

TEST_F(Session, FeedingReadsTheWholeFile) {
    struct Case {
        const char* name;
        TLrptMode mode;
        size_t bytes;
        int64_t fed;
    };
    for (const Case c :
         {Case{"a.s", TLrptMode::lm72k, 25000, 25000}, Case{"b.s", TLrptMode::lm72k, 25001, 25000},
          Case{"c.hard", TLrptMode::lm72k, 12000, 96000}, Case{"d.raw", TLrptMode::lm72k, 5001, 10002},
          Case{"e.s", TLrptMode::lm80k, 1001, 1000}, Case{"f.s", TLrptMode::lm72k, 100, 100}}) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        const std::string path = (fDir / c.name).string();
        std::ofstream(path, std::ios::binary) << std::string(c.bytes, '\x11');
        const TSessionTotals totals = Run(c.mode, path);
        EXPECT_EQ(totals.BytesFed, c.fed);
        EXPECT_EQ(fChain->InStream.Size(), c.fed);
        EXPECT_EQ(totals.Frames, 0u);
        EXPECT_EQ(fChain->SYNC, nullptr); // the chain was stopped
        EXPECT_NE(fChain->Channel(0), nullptr);
    }
}

TEST_F(Session, StopSkipsTheDrainButStillWritesTheTelemetryFile) {
    const auto r = lrptsynth::synthesize(Options(lrptsynth::Mode::k72, 30));
    const std::string path = Save(r, "pass_LRPT_.s");
    TSessionObserver observer;
    TDecodingSession* session = nullptr;
    observer.ShowFileProgress = [&](int64_t aPosition, int64_t aSize) {
        // Stop at 60 %, once APID 70 data has arrived (waiting for it, not for a fixed time, so a
        // loaded machine cannot make the stop come too early).
        if (aPosition > aSize * 6 / 10 && !session->UserStop()) {
            auto telemetry = [&] {
                return fChain->OutStream.Count() > 70 && fChain->OutStream[70] &&
                       fChain->OutStream[70]->Size() > 0;
            };
            for (int waited = 0; !telemetry() && waited < 10000; waited += 10)
                SleepMs(10);
            session->Stop();
        }
    };
    fSession = std::make_unique<TDecodingSession>(*fChain, observer);
    session = fSession.get();
    fSession->Run(TLrptMode::lm72k, path, false, fProgressPtr, fImagePtr);
    EXPECT_TRUE(fSession->UserStop());
    EXPECT_LT(fSession->Totals().FileBytesRead, static_cast<int64_t>(r.bytes.size()) * 7 / 10);
    ASSERT_TRUE(fs::exists(path + ".70"));
    EXPECT_GT(fs::file_size(path + ".70"), 0u);
    EXPECT_EQ(fs::file_size(path + ".70") % 70, 0u);
}

// The end-of-input flag (the first Ctrl-C of a batch run) ends feeding where it is, but unlike Stop
// the chain drains: every frame fed reaches the pictures, and the session ends as at a file's end.
TEST_F(Session, EndOfInputEndsFeedingButDrainsWhatWasFed) {
    const auto r = lrptsynth::synthesize(Options(lrptsynth::Mode::k72, 30));
    const std::string path = Save(r, "pass_LRPT_.s");
    std::atomic<bool> end{false};
    TSessionObserver observer;
    observer.ShowFileProgress = [&](int64_t aPosition, int64_t aSize) {
        if (aPosition > aSize / 2) end.store(true);
    };
    fSession = std::make_unique<TDecodingSession>(*fChain, observer);
    fSession->SetEndOfInput(&end);
    fSession->Run(TLrptMode::lm72k, path, false, fProgressPtr, fImagePtr);
    for (auto& stage : fChain->CanalDraw)
        StopStage(*stage);
    const TSessionTotals& totals = fSession->Totals();
    EXPECT_FALSE(fSession->UserStop());
    EXPECT_GT(totals.FileBytesRead, static_cast<int64_t>(r.bytes.size()) / 2);
    EXPECT_LT(totals.FileBytesRead, static_cast<int64_t>(r.bytes.size()) * 6 / 10);
    // Drained: the frames of the half that was fed came out (a frame is 16,384 values, and the last
    // one may be cut), and the channel shows the scans they carried.
    EXPECT_GE(totals.Frames + 2, static_cast<uint32_t>(totals.BytesFed / 16384));
    EXPECT_GT(fChain->Channel(0)->LineCount(), 8 * 10);
    EXPECT_TRUE(fs::exists(path + ".70"));
}

TEST_F(Session, NoThreadOutlivesTheSession) {
    auto threads = [] {
        return std::distance(fs::directory_iterator("/proc/self/task"), fs::directory_iterator{});
    };
    // A thread started and ended first, so that a sanitizer's own helper thread (which starts
    // with the first thread of a process) is in the count before the session too.
    std::thread([] {}).join();
    const auto before = threads();
    auto o = Options(lrptsynth::Mode::k80, 6);
    const auto r = lrptsynth::synthesize(o);
    Run(TLrptMode::lm80k, Save(r, "pass_LRPT INT_.s")); // also waits for the terminated drawing stages
    EXPECT_EQ(threads(), before);
    fChain.reset();
    EXPECT_EQ(threads(), before);
}

TEST_F(Session, MissingInputBuildsNothing) {
    const std::string path = (fDir / "missing_LRPT_.s").string();
    fSession = std::make_unique<TDecodingSession>(*fChain);
    try {
        fSession->Run(TLrptMode::lm72k, path, false);
        FAIL() << "no error";
    } catch (const EFOpenError& e) {
        EXPECT_NE(std::string(e.what()).find(path), std::string::npos);
    }
    EXPECT_EQ(fChain->Channel(0), nullptr);
    EXPECT_EQ(fChain->MPDU, nullptr);
    // A folder is refused the same way, by name, before anything is built.
    try {
        fSession->Run(TLrptMode::lm72k, fDir.string(), false);
        FAIL() << "a folder was read";
    } catch (const EFOpenError& e) {
        EXPECT_NE(std::string(e.what()).find("folder"), std::string::npos) << e.what();
    }
    EXPECT_EQ(fChain->Channel(0), nullptr);
}

TEST_F(Session, NrzmPassesDecodeWithTheOptionAndYieldNoPacketsWithout) {
    // Every quarter turn of both modes, in both polarities of the generator; the option off on
    // the same recordings accepts nothing.
    for (const auto mode : {lrptsynth::Mode::k72, lrptsynth::Mode::k80})
        for (const int rotation : {0, 90, 180, 270})
            for (const auto polarity : {lrptsynth::Polarity::Satellite, lrptsynth::Polarity::Nominal}) {
                const bool k80 = mode == lrptsynth::Mode::k80;
                SCOPED_TRACE(std::to_string(k80 ? 80 : 72) + "k rotation " + std::to_string(rotation) +
                             (polarity == lrptsynth::Polarity::Satellite ? " satellite" : " nominal"));
                auto o = Options(mode, k80 ? 30 : 10);
                o.nrzm = true;
                o.rotationDeg = rotation;
                o.polarity = polarity;
                o.seed = static_cast<uint64_t>(rotation + 1);
                const auto r = lrptsynth::synthesize(o);
                const std::string name = k80 ? "n23_LRPT INT_.s" : "n23_LRPT_.s";
                const TLrptMode decoderMode = k80 ? TLrptMode::lm80k : TLrptMode::lm72k;

                TearDown();
                SetUp();
                const std::string path = Save(r, name);
                TSessionTotals totals = Run(decoderMode, path, {}, true);
                EXPECT_EQ(Lines(path + ".SyncBeforeViterbi.log").at(0), "marker 1ACFFC1D NRZ-M");
                if (k80) {
                    // Until the deinterleaver's store has filled once, frames fail (see the plain
                    // 80 k test); what comes out after is ideal.
                    for (int channel = 1; channel <= 6; ++channel)
                        EXPECT_GT(CheckAgainstTruth(r, channel, false), 200);
                } else {
                    // Clean: not a symbol to correct (no polarity steps at frame starts).
                    EXPECT_EQ(totals.FailedWords, 0u);
                    EXPECT_EQ(totals.CuredSymbols, 0u);
                    for (int channel = 1; channel <= 6; ++channel)
                        CheckAgainstTruth(r, channel, true);
                    EXPECT_EQ(fChain->Channel(0)->LineCount(), 8 * r.scans);
                }

                // Off: nothing gets through, nothing breaks. (One polarity suffices: the other is
                // a fixed relabelling of the same values.)
                if (polarity != lrptsynth::Polarity::Satellite) continue;
                TearDown();
                SetUp();
                totals = Run(decoderMode, Save(r, name), {}, false);
                EXPECT_EQ(totals.FramesPassedOn, 0u);
                for (const uint32_t packets : totals.Packets)
                    EXPECT_EQ(packets, 0u);
                EXPECT_EQ(fChain->Channel(0)->LineCount(), 0);
            }
}
