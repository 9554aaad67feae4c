#include "fec/LRPT_SyncBeforeViterbiUnit.h"

#include <algorithm>
#include <cstdlib>

namespace {

int Parity(int v) {
    return __builtin_parity(static_cast<unsigned>(v));
}

constexpr uint32_t Marker = 0x1ACFFC1D;

// The marker differentially encoded from e_(-1) = 0: e_k = e_(k-1) XOR b_k.
constexpr uint32_t NrzmEncoded(uint32_t aBits) {
    uint32_t out = 0, e = 0;
    for (int bit = 31; bit >= 0; --bit) {
        e ^= aBits >> bit & 1;
        out |= e << bit;
    }
    return out;
}

std::array<int8_t, 48> EncodeMarkerSymbols(uint32_t aMarker) {
    // Encode the marker from an all-zero register and keep the symbols that only depend on it.
    std::array<int8_t, 64> all{};
    int r = 0;
    for (int bit = 0; bit < 32; ++bit) {
        const int u = static_cast<int>(aMarker >> (31 - bit) & 1);
        r = (r >> 1) | (u << 6);
        all[static_cast<size_t>(2 * bit)] = Parity(r & 0171) ? 1 : -1;
        all[static_cast<size_t>(2 * bit + 1)] = Parity(r & 0133) ? 1 : -1;
    }
    std::array<int8_t, 48> symbols{};
    for (int k = 0; k < 48; ++k)
        symbols[static_cast<size_t>(k)] = all[static_cast<size_t>(12 + k)];
    return symbols;
}

int8_t Neg(int8_t v) {
    return static_cast<int8_t>(-static_cast<int>(v));
}

// The four reference patterns P1..P4, values as pairs (I, Q), and as bit masks of the values
// that are +1 (Plus) and -1 (Minus), bit k for value k.
struct TPatterns {
    int8_t P[4][48];
    uint64_t Plus[4] = {}, Minus[4] = {};
    explicit TPatterns(const std::array<int8_t, 48>& A) {
        for (int n = 0; n < 24; ++n) {
            const int8_t aI = A[static_cast<size_t>(2 * n)], aQ = A[static_cast<size_t>(2 * n + 1)];
            const int8_t pairs[4][2] = {{aI, aQ}, {Neg(aI), aQ}, {aQ, aI}, {aQ, Neg(aI)}};
            for (int j = 0; j < 4; ++j) {
                P[j][2 * n] = pairs[j][0];
                P[j][2 * n + 1] = pairs[j][1];
            }
        }
        for (int j = 0; j < 4; ++j)
            for (int k = 0; k < 48; ++k)
                (P[j][k] > 0 ? Plus[j] : Minus[j]) |= uint64_t{1} << k;
    }
};

const TPatterns& Patterns(bool aNrzm) {
    static const TPatterns plain(SyncSymbols());
    static const TPatterns nrzm(NrzmSyncSymbols());
    return aNrzm ? nrzm : plain;
}

// The sync pair as received in mode aMode, for nominal pair (aI, aQ).
void ReceivedPair(int aMode, int8_t aI, int8_t aQ, int8_t& aOutI, int8_t& aOutQ) {
    switch (aMode) {
    case 1:
        aOutI = Neg(aI), aOutQ = Neg(aQ);
        break;
    case 2:
        aOutI = aI, aOutQ = aQ;
        break;
    case 3:
        aOutI = aI, aOutQ = Neg(aQ);
        break;
    case 4:
        aOutI = Neg(aI), aOutQ = aQ;
        break;
    case 5:
        aOutI = Neg(aQ), aOutQ = Neg(aI);
        break;
    case 6:
        aOutI = aQ, aOutQ = aI;
        break;
    case 7:
        aOutI = Neg(aQ), aOutQ = aI;
        break;
    default:
        aOutI = aQ, aOutQ = Neg(aI);
        break;
    }
}

} // namespace

const std::array<int8_t, 48>& SyncSymbols() {
    static const std::array<int8_t, 48> symbols = EncodeMarkerSymbols(Marker);
    return symbols;
}

const std::array<int8_t, 48>& NrzmSyncSymbols() {
    static const std::array<int8_t, 48> symbols = EncodeMarkerSymbols(NrzmEncoded(Marker));
    return symbols;
}

