#include "fec/LRPT_SyncBeforIntThreadUnit.h"

#include "fec/InterlivingThreadUnit.h"

#include <algorithm>
#include <cstdlib>

namespace {

// Unique word 27 hex as symbols (I, Q), bit 1 = +1: (-1,-1) (+1,-1) (-1,+1) (+1,+1).
constexpr int uI[4] = {-1, +1, -1, +1};
constexpr int uQ[4] = {-1, -1, +1, +1};

// Hypotheses about how the values arrive, scored at a value offset (the place of the unique word's
// first value). c1 / c2 are the plain pairing's (values paired as they come, in phase or a half
// turn off / a quarter turn off); the others cover a receiver that exchanged I and Q or paired
// values across a symbol boundary: as a sequence of values the stream is then the sent one with
// the values of each pair exchanged, or with the I values one pair ahead of or behind the Q
// values. Writing the sent pairs (I_k, Q_k), the received value sequences are
//   Natural ... Conjugate: I_k Q_k (at an odd offset: a receiver that starts one value late),
//                          or Q_k I_k (Exchanged, Quarter);
//   Later:                 I_k Q_(k-1) (each I with the Q one pair later, I first);
//   ExchangedLater:        Q_k I_(k-1) (each Q with the I one pair later, Q first).
// An offset-QPSK receiver pairs values sent half a symbol apart; which of these it delivers
// depends on which branch the pair's first value is sent on, on the lock phase and on its
// pairing; in 80 k recordings, whose pairs come with their first value on the branch sent half
// a symbol after the other, a quarter-turn lock of a receiver that pairs each I with the Q after
// it gives ExchangedLater. Only the order matters to the deinterleaver, whose branches alternate
// between I and Q values; signs left on the I or the Q values are resolved by the sync stage
// after it.
enum Kind {
    Natural,
    Quarter,
    Exchanged,
    Conjugate,
    Later,
    LaterConjugate,
    ExchangedLater,
    ExchangedLaterConjugate,
    Kinds
};

const char* const KindName[Kinds] = {
    "natural", "quarter",         "exchanged",       "conjugate",
    "later",   "later-conjugate", "exchanged-later", "exchanged-later-conjugate"};

// The pairing (which values make up a pair) a hypothesis restores; the kinds of one pairing differ
// only in signs and in the order within the pair.
enum Pairing { AsTheyCome, QLater, ILater };

Pairing PairingOf(int aKind) {
    return aKind >= ExchangedLater ? ILater : aKind >= Later ? QLater : AsTheyCome;
}

struct Correlation {
    int c[Kinds];
};

// The window's first 10 groups added value by value. The unique word's pattern is the same in
// every group, so correlating these sums is correlating each group and adding the products (an
// exact integer identity), at a tenth of the work for the 80 offsets of a search.
constexpr int SumsSize = TSyncBeforIntThread::GroupSize + 9; // offsets 0..79 plus 2 x 3 + 3 beyond
struct GroupSums {
    int v[SumsSize];
};

GroupSums SumGroups(const int8_t* aWindow) {
    GroupSums s{};
    for (int j = 0; j < 10; ++j) {
        const int8_t* g = aWindow + TSyncBeforIntThread::GroupSize * j;
        for (int t = 0; t < SumsSize; ++t)
            s.v[t] += g[t];
    }
    return s;
}

// The unique word at value offset aOffset correlated over the first 10 groups of the window.
Correlation Correlate(const GroupSums& aSums, int aOffset) {
    int a1 = 0, a2 = 0, a3 = 0, a4 = 0, a6 = 0, a7 = 0, a8 = 0;
    const int* s = aSums.v + aOffset;
    for (int m = 0; m < 4; ++m) {
        const int x = s[2 * m];
        const int y = s[2 * m + 1];
        const int z = s[2 * m + 3]; // the Q value one pair later
        a1 += x * uI[m];
        a2 += y * uQ[m];
        a3 += y * uI[m];
        a4 += -x * uQ[m];
        a6 += z * uQ[m];
        a7 += x * uQ[m]; // the Q value first ...
        a8 += z * uI[m]; // ... and its I one pair later
    }
    // Each sum is scaled on its own, truncating toward zero, before the two are added.
    a1 /= 40;
    a2 /= 40;
    a3 /= 40;
    a4 /= 40;
    a6 /= 40;
    a7 /= 40;
    a8 /= 40;
    return {{std::abs(a1 + a2), std::abs(a3 + a4), std::abs(a3 - a4), std::abs(a1 - a2), std::abs(a1 + a6),
             std::abs(a1 - a6), std::abs(a7 + a8), std::abs(a7 - a8)}};
}

// Where the sent pair (I, Q) lies, relative to its first received value, under a hypothesis:
// the offsets of its I and Q values and whether the I value comes negated (a quarter turn
// undone); signs left on I or Q stay.
struct PairPlace {
    int i, q;
    bool negateI;
};

PairPlace PlaceOf(int aKind) {
    switch (aKind) {
    case Quarter:
        return {1, 0, true};
    case Exchanged:
        return {1, 0, false};
    case Later:
    case LaterConjugate:
        return {0, 3, false};
    case ExchangedLater:
    case ExchangedLaterConjugate:
        return {3, 0, false};
    default:
        return {0, 1, false};
    }
}

// Negation in 8 bits, two's complement: -(-128) stays -128, and negating twice gives the value back.
int8_t Times(int8_t aValue, int aSign) {
    return static_cast<int8_t>(aSign * aValue);
}

// The best hypothesis of a window. The plain pairing is scanned first (even offsets, c1 before
// c2), so that it keeps its place on ties; another hypothesis must score higher. Some hypotheses
// share seven of the unique word's eight values with another (a quarter turn one value on scores
// 7/8 of the plain word, more when the data value beside the word happens to agree), so a lock
// wants a clear best: a plain one above every other hypothesis, another one leading every other
// by MinLead.
struct Search {
    int score = 0, offset = -1, kind = Natural, runnerUp = 0;
    bool plain = true, clear = false;
};

// Every hypothesis's score at every offset, one row of offsets per kind (so that the maxima
// below run over whole rows).
struct Scores {
    int c[Kinds][TSyncBeforIntThread::GroupSize];
};

Scores ScoreWindow(const GroupSums& aSums) {
    Scores all;
    for (int p = 0; p < TSyncBeforIntThread::GroupSize; ++p) {
        const Correlation c = Correlate(aSums, p);
        for (int kind = Natural; kind < Kinds; ++kind)
            all.c[kind][p] = c.c[kind];
    }
    return all;
}

// The plain pairing's scores are the Natural and Quarter ones at even offsets.
int BestPlain(const Scores& aAll) {
    int best = 0;
    for (int p = 0; p < TSyncBeforIntThread::GroupSize; p += 2)
        best = std::max({best, aAll.c[Natural][p], aAll.c[Quarter][p]});
    return best;
}

int BestOther(const Scores& aAll) {
    int best = 0;
    for (int p = 1; p < TSyncBeforIntThread::GroupSize; p += 2)
        best = std::max({best, aAll.c[Natural][p], aAll.c[Quarter][p]});
    for (int kind = Exchanged; kind < Kinds; ++kind)
        for (int p = 0; p < TSyncBeforIntThread::GroupSize; ++p)
            best = std::max(best, aAll.c[kind][p]);
    return best;
}

// Equal to scanning the plain hypotheses in order (offset, then c1 before c2) and then all the
// others in order (offset, then kind), taking a score only when it beats the best so far.
Search SearchWindow(Scores& aAll) {
    constexpr int G = TSyncBeforIntThread::GroupSize;
    auto isPlain = [](int p, int kind) { return p % 2 == 0 && kind <= Quarter; };
    const int plain = BestPlain(aAll), other = BestOther(aAll);
    Search s;
    if (plain == 0 && other == 0) return s; // nothing beats 0: no offset, nothing clear
    s.plain = plain >= other;
    s.score = s.plain ? plain : other;
    for (int p = 0; p < G && s.offset < 0; ++p)
        for (int kind = Natural; kind < Kinds && s.offset < 0; ++kind)
            if (isPlain(p, kind) == s.plain && aAll.c[kind][p] == s.score) {
                s.offset = p;
                s.kind = kind;
            }
    if (s.plain) {
        s.runnerUp = other; // the best of the non-plain hypotheses
    } else {
        // The best of all the others: the winner's own score set aside for a moment.
        int& own = aAll.c[s.kind][s.offset];
        own = -1;
        s.runnerUp = std::max(plain, BestOther(aAll));
        own = s.score;
    }
    s.clear = s.plain ? s.score > s.runnerUp : s.score - s.runnerUp >= TSyncBeforIntThread::MinLead;
    return s;
}

} // namespace

