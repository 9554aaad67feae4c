#include "fec/TrueRS_LRPT.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <numeric>
#include <random>
#include <vector>

namespace {

// Field arithmetic written here from the definition: x^8 + x^7 + x^2 + x + 1, alpha = 02.
uint8_t Mul(uint8_t a, uint8_t b) {
    uint8_t p = 0;
    for (; b; b >>= 1) {
        if (b & 1) p ^= a;
        a = static_cast<uint8_t>((a << 1) ^ ((a & 0x80) ? 0x87 : 0));
    }
    return p;
}

uint8_t Pow(uint8_t a, int e) {
    uint8_t r = 1;
    for (int i = 0; i < e; ++i)
        r = Mul(r, a);
    return r;
}

uint8_t Inv(uint8_t a) {
    return Pow(a, 254);
}

const uint8_t kBeta = Pow(2, 11);

uint8_t BetaPow(int e) {
    return Pow(kBeta, ((e % 255) + 255) % 255);
}

// Generator g(x) = prod (x - beta^i), i = 112..143, coefficients low degree first.
std::vector<uint8_t> Generator() {
    std::vector<uint8_t> g{1};
    for (int i = 112; i <= 143; ++i) {
        const uint8_t root = BetaPow(i);
        std::vector<uint8_t> next(g.size() + 1, 0);
        for (size_t j = 0; j < g.size(); ++j) {
            next[j + 1] ^= g[j];
            next[j] ^= Mul(g[j], root);
        }
        g = next;
    }
    return g;
}

// Systematic code word with the data at indices 0..222 and the check symbols at 223..254:
// c(x) = D(x) + x^223 P(x) is a multiple of g when P = x^32 D(x) mod g, since x^255 = 1 mod g.
std::array<uint8_t, 255> EncodeWord(const std::vector<uint8_t>& data) {
    static const std::vector<uint8_t> g = Generator();
    std::vector<uint8_t> rem(255 + 32, 0); // x^32 D(x)
    for (int j = 0; j < 223; ++j)
        rem[j + 32] = data[j];
    for (int deg = 254; deg >= 32; --deg) {
        const uint8_t c = rem[deg];
        if (c == 0) continue;
        for (int j = 0; j <= 32; ++j)
            rem[deg - 32 + j] ^= Mul(c, g[j]);
    }
    std::array<uint8_t, 255> word{};
    for (int j = 0; j < 223; ++j)
        word[j] = data[j];
    for (int j = 0; j < 32; ++j)
        word[223 + j] = rem[j];
    return word;
}

std::array<uint8_t, 255> RandomWord(std::mt19937& rng) {
    std::vector<uint8_t> data(223);
    for (auto& b : data)
        b = static_cast<uint8_t>(rng());
    return EncodeWord(data);
}

void Load(TPolinom& p, const std::array<uint8_t, 255>& w) {
    std::copy(w.begin(), w.end(), p.d);
    p.l = 255;
}

std::array<uint8_t, 255> Read(const TPolinom& p) {
    std::array<uint8_t, 255> w{};
    std::copy(p.d, p.d + 255, w.begin());
    return w;
}

// Distinct positions; the first ones forced, the rest random.
std::vector<int> Positions(std::mt19937& rng, int count, std::vector<int> forced) {
    std::vector<int> all(255);
    for (int i = 0; i < 255; ++i)
        all[i] = i;
    std::shuffle(all.begin(), all.end(), rng);
    std::vector<int> pos;
    for (int p : forced)
        if (static_cast<int>(pos.size()) < count) pos.push_back(p);
    for (int p : all)
        if (static_cast<int>(pos.size()) < count && std::find(pos.begin(), pos.end(), p) == pos.end())
            pos.push_back(p);
    return pos;
}

std::array<uint8_t, 255> Corrupt(std::array<uint8_t, 255> w, const std::vector<int>& pos, std::mt19937& rng) {
    for (int p : pos)
        w[p] ^= static_cast<uint8_t>(1 + rng() % 255);
    return w;
}

} // namespace

