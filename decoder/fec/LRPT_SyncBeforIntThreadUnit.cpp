#include "fec/LRPT_SyncBeforIntThreadUnit.h"

#include <cstdlib>

namespace {

// Unique word 27 hex as symbols (I, Q), bit 1 = +1: (-1,-1) (+1,-1) (-1,+1) (+1,+1).
constexpr int uI[4] = {-1, +1, -1, +1};
constexpr int uQ[4] = {-1, -1, +1, +1};

struct Correlation {
    int c1; // in phase or a half turn off
    int c2; // a quarter turn off
};

// The unique word at symbol offset k correlated over the first 10 groups of the window.
Correlation Correlate(const int8_t* aWindow, int k) {
    int a1 = 0, a2 = 0, a3 = 0, a4 = 0;
    for (int j = 0; j < 10; ++j) {
        const int8_t* s = aWindow + TSyncBeforIntThread::GroupSize * j + 2 * k;
        for (int m = 0; m < 4; ++m) {
            const int x = s[2 * m];
            const int y = s[2 * m + 1];
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
        int best = 0, bestK = -1;
        for (int k = 0; k < (GroupSize / 2); ++k) {
            const Correlation c = Correlate(window, k);
            if (c.c1 > best) {
                best = c.c1;
                bestK = k;
            }
            if (c.c2 > best) {
                best = c.c2;
                bestK = k;
            }
        }
        line = "* " + std::to_string(after) + " " + std::to_string(bestK) + " " + std::to_string(best);
        if (best > LockThreshold) {
            aIn->SetPosition(fPos + 2 * bestK);
            fSync = true;
        }
    } else {
        const Correlation c = Correlate(window, 0);
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
                const int8_t* d = window + GroupSize * j + WordSize;
                for (int i = 0; i < GroupSize - WordSize; i += 2) {
                    if (quarterTurn) {
                        o[0] = static_cast<int8_t>(-d[i + 1]);
                        o[1] = d[i];
                    } else {
                        o[0] = d[i];
                        o[1] = d[i + 1];
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
