#include "core/ReceiverReadouts.h"

#include "core/CostasReceiver.h"

#include <cmath>

namespace {
int64_t Trunc(long double x) {
    return std::isfinite(x) ? int64_t(x) : 0;
}
} // namespace

TLoopReadouts LoopReadouts(const TReceiverState& s, int32_t aNcoWord, int32_t aSymRateWord, int32_t aSamp) {
    TLoopReadouts r;
    if (aSamp == 0) return r;
    const long double f = 4294967296.0L / static_cast<long double>(aSamp);
    r.ClfAccHz = Trunc(static_cast<long double>(s.ClfAcc >> 8) / f);
    r.CarrierOffsetHz = Trunc(static_cast<long double>(s.CarOffset) / f);
    r.CarrierFreqHz = Trunc(static_cast<long double>(aNcoWord) / f) + r.ClfAccHz;
    r.SlfAccHz = Trunc(static_cast<long double>(s.SlfAcc >> 8) / f * 0.5L);
    r.SymbolOffsetHz = Trunc(static_cast<long double>(s.SymOffset) / f * 0.5L);
    r.SymbolCentreHz = Trunc(static_cast<long double>(aSymRateWord) / f * 0.5L + 0.5L) + r.SlfAccHz;
    return r;
}

TLoopReadouts LoopReadouts(const TCostasReceiver& aRx) {
    return LoopReadouts(aRx.State(), aRx.NcoWord(), aRx.SymRateWord(), aRx.Params().Samp);
}
