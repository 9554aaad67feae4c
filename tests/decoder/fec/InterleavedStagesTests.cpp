#include "fec/InterlivingThreadUnit.h"
#include "fec/LRPT_SyncBeforIntThreadUnit.h"

#include "TestLog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Values = std::vector<int8_t>;

constexpr size_t Block = 73728;      // values per deinterleaver step, one store frame
constexpr size_t Store = 36 * Block; // total delay of interleaver + deinterleaver
constexpr int Amp = 70;

// Code values of a clean signal: +-70.
Values CleanCode(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Values v(n);
    for (auto& x : v)
        x = (rng() & 1) ? Amp : -Amp;
    return v;
}

// Soft values of any size, -127..127 (so that negation is exact).
Values SoftCode(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> d(-127, 127);
    Values v(n);
    for (auto& x : v)
        x = static_cast<int8_t>(d(rng));
    return v;
}

// The satellites' interleaver: value n is on branch b = n mod 36 (the first code value after a
// unique word is branch 0) and goes out b * 73,728 values late; the line starts out zero.
Values Interleave(const Values& code) {
    Values out(code.size(), 0);
    for (size_t n = 0; n < code.size(); ++n) {
        const size_t delay = (n % 36) * Block;
        if (n >= delay) out[n] = code[n - delay];
    }
    return out;
}

// Unique word 27 hex at amplitude 70 in front of every 72 values.
Values WithUniqueWords(const Values& code) {
    static const int8_t uw[8] = {-Amp, -Amp, Amp, -Amp, -Amp, Amp, Amp, Amp};
    Values out;
    out.reserve(code.size() / 72 * 80);
    for (size_t g = 0; g + 72 <= code.size(); g += 72) {
        out.insert(out.end(), uw, uw + 8);
        out.insert(out.end(), code.begin() + static_cast<long>(g), code.begin() + static_cast<long>(g + 72));
    }
    return out;
}

// Every pair (I, Q) turned r quarter turns: (I, Q) -> (-Q, I) each.
Values Rotate(Values v, int r) {
    for (size_t i = 0; i + 1 < v.size(); i += 2) {
        for (int t = 0; t < r; ++t) {
            const int8_t i0 = v[i];
            v[i] = static_cast<int8_t>(-v[i + 1]);
            v[i + 1] = i0;
        }
    }
    return v;
}

Values ExchangeIQ(Values v) {
    for (size_t i = 0; i + 1 < v.size(); i += 2)
        std::swap(v[i], v[i + 1]);
    return v;
}

// Pairs (Q_k, I_(k-1)) of the sent pairs (I_k, Q_k), from k = 4 on: what a receiver that pairs
// each I with the Q after it gives in a quarter-turn lock when the sent pair's first value is on
// the branch sent half a symbol after the other.
Values QWithTheIBefore(const Values& sent) {
    Values v;
    for (size_t k = 4; 2 * k + 1 < sent.size(); ++k) {
        v.push_back(sent[2 * k + 1]);
        v.push_back(sent[2 * k - 2]);
    }
    return v;
}

Values Negate(Values v) {
    for (auto& x : v)
        x = static_cast<int8_t>(-x);
    return v;
}

Values Slice(const Values& v, size_t from, size_t count) {
    EXPECT_LE(from + count, v.size());
    from = std::min(from, v.size());
    count = std::min(count, v.size() - from);
    return Values(v.begin() + static_cast<long>(from), v.begin() + static_cast<long>(from + count));
}

// Index of the first difference (the size when equal), to keep failures of long vectors short.
size_t FirstDifference(const Values& got, const Values& expected) {
    if (got.size() != expected.size()) return 0;
    return static_cast<size_t>(std::mismatch(got.begin(), got.end(), expected.begin()).first - got.begin());
}

void Feed(TSHORTstream& s, const Values& v) {
    for (size_t done = 0; done < v.size();) {
        const auto n = static_cast<int32_t>(std::min<size_t>(v.size() - done, 1 << 20));
        ASSERT_EQ(s.Write(v.data() + done, n), n);
        done += static_cast<size_t>(n);
    }
}

