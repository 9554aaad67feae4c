#include "fec/TrueRS_LRPT.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace {

// Multiplication by alpha in GF(256) with the field polynomial 187 hex.
uint8_t TimesAlpha(uint8_t v) {
    return static_cast<uint8_t>((v << 1) ^ ((v & 0x80) ? 0x87 : 0));
}

TGaloisTables BuildTables() {
    TGaloisTables t{};
    t.EXP[0] = 1;
    for (int i = 1; i < 255; ++i) {
        uint8_t v = t.EXP[i - 1];
        for (int j = 0; j < 11; ++j)
            v = TimesAlpha(v);
        t.EXP[i] = v;
    }
    for (int i = 1; i < 255; ++i)
        t.LOG[t.EXP[i]] = static_cast<uint8_t>(i);
    t.LOG[1] = 0;
    for (int j = 0; j < 255; ++j)
        for (int k = 1; k <= 255; ++k)
            t.POW[j][k] = t.EXP[(j * k) % 255];
    return t;
}

} // namespace

const TGaloisTables& GaloisTables() {
    // Built on first use; the function-local static makes concurrent first calls safe.
    static const TGaloisTables tables = [] {
        TGaloisTables t = BuildTables();
        for (int a = 0; a < 256; ++a) {
            for (int b = 0; b < 256; ++b) {
                t.MUL[a][b] = (a == 0 || b == 0) ? 0 : t.EXP[(t.LOG[a] + t.LOG[b]) % 255];
                t.DIV[a][b] = (a == 0 || b == 0) ? 0 : t.EXP[(t.LOG[a] - t.LOG[b] + 510) % 255];
            }
        }
        return t;
    }();
    return tables;
}