TEST(TrueRS, FieldTables) {
    const TGaloisTables& T = GaloisTables();
    EXPECT_EQ(T.EXP[0], 0x01);
    EXPECT_EQ(T.EXP[1], 0xAD);
    EXPECT_EQ(T.EXP[2], 0xBE);
    EXPECT_EQ(T.MUL[0x02][0x80], 0x87);
    EXPECT_EQ(T.LOG[0], 0);
    for (int i = 0; i < 255; ++i) {
        ASSERT_EQ(T.EXP[i], BetaPow(i)) << i;
        ASSERT_EQ(T.LOG[T.EXP[i]], i) << i;
    }
    for (int j = 0; j < 255; j += 7)
        for (int k = 1; k <= 255; ++k)
            ASSERT_EQ(T.POW[j][k], BetaPow(j * k)) << j << " " << k;
    for (int a = 0; a < 256; ++a) {
        for (int b = 0; b < 256; ++b) {
            ASSERT_EQ(T.MUL[a][b], Mul(a, b)) << a << " " << b;
            ASSERT_EQ(TTrueRS::mult(a, b), Mul(a, b));
            if (b != 0) {
                ASSERT_EQ(Mul(T.DIV[a][b], b), a) << a << " " << b;
                ASSERT_EQ(TTrueRS::reduce(a, b), T.DIV[a][b]);
            }
        }
    }
}

TEST(TrueRS, DivisionByZeroRaisesTheFieldError) {
    for (uint8_t c1 : {5, 0}) {
        try {
            TTrueRS::reduce(c1, 0);
            ADD_FAILURE() << "no exception for " << int(c1) << " / 0";
        } catch (const EGaloisFieldError& e) {
            EXPECT_STREQ(e.what(), "Деление на ноль в операциях поля Галуа");
        }
    }
    EXPECT_EQ(TTrueRS::reduce(0, 5), 0);
}

TEST(TrueRS, ValidWordsAreReportedCleanAndLeftAlone) {
    std::mt19937 rng(1);
    TTrueRS rs;
    TPolinom cx(255, 255, true), fx(255, 255, true);
    for (int t = 0; t < 5; ++t) {
        const auto word = RandomWord(rng);
        Load(cx, word);
        std::fill(fx.d, fx.d + 255, 0x5A);
        EXPECT_EQ(rs.Check(cx, fx), 0);
        EXPECT_EQ(Read(cx), word);
        EXPECT_EQ(fx.d[0], 0x5A);
        EXPECT_EQ(rs.Check(cx, cx), 0);
        EXPECT_EQ(Read(cx), word);
    }
    // The roots are symmetric, so the word read backwards is a code word as well.
    auto reversed = RandomWord(rng);
    std::reverse(reversed.begin(), reversed.end());
    Load(cx, reversed);
    EXPECT_EQ(rs.Check(cx, cx), 0);
}

TEST(TrueRS, UpToSixteenErrorsAnywhereAreCorrectedAndCounted) {
    std::mt19937 rng(2);
    TTrueRS rs;
    TPolinom cx(255, 255, true), fx(255, 255, true);
    const std::vector<std::vector<int>> forced = {{0}, {254}, {0, 254}, {223, 240, 254}, {}};
    for (int count = 1; count <= 16; ++count) {
        for (const auto& f : forced) {
            auto word = RandomWord(rng);
            if (count % 3 == 0) std::reverse(word.begin(), word.end());
            const auto pos = Positions(rng, count, f);
            const auto bad = Corrupt(word, pos, rng);

            Load(cx, bad);
            EXPECT_EQ(rs.Check(cx, cx), count) << "in place, " << count << " errors";
            EXPECT_EQ(Read(cx), word) << count;

            // Into a separate word: the received one stays as it was.
            Load(cx, bad);
            std::fill(fx.d, fx.d + 255, 0);
            EXPECT_EQ(rs.Check(cx, fx), count) << "separate, " << count << " errors";
            EXPECT_EQ(Read(cx), bad);
            EXPECT_EQ(Read(fx), word);
        }
    }
}