Values Drain(TSHORTstream& s) {
    Values v(static_cast<size_t>(s.AwaitingReadSize()));
    for (size_t done = 0; done < v.size();) {
        const auto n = static_cast<int32_t>(std::min<size_t>(v.size() - done, 1 << 20));
        s.Read(v.data() + done, n);
        done += static_cast<size_t>(n);
    }
    s.ClearNotActualMemory();
    return v;
}

std::string TempName(const std::string& what) {
    return (std::filesystem::temp_directory_path() /
            ("tarnwick_int_" + what + "_" +
             std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + ".log"))
        .string();
}

std::vector<std::string> ReadLog(const std::string& name) {
    return LogMessages(name);
}

class UniqueWordStage : public ::testing::Test {
  protected:
    void SetUp() override {
        fLog = TempName("uw");
        fStage = std::make_unique<TSyncBeforIntThread>(&fIn, &fOut, fLog);
    }
    void TearDown() override { std::filesystem::remove(fLog); }

    // One step as the stage loop runs it.
    bool Step() {
        const bool ran = fStage->DoStep(&fIn, &fOut);
        if (ran) fIn.ClearNotActualMemory();
        return ran;
    }
    int Run() {
        int steps = 0;
        while (Step())
            ++steps;
        return steps;
    }

    TSHORTstream fIn{"in", true, true, nullptr};
    TSHORTstream fOut{"out", true, true, nullptr};
    std::string fLog;
    std::unique_ptr<TSyncBeforIntThread> fStage;
};

class Deinterleaver : public ::testing::Test {
  protected:
    void SetUp() override { fStage = std::make_unique<TInterlivingThread>(&fIn, &fOut, TempName("deint")); }

    int Run() {
        int steps = 0;
        while (fStage->DoStep(&fIn, &fOut)) {
            fIn.ClearNotActualMemory();
            ++steps;
        }
        return steps;
    }

    TSHORTstream fIn{"in", true, true, nullptr};
    TSHORTstream fOut{"out", true, true, nullptr};
    std::unique_ptr<TInterlivingThread> fStage;
};

} // namespace

// ---- unique-word sync ----

TEST_F(UniqueWordStage, CleanStreamStartingInsideAUniqueWord) {
    const Values code = CleanCode(72 * 30, 1);
    Feed(fIn, Slice(WithUniqueWords(code), 6, 80 * 30 - 6));

    ASSERT_TRUE(Step());
    EXPECT_EQ(ReadLog(fLog), std::vector<std::string>{"* 880 37 140"});
    EXPECT_EQ(fIn.Position(), 74); // the unique word of group 1
    EXPECT_TRUE(fStage->Sync());
    EXPECT_EQ(fOut.Size(), 0);

    ASSERT_TRUE(Step());
    EXPECT_EQ(fOut.Size(), 720);
    EXPECT_EQ(fIn.Position(), 874);
    EXPECT_EQ(ReadLog(fLog).back(), "954 140 0");

    // 2,394 values: the third window (874 + 880) still fits, the fourth does not.
    EXPECT_EQ(Run(), 1);
    EXPECT_EQ(ReadLog(fLog).back(), "1754 140 0");
    EXPECT_EQ(Drain(fOut), Slice(code, 72, 1440));
    EXPECT_EQ(fIn.AwaitingReadSize(), 2394 - 1674);
}

TEST_F(UniqueWordStage, FourRotationsLockAndLeaveAtMostAHalfTurn) {
    const Values code = CleanCode(72 * 30, 2);
    // Turns of the signal -> what the quarter-turn correction leaves: none or a half turn.
    const struct {
        int turns;
        const char* locked;
        bool halfTurnLeft;
    } cases[] = {
        {0, "954 140 0", false}, {1, "954 0 140", true}, {2, "954 140 0", true}, {3, "954 0 140", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.turns);
        TSHORTstream in("in", true, true, nullptr), out("out", true, true, nullptr);
        const std::string log = TempName("rot" + std::to_string(c.turns));
        TSyncBeforIntThread stage(&in, &out, log);
        Feed(in, Rotate(Slice(WithUniqueWords(code), 6, 80 * 30 - 6), c.turns));
        ASSERT_TRUE(stage.DoStep(&in, &out));
        ASSERT_TRUE(stage.DoStep(&in, &out));
        EXPECT_EQ(ReadLog(log), (std::vector<std::string>{"* 880 37 140", c.locked}));
        const Values expected = Slice(code, 72, 720);
        EXPECT_EQ(Drain(out), c.halfTurnLeft ? Negate(expected) : expected);
        std::filesystem::remove(log);
    }
}