namespace {

// A word is a code word exactly when the generator g(x) = prod (x - beta^i), i = 112..143, divides
// it. The remainder comes from a 32-byte shift register fed with the coefficients from the
// highest down, the feedback byte times g taken from a table: one lookup a byte instead of the 32
// of the syndromes, so clean words (the usual case) cost little.
struct TRemainderTable {
    uint64_t row[256][4]; // byte k of word w: feedback times coefficient 8w + k of g
};

const TRemainderTable& RemainderTable() {
    static const TRemainderTable table = [] {
        const TGaloisTables& T = GaloisTables();
        uint8_t g[33] = {1}; // g[k] belongs to x^k; grows to degree 32
        for (int i = 112; i <= 143; ++i) {
            const uint8_t root = T.EXP[i % 255];
            for (int k = 32; k >= 1; --k)
                g[k] = static_cast<uint8_t>(g[k - 1] ^ T.MUL[g[k]][root]);
            g[0] = T.MUL[g[0]][root];
        }
        TRemainderTable t{};
        for (int f = 0; f < 256; ++f)
            for (int k = 0; k < 32; ++k)
                t.row[f][k / 8] |= static_cast<uint64_t>(T.MUL[f][g[k]]) << (8 * (k % 8));
        return t;
    }();
    return table;
}

bool RemainderIsZero(const uint8_t* aWord) {
    const TRemainderTable& T = RemainderTable();
    uint64_t w0 = 0, w1 = 0, w2 = 0, w3 = 0; // remainder coefficients 0..7, 8..15, 16..23, 24..31
    for (int j = 254; j >= 0; --j) {
        const unsigned feedback = static_cast<unsigned>(w3 >> 56);
        w3 = (w3 << 8) | (w2 >> 56);
        w2 = (w2 << 8) | (w1 >> 56);
        w1 = (w1 << 8) | (w0 >> 56);
        w0 = (w0 << 8) | aWord[j];
        const uint64_t* r = T.row[feedback];
        w0 ^= r[0];
        w1 ^= r[1];
        w2 ^= r[2];
        w3 ^= r[3];
    }
    return (w0 | w1 | w2 | w3) == 0;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// TPolinom

namespace {

// Coefficient indices are bytes, so a polynomial holds at most 256 coefficients.
int32_t CheckedCapacity(int32_t aN, int32_t aLen) {
    if (aLen < 1 || aLen > 256 || aN < 0 || aN > aLen)
        throw EPolinomError("TPolinom: length " + std::to_string(aN) + " or capacity " +
                            std::to_string(aLen) + " out of range");
    return aLen;
}

} // namespace

TPolinom::TPolinom(int32_t aN, int32_t aLen, bool aClear)
    : l(aN), fLen(CheckedCapacity(aN, aLen)),
      fData(aClear ? std::make_unique<uint8_t[]>(static_cast<size_t>(fLen))
                   : std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(fLen))) {
    d = fData.get();
}

TPolinom::~TPolinom() = default;

void TPolinom::Need(int32_t aLength) const {
    if (aLength > fLen)
        throw EPolinomError("TPolinom: " + std::to_string(aLength) + " coefficients exceed the capacity of " +
                            std::to_string(fLen));
}

void TPolinom::Clear() {
    std::memset(d, 0, static_cast<size_t>(fLen));
}

void TPolinom::Copy(const TPolinom& A, int32_t start, int32_t count) {
    if (start < 0 || count < 0 || start + count > A.fLen)
        throw EPolinomError("TPolinom: copy outside the source");
    Need(start + count);
    std::memmove(d + start, A.d + start, static_cast<size_t>(count));
    l = std::max(start + count, 1);
}

void TPolinom::MultPol(const TPolinom& A1, const TPolinom& A2) {
    const int32_t len = A1.l + A2.l - 1;
    Need(len);
    const auto& T = GaloisTables();
    // Accumulate apart, so that either factor may be this polynomial.
    uint8_t acc[512] = {};
    for (int32_t i = 0; i < A1.l; ++i) {
        if (A1.d[i] == 0) continue;
        const uint8_t* row = T.MUL[A1.d[i]];
        for (int32_t j = 0; j < A2.l; ++j)
            acc[i + j] ^= row[A2.d[j]];
    }
    Clear();
    std::memcpy(d, acc, static_cast<size_t>(len));
    l = len;
    while (l > 1 && d[l - 1] == 0)
        --l;
}

void TPolinom::MultPolByConst(const TPolinom& A, uint8_t B) {
    Need(A.l);
    const uint8_t* row = GaloisTables().MUL[B];
    uint8_t acc[256];
    for (int32_t i = 0; i < A.l; ++i)
        acc[i] = row[A.d[i]];
    Clear();
    std::memcpy(d, acc, static_cast<size_t>(A.l));
    l = A.l;
}

void TPolinom::SummPol(const TPolinom& A1, const TPolinom& A2) {
    const TPolinom& longer = A1.l > A2.l ? A1 : A2;
    const TPolinom& shorter = A1.l > A2.l ? A2 : A1;
    Need(longer.l);
    // Index by index, so either summand may be this polynomial.
    for (int32_t i = 0; i < longer.l; ++i)
        d[i] = i < shorter.l ? longer.d[i] ^ shorter.d[i] : longer.d[i];
    l = longer.l;
}

void TPolinom::SummPol(const TPolinom& A) {
    if (&A == this) {
        std::memset(d, 0, static_cast<size_t>(l));
        return;
    }
    Need(A.l);
    for (int32_t i = 0; i < A.l; ++i)
        d[i] = i < l ? d[i] ^ A.d[i] : A.d[i];
    l = std::max(l, A.l);
}

void TPolinom::MoveLeftPol(int32_t b) {
    if (b <= 0) return;
    Need(l + b);
    std::memmove(d + b, d, static_cast<size_t>(l));
    std::memset(d, 0, static_cast<size_t>(b));
    l += b;
}

void TPolinom::MoveRightPol(int32_t b) {
    if (b <= 0) return;
    if (b >= l) {
        d[0] = 0;
        l = 1;
        return;
    }
    std::memmove(d, d + b, static_cast<size_t>(l - b));
    l -= b;
}

void TPolinom::DerivativePol(const TPolinom& A) {
    const int32_t h = A.l / 2;
    const int32_t len = std::max(2 * h - 1, 1);
    Need(len);
    uint8_t acc[256] = {};
    for (int32_t i = 0; i < h; ++i)
        acc[2 * i] = A.d[2 * i + 1];
    Clear();
    std::memcpy(d, acc, static_cast<size_t>(len));
    l = len;
}

int32_t TPolinom::Gen() const {
    for (int32_t i = l - 1; i > 0; --i)
        if (d[i] != 0) return i;
    return 0;
}

// ---------------------------------------------------------------------------------------------
// TTrueRS

TTrueRS::TTrueRS() : fT(GaloisTables()) {}

TTrueRS::~TTrueRS() = default;

uint8_t TTrueRS::mult(uint8_t c1, uint8_t c2) {
    if (c1 == 0 || c2 == 0) return 0;
    const auto& T = GaloisTables();
    return T.EXP[(T.LOG[c1] + T.LOG[c2]) % 255];
}

uint8_t TTrueRS::reduce(uint8_t c1, uint8_t c2) {
    if (c2 == 0) throw EGaloisFieldError("Деление на ноль в операциях поля Галуа");
    if (c1 == 0) return 0;
    const auto& T = GaloisTables();
    return T.EXP[(T.LOG[c1] - T.LOG[c2] + 255) % 255];
}

uint8_t TTrueRS::PolValue(const TPolinom& P, int aK) const {
    uint8_t v = 0;
    for (int32_t i = 0; i < P.l; ++i)
        v ^= fT.MUL[P.d[i]][fT.POW[i][aK]];
    return v;
}

uint16_t TTrueRS::Check(TPolinom& Cx, TPolinom& Fx) {
    if (Cx.l != n || Cx.Capacity() < n || Fx.Capacity() < n)
        throw EPolinomError("TTrueRS.Check: a code word has 255 coefficients");

    // Syndromes S_i = c(beta^(111 + i)), all zero for a code word.
    Sj.l = 33;
    if (RemainderIsZero(Cx.d)) {
        std::fill(Sj.d, Sj.d + 33, 0);
        return 0;
    }
    bool any = false;
    Sj.d[0] = 0;
    for (int i = 1; i <= r; ++i) {
        uint8_t s = 0;
        for (int j = 0; j < n; ++j)
            s ^= fT.MUL[Cx.d[j]][fT.POW[j][kOffset + i]];
        Sj.d[i] = s;
        any |= s != 0;
    }
    if (!any) return 0;

    // Berlekamp-Massey. Lx keeps l = L + 1 throughout; Bx enters each step as x times the
    // locator that was current at step m.
    Lx.Clear();
    Lx.d[0] = 1;
    Lx.l = 1;
    Bx.Clear();
    Bx.d[1] = 1;
    Bx.l = 2;
    int L = 0;
    int m = -1;
    for (int i = 0; i < r; ++i) {
        uint8_t delta = 0;
        for (int j = 0; j <= L; ++j)
            delta ^= fT.MUL[Lx.d[j]][Sj.d[i + 1 - j]];
        if (delta != 0) {
            Lxz.MultPolByConst(Bx, delta);
            Lxz.SummPol(Lx);
            if (L < i - m) {
                const int newL = i - m;
                m = i - L;
                L = newL;
                Bx.MultPolByConst(Lx, fT.DIV[1][delta]);
            }
            Lx.Clear();
            Lx.Copy(Lxz, 0, Lxz.l);
        }
        Bx.MoveLeftPol(1);
    }

    // More than 16 errors cannot be corrected by this code: such a locator only leads to a
    // miscorrection.
    if (L > kCapability) return kFatal;
    if (Lx.Gen() != L) return kFatal;

    // Chien search: a root beta^k marks an error at position 255 - k.
    Ul.l = 1;
    for (int kk = 1; kk <= 255; ++kk) {
        if (PolValue(Lx, kk) != 0) continue;
        if (Ul.l > L) return kFatal; // more roots than the degree: not a locator of this field
        Ul.d[Ul.l++] = static_cast<uint8_t>(255 - kk);
    }
    if (Ul.l - 1 != L) return kFatal;

    // Error evaluator: the first 32 coefficients of S(x) * Lambda(x), S(x) = S_1 + S_2 x + ...
    temp.Clear();
    temp.Copy(Sj, 0, 33);
    temp.MoveRightPol(1);
    Vx.MultPol(temp, Lx);
    if (Vx.l > r) Vx.l = r;
    LxP.DerivativePol(Lx);

    // Forney: e = Omega(X^-1) / Lambda'(X^-1) * beta^(-111 p).
    Ex.Clear();
    Vl.Clear();
    Vl.l = Ul.l;
    for (int q = 1; q < Ul.l; ++q) {
        const int p = Ul.d[q];
        const int kk = 255 - p;
        const uint8_t den = PolValue(LxP, kk);
        if (den == 0) return kFatal; // repeated root; cannot happen with L distinct roots
        const uint8_t v = fT.DIV[PolValue(Vx, kk)][den];
        Vl.d[q] = v;
        Ex.d[p] = fT.EXP[(fT.LOG[v] - kOffset * p + 51000) % 255];
    }

    if (&Fx == &Cx) {
        for (int q = 1; q < Ul.l; ++q)
            Cx.d[Ul.d[q]] ^= Ex.d[Ul.d[q]];
    } else {
        Fx.SummPol(Cx, Ex);
    }
    return static_cast<uint16_t>(L);
}

bool TTrueRS::IsCodeWord(const uint8_t* aWord) {
    return RemainderIsZero(aWord);
}

// Berlekamp-Massey started from the erasure locator: with S_i = sum Y_k X_k^i,
// X_k = beta^p for a fault at p, Y_k = e_p beta^(111 p), the result is the locator of errors and
// erasures together; Forney then gives every value, erased or not.
uint16_t TTrueRS::CheckErasures(uint8_t* aWord, const uint8_t* aErasures, int aCount) {
    if (aCount < 0 || aCount > r) return kFatal;
    bool seen[255] = {};
    for (int q = 0; q < aCount; ++q) {
        if (aErasures[q] >= n || seen[aErasures[q]]) return kFatal;
        seen[aErasures[q]] = true;
    }
    // A caller trying several erasure sets on one word needs its syndromes once.
    uint8_t* S = fErasureSyndromes;
    if (!fErasureWordValid || std::memcmp(aWord, fErasureWord, sizeof fErasureWord) != 0) {
        if (RemainderIsZero(aWord)) return 0;
        for (int i = 1; i <= r; ++i) {
            uint8_t s = 0;
            for (int j = 0; j < n; ++j)
                s ^= fT.MUL[aWord[j]][fT.POW[j][kOffset + i]];
            S[i] = s;
        }
        std::memcpy(fErasureWord, aWord, sizeof fErasureWord);
        fErasureWordValid = true;
    }

    // Locator coefficients, low degree first; at most 32 roots, so 33 coefficients.
    uint8_t lambda[34] = {1}, B[34] = {}, next[34];
    for (int q = 0; q < aCount; ++q) { // lambda *= (1 + X x)
        const uint8_t X = fT.EXP[aErasures[q] % 255];
        for (int k = q + 1; k >= 1; --k)
            lambda[k] ^= fT.MUL[lambda[k - 1]][X];
    }
    std::memcpy(B, lambda, sizeof B);
    int L = aCount;
    for (int step = aCount + 1; step <= r; ++step) {
        uint8_t delta = 0;
        for (int j = 0; j <= L; ++j)
            delta ^= fT.MUL[lambda[j]][S[step - j]];
        if (delta == 0) {
            std::memmove(B + 1, B, 33);
            B[0] = 0;
            continue;
        }
        for (int k = 0; k < 34; ++k)
            next[k] = lambda[k] ^ (k > 0 ? fT.MUL[delta][B[k - 1]] : 0);
        if (2 * L <= step + aCount - 1) {
            L = step + aCount - L;
            const uint8_t inv = fT.DIV[1][delta];
            for (int k = 0; k < 34; ++k)
                B[k] = fT.MUL[lambda[k]][inv];
        } else {
            std::memmove(B + 1, B, 33);
            B[0] = 0;
        }
        std::memcpy(lambda, next, sizeof lambda);
    }
    if (L > r || 2 * (L - aCount) + aCount > r) return kFatal;
    int degree = 0;
    for (int k = 0; k < 34; ++k)
        if (lambda[k] != 0) degree = k;
    if (degree != L) return kFatal;

    // Chien search: a root beta^k marks a fault at position 255 - k (mod 255).
    int positions[32];
    int found = 0;
    for (int kk = 1; kk <= 255; ++kk) {
        uint8_t v = 0;
        for (int j = 0; j <= L; ++j)
            v ^= fT.MUL[lambda[j]][fT.POW[j][kk]];
        if (v != 0) continue;
        if (found == L) return kFatal;
        positions[found++] = (255 - kk) % 255;
    }
    if (found != L) return kFatal;

    // Evaluator Omega = S(x) Lambda(x) mod x^32, S(x) = S_1 + S_2 x + ...; derivative Lambda'.
    uint8_t omega[32] = {};
    for (int i = 0; i < r; ++i)
        for (int j = 0; j <= L && j <= i; ++j)
            omega[i] ^= fT.MUL[lambda[j]][S[i + 1 - j]];
    uint8_t corrected[255];
    std::memcpy(corrected, aWord, sizeof corrected);
    int changed = 0;
    for (int q = 0; q < found; ++q) {
        const int p = positions[q];
        const int kk = (255 - p) % 255; // beta^kk = X^-1
        uint8_t num = 0, den = 0;
        for (int j = 0; j < r; ++j)
            num ^= fT.MUL[omega[j]][fT.POW[j][kk == 0 ? 255 : kk]];
        for (int j = 1; j <= L; j += 2)
            den ^= fT.MUL[lambda[j]][fT.POW[j - 1][kk == 0 ? 255 : kk]];
        if (den == 0) return kFatal;
        const uint8_t v = fT.DIV[num][den];
        const uint8_t e = v == 0 ? 0 : fT.EXP[(fT.LOG[v] - kOffset * p % 255 + 510) % 255];
        corrected[p] ^= e;
        changed += e != 0;
    }
    // A locator whose values do not give a code word came from too many faults.
    if (!RemainderIsZero(corrected)) return kFatal;
    std::memcpy(aWord, corrected, sizeof corrected);
    return static_cast<uint16_t>(changed);
}