TEST(TrueRS, MoreThanSixteenErrorsAreRefusedAndTheWordIsUnchanged) {
    std::mt19937 rng(3);
    TTrueRS rs;
    TPolinom cx(255, 255, true), fx(255, 255, true);
    for (int count : {17, 18, 20, 24, 32, 40, 100, 255}) {
        for (int t = 0; t < 4; ++t) {
            const auto bad = Corrupt(RandomWord(rng), Positions(rng, count, {}), rng);
            Load(cx, bad);
            std::fill(fx.d, fx.d + 255, 0x33);
            EXPECT_EQ(rs.Check(cx, fx), 255) << count;
            EXPECT_EQ(Read(cx), bad);
            EXPECT_EQ(fx.d[0], 0x33);
            EXPECT_EQ(rs.Check(cx, cx), 255) << count;
            EXPECT_EQ(Read(cx), bad);
        }
    }
}

// Seventeen errors built so that Berlekamp-Massey returns their true locator, of degree 17 with
// 17 distinct roots: the values make S_1..S_16 vanish (a minimum-weight word of the code with the
// first 16 roots), S_17 equals the product of the locators and the sum of their inverses is 0.
// Such a word passes the degree and root-count checks; only the limit of 16 refuses it.
TEST(TrueRS, LocatorOfDegreeSeventeenIsRefused) {
    std::array<int, 256> logOf{};
    for (int e = 0; e < 255; ++e)
        logOf[BetaPow(e)] = e;

    std::mt19937 rng(4);
    TTrueRS rs;
    TPolinom cx(255, 255, true);
    int built = 0;
    while (built < 3) {
        std::vector<int> pos = Positions(rng, 16, {});
        uint8_t invSum = 0;
        for (int p : pos)
            invSum ^= Inv(BetaPow(p));
        if (invSum == 0) continue;
        const int last = logOf[Inv(invSum)];
        if (std::find(pos.begin(), pos.end(), last) != pos.end()) continue;
        pos.push_back(last);

        std::vector<uint8_t> X;
        uint8_t product = 1;
        for (int p : pos) {
            X.push_back(BetaPow(p));
            product = Mul(product, X.back());
        }
        const auto word = RandomWord(rng);
        auto bad = word;
        for (size_t k = 0; k < X.size(); ++k) {
            uint8_t den = X[k];
            for (size_t j = 0; j < X.size(); ++j)
                if (j != k) den = Mul(den, X[k] ^ X[j]);
            const uint8_t Y = Mul(product, Inv(den));
            bad[pos[k]] ^= Mul(Y, BetaPow(-111 * pos[k]));
        }
        // The construction: S_1..S_16 vanish, S_17 does not.
        for (int i = 1; i <= 17; ++i) {
            uint8_t s = 0;
            for (int j = 0; j < 255; ++j)
                s ^= Mul(bad[j], BetaPow(j * (111 + i)));
            if (i < 17)
                ASSERT_EQ(s, 0) << i;
            else
                ASSERT_EQ(s, product);
        }

        Load(cx, bad);
        EXPECT_EQ(rs.Check(cx, cx), 255);
        EXPECT_EQ(Read(cx), bad);
        ++built;
    }
}