TEST_F(UniqueWordStage, AllZeroStreamIsSkippedWindowByWindow) {
    Feed(fIn, Values(880 * 3 + 100, 0));
    EXPECT_EQ(Run(), 3);
    EXPECT_EQ(ReadLog(fLog), (std::vector<std::string>{"* 880 -1 0", "* 1760 -1 0", "* 2640 -1 0"}));
    EXPECT_FALSE(fStage->Sync());
    EXPECT_EQ(fOut.Size(), 0);
    EXPECT_EQ(fIn.Position(), 2640);
}

TEST_F(UniqueWordStage, ExchangedAndShiftedPairingsLockAndRestoreTheOrder) {
    // A receiver may exchange I and Q, start one value late, or pair each I with the Q half a
    // symbol before it (offset QPSK): the stage finds the unique word in each and passes the code
    // values on in the order they were sent.
    const Values code = CleanCode(72 * 30, 3);
    const Values sent = WithUniqueWords(code);
    const struct {
        const char* name;
        Values values;
        const char* tag; // on the search line
    } cases[] = {
        {"exchanged", ExchangeIQ(Slice(sent, 6, 80 * 29)), "exchanged"},
        {"one value on", Slice(sent, 7, 80 * 29), "natural"},
        {"exchanged, one value on", Slice(ExchangeIQ(Slice(sent, 6, 80 * 29)), 1, 80 * 28), "exchanged"},
        // (I, Q) = (sent 2k+2, sent 2k+1): each I with the Q before it, exchanged.
        {"I with the Q before", ExchangeIQ(Slice(sent, 7, 80 * 29)), "later"},
        {"Q with the I before", QWithTheIBefore(sent), "exchanged-later"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TSHORTstream in("in", true, true, nullptr), out("out", true, true, nullptr);
        const std::string log = TempName("pairing");
        TSyncBeforIntThread stage(&in, &out, log);
        Feed(in, c.values);
        for (int step = 0; step < 4 && out.Size() == 0; ++step)
            ASSERT_TRUE(stage.DoStep(&in, &out));
        const auto lines = ReadLog(log);
        ASSERT_FALSE(lines.empty());
        EXPECT_NE(lines.front().find(c.tag), std::string::npos) << lines.front();
        // Locked on the unique word of group 1 (group 0's is cut), or on group 2 after a window
        // the stage found ambiguous.
        const Values got = Drain(out);
        EXPECT_TRUE(got == Slice(code, 72, 720) || got == Slice(code, 144, 720));
        std::filesystem::remove(log);
    }
    // A stream of zero code values locks on the exchanged unique words at once.
    const Values zeros = WithUniqueWords(Values(72 * 60, 0));
    TSHORTstream in("in", true, true, nullptr);
    const std::string log = TempName("zeros");
    TSyncBeforIntThread stage(&in, &fOut, log);
    Feed(in, ExchangeIQ(zeros));
    EXPECT_TRUE(stage.DoStep(&in, &fOut));
    EXPECT_TRUE(stage.Sync());
    EXPECT_EQ(in.Position(), 0);
    EXPECT_EQ(ReadLog(log).front(), "* 880 0 140 exchanged 0");
    std::filesystem::remove(log);
}

TEST_F(UniqueWordStage, ANearHypothesisGivesWayToAClearlyBetterOne) {
    // Locked in the plain pairing, the stream goes on turned a quarter turn and one value late:
    // at the old place the unique word still scores 7/8 (seven of its eight values agree), which
    // keeps the lock; the right hypothesis beats it clearly, and after RelockWindows windows in a
    // row the stage searches again. In the first window after the turn another near hypothesis
    // (each Q with the I one pair later, seven of the word's values and a data value that agrees
    // in 8 of the 10 groups) comes within MinLead of the right one: that window does not count.
    const Values first = CleanCode(72 * 20, 8), then = CleanCode(72 * 60, 9);
    Values stream = WithUniqueWords(first);
    stream.push_back(Amp);
    const Values turned = Rotate(WithUniqueWords(then), 1);
    stream.insert(stream.end(), turned.begin(), turned.end());
    Feed(fIn, stream);
    ASSERT_TRUE(Step());                                       // search
    const int locked = 2 + TSyncBeforIntThread::RelockWindows; // groups 0..19, unclear, beaten
    for (int step = 0; step < locked; ++step)
        ASSERT_TRUE(Step());
    ASSERT_TRUE(fStage->Sync());
    ASSERT_TRUE(Step()); // beaten once more: relock
    EXPECT_FALSE(fStage->Sync());
    const auto log = ReadLog(fLog);
    ASSERT_EQ(log.size(), static_cast<size_t>(locked + 2));
    for (size_t line = 1; line <= static_cast<size_t>(locked); ++line)
        EXPECT_EQ(log[line].find(" relock"), std::string::npos) << log[line];
    EXPECT_NE(log.back().find(" relock"), std::string::npos) << log.back();
    std::istringstream fields(log.back());
    long position, c1;
    fields >> position >> c1;
    EXPECT_GE(c1, TSyncBeforIntThread::LossThreshold) << log.back();
    const int64_t relockedAt = 800 * locked;
    EXPECT_EQ(fIn.Position(), relockedAt);
    EXPECT_EQ(fOut.Size(), 720 * locked);
    Drain(fOut);
    ASSERT_TRUE(Step()); // found again one value on
    EXPECT_EQ(fIn.Position(), relockedAt + 1);
    ASSERT_TRUE(Step());
    const size_t group = static_cast<size_t>(relockedAt / 80 - 20);
    // The quarter-turn lock leaves a half turn, which is undone: the values keep the signs of the
    // first lock (none left), so the deinterleaver does not mix two residuals.
    EXPECT_EQ(Drain(fOut), Slice(then, 72 * group, 720));
}

TEST_F(UniqueWordStage, SlipLosesLockAndTheSameValuesAreSearchedAgain) {
    const Values code = CleanCode(72 * 40, 4);
    Values stream = WithUniqueWords(code);
    // 40 values lost at 800 (the unique word of group 10 and 32 of its code values): the following
    // unique words sit 40 values early.
    stream.erase(stream.begin() + 800, stream.begin() + 840);
    Feed(fIn, stream);

    ASSERT_TRUE(Step()); // search
    ASSERT_TRUE(Step()); // groups 0..9
    ASSERT_TRUE(Step()); // unique word missing at its place
    EXPECT_FALSE(fStage->Sync());
    EXPECT_EQ(fIn.Position(), 800);
    auto log = ReadLog(fLog);
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0], "* 880 0 140");
    EXPECT_EQ(log[1], "880 140 0");
    std::istringstream fields(log[2]);
    long position, c1, c2;
    fields >> position >> c1 >> c2;
    EXPECT_EQ(position, 1680);
    EXPECT_LT(c1, 40);
    EXPECT_LT(c2, 40);
    EXPECT_EQ(fOut.Size(), 720);

    ASSERT_TRUE(Step()); // the same 880 values searched again
    // Group 10, cut short, is erased: 40 values short of the place of the next group rounds to one.
    EXPECT_EQ(ReadLog(fLog).back(), "* 1680 20 140 erased 1");
    EXPECT_EQ(fIn.Position(), 840);
    ASSERT_TRUE(Step());
    EXPECT_EQ(ReadLog(fLog).back(), "1720 140 0");

    Values expected = Slice(code, 0, 720);
    expected.insert(expected.end(), 72, 0);
    const Values after = Slice(code, 72 * 11, 720);
    expected.insert(expected.end(), after.begin(), after.end());
    EXPECT_EQ(Drain(fOut), expected);
}