void TSyncBeforeViterbi::Correct(int8_t* v, int aPairs, int aMode) {
    for (int n = 0; n < aPairs; ++n) {
        const int8_t I = v[2 * n], Q = v[2 * n + 1];
        int8_t i2 = I, q2 = Q;
        switch (aMode) {
        case 1:
            i2 = Neg(I), q2 = Neg(Q);
            break;
        case 2:
            break;
        case 3:
            q2 = Neg(Q);
            break;
        case 4:
            i2 = Neg(I);
            break;
        case 5:
            i2 = Neg(Q), q2 = Neg(I);
            break;
        case 6:
            i2 = Q, q2 = I;
            break;
        case 7:
            i2 = Q, q2 = Neg(I);
            break;
        case 8:
            i2 = Neg(Q), q2 = I;
            break;
        }
        v[2 * n] = i2;
        v[2 * n + 1] = q2;
    }
}

TSyncBeforeViterbi::TSyncBeforeViterbi(TSHORTstream* aIn, TSHORTstream* aOut, const std::string& aLogFileName,
                                       bool aNrzm)
    : TStepPatternThread(aIn, aOut), fNrzm(aNrzm), fSymbols(aNrzm ? NrzmSyncSymbols() : SyncSymbols()) {
    SetLogFileName(aLogFileName);
}

TSyncBeforeViterbi::TScore TSyncBeforeViterbi::Score(const TWindow& w, const TWindow* later) const {
    // Agreements with each pattern: values whose sign is the pattern's (a 0 agrees with none).
    const TPatterns& patterns = Patterns(fNrzm);
    constexpr uint64_t Even = 0x555555555555ull, Odd = Even << 1;
    int count[17] = {};
    bool erased[2] = {false, false};
    int nonZero[2] = {48, 48};
    TScore score;
    for (int pairing = 0; pairing < (later ? 2 : 1); ++pairing) {
        // The I values (even bits) are this window's; the Q values those of the window two on.
        const uint64_t positive = pairing == 0 ? w.Positive : (w.Positive & Even) | (later->Positive & Odd);
        const uint64_t negative = pairing == 0 ? w.Negative : (w.Negative & Even) | (later->Negative & Odd);
        // A value 0 disagrees with every pattern, so erasures (the zeros an 80 k input's end is
        // flushed with) would pass for agreement with the opposite pattern. A window holding
        // more than MaxZeros of them is judged on its other values alone (below).
        nonZero[pairing] = __builtin_popcountll(positive | negative);
        erased[pairing] = 48 - nonZero[pairing] > MaxZeros;
        score.Erased = score.Erased || erased[pairing];
        for (int j = 1; j <= 4; ++j) {
            const int agree = __builtin_popcountll(positive & patterns.Plus[j - 1]) +
                              __builtin_popcountll(negative & patterns.Minus[j - 1]);
            count[8 * pairing + 2 * j] = agree;
            count[8 * pairing + 2 * j - 1] = 48 - agree;
        }
    }

    for (int x = 1; x <= 16; ++x) {
        const int pairing = (x - 1) / 8;
        bool strong = false, weak = false;
        if (erased[pairing]) {
            // The thresholds 44 / 39 of 48 scaled to the values that are not 0; disagreements are
            // counted among those values only. Too few of them give no candidate.
            const int n = nonZero[pairing];
            const int c = x % 2 == 0 ? count[x] : count[x] - (48 - n);
            strong = 2 * n >= 48 && 48 * c > 43 * n;
            weak = !strong && 2 * n >= 48 && 48 * c > 38 * n;
        } else {
            strong = count[x] > 43;
            weak = !strong && count[x] > 38;
        }
        if (count[x] > score.Best) {
            if (strong) score.Strong = x;
            if (weak) {
                score.Weak = x;
                ++score.WeakUpdates;
            }
            score.Best = count[x];
        }
    }
    return score;
}

int TSyncBeforeViterbi::Decide(const TWindow& w, const TWindow* later, int64_t p) {
    const TScore score = Score(w, later);
    // A strong candidate restarts the coasting count; each weak one that led on the way paid one
    // block of it back.
    if (score.Strong > 0)
        fNoSyncCount = 0;
    else
        fNoSyncCount -= std::min(fNoSyncCount, static_cast<uint32_t>(score.WeakUpdates));

    int chosen = w.Magnitude < 1440 ? fLastMode : score.Strong;
    const char* sep = nullptr;
    if (chosen > 0) {
        sep = " ";
    } else if (fLastMode > 0) {
        if (score.Weak > 0) {
            chosen = score.Weak;
            sep = "! ";
        } else if (fNoSyncCount < 10) {
            ++fNoSyncCount;
            chosen = fLastMode;
            sep = "!! ";
        }
    }
    fLastMode = static_cast<uint8_t>(chosen);
    if (sep) {
        LOG(std::to_string(fSyncCount) + " " + std::to_string(fPos) + " " + std::to_string(p - fPos) + " " +
            std::to_string(chosen) + sep + std::to_string(score.Best));
        ++fSyncCount;
        fPos = p;
    }
    return chosen;
}

