// The blocks of the fixed-point receiver as small pure functions. TCostasReceiver runs them in
// its step order; they are kept apart so that each block's arithmetic can be checked on its own.
//
// Conventions: x >> n on a signed value is arithmetic, x / n truncates toward zero, 32-bit
// arithmetic wraps (done in uint32_t so that it is defined), loop accumulators are int64_t and a
// 32-bit term is sign-extended before it is added. Shift counts are taken modulo 32, as the
// processor does, so that out-of-range operator values cannot cause undefined behaviour.
#pragma once

#include "core/ReceiverParams.h"
#include "core/ReceiverState.h"

#include <cstdint>

// Carrier error detector settings of a modulation type.
struct TPhaseRule {
    int32_t Offset = 32;
    int32_t Shift = 2;
};

// Soft slicer thresholds, T1 >= T2 >= T3.
struct TSlicerThresholds {
    int32_t T1 = 55, T2 = 35, T3 = 25; // the values before the first change of level or type
};

namespace haldrin {

// ---- Frequency words (built in extended precision, not on the signal path) ----

// trunc() of the receiver: toward zero via a 64-bit integer, low 32 bits kept. A value that has
// no 64-bit integer (infinite, NaN, beyond +-2^63, e.g. after Samp 0) gives 0, as the x87
// integer-indefinite result 0x8000000000000000 does.
int32_t TruncWord(long double aValue);
// Carrier frequency word of aHz: trunc((2^32 / aSamp) x aHz).
int32_t CarrierWord(long double aHz, int32_t aSamp);
// Symbol frequency word of aRate: trunc((2^32 / aSamp) x aRate x 2); the resampler strobes twice
// per symbol. Rates whose word exceeds 2^31 come out negative and still work as an unsigned step.
int32_t SymbolWord(long double aRate, int32_t aSamp);
// Carrier limit word of a limit in Hz (negative for the lower limit): trunc(aHz x 2^32 / aSamp).
int32_t CarrierLimitWord(int32_t aHz, int32_t aSamp);
// Symbol limit word: trunc(aHz x 2^32 / aSamp x 2).
int32_t SymbolLimitWord(int32_t aHz, int32_t aSamp);

// ---- Loop gain rule ----

// G(m, x, e) = ((m + 16) x e) << x in 32-bit arithmetic, then sign-extended.
inline int64_t LoopGain(int32_t aMan, int32_t aExp, int32_t aErr) {
    uint32_t v = (uint32_t(aMan) + 16u) * uint32_t(aErr);
    v <<= (uint32_t(aExp) & 31u);
    return int64_t(int32_t(v));
}

// ---- Input conditioning and interpolator ----

inline int32_t Clamp(int32_t x, int32_t aLo, int32_t aHi) {
    return x < aLo ? aLo : (x > aHi ? aHi : x);
}

inline int32_t ClampInput(int32_t x) {
    return Clamp(x, -512, 511);
}

// 15 taps, symmetric; three of every four inputs are stuffed zeros.
inline constexpr int32_t InterpolatorTaps[15] = {-12, -15, -7, 16, 50, 86,  115, 126,
                                                 115, 86,  50, 16, -7, -15, -12};
inline int32_t InterpolatorOutput(int32_t aAcc) {
    return Clamp(aAcc >> 6, -2048, 2047);
}

// ---- NCO and complex mixer ----

// Rotation of (Iup + jQup) by (s + jc) / 128.
inline void Mix(int32_t aIup, int32_t aQup, int32_t s, int32_t c, int32_t& aImix, int32_t& aQmix) {
    aImix = (aIup * s - aQup * c) >> 7;
    aQmix = (aIup * c + aQup * s) >> 7;
}

// Sweep value added to the carrier integral path: ((SwMan + 16) << SwExp) x SweepDir, 32-bit.
inline int32_t SweepStep(bool aActive, bool aSweepOn, int32_t aMan, int32_t aExp, int32_t aDir) {
    if (!(aActive && aSweepOn)) return 0;
    uint32_t v = (uint32_t(aMan) + 16u) << (uint32_t(aExp) & 31u);
    return int32_t(v * uint32_t(aDir));
}

// Limits of a loop accumulator: the limit words sign-extended, times 256.
inline int64_t AccLimit(int32_t aWord) {
    return int64_t(aWord) * 256;
}

// CARRIER LOOP FILTER, one step. aP and aI are the lead and lag terms of the held CarErr,
// aSweep the sweep value; aUpper/aLower are AccLimit of the carrier limit words.
inline void CarrierLoopStep(TReceiverState& s, int64_t aP, int64_t aI, int32_t aSweep, int64_t aUpper,
                            int64_t aLower, bool aZero, bool aOpen) {
    // The output uses the accumulator before this step's update and 1/256 of its own last value.
    s.ClfOut = int32_t(uint32_t(uint64_t((aP + s.ClfAcc + int64_t(s.ClfOut)) >> 8)));
    s.ClfAcc += aI + int64_t(aSweep);
    if (aZero) s.ClfAcc = 0;
    // A limit sets the sweep direction whether or not the sweep runs.
    if (s.ClfAcc > aUpper) {
        s.ClfAcc = aUpper;
        s.SweepDir = -1;
    }
    if (s.ClfAcc < aLower) {
        s.ClfAcc = aLower;
        s.SweepDir = 1;
    }
    if (!aOpen) s.CarOffset = s.ClfOut;
}

// CARRIER ERROR DETECTOR: ((Phase + offset) << shift) modulo 256, read as a signed byte.
inline int32_t CarrierError(int32_t aPhase, int32_t aOffset, int32_t aShift) {
    return int8_t(uint8_t(uint32_t(aPhase + aOffset) << (uint32_t(aShift) & 31u)));
}

// Phase offset and shift of each modulation type (CW 0,0; BPSK 0,1; QPSK 32,2).
TPhaseRule PhaseRule(int32_t aModType);

// ---- Symbol timing ----

// SYMBOL LOOP FILTER, one step: like the carrier filter without sweep and without feedback.
inline void SymbolLoopStep(TReceiverState& s, int64_t aP, int64_t aI, int64_t aUpper, int64_t aLower,
                           bool aZero, bool aOpen) {
    s.SlfOut = int32_t(uint32_t(uint64_t((aP + s.SlfAcc) >> 8)));
    s.SlfAcc += aI;
    if (aZero) s.SlfAcc = 0;
    if (s.SlfAcc > aUpper) s.SlfAcc = aUpper;
    if (s.SlfAcc < aLower) s.SlfAcc = aLower;
    if (!aOpen) s.SymOffset = s.SlfOut;
}

// RESAMPLER: advances the phase; true when this step is a strobe (the phase did not grow).
inline bool ResamplerStep(TReceiverState& s, int32_t aSymRateWord) {
    const uint32_t old = s.SymPhase;
    s.SymPhase = old + uint32_t(aSymRateWord) + uint32_t(s.SymOffset);
    return s.SymPhase <= old;
}

// SAMPLING ERROR DETECTOR (on-time strobes): the mid-symbol sample signed by the direction of
// the sign change of I between the two on-time samples around it; halved in QPSK.
inline void SamplingErrorUpdate(TReceiverState& s, int32_t aModType) {
    int32_t t = 0;
    if (s.Ion >= 0 && s.IonPrev < 0)
        t = 1;
    else if (s.Ion < 0 && s.IonPrev >= 0)
        t = -1;
    s.IonPrev = s.Ion;
    s.QonPrev = s.Qon;
    s.SymErr = s.Imid * t;
    if (aModType == mt_QPSK) s.SymErr /= 2;
}

// ---- GCA and AGC ----

// Gain word: bits 2..5 the mantissa below an implied 16, bits 6..7 the exponent.
inline int32_t GcaMantissa(int32_t aGain) {
    return ((aGain / 4) & 15) | 16;
}
inline int32_t GcaExponent(int32_t aGain) {
    return aGain >> 6;
}
// ((x >> 4) x mantissa) << exponent, 32-bit.
inline int32_t GcaScale(int32_t x, int32_t aMantissa, int32_t aExponent) {
    uint32_t v = uint32_t(x >> 4) * uint32_t(aMantissa);
    return int32_t(v << (uint32_t(aExponent) & 31u));
}

// AGC ERROR DETECTOR and AGC LOOP FILTER (on-time strobes, from Magnitude). The lower limit is
// tested before the increment is applied, the upper one after it.
inline void AgcUpdate(TReceiverState& s, int32_t aThresh, int32_t aProgGain, int32_t aUpper, int32_t aLower,
                      bool aZero) {
    s.AgcError = s.Magnitude < aThresh ? 1 : (s.Magnitude > aThresh ? -1 : 0);
    const int32_t inc = int32_t(uint32_t(s.AgcError) << (uint32_t(aProgGain) & 31u));
    const int64_t lower = int64_t(aLower) * 4096;
    if (int64_t(s.AgcAcc) + inc < lower)
        s.AgcAcc = int32_t(uint32_t(uint64_t(lower)));
    else
        s.AgcAcc = int32_t(uint32_t(s.AgcAcc) + uint32_t(inc));
    const int64_t upper = int64_t(aUpper) * 4096;
    if (int64_t(s.AgcAcc) > upper) s.AgcAcc = int32_t(uint32_t(uint64_t(upper)));
    if (aZero) s.AgcAcc = 0;
    s.AgcGain = s.AgcAcc >> 12;
}

// ---- LPF, slicer, lock detector ----

// Matched filter taps; the end taps are zero, so the newest value enters one strobe later.
inline constexpr int32_t LpfTaps[15] = {0, 1, -2, 3, -4, -12, 61, 127, 61, -12, -4, 3, -2, 1, 0};
inline int32_t LpfOutput(int32_t aAcc) {
    return Clamp(aAcc >> 16, -128, 127);
}

// LOCK DETECTOR (on-time strobes, from CarErr). A window is good when 1024 symbols pass before
// its sum exceeds 65535; the good test runs first and reloads the sum.
inline void LockDetectorUpdate(TReceiverState& s, int32_t aPreloadA, int32_t aPreloadT) {
    s.LdAcc += s.CarErr < 0 ? -s.CarErr : s.CarErr;
    s.LdIntCnt += 1;
    if (s.LdIntCnt > 1023) {
        s.SweepActive = false;
        if (s.LockState < 8) s.LockState += 1;
        if (s.LockState == 8) s.Locked = true;
        s.LdAcc = aPreloadT;
        s.LdIntCnt = 0;
    }
    if (s.LdAcc > 65535) {
        if (s.LockState > 0) s.LockState -= 1;
        if (s.LockState == 0) {
            s.SweepActive = true;
            s.Locked = false;
        }
        s.LdAcc = aPreloadA;
        s.LdIntCnt = 0;
    }
}

// Thresholds for a slicer level and modulation type (QPSK scales them by about 1/1.414).
TSlicerThresholds SlicerThresholds(int32_t aSlice, int32_t aModType);

// 3-bit code of one on-time sample: level 0..3 by strict comparison, complemented when negative.
inline int32_t SlicerCode(int32_t v, const TSlicerThresholds& t) {
    const int32_t a = v < 0 ? (v == -128 ? 127 : -v) : v;
    const int32_t m = a > t.T1 ? 3 : (a > t.T2 ? 2 : (a > t.T3 ? 1 : 0));
    return v >= 0 ? m : 7 - m;
}

} // namespace haldrin