TEST_F(UniqueWordStage, WaitsForAWholeWindow) {
    Feed(fIn, Values(879, 0));
    EXPECT_FALSE(Step());
    EXPECT_EQ(fIn.Position(), 0);
    EXPECT_FALSE(std::filesystem::exists(fLog));
    // Locked, a step still needs 880 values although it consumes 800.
    const Values stream = WithUniqueWords(CleanCode(72 * 24, 5));
    TSHORTstream in("in", true, true, nullptr);
    TSyncBeforIntThread stage(&in, &fOut, "");
    Feed(in, Slice(stream, 0, 800 + 879));
    EXPECT_TRUE(stage.DoStep(&in, &fOut));
    EXPECT_TRUE(stage.DoStep(&in, &fOut));
    EXPECT_FALSE(stage.DoStep(&in, &fOut));
    EXPECT_EQ(in.Position(), 800);
    EXPECT_EQ(fOut.Size(), 720);
}

TEST_F(UniqueWordStage, PiecewiseFeedingGivesTheSameOutput) {
    const Values code = SoftCode(72 * 200, 6);
    // Unique words at amplitude 70 between soft values of any size, entered 34 values late.
    const Values stream = Slice(WithUniqueWords(code), 34, 80 * 200 - 34);
    std::mt19937 rng(7);
    for (size_t done = 0; done < stream.size();) {
        const size_t n = std::min<size_t>(stream.size() - done, 1 + rng() % 1500);
        Feed(fIn, Slice(stream, done, n));
        done += n;
        Run();
    }
    // Locked on group 1 (stream value 46); windows of 880 fit while 46 + 800 i + 880 <= 15,966.
    EXPECT_EQ(Drain(fOut), Slice(code, 72, 720 * 19));
    EXPECT_EQ(fIn.NotActualPosition(), 46 + 800 * 19);
}

