// Iterative decoding in the Viterbi stage: the stages from the first one to the frame stage, stepped
// by hand on generated passes, once as a plain Viterbi stage and once iterative.
#include "Synthesizer.h"
#include "TestLog.h"
#include "fec/InterlivingThreadUnit.h"
#include "fec/LRPT_ReedSolomonThreadUnit.h"
#include "fec/LRPT_SyncBeforIntThreadUnit.h"
#include "fec/LRPT_SyncBeforeViterbiUnit.h"
#include "fec/LRPT_ViterbiThreadUnit.h"
#include "fec/Randomization.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

struct TRun {
    std::vector<Bytes> records; // the ".vcdu" records
    Bytes passedOn;             // the frame stage's output
    std::vector<std::string> rsLog, viterbiLog, syncLog;
    uint32_t repaired = 0;
};

struct TPass {
    bool a80k = false;
    bool nrzm = false;
    double esn0 = 0;
    uint32_t seed = 1;
    bool negated = false; // every value negated: in NRZ-M the complemented stream, same frames
};

lrptsynth::Recording Make(const TPass& aPass) {
    lrptsynth::SynthOptions o;
    o.mode = aPass.a80k ? lrptsynth::Mode::k80 : lrptsynth::Mode::k72;
    o.nrzm = aPass.nrzm;
    o.durationSeconds = aPass.a80k ? 3 : 5;
    o.channels = {1, 2};
    o.seed = aPass.seed;
    o.esn0Db = aPass.esn0;
    return lrptsynth::synthesize(o);
}

// The chain of the mode stepped until nothing moves.
TRun Decode(const lrptsynth::Recording& aRec, const TPass& aPass, bool aIterative) {
    std::vector<int8_t> values(aRec.bytes.begin(), aRec.bytes.end());
    if (!aPass.a80k) // the file's (Q, I) pairs, exchanged as the session does
        for (size_t i = 0; i + 1 < values.size(); i += 2)
            std::swap(values[i], values[i + 1]);
    if (aPass.negated)
        for (auto& v : values)
            v = static_cast<int8_t>(v == -128 ? 127 : -v);
    const auto dir = std::filesystem::temp_directory_path();
    // Named after the test: ctest runs the tests of this file side by side.
    const std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    const std::string stem = (dir / ("tarnwick_iterative_" + test + std::to_string(aIterative))).string();
    TSHORTstream in("in", true, true, nullptr), interleaved("int", true, true, nullptr),
        deinterleaved("deint", true, true, nullptr), synced("sync", true, true, nullptr),
        decoded("viterbi", true, true, nullptr), frames("rs", true, true, nullptr);
    TMemoryStream vcdu;
    TRun run;
    {
        TSyncBeforIntThread uw(&in, &interleaved, "");
        TInterlivingThread deinterleaver(&interleaved, &deinterleaved, "");
        TSyncBeforeViterbi sync(aPass.a80k ? &deinterleaved : &in, &synced, stem + ".sync.log", aPass.nrzm);
        TViterbiThread viterbi(&synced, &decoded, stem + ".viterbi.log", aPass.nrzm, aIterative);
        TReedSolomonThread rs(&decoded, &frames, stem + ".rs.log", &vcdu, false);
        for (size_t at = 0; at < values.size(); at += 1 << 20)
            in.Write(values.data() + at, static_cast<int32_t>(std::min<size_t>(1 << 20, values.size() - at)));
        auto step = [](TStepPatternThread& aStage, TSHORTstream& aIn, TSHORTstream& aOut) {
            bool any = false;
            while (aStage.DoStep(&aIn, &aOut)) {
                aIn.ClearNotActualMemory();
                any = true;
            }
            return any;
        };
        for (bool moved = true; moved;) {
            moved = false;
            if (aPass.a80k) {
                moved |= step(uw, in, interleaved);
                moved |= step(deinterleaver, interleaved, deinterleaved);
            }
            moved |= step(sync, aPass.a80k ? deinterleaved : in, synced);
            moved |= step(viterbi, synced, decoded);
            moved |= step(rs, decoded, frames);
        }
        run.repaired = viterbi.RepairedFrames();
        sync.FlushLog();
        viterbi.FlushLog();
        rs.FlushLog();
    }
    run.passedOn.resize(static_cast<size_t>(frames.AwaitingReadSize()));
    frames.Read(run.passedOn.data(), static_cast<int32_t>(run.passedOn.size()));
    const Bytes all(static_cast<const uint8_t*>(vcdu.Memory()),
                    static_cast<const uint8_t*>(vcdu.Memory()) + vcdu.Size());
    for (size_t at = 0; at + 1024 <= all.size(); at += 1024)
        run.records.emplace_back(all.begin() + static_cast<std::ptrdiff_t>(at),
                                 all.begin() + static_cast<std::ptrdiff_t>(at + 1024));
    run.rsLog = LogMessages(stem + ".rs.log");
    run.viterbiLog = LogMessages(stem + ".viterbi.log");
    run.syncLog = LogMessages(stem + ".sync.log");
    for (const char* suffix : {".rs.log", ".viterbi.log", ".sync.log"})
        std::filesystem::remove(stem + suffix);
    return run;
}

