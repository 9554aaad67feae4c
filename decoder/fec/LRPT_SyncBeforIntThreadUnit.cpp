#include "fec/LRPT_SyncBeforIntThreadUnit.h"

#include <algorithm>
#include <cstdlib>

namespace {

// Unique word 27 hex as symbols (I, Q), bit 1 = +1: (-1,-1) (+1,-1) (-1,+1) (+1,+1).
constexpr int uI[4] = {-1, +1, -1, +1};
constexpr int uQ[4] = {-1, -1, +1, +1};

struct Correlation {
    int c1; // in phase or a half turn off
    int c2; // a quarter turn off
};

// The pairings of the values into symbols: the first value of symbol n is the input value
// q + 2n + First[h], the second q + 2n + Second[h] (q: the start of the run of symbols). 0: as
// they come; 1: exchanged; 2: each first value with the second value one symbol later; 3: that,
// exchanged.
constexpr int First[4] = {0, 1, 0, 3};
constexpr int Second[4] = {1, 0, 3, 0};

// Value aIndex (0, 1, 2, ...) of the symbols that begin at aWindow in pairing aPairing.
int8_t ValueAt(const int8_t* aWindow, int aIndex, int aPairing) {
    return aIndex % 2 == 0 ? aWindow[aIndex + First[aPairing]] : aWindow[aIndex - 1 + Second[aPairing]];
}

// The unique word at value offset q, in pairing h, correlated over the first 10 groups of the window.
Correlation Correlate(const int8_t* aWindow, int q, int h) {
    int a1 = 0, a2 = 0, a3 = 0, a4 = 0;
    for (int j = 0; j < 10; ++j) {
        const int8_t* s = aWindow + TSyncBeforIntThread::GroupSize * j + q;
        for (int m = 0; m < 4; ++m) {
            const int x = ValueAt(s, 2 * m, h);
            const int y = ValueAt(s, 2 * m + 1, h);
            a1 += x * uI[m];
            a2 += y * uQ[m];
            a3 += y * uI[m];
            a4 += -x * uQ[m];
        }
    }
    // Each sum is scaled on its own, truncating toward zero, before the two are added.
    a1 /= 40;
    a2 /= 40;
    a3 /= 40;
    a4 /= 40;
    return {std::abs(a1 + a2), std::abs(a3 + a4)};
}

} // namespace

TSyncBeforIntThread::TSyncBeforIntThread(TSHORTstream* aIn, TSHORTstream* aOut,
                                         const std::string& aLogFileName)
    : TStepPatternThread(aIn, aOut) {
    SetLogFileName(aLogFileName);
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
    if (!fSync) {
        // The symbol pairing as the values come at even offsets first (the plain receiver's
        // case, logged as before), then the other pairings and the odd offsets.
        int best = 0, bestQ = -1, bestH = 0;
        for (int h = 0; h < 4; ++h)
            for (int parity = 0; parity < 2; ++parity)
                for (int q = parity; q < GroupSize; q += 2) {
                    const Correlation c = Correlate(window, q, h);
                    const int score = std::max(c.c1, c.c2);
                    if (score > best) {
                        best = score;
                        bestQ = q;
                        bestH = h;
                    }
                }
        const std::string where = bestQ < 0 ? "-1"
                                  : bestH == 0 && bestQ % 2 == 0
                                      ? std::to_string(bestQ / 2)
                                      : std::to_string(bestQ) + "/" + std::to_string(bestH);
        line = "* " + std::to_string(after) + " " + where + " " + std::to_string(best);
        if (best > LockThreshold) {
            aIn->SetPosition(fPos + bestQ);
            fPairing = bestH;
            fSync = true;
        }
    } else {
        const Correlation c = Correlate(window, 0, fPairing);
        line = std::to_string(after) + " " + std::to_string(c.c1) + " " + std::to_string(c.c2);
        if (c.c1 < LossThreshold && c.c2 < LossThreshold) {
            aIn->SetPosition(fPos);
            fSync = false;
        } else {
            aIn->SetPosition(fPos + LockedAdvance);
            int8_t out[OutSize];
            const bool quarterTurn = c.c2 > c.c1;
            int8_t* o = out;
            for (int j = 0; j < 10; ++j) {
                const int8_t* g = window + GroupSize * j;
                for (int i = WordSize; i < GroupSize; i += 2) {
                    const int8_t x = ValueAt(g, i, fPairing), y = ValueAt(g, i + 1, fPairing);
                    if (quarterTurn) {
                        o[0] = static_cast<int8_t>(-y);
                        o[1] = x;
                    } else {
                        o[0] = x;
                        o[1] = y;
                    }
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
