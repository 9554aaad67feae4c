// Loop readouts in Hz, as the main window shows them, from the receiver's state and words.
#pragma once

#include <cstdint>

#include "core/ReceiverState.h"

class TCostasReceiver;

// With F = 2^32 / Samp frequency words per Hz (extended precision). Only the symbol centre's
// rate term is rounded; everything else truncates toward zero. Samp 0 gives 0 throughout.
struct TLoopReadouts {
    int64_t ClfAccHz = 0;        // "CLF acc (Hz)": trunc((ClfAcc >> 8) / F)
    int64_t CarrierOffsetHz = 0; // "Carrier Offset": trunc(CarOffset / F)
    int64_t CarrierFreqHz = 0;   // "Carrier Freq": trunc(NcoWord / F) + CLF acc
    int64_t SlfAccHz = 0;        // "SLF acc (Hz)": trunc(((SlfAcc >> 8) / F) x 0.5)
    int64_t SymbolOffsetHz = 0;  // "Symbol Offset": trunc((SymOffset / F) x 0.5)
    int64_t SymbolCentreHz = 0;  // "Symbol Centre": trunc((SymRateWord / F) x 0.5 + 0.5) + SLF acc
};

TLoopReadouts LoopReadouts(const TReceiverState& s, int32_t aNcoWord, int32_t aSymRateWord, int32_t aSamp);
TLoopReadouts LoopReadouts(const TCostasReceiver& aRx);