int FailedWords(const Bytes& aRecord) {
    return static_cast<int>(std::count(aRecord.begin(), aRecord.begin() + 4, 255));
}

// The sent frames as a ".vcdu" record holds them: derandomised, without the marker.
std::set<std::string> SentFrames(const lrptsynth::Recording& aRec) {
    std::set<std::string> sent;
    for (size_t at = 0; at + 1024 <= aRec.sentCadus.size(); at += 1024) {
        Bytes frame(aRec.sentCadus.begin() + static_cast<std::ptrdiff_t>(at + 4),
                    aRec.sentCadus.begin() + static_cast<std::ptrdiff_t>(at + 1024));
        Derandomize(frame.data(), true);
        sent.emplace(frame.begin(), frame.end());
    }
    return sent;
}

std::string Payload(const Bytes& aRecord) {
    return std::string(aRecord.begin() + 4, aRecord.end());
}

// At an Es/N0 where a single pass loses frames: every frame a single pass decodes whole comes out
// the same, frames with one word beyond repair and three good are decoded whole, and every frame
// decoded whole is a frame that was sent.
void RecoversWhatOnePassLoses(const TPass& aPass) {
    const auto rec = Make(aPass);
    const std::set<std::string> sent = SentFrames(rec);
    ASSERT_GT(sent.size(), 20u);
    const TRun plain = Decode(rec, aPass, false), iterative = Decode(rec, aPass, true);
    ASSERT_EQ(plain.records.size(), iterative.records.size());
    int oneBad = 0, oneBadFixed = 0, wholePlain = 0, wholeIterative = 0, improved = 0;
    for (size_t k = 0; k < plain.records.size(); ++k) {
        SCOPED_TRACE(k);
        const Bytes &before = plain.records[k], &after = iterative.records[k];
        if (FailedWords(before) == 0) {
            EXPECT_EQ(before, after);
            ++wholePlain;
        }
        if (FailedWords(before) == 1) {
            ++oneBad;
            oneBadFixed += FailedWords(after) == 0;
        }
        improved += FailedWords(after) < FailedWords(before);
        if (FailedWords(after) == 0) {
            ++wholeIterative;
            EXPECT_TRUE(sent.count(Payload(after))) << "a frame never sent";
        }
    }
    // The noise is meant to leave frames with one word beyond repair; every one must come back.
    ASSERT_GE(oneBad, 3);
    EXPECT_EQ(oneBadFixed, oneBad);
    EXPECT_GT(wholeIterative, wholePlain);
    EXPECT_EQ(static_cast<int>(iterative.repaired), improved);
}

// Clean input (and input whose every frame a single pass decodes): the same records, output and
// logs as without iterative decoding.
void CleanInputIsUnchanged(const TPass& aPass) {
    const auto rec = Make(aPass);
    const TRun plain = Decode(rec, aPass, false), iterative = Decode(rec, aPass, true);
    ASSERT_GT(plain.records.size(), 20u);
    EXPECT_EQ(plain.records, iterative.records);
    EXPECT_EQ(plain.passedOn, iterative.passedOn);
    EXPECT_EQ(plain.rsLog, iterative.rsLog);
    EXPECT_EQ(plain.viterbiLog, iterative.viterbiLog);
    EXPECT_EQ(plain.syncLog, iterative.syncLog);
    EXPECT_EQ(iterative.repaired, 0u);
}

} // namespace

TEST(IterativeDecoding, RecoversWhatOnePassLoses72k) {
    RecoversWhatOnePassLoses({false, false, 1.3, 11});
}

TEST(IterativeDecoding, RecoversWhatOnePassLoses72kNrzm) {
    RecoversWhatOnePassLoses({false, true, 1.3, 12});
    RecoversWhatOnePassLoses({false, true, 1.3, 12, true});
}

TEST(IterativeDecoding, RecoversWhatOnePassLoses80k) {
    RecoversWhatOnePassLoses({true, true, 1.3, 13});
}

TEST(IterativeDecoding, CleanInputIsUnchanged) {
    for (const TPass& pass :
         {TPass{false, false, 8, 21}, TPass{false, true, 4, 22}, TPass{true, true, 4, 23}}) {
        SCOPED_TRACE(std::to_string(pass.a80k) + std::to_string(pass.nrzm));
        CleanInputIsUnchanged(pass);
    }
}
