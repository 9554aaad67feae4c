#include "fec/LRPT_ReedSolomonThreadUnit.h"

#include "TestLog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// GF(256) with x^8+x^7+x^2+x+1 and the code's roots beta^112..beta^143, beta = alpha^11,
// written here independently of the decoder.
struct Field {
    uint8_t exp[512];
    int log[256];
    Field() {
        int v = 1;
        for (int i = 0; i < 255; ++i) {
            exp[i] = exp[i + 255] = static_cast<uint8_t>(v);
            log[v] = i;
            v <<= 1;
            if (v & 0x100) v ^= 0x187;
        }
        exp[510] = exp[0];
        exp[511] = exp[1];
    }
    uint8_t Mul(uint8_t a, uint8_t b) const { return a && b ? exp[log[a] + log[b]] : 0; }
};
const Field& GF() {
    static const Field f;
    return f;
}

// Check symbols for 223 data symbols placed at coefficients 0..222 (checks at 223..254).
// The root set is symmetric, so the word is encoded reversed the usual way (data in the high
// coefficients) and read backwards.
Bytes EncodeWord(const Bytes& data) {
    const Field& f = GF();
    std::vector<uint8_t> g = {1};
    for (int i = 112; i <= 143; ++i) {
        const uint8_t root = f.exp[(11 * i) % 255];
        std::vector<uint8_t> next(g.size() + 1, 0);
        for (size_t k = 0; k < g.size(); ++k) {
            next[k + 1] ^= g[k];
            next[k] ^= f.Mul(g[k], root);
        }
        g = next;
    }
    // Long division of x^32 * M(x), M[j] = data[222 - j], by the monic g.
    std::vector<uint8_t> rem(32, 0);
    for (int j = 222; j >= 0; --j) {
        const uint8_t feedback = data[static_cast<size_t>(222 - j)] ^ rem[31];
        for (int k = 31; k > 0; --k)
            rem[static_cast<size_t>(k)] =
                rem[static_cast<size_t>(k - 1)] ^ f.Mul(feedback, g[static_cast<size_t>(k)]);
        rem[0] = f.Mul(feedback, g[0]);
    }
    Bytes check(32);
    for (int m = 0; m < 32; ++m)
        check[static_cast<size_t>(m)] = rem[static_cast<size_t>(31 - m)];
    return check;
}

Bytes Sequence() {
    Bytes seq(1020);
    uint8_t v = 0xFF;
    for (auto& byte : seq) {
        byte = 0;
        for (int b = 0; b < 8; ++b) {
            byte = static_cast<uint8_t>(byte << 1 | (v & 1));
            const int fb = (v ^ v >> 3 ^ v >> 5 ^ v >> 7) & 1;
            v = static_cast<uint8_t>(v >> 1 | fb << 7);
        }
    }
    return seq;
}

Bytes TransferFrame(uint32_t counter, int vc = 5, uint32_t seed = 1) {
    Bytes t(892);
    std::mt19937 rng(seed + counter);
    for (auto& b : t)
        b = static_cast<uint8_t>(rng());
    t[0] = 0x40;
    t[1] = static_cast<uint8_t>(vc);
    t[2] = static_cast<uint8_t>(counter >> 16);
    t[3] = static_cast<uint8_t>(counter >> 8);
    t[4] = static_cast<uint8_t>(counter);
    return t;
}

// Randomise, add the check bytes of the four interleaved words, put the marker in front.
Bytes Cadu(const Bytes& t) {
    const Bytes seq = Sequence();
    Bytes f(1020);
    for (int i = 0; i < 892; ++i)
        f[static_cast<size_t>(i)] = t[static_cast<size_t>(i)] ^ seq[static_cast<size_t>(i)];
    for (int w = 0; w < 4; ++w) {
        Bytes data(223);
        for (int m = 0; m < 223; ++m)
            data[static_cast<size_t>(m)] = f[static_cast<size_t>(w + 4 * m)];
        const Bytes check = EncodeWord(data);
        for (int m = 0; m < 32; ++m)
            f[static_cast<size_t>(w + 4 * (223 + m))] = check[static_cast<size_t>(m)];
    }
    Bytes cadu(1024);
    const uint8_t marker[4] = {0x1A, 0xCF, 0xFC, 0x1D};
    std::copy(marker, marker + 4, cadu.begin());
    std::copy(f.begin(), f.end(), cadu.begin() + 4);
    return cadu;
}