// Errors and erasures: every split of the 32 check symbols (2e + f = 32) is corrected, the
// erasures at the word's ends too and with some erased bytes left intact; one over the limit
// (2e + f = 33, 34) is refused with the word unchanged while at most 16 bytes are erased (with
// more, the few check symbols left put most words within reach of some code word, whatever the
// decoder); bad erasure lists are refused.
TEST(TrueRS, ErrorsAndErasuresUpToTheLimitAndOneBeyond) {
    std::mt19937 rng(26);
    TTrueRS rs;
    const auto erasuresOf = [](const std::vector<int>& aPos) {
        std::vector<uint8_t> e;
        for (int p : aPos)
            e.push_back(static_cast<uint8_t>(p));
        return e;
    };
    for (int f = 0; f <= 32; f += 2) {
        SCOPED_TRACE(f);
        for (int beyond = 0; beyond <= 2; ++beyond) {
            // e errors outside the f erased positions; beyond 1: one erasure more than fits, 2:
            // one error more.
            const int e = (32 - f) / 2 + (beyond == 2 ? 1 : 0);
            const int erased = f + (beyond == 1 ? 1 : 0);
            if (erased > 32 || (beyond > 0 && f > 16)) continue;
            const auto word = RandomWord(rng);
            const std::vector<int> pos = Positions(rng, erased + e, {0, 254});
            const std::vector<int> erasedPos(pos.begin(), pos.begin() + erased);
            // Errors at the erased positions, bar a few left intact, and at e more.
            std::vector<int> hit(pos.begin() + std::min(erased, 3), pos.end());
            auto received = Corrupt(word, hit, rng);
            const auto before = received;
            const auto list = erasuresOf(erasedPos);
            const uint16_t res = rs.CheckErasures(received.data(), list.data(), erased);
            if (beyond == 0) {
                ASSERT_EQ(res, hit.size());
                EXPECT_EQ(received, word);
            } else {
                EXPECT_EQ(res, TTrueRS::kFatal) << "e " << e << " f " << erased;
                EXPECT_EQ(received, before);
            }
        }
    }
    auto word = RandomWord(rng);
    const auto clean = word;
    const uint8_t repeated[2] = {7, 7}, outside[1] = {255};
    EXPECT_EQ(rs.CheckErasures(word.data(), repeated, 2), TTrueRS::kFatal);
    EXPECT_EQ(rs.CheckErasures(word.data(), outside, 1), TTrueRS::kFatal);
    std::vector<uint8_t> many(33);
    std::iota(many.begin(), many.end(), 0);
    EXPECT_EQ(rs.CheckErasures(word.data(), many.data(), 33), TTrueRS::kFatal);
    EXPECT_EQ(rs.CheckErasures(word.data(), many.data(), 32), 0);
    EXPECT_EQ(word, clean);
    EXPECT_TRUE(TTrueRS::IsCodeWord(word.data()));
    word[100] ^= 1;
    EXPECT_FALSE(TTrueRS::IsCodeWord(word.data()));
}

TEST(TrueRS, AWordOfTheWrongLengthIsRejected) {
    TTrueRS rs;
    TPolinom shortWord(254, 255, true), small(33, 33, true), word(255, 255, true);
    EXPECT_THROW(rs.Check(shortWord, shortWord), EPolinomError);
    EXPECT_THROW(rs.Check(word, small), EPolinomError);
}

// Coefficients low degree first; l is taken from the list.
static void Set(TPolinom& p, std::initializer_list<uint8_t> c) {
    p.Clear();
    std::copy(c.begin(), c.end(), p.d);
    p.l = static_cast<int32_t>(c.size());
}

static std::vector<uint8_t> Coefs(const TPolinom& p) {
    return {p.d, p.d + p.l};
}

// The correction tests exercise the operations; these are the length rules at their edges.
TEST(Polinom, LengthRulesAtTheEdges) {
    TPolinom a(0, 33, true), c(0, 33, true);
    Set(a, {1, 1});
    Set(c, {0, 0, 0});
    c.MultPol(a, c); // a product is trimmed, to one coefficient at least
    EXPECT_EQ(Coefs(c), (std::vector<uint8_t>{0}));
    Set(a, {1, 2, 3});
    Set(c, {1, 2});
    c.SummPol(a); // a sum is not trimmed
    EXPECT_EQ(Coefs(c), (std::vector<uint8_t>{0, 0, 3}));
    Set(a, {5, 6});
    a.MoveRightPol(4);
    EXPECT_EQ(Coefs(a), (std::vector<uint8_t>{0}));
    Set(a, {1, 2, 3, 4, 5});
    c.DerivativePol(a);
    EXPECT_EQ(Coefs(c), (std::vector<uint8_t>{2, 0, 4}));
    Set(a, {7});
    c.DerivativePol(a);
    EXPECT_EQ(Coefs(c), (std::vector<uint8_t>{0}));
    Set(a, {0, 0});
    EXPECT_EQ(a.Gen(), 0);
}

TEST(Polinom, ResultsBeyondTheCapacityThrow) {
    TPolinom a(0, 4, true), big(0, 33, true);
    Set(big, {1, 1, 1, 1, 1});
    EXPECT_THROW(a.MultPol(big, big), EPolinomError);
    EXPECT_THROW(a.SummPol(big), EPolinomError);
    Set(a, {1, 1, 1});
    EXPECT_THROW(a.MoveLeftPol(2), EPolinomError);
    EXPECT_THROW(TPolinom(5, 4, true), EPolinomError);
    EXPECT_THROW(TPolinom(0, 257, true), EPolinomError);
}
