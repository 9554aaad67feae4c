// The observable state of the receiver model, read by the displays and readouts.
#pragma once

#include <cstdint>

// All zero at program start except SweepDir (+1); never reset afterwards. Widths are those of
// the fixed-point receiver: 32-bit values wrap, the loop accumulators are signed 64-bit.
struct TReceiverState {
    // Input and interpolator.
    int32_t ZeroStuff = 0;    // 0 on the step that takes a frame, then 1..3 on the stuffed steps
    int32_t Iin = 0, Qin = 0; // -512..511
    int32_t Iup = 0, Qup = 0; // -2048..2047

    // Carrier loop.
    uint32_t NcoPhase = 0; // units of 2^-32 turn
    int32_t CarOffset = 0; // frequency words added to the NCO each step
    int64_t ClfAcc = 0;    // integral path, frequency words x 256
    int32_t ClfOut = 0;
    bool SweepActive = false;
    int32_t SweepDir = 1;
    int32_t SweepValue = 0;
    int32_t Imix = 0, Qmix = 0;
    int32_t CarErr = 0; // -128..127, held between on-time strobes

    // Symbol timing.
    uint32_t SymPhase = 0;
    int32_t SymOffset = 0;
    int64_t SlfAcc = 0;
    int32_t SlfOut = 0;
    bool OnTime = false;
    int32_t SymErr = 0;
    int32_t Imid = 0, Qmid = 0;
    int32_t Ion = 0, Qon = 0;
    int32_t IonPrev = 0, QonPrev = 0;

    // AGC and GCA.
    int32_t AgcAcc = 0;   // gain word x 4096
    int32_t AgcGain = 0;  // 0..255 within the default limits
    int32_t AgcError = 0; // -1, 0, +1
    int32_t GcaI = 0, GcaQ = 0;

    // Polar converter, LPF.
    int32_t Magnitude = 0;      // 0..255
    int32_t Phase = 0;          // -128..127, 1/256 turn
    int32_t Iout = 0, Qout = 0; // -128..127

    // Lock detector.
    int32_t LdAcc = 0;
    int32_t LdIntCnt = 0;
    int32_t LockState = 0; // 0..8
    bool Locked = false;

    // The pair of the last symbol, decided at an on-time strobe: (Ion, Qon), or with Oqpsk the
    // I of the on-time strobe before and the Q of the mid-symbol strobe between (IonPrev and
    // Qmid before the sampling error detector moves them on). Polar converter, AGC, carrier
    // error, lock detector, slicer and constellation all take this pair.
    int32_t Isym = 0, Qsym = 0;

    // Slicer: 3-bit codes of the last symbol.
    int32_t Iend = 0, Qend = 0;
};