// The search written out as the stage describes it, window value by window value: at each of
// the 80 offsets the word is correlated with each of the ten groups in turn, and the hypotheses
// are taken in their order (plain pairing first) whenever one beats the best so far.
std::string ReferenceSearchLine(const Values& w) {
    static const int uI[4] = {-1, 1, -1, 1}, uQ[4] = {-1, -1, 1, 1};
    static const char* const names[8] = {
        "natural", "quarter",         "exchanged",       "conjugate",
        "later",   "later-conjugate", "exchanged-later", "exchanged-later-conjugate"};
    int score[80][8];
    for (int p = 0; p < 80; ++p) {
        int a1 = 0, a2 = 0, a3 = 0, a4 = 0, a6 = 0, a7 = 0, a8 = 0;
        for (int g = 0; g < 10; ++g)
            for (int m = 0; m < 4; ++m) {
                const int at = 80 * g + p + 2 * m;
                const int i = w[static_cast<size_t>(at)], q = w[static_cast<size_t>(at + 1)],
                          qNext = w[static_cast<size_t>(at + 3)];
                a1 += i * uI[m];
                a2 += q * uQ[m];
                a3 += q * uI[m];
                a4 -= i * uQ[m];
                a6 += qNext * uQ[m];
                a7 += i * uQ[m];
                a8 += qNext * uI[m];
            }
        a1 /= 40, a2 /= 40, a3 /= 40, a4 /= 40, a6 /= 40, a7 /= 40, a8 /= 40;
        const int c[8] = {std::abs(a1 + a2), std::abs(a3 + a4), std::abs(a3 - a4), std::abs(a1 - a2),
                          std::abs(a1 + a6), std::abs(a1 - a6), std::abs(a7 + a8), std::abs(a7 - a8)};
        std::copy(c, c + 8, score[p]);
    }
    auto plain = [](int p, int k) { return p % 2 == 0 && k < 2; };
    int best = 0, at = -1, kind = 0;
    for (int pass = 0; pass < 2; ++pass)
        for (int p = 0; p < 80; ++p)
            for (int k = 0; k < 8; ++k)
                if (plain(p, k) == (pass == 0) && score[p][k] > best) best = score[p][k], at = p, kind = k;
    const bool wonPlain = at < 0 || plain(at, kind);
    int other = 0;
    for (int p = 0; p < 80; ++p)
        for (int k = 0; k < 8; ++k)
            if ((p != at || k != kind) && !(wonPlain && plain(p, k))) other = std::max(other, score[p][k]);
    const bool clear = wonPlain ? best > other : best - other >= 8;
    std::string line = "* 880 " + std::to_string(at < 0 ? -1 : at / 2) + " " + std::to_string(best);
    if (!wonPlain) line += std::string(" ") + names[kind] + " " + std::to_string(at);
    if (best > 80 && !clear) line += " ambiguous " + std::to_string(other);
    return line;
}