int TSyncBeforeViterbi::CorrectionMode(int aChosen) {
    // Modes 2j-1 and 2j differ by a half turn. In an NRZ-M stream the marker of each frame comes
    // as it is or complemented (which looks like a half turn) according to the data before it;
    // following those flips would hand the Viterbi decoder a polarity step at every such frame,
    // which costs it a bit or two at the frame's end. Keeping the phase of the last block
    // instead passes the encoded bits on either all as they are or all complemented, and the
    // differential decoding after it gives the same bits from both.
    if (fNrzm && fCorrectionMode != 0 && (fCorrectionMode + 1) / 2 == (aChosen + 1) / 2)
        return fCorrectionMode;
    fCorrectionMode = static_cast<uint8_t>(aChosen);
    return aChosen;
}

void TSyncBeforeViterbi::Emit(TSHORTstream* aIn, TSHORTstream* aOut, int64_t p, int aChosen) {
    // A block from p: the sync values rewritten at amplitude 70 as received in the chosen mode,
    // then the whole block corrected.
    int8_t* s = fBlock.data();
    aIn->SetPosition(p);
    const int mode = (aChosen - 1) % 8 + 1;
    if (aChosen <= 8) {
        aIn->Read(s, BlockSize);
    } else {
        // I values as they come, each Q value from the pair after.
        aIn->Read(fLater.data(), BlockSize + 2);
        for (int n = 0; n < BlockSize / 2; ++n) {
            s[2 * n] = fLater[static_cast<size_t>(2 * n)];
            s[2 * n + 1] = fLater[static_cast<size_t>(2 * n + 3)];
        }
    }
    const auto& A = fSymbols;
    for (int n = 0; n < 24; ++n)
        ReceivedPair(mode, static_cast<int8_t>(70 * A[static_cast<size_t>(2 * n)]),
                     static_cast<int8_t>(70 * A[static_cast<size_t>(2 * n + 1)]), s[2 * n], s[2 * n + 1]);
    Correct(s, BlockSize / 2, (CorrectionMode(aChosen) - 1) % 8 + 1);
    aOut->Write(s, BlockSize);
    fNext = p + BlockSize;
    aIn->SetPosition(fNext - NearValues);
}

void TSyncBeforeViterbi::Windows(const int8_t* v, int64_t aFrom, int64_t aAt, int64_t aEnd, TWindow& w,
                                 TWindow& later, bool& aLater) const {
    const int8_t* at = v + (aAt - aFrom);
    w = TWindow();
    later = TWindow();
    for (int k = 0; k < 48; ++k)
        w.Add(k, at[k]);
    // As in the sliding search: the later pairing only where its block (two values longer) fits.
    aLater = aAt + BlockSize + 2 <= aEnd;
    if (aLater)
        for (int k = 0; k < 48; ++k)
            later.Add(k, at[k + 2]);
}