TSyncBeforIntThread::TSyncBeforIntThread(TSHORTstream* aIn, TSHORTstream* aOut,
                                         const std::string& aLogFileName)
    : TStepPatternThread(aIn, aOut) {
    SetLogFileName(aLogFileName);
}

static_assert(TSyncBeforIntThread::MaxErasedGroups *
                  (TSyncBeforIntThread::GroupSize - TSyncBeforIntThread::WordSize) ==
              TInterlivingThread::StoreSize);

int64_t TSyncBeforIntThread::SkippedGroups(int64_t aLockAt) {
    if (fNextGroup < 0) return 0; // the first lock of the pass: nothing was passed on before it
    // Whole groups between the end of the last group passed on and the new lock; a slip of the
    // receiver moves the word by a few values either way, so the distance is rounded to groups
    // (half a group counts as one: values are more often lost than added).
    const int64_t groups = (aLockAt - fNextGroup + GroupSize / 2) / GroupSize;
    const int64_t owed = std::min<int64_t>(groups, MaxErasedGroups) - fErased;
    fErased = std::max(fErased, std::min<int64_t>(groups, MaxErasedGroups));
    return std::max<int64_t>(owed, 0);
}

void TSyncBeforIntThread::WriteErasures(TSHORTstream* aOut, int64_t aGroups) {
    static const int8_t zeros[OutSize] = {};
    constexpr int CodeValues = GroupSize - WordSize;
    for (int64_t left = aGroups; left > 0;) {
        const int64_t n = std::min<int64_t>(left, OutSize / CodeValues);
        aOut->Write(zeros, static_cast<int32_t>(n * CodeValues));
        left -= n;
    }
}