TEST_F(UniqueWordStage, SearchAgreesWithTheWordCorrelatedGroupByGroup) {
    // Windows of noise holding zero, one or two words, each under a random hypothesis at a random
    // offset and strength: searches that find nothing, near ties (the scores are small integers),
    // clear locks on every hypothesis and ambiguous bests.
    static const int8_t word[8] = {-1, -1, 1, -1, -1, 1, 1, 1};
    std::mt19937 rng(11);
    int locks = 0, ambiguous = 0, others = 0;
    for (int trial = 0; trial < 400; ++trial) {
        SCOPED_TRACE(trial);
        const int noise = static_cast<int>(rng() % 90);
        Values w(880);
        for (auto& x : w)
            x = static_cast<int8_t>(noise ? static_cast<int>(rng() % (2 * noise + 1)) - noise : 0);
        for (int n = static_cast<int>(rng() % 3); n > 0; --n) {
            const int amp = 10 + static_cast<int>(rng() % 110), p = static_cast<int>(rng() % 80),
                      how = static_cast<int>(rng() % 6);
            for (int g = 0; g < 10; ++g)
                for (int m = 0; m < 4; ++m) {
                    int8_t* at = &w[static_cast<size_t>(80 * g + p + 2 * m)];
                    const int8_t i = static_cast<int8_t>(amp * word[2 * m]),
                                 q = static_cast<int8_t>(amp * word[2 * m + 1]);
                    switch (how) {
                    case 0:
                        at[0] = i, at[1] = q;
                        break; // as sent
                    case 1:
                        at[0] = static_cast<int8_t>(-q), at[1] = i;
                        break; // turned
                    case 2:
                        at[0] = q, at[1] = i;
                        break; // exchanged
                    case 3:
                        at[0] = i, at[1] = static_cast<int8_t>(-q);
                        break; // conjugate
                    case 4:
                        at[0] = i, at[3] = q;
                        break; // Q a pair later
                    default:
                        at[0] = q, at[3] = static_cast<int8_t>(-i);
                        break; // I a pair later
                    }
                }
        }
        TSHORTstream in("in", true, true, nullptr), out("out", true, true, nullptr);
        const std::string log = TempName("ref" + std::to_string(trial));
        TSyncBeforIntThread stage(&in, &out, log);
        Feed(in, w);
        ASSERT_TRUE(stage.DoStep(&in, &out));
        const std::string expected = ReferenceSearchLine(w);
        EXPECT_EQ(ReadLog(log), std::vector<std::string>{expected});
        locks += stage.Sync();
        ambiguous += expected.find("ambiguous") != std::string::npos;
        others += expected.find('e', 6) != std::string::npos; // a hypothesis's name
        std::filesystem::remove(log);
    }
    // The windows reach every branch of the search.
    EXPECT_GT(locks, 20);
    EXPECT_GT(ambiguous, 5);
    EXPECT_GT(others, 20);
}

// ---- deinterleaver ----

TEST_F(Deinterleaver, WaitsForAWholeBlock) {
    Feed(fIn, Values(Block - 1, 5));
    EXPECT_FALSE(fStage->DoStep(&fIn, &fOut));
    EXPECT_EQ(fIn.Position(), 0);
    EXPECT_EQ(fOut.Size(), 0);
}

TEST_F(Deinterleaver, FirstBlockIsTheInitialZeros) {
    Feed(fIn, SoftCode(Block, 8));
    EXPECT_EQ(Run(), 1);
    EXPECT_EQ(Drain(fOut), Values(Block, 0));
}