bool TSyncBeforeViterbi::LockedStep(TSHORTstream* aIn, TSHORTstream* aOut) {
    const int64_t e = fNext, end = aIn->Size();
    if (end - e < BlockSize) return false;
    // Locked in the later pairing: its block waits for its last two values.
    if (fLastMode > 8 && end - e < BlockSize + 2) return false;
    // The values kept before e, the expected block and the two values a later-pairing block takes.
    const int64_t from = std::min(aIn->Position(), e);
    const int64_t count = std::min(end, e + BlockSize + 2) - from;
    fAround.resize(static_cast<size_t>(count));
    aIn->SetPosition(from);
    aIn->Read(fAround.data(), static_cast<int32_t>(count));
    const int8_t* v = fAround.data();

    TWindow w, later;
    bool hasLater = false;
    Windows(v, from, e, end, w, later, hasLater);
    const TScore expected = Score(w, hasLater ? &later : nullptr);
    // The block at e as decided there: taken, weak, coasted, or the lock lost (the search slides
    // on from the next value).
    auto settle = [&]() {
        const int chosen = Decide(w, hasLater ? &later : nullptr, e);
        if (chosen > 0) {
            Emit(aIn, aOut, e, chosen);
        } else {
            fNext = -1;
            aIn->SetPosition(e + 1);
        }
        return true;
    };
    // Erased values (the deinterleaver's store filling up, the zeros an input's end is flushed
    // with, groups the unique-word stage wrote for a lost lock) are missing, not moved: no search.
    if (expected.Strong > 0 || w.Magnitude < 1440 || expected.Erased) return settle();

    // A slip moves the marker by a symbol or a few: the nearest strong candidate around e; failing
    // that, the best weak one in the locked mode or its half turn that clearly beats e (noise
    // leaves markers weak as often as strong near the threshold). The marker scores at most 31 in
    // those modes one to twelve values off itself, so a weak count there is the marker, not an
    // echo of it.
    int64_t nearAt = -1, weakAt = -1;
    int nearBest = 0, weakBest = expected.Best + WeakLead - 1;
    for (int d = 1; d <= NearValues; ++d)
        for (const int64_t q : {e - d, e + d}) {
            if (q < from) continue;
            TWindow wq, laterQ;
            bool laterQFits = false;
            Windows(v, from, q, end, wq, laterQ, laterQFits);
            const TScore sq = Score(wq, laterQFits ? &laterQ : nullptr);
            if (sq.Erased || wq.Magnitude < 1440) continue;
            if (sq.Strong > 0 && sq.Best > nearBest && (nearAt < 0 || std::abs(nearAt - e) == d)) {
                nearAt = q;
                nearBest = sq.Best;
            } else if (sq.Strong == 0 && sq.Weak > 0 && (sq.Weak + 1) / 2 == (fLastMode + 1) / 2 &&
                       sq.Best > weakBest) {
                weakAt = q;
                weakBest = sq.Best;
            }
        }
    if (nearAt < 0) nearAt = weakAt;
    if (nearAt >= 0) {
        // Its block may not all be here yet (the input stays where it was).
        if (nearAt + BlockSize > end) {
            aIn->SetPosition(from);
            return false;
        }
        TWindow wq, laterQ;
        bool laterQFits = false;
        Windows(v, from, nearAt, end, wq, laterQ, laterQFits);
        Emit(aIn, aOut, nearAt, Decide(wq, laterQFits ? &laterQ : nullptr, nearAt));
        return true;
    }

    if (expected.Weak == 0) {
        // Nothing at all at e: the frames may have moved farther (a long slip or a carrier lost a
        // while). The first strong candidate in the rest of the block becomes the expected
        // position; noise that only weakened the marker leaves none, and the block is coasted.
        TWindow ws, laterS;
        const int64_t first = e + NearValues + 1, last = e + BlockSize - 50;
        for (int64_t q = first; q <= last; ++q) {
            const int8_t* at = v + (q - from);
            if (q == first) {
                for (int k = 0; k < 48; ++k) {
                    ws.Add(k, at[k]);
                    laterS.Add(k, at[k + 2]);
                }
            } else {
                ws.Slide(at[-1], at[47]);
                laterS.Slide(at[1], at[49]);
            }
            if (ws.Magnitude < 1440) continue;
            const TScore ss = Score(ws, &laterS);
            if (ss.Strong > 0 && !ss.Erased) {
                fNext = q;
                aIn->SetPosition(q - NearValues);
                return true;
            }
        }
    }

    return settle();
}

bool TSyncBeforeViterbi::DoStep(TSHORTstream* aIn, TSHORTstream* aOut) {
    if (fNrzm && !fMarkerLogged) {
        // Once, at the first step (the plain marker's log has no such line).
        fMarkerLogged = true;
        LOG("marker 1ACFFC1D NRZ-M");
    }
    if (fLastMode > 0 && fNext >= 0) return LockedStep(aIn, aOut);
    if (aIn->AwaitingReadSize() < BlockSize) return false;
    // Every position with a whole block behind it is tried in turn, exactly as one step per
    // position would try it; trying up to MaxPositions of them per call keeps the stage loop's
    // own work from dominating while the search slides value by value through noise.
    const int64_t start = aIn->Position();
    const int64_t available = aIn->AwaitingReadSize();
    const int64_t positions = std::min<int64_t>(available - BlockSize + 1, MaxPositions);
    const int64_t read = std::min<int64_t>(positions + 49, available);
    const int8_t* v = fSearch.data();
    aIn->Read(fSearch.data(), static_cast<int32_t>(read));
    // The windows' statistics slide with them: one value leaves at the bottom, one enters at the
    // top. The second window, two values on, gives the Q values of the later pairing.
    TWindow w, later;
    for (int k = 0; k < 48; ++k)
        w.Add(k, v[k]);
    const bool laterAtStart = read >= 50;
    if (laterAtStart)
        for (int k = 0; k < 48; ++k)
            later.Add(k, v[k + 2]);
    for (int64_t i = 0; i < positions; ++i) {
        if (i > 0) w.Slide(v[i - 1], v[i + 47]);
        // A block in the later pairing needs two values beyond it.
        const bool laterFits = i + BlockSize + 2 <= available;
        if (i > 0 && laterFits) later.Slide(v[i + 1], v[i + 49]);
        const int64_t p = start + i;
        const int chosen = Decide(w, laterFits && laterAtStart ? &later : nullptr, p);
        if (chosen == 0) continue; // slide by one value
        Emit(aIn, aOut, p, chosen);
        return true;
    }
    aIn->SetPosition(start + positions);
    return true;
}