// Flips `count` distinct symbols of interleaved word `word` (positions spread over the word).
void Corrupt(Bytes& cadu, int word, int count, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<int> positions(255);
    for (int m = 0; m < 255; ++m)
        positions[static_cast<size_t>(m)] = m;
    std::shuffle(positions.begin(), positions.end(), rng);
    for (int k = 0; k < count; ++k)
        cadu[static_cast<size_t>(4 + word + 4 * positions[static_cast<size_t>(k)])] ^=
            static_cast<uint8_t>(1 + rng() % 255);
}

std::string Hex(const Bytes& b, size_t from, size_t count) {
    std::string s;
    char two[3];
    for (size_t i = from; i < from + count; ++i) {
        std::snprintf(two, sizeof two, "%02X", b[i]);
        s += two;
    }
    return s;
}

class FrameStage : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fLog = (std::filesystem::temp_directory_path() / ("tarnwick_rs_" + name + ".log")).string();
    }
    void TearDown() override { std::filesystem::remove(fLog); }

    void Make(bool ignoreFatal) {
        fStage = std::make_unique<TReedSolomonThread>(&fIn, &fOut, fLog, &fVcdu, ignoreFatal);
    }
    void Feed(const Bytes& b) { fIn.Write(b.data(), static_cast<int32_t>(b.size())); }
    int Run() {
        int frames = 0;
        while (fStage->DoStep(&fIn, &fOut)) {
            fIn.ClearNotActualMemory();
            ++frames;
        }
        return frames;
    }
    Bytes Out() {
        Bytes b(static_cast<size_t>(fOut.AwaitingReadSize()));
        fOut.Read(b.data(), static_cast<int32_t>(b.size()));
        return b;
    }
    Bytes Record(int index) {
        return Bytes(fVcdu.Memory() + 1024 * index, fVcdu.Memory() + 1024 * (index + 1));
    }
    std::vector<std::string> Log() const { return LogMessages(fLog); }

    TSHORTstream fIn{"in", true, true, nullptr};
    TSHORTstream fOut{"out", true, true, nullptr};
    TMemoryStream fVcdu;
    std::string fLog;
    std::unique_ptr<TReedSolomonThread> fStage;
};

} // namespace

TEST_F(FrameStage, CleanAndCorrectedFramesPassTheSameTransferFrameOn) {
    Make(false);
    const Bytes t = TransferFrame(100);
    Bytes damaged = Cadu(t);
    Corrupt(damaged, 0, 3, 7);
    Corrupt(damaged, 2, 2, 8);
    Feed(Cadu(t));
    Feed(damaged);
    Feed(Bytes(1023, 0));
    EXPECT_EQ(Run(), 2);

    const Bytes out = Out();
    ASSERT_EQ(out.size(), 2u * 892);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 892), t);
    EXPECT_EQ(Bytes(out.begin() + 892, out.end()), t);

    ASSERT_EQ(fVcdu.Size(), 2 * 1024);
    const Bytes clean = Record(0), cured = Record(1);
    EXPECT_EQ(Hex(clean, 0, 4), "00000000");
    EXPECT_EQ(Hex(cured, 0, 4), "03000200");
    EXPECT_EQ(Bytes(clean.begin() + 4, clean.end()), Bytes(cured.begin() + 4, cured.end()));
    EXPECT_EQ(Bytes(clean.begin() + 4, clean.begin() + 896), t);

    const auto log = Log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0], "0 1 SYNC=1ACFFC1D CuredRS=0 FatalRS=0 " + Hex(t, 0, 12));
    EXPECT_EQ(log[1], "1 2 SYNC=1ACFFC1D CuredRS=5 FatalRS=0 " + Hex(t, 0, 12) + " CountJump= 0");
}

TEST_F(FrameStage, UncorrectableWordStopsTheFrameUnlessIgnored) {
    for (const bool ignore : {false, true}) {
        SCOPED_TRACE(ignore);
        TearDown();
        fOut.Seek(int64_t{0}, TSeekOrigin::soEnd);
        fVcdu.Clear();
        Make(ignore);
        const Bytes t = TransferFrame(5);
        Bytes cadu = Cadu(t);
        cadu[0] = 0x1B; // a damaged marker shows in the log as received
        Corrupt(cadu, 1, 40, 3);
        Feed(cadu);
        EXPECT_EQ(Run(), 1);
        EXPECT_EQ(Hex(Record(0), 0, 4), "00FF0000");
        const auto log = Log();
        ASSERT_EQ(log.size(), 1u);
        const std::string head = std::string(ignore ? "0 1" : "0 0") + " SYNC=1BCFFC1D CuredRS=0 FatalRS=1 ";
        EXPECT_EQ(log[0].substr(0, head.size()), head);
        const Bytes out = Out();
        if (!ignore) {
            EXPECT_TRUE(out.empty());
        } else {
            ASSERT_EQ(out.size(), 892u);
            // The failed word's bytes stay as received; the others are intact.
            int differing = 0;
            for (size_t i = 0; i < 892; ++i)
                if (out[i] != t[i]) {
                    ++differing;
                    EXPECT_EQ(i % 4, 1u);
                }
            EXPECT_GT(differing, 0);
        }
    }
}