TEST_F(Deinterleaver, DelayOfEachBranch) {
    // One marked value per branch, on rows far apart; everything else zero.
    Values in(Store + 2 * Block, 0);
    std::vector<size_t> at(36);
    for (size_t b = 0; b < 36; ++b) {
        at[b] = 36 * (100 + 37 * b) + b;
        in[at[b]] = static_cast<int8_t>(b + 1);
    }
    Feed(fIn, in);
    EXPECT_EQ(Run(), 38);
    const Values out = Drain(fOut);
    ASSERT_EQ(out.size(), in.size());
    size_t marks = 0;
    for (size_t n = 0; n < out.size(); ++n) {
        if (out[n] == 0) continue;
        ++marks;
        const size_t b = static_cast<size_t>(out[n] - 1);
        ASSERT_LT(b, 36u);
        const size_t delay = b == 0 ? Store : (36 - b) * Block;
        EXPECT_EQ(n, at[b] + delay) << "branch " << b;
    }
    EXPECT_EQ(marks, 36u);
}

TEST_F(Deinterleaver, UndoesTheSatellitesInterleavingWithOneDelayForAllBranches) {
    const Values code = SoftCode(Store + 3 * Block, 9);
    const Values sent = Interleave(code);
    // Arriving in pieces that do not match the blocks changes nothing.
    std::mt19937 rng(10);
    for (size_t done = 0; done < sent.size();) {
        const size_t n = std::min<size_t>(sent.size() - done, 1 + rng() % 200000);
        Feed(fIn, Slice(sent, done, n));
        done += n;
        Run();
    }
    Values expected(Store, 0);
    expected.insert(expected.end(), code.begin(), code.end() - static_cast<long>(Store));
    const Values out = Drain(fOut);
    ASSERT_EQ(out.size(), code.size());
    EXPECT_EQ(FirstDifference(out, expected), out.size());
}

TEST_F(Deinterleaver, NeitherCreatesNorDeletesItsLogFile) {
    const std::string existing = TempName("kept");
    const std::string missing = TempName("absent");
    { std::ofstream(existing) << "keep"; }
    std::filesystem::remove(missing);
    TSHORTstream in("in", true, true, nullptr), out("out", true, true, nullptr);
    TInterlivingThread a(&in, &out, existing);
    TInterlivingThread b(&in, &out, missing);
    Feed(in, Values(2 * Block, 1));
    EXPECT_TRUE(a.DoStep(&in, &out));
    EXPECT_TRUE(b.DoStep(&in, &out));
    std::ifstream kept(existing);
    std::string text;
    kept >> text;
    EXPECT_EQ(text, "keep");
    EXPECT_FALSE(std::filesystem::exists(missing));
    std::filesystem::remove(existing);
}

// ---- the two stages as threads ----

