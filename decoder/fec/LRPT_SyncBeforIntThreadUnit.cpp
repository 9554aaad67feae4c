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

// The unique word at value offset aOffset correlated over the first 10 groups of the window.
Correlation Correlate(const int8_t* aWindow, int aOffset) {
    int a1 = 0, a2 = 0, a3 = 0, a4 = 0, a6 = 0, a7 = 0, a8 = 0;
    for (int j = 0; j < 10; ++j) {
        const int8_t* s = aWindow + TSyncBeforIntThread::GroupSize * j + aOffset;
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

// The sent pair (I, Q) whose first received value is at aD, restored in the order it was sent
// (a quarter turn undone); signs left on I or Q stay.
void Restore(int aKind, const int8_t* aD, int8_t* aPair) {
    switch (aKind) {
    case Quarter:
        aPair[0] = static_cast<int8_t>(-aD[1]);
        aPair[1] = aD[0];
        break;
    case Exchanged:
        aPair[0] = aD[1];
        aPair[1] = aD[0];
        break;
    case Later:
    case LaterConjugate:
        aPair[0] = aD[0];
        aPair[1] = aD[3];
        break;
    case ExchangedLater:
    case ExchangedLaterConjugate:
        aPair[0] = aD[3];
        aPair[1] = aD[0];
        break;
    default:
        aPair[0] = aD[0];
        aPair[1] = aD[1];
        break;
    }
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

Search SearchWindow(const int8_t* aWindow) {
    constexpr int G = TSyncBeforIntThread::GroupSize;
    Correlation all[G];
    for (int p = 0; p < G; ++p)
        all[p] = Correlate(aWindow, p);
    auto isPlain = [](int p, int kind) { return p % 2 == 0 && kind <= Quarter; };
    Search s;
    auto consider = [&](int p, int kind) {
        if (all[p].c[kind] > s.score) {
            s.score = all[p].c[kind];
            s.offset = p;
            s.kind = kind;
        }
    };
    for (int p = 0; p < G; p += 2) {
        consider(p, Natural);
        consider(p, Quarter);
    }
    for (int p = 0; p < G; ++p)
        for (int kind = Natural; kind < Kinds; ++kind)
            if (!isPlain(p, kind)) consider(p, kind);
    s.plain = s.offset < 0 || isPlain(s.offset, s.kind);
    int other = 0; // the best of the other hypotheses (of the non-plain ones when plain won)
    for (int p = 0; p < G; ++p)
        for (int kind = Natural; kind < Kinds; ++kind)
            if ((p != s.offset || kind != s.kind) && !(s.plain && isPlain(p, kind)))
                other = std::max(other, all[p].c[kind]);
    s.runnerUp = other;
    s.clear = s.plain ? s.score > other : s.score - other >= TSyncBeforIntThread::MinLead;
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
    const Search found = SearchWindow(window);
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
        const Correlation c = Correlate(window, 0);
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
        // 1,500), so only RelockWindows windows in a row count.
        const bool beaten =
            !sameLock && found.score > LockThreshold && found.clear && found.score - c.c[kind] >= MinLead;
        fBeaten = beaten ? fBeaten + 1 : 0;
        const bool relock = fBeaten >= RelockWindows;
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
            int sumI = 0, sumQ = 0;
            for (int j = 0; j < 10; ++j) {
                const int8_t* w = window + GroupSize * j;
                for (int m = 0; m < 4; ++m) {
                    int8_t p[2];
                    Restore(kind, w + 2 * m, p);
                    sumI += p[0] * uI[m];
                    sumQ += p[1] * uQ[m];
                }
            }
            const int signI = sumI < 0 ? -1 : 1, signQ = sumQ < 0 ? -1 : 1;
            if (fResidualI == 0) {
                fResidualI = signI;
                fResidualQ = signQ;
            }
            const bool flipI = signI != fResidualI, flipQ = signQ != fResidualQ;
            int8_t out[OutSize];
            int8_t* o = out;
            for (int j = 0; j < 10; ++j) {
                const int8_t* d = window + GroupSize * j + WordSize;
                for (int i = 0; i < GroupSize - WordSize; i += 2) {
                    Restore(kind, d + i, o);
                    if (flipI) o[0] = static_cast<int8_t>(-o[0]);
                    if (flipQ) o[1] = static_cast<int8_t>(-o[1]);
                    o += 2;
                }
            }
            aOut->Write(out, OutSize);
        }
    }
    aIn->ClearNotActualMemory();
    LOG(line);
    return true;
}