TEST_F(FrameStage, OtherVirtualChannelsAreRecordedButNotPassedOn) {
    Make(false);
    Feed(Cadu(TransferFrame(100)));
    Feed(Cadu(TransferFrame(101, 6)));
    Feed(Cadu(TransferFrame(101)));
    EXPECT_EQ(Run(), 3);
    EXPECT_EQ(fVcdu.Size(), 3 * 1024);
    EXPECT_EQ(Out().size(), 2u * 892);
    const auto log = Log();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[1].substr(0, 4), "1 1 ");
    // The foreign frame did not move the counter: 100 -> 101 is no jump.
    EXPECT_EQ(log[2].find("CountJump"), std::string::npos);
}

TEST_F(FrameStage, CounterJumpsIncludingTheWrap) {
    Make(false);
    for (const uint32_t counter : {100u, 101u, 104u, 16777215u, 0u})
        Feed(Cadu(TransferFrame(counter)));
    EXPECT_EQ(Run(), 5);
    const auto log = Log();
    ASSERT_EQ(log.size(), 5u);
    auto ending = [](const std::string& line) { return line.substr(line.find("FatalRS=0 ") + 10 + 24); };
    EXPECT_EQ(ending(log[0]), "");
    EXPECT_EQ(ending(log[1]), "");
    EXPECT_EQ(ending(log[2]), " CountJump= 3");
    EXPECT_EQ(ending(log[3]), " CountJump= 16777111");
    EXPECT_EQ(ending(log[4]), " CountJump= -16777215");
}

TEST_F(FrameStage, WaitsForAWholeFrame) {
    Make(false);
    Feed(Bytes(1023, 0));
    EXPECT_FALSE(fStage->DoStep(&fIn, &fOut));
    EXPECT_EQ(fIn.Position(), 0);
    EXPECT_EQ(fVcdu.Size(), 0);
}

TEST_F(FrameStage, AllZeroRecordsAreNoFrames) {
    // All-zero words are code words, but such a record is decoded erasures, never a received frame:
    // with or without a marker it is read and dropped, and the frames around it are counted, logged
    // and recorded as if it were not there. One byte off zero makes a (damaged) frame again.
    Make(false);
    Bytes marked(1024, 0);
    const uint8_t marker[4] = {0x1A, 0xCF, 0xFC, 0x1D};
    std::copy(marker, marker + 4, marked.begin());
    Bytes almost(1024, 0);
    almost[4 + 2 + 4 * 100] = 0x55; // one symbol of word 2
    Feed(Bytes(1024, 0));
    Feed(Cadu(TransferFrame(7)));
    Feed(marked);
    Feed(Cadu(TransferFrame(8)));
    Feed(almost);
    EXPECT_EQ(Run(), 5); // every record is read
    EXPECT_EQ(fStage->VCDUcounter(), 3u);
    EXPECT_EQ(fStage->OkVCDUcounter(), 2u);
    EXPECT_EQ(Out().size(), 2u * 892);
    ASSERT_EQ(fVcdu.Size(), 3 * 1024);
    for (int r = 0; r < 2; ++r) {
        const Bytes record = Record(r);
        EXPECT_EQ(Bytes(record.begin() + 4, record.begin() + 896),
                  TransferFrame(7 + static_cast<uint32_t>(r)));
    }
    EXPECT_EQ(Hex(Record(2), 0, 4), "00000100");
    const auto log = Log();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].substr(0, 18), "0 1 SYNC=1ACFFC1D ");
    EXPECT_EQ(log[1], "1 2 SYNC=1ACFFC1D CuredRS=0 FatalRS=0 " + Hex(TransferFrame(8), 0, 12));
    EXPECT_EQ(log[2].substr(0, 38), "2 2 SYNC=00000000 CuredRS=1 FatalRS=0 ");
}