TEST(InterleavedChain, RestoresTheCodeValuesForTheFourRotations) {
    // 3,893 steps of 720 values after the start-up: 38 whole deinterleaver blocks.
    const size_t groups = 38912 + 20;
    const Values code = SoftCode(72 * groups, 11);
    const Values stream = WithUniqueWords(Interleave(code));
    const size_t blocks = 38;
    for (int turns = 0; turns < 4; ++turns) {
        SCOPED_TRACE(turns);
        TSHORTstream in("In", true, true, nullptr), mid("Int", true, true, nullptr),
            out("NoSync", true, true, nullptr);
        const std::string log = TempName("chain" + std::to_string(turns));
        auto sync = std::make_unique<TSyncBeforIntThread>(&in, &mid, log);
        auto deint = std::make_unique<TInterlivingThread>(&mid, &out, log + ".Interliving");
        // Entered 6 values after a unique word: the stage starts with group 1.
        Feed(in, Rotate(Slice(stream, 6, stream.size() - 6), turns));
        sync->Start();
        deint->Start();
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (out.Size() < static_cast<int64_t>(blocks * Block) && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        StopAndFreeStage(sync);
        StopAndFreeStage(deint);
        const Values got = Drain(out);
        ASSERT_EQ(got.size(), blocks * Block);

        // Output m is code value m + 72 - 2,654,208 (the total delay, less the group the stage
        // skipped), once the value has passed the deinterleaver's own delay: in the last 72
        // values before 2,654,208, branch 0 (delayed a whole store) still gives the initial zero.
        Values expected(got.size(), 0);
        for (size_t m = Store - 72; m < expected.size(); ++m) {
            const size_t b = m % 36;
            if (m >= (b == 0 ? Store : (36 - b) * Block)) expected[m] = code[m + 72 - Store];
        }
        if (turns == 1 || turns == 2) expected = Negate(expected);
        EXPECT_EQ(FirstDifference(got, expected), got.size());
        std::filesystem::remove(log);
    }
}

TEST(InterleavedChain, KeepsTheBranchesInStepAcrossALostLock) {
    // Values cut out, added or zeroed in group D make the unique-word stage lose its lock; the
    // groups after the damage must still reach the deinterleaver's right branches. The damage can
    // spoil group D and those the locked stage passes on shifted before it notices: the rest of
    // its window, and after a slip of a few values RelockWindows more windows, in which a near
    // hypothesis (a quarter turn or I and Q exchanged, one value on) keeps the lock until it has
    // been clearly beaten often enough. Every other value must come out exact. Losing or doubling
    // one group, or passing the values on with other signs after the relock, would spoil nearly
    // every value sent after D (16 s at 80 k).
    const size_t groups = 38912 + 40; // 38 blocks out after the start-up, and a window to spare
    const Values sent = Interleave(SoftCode(72 * groups, 12));
    const Values clean = WithUniqueWords(sent);
    constexpr size_t D = 2000; // about 2 blocks in: each branch carries values from after it
    const struct {
        const char* name;
        size_t at, cut, added, zeroed; // values
        int turns;                     // quarter turns of the values from the damage on
    } cases[] = {
        {"3 values cut", 80 * D + 30, 3, 0, 0, 0},
        {"5 values added", 80 * D + 3, 0, 5, 0, 0},
        {"50 ms zeroed", 80 * D + 50, 0, 0, 8000, 0},
        {"a unique word cut", 80 * D, 8, 0, 0, 0},
        // A receiver that comes back in another phase: the values keep the signs of the first lock.
        {"50 ms zeroed, then a quarter turn", 80 * D + 50, 0, 0, 8000, 1},
        {"4 values cut, then a half turn", 80 * D + 30, 4, 0, 0, 2},
    };
    const size_t blocks = 38;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Values stream = clean;
        stream.erase(stream.begin() + static_cast<long>(c.at),
                     stream.begin() + static_cast<long>(c.at + c.cut));
        stream.insert(stream.begin() + static_cast<long>(c.at), c.added, 1);
        std::fill_n(stream.begin() + static_cast<long>(c.at), c.zeroed, 0);
        const auto from = stream.begin() + static_cast<long>(c.at);
        const Values turned = Rotate(Values(from, stream.end()), c.turns);
        std::copy(turned.begin(), turned.end(), from);
        TSHORTstream in("In", true, true, nullptr), mid("Int", true, true, nullptr),
            out("NoSync", true, true, nullptr);
        TSyncBeforIntThread sync(&in, &mid, "");
        TInterlivingThread deint(&mid, &out, "");
        Feed(in, stream);
        while (sync.DoStep(&in, &mid) || deint.DoStep(&mid, &out)) {
            in.ClearNotActualMemory();
            mid.ClearNotActualMemory();
        }
        const Values got = Drain(out);
        ASSERT_GE(got.size(), blocks * Block);

        // Output m is the deinterleaver's input value n = m - its branch's delay, i.e. the value
        // sent as n (the stage locked on group 0, so its output n is code value n of group n / 72).
        const size_t lastSpoilt = D + (c.zeroed + 79) / 80 + 10 * (TSyncBeforIntThread::RelockWindows + 1);
        size_t wrong = 0, checked = 0;
        for (size_t m = 0; m < blocks * Block; ++m) {
            const size_t b = m % 36;
            const size_t delay = b == 0 ? Store : (36 - b) * Block;
            if (m < delay) continue; // the store's initial zeros
            const size_t n = m - delay;
            if (n / 72 >= D && n / 72 <= lastSpoilt) continue;
            ++checked;
            if (got[m] != sent[n] && ++wrong <= 3)
                ADD_FAILURE() << "output " << m << " (sent value " << n << ", group " << n / 72 << ")";
        }
        EXPECT_EQ(wrong, 0u) << "of " << checked;
        EXPECT_GT(checked, blocks * Block / 2);
    }
}