bool TSyncBeforIntThread::DoStep(TSHORTstream* aIn, TSHORTstream* aOut) {
    if (aIn->AwaitingReadSize() < WindowSize) return false;
    fPos = aIn->Position();
    int8_t window[WindowSize];
    aIn->Read(window, WindowSize);
    const int64_t after = aIn->Position();

    // The log line is written last, so that a log file that cannot be written does not leave the
    // input or the lock half updated.
    std::string line;
    Scores scores = ScoreWindow(SumGroups(window));
    const Search found = SearchWindow(scores);
    if (!fSync) {
        const int bestK = found.offset < 0 ? -1 : found.offset / 2;
        line = "* " + std::to_string(after) + " " + std::to_string(bestK) + " " + std::to_string(found.score);
        if (!found.plain)
            line += std::string(" ") + KindName[found.kind] + " " + std::to_string(found.offset);
        if (found.score > LockThreshold && !found.clear)
            line += " ambiguous " + std::to_string(found.runnerUp);
        if (found.score > LockThreshold && found.clear) {
            aIn->SetPosition(fPos + found.offset);
            fSync = true;
            fPairing = PairingOf(found.kind);
            const int64_t skipped = SkippedGroups(fPos + found.offset);
            if (skipped > 0) line += " erased " + std::to_string(skipped);
            WriteErasures(aOut, skipped);
        }
    } else {
        Correlation c;
        for (int kind = Natural; kind < Kinds; ++kind)
            c.c[kind] = scores.c[kind][0];
        line =
            std::to_string(after) + " " + std::to_string(c.c[Natural]) + " " + std::to_string(c.c[Quarter]);
        // The hypothesis of the locked pairing that fits this window best (c1 before c2 as ever).
        int kind = Natural;
        if (fPairing == QLater) {
            kind = c.c[LaterConjugate] > c.c[Later] ? LaterConjugate : Later;
        } else if (fPairing == ILater) {
            kind =
                c.c[ExchangedLaterConjugate] > c.c[ExchangedLater] ? ExchangedLaterConjugate : ExchangedLater;
        } else {
            if (c.c[Quarter] > c.c[kind]) kind = Quarter;
            if (c.c[Exchanged] > c.c[kind]) kind = Exchanged;
            if (c.c[Conjugate] > c.c[kind]) kind = Conjugate;
        }
        if (kind > Quarter) line += std::string(" ") + KindName[kind] + " " + std::to_string(c.c[kind]);
        // A lock taken on a near hypothesis (at the start of a pass, where a window is only partly
        // signal) is given up when another one clearly beats it; the next step searches the same
        // values again.
        const bool sameLock = found.offset == 0 && PairingOf(found.kind) == fPairing;
        // Noise lets a near hypothesis win a window now and then (at Es/N0 5 dB about one window in
        // 1,500), so only RelockWindows windows in a row count. A symbol lost or doubled leaves
        // the locked place at most 6/8 of the word's score (105 of 140, when the data values
        // beside the word agree in every group; mostly far less), a lead that noise practically
        // never gives a near hypothesis sharing seven of the word's eight values: that relocks
        // at once, so the groups passed on shifted are at most those of the window of the slip.
        const int lead = found.score - c.c[kind];
        const bool beaten = !sameLock && found.score > LockThreshold && found.clear && lead >= MinLead;
        fBeaten = beaten ? fBeaten + 1 : 0;
        const bool relock = fBeaten >= RelockWindows || (beaten && lead >= SlipLead);
        if (relock) line += " relock";
        if (relock || c.c[kind] < LossThreshold) {
            fBeaten = 0;
            aIn->SetPosition(fPos);
            fSync = false;
        } else {
            aIn->SetPosition(fPos + LockedAdvance);
            fNextGroup = fPos + LockedAdvance;
            fErased = 0;
            // The residual signs the word shows on the restored I and Q values; values are turned to
            // the residual of the first window passed on, so that a relock in another phase (a slip
            // of the receiver) does not mix two residuals in the deinterleaver's output.
            const PairPlace place = PlaceOf(kind);
            int sumI = 0, sumQ = 0;
            for (int j = 0; j < 10; ++j) {
                const int8_t* w = window + GroupSize * j;
                for (int m = 0; m < 4; ++m) {
                    sumI += Times(w[2 * m + place.i], place.negateI ? -1 : 1) * uI[m];
                    sumQ += w[2 * m + place.q] * uQ[m];
                }
            }
            const int signI = sumI < 0 ? -1 : 1, signQ = sumQ < 0 ? -1 : 1;
            if (fResidualI == 0) {
                fResidualI = signI;
                fResidualQ = signQ;
            }
            // The restored values, turned to the first window's residual.
            const int timesI = (place.negateI ? -1 : 1) * (signI != fResidualI ? -1 : 1);
            const int timesQ = signQ != fResidualQ ? -1 : 1;
            int8_t out[OutSize];
            int8_t* o = out;
            for (int j = 0; j < 10; ++j) {
                const int8_t* d = window + GroupSize * j + WordSize;
                for (int i = 0; i < GroupSize - WordSize; i += 2, o += 2) {
                    o[0] = Times(d[i + place.i], timesI);
                    o[1] = Times(d[i + place.q], timesQ);
                }
            }
            aOut->Write(out, OutSize);
        }
    }
    aIn->ClearNotActualMemory();
    LOG(line);
    return true;
}
