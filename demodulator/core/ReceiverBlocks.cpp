#include "core/ReceiverBlocks.h"

namespace haldrin {

namespace {
// 2^32 in extended precision.
constexpr long double kTwo32 = 4294967296.0L;
} // namespace

int32_t TruncWord(long double aValue) {
    // Ordered comparisons are false for NaN, so NaN lands here too.
    if (!(aValue > -0x1p63L && aValue < 0x1p63L)) return 0;
    return int32_t(uint32_t(uint64_t(int64_t(aValue))));
}

int32_t CarrierWord(long double aHz, int32_t aSamp) {
    const long double f = kTwo32 / static_cast<long double>(aSamp);
    return TruncWord(f * aHz);
}

int32_t SymbolWord(long double aRate, int32_t aSamp) {
    const long double f = kTwo32 / static_cast<long double>(aSamp);
    return TruncWord(f * aRate * 2.0L);
}

int32_t CarrierLimitWord(int32_t aHz, int32_t aSamp) {
    return TruncWord(static_cast<long double>(aHz) * kTwo32 / static_cast<long double>(aSamp));
}

int32_t SymbolLimitWord(int32_t aHz, int32_t aSamp) {
    return TruncWord(static_cast<long double>(aHz) * kTwo32 / static_cast<long double>(aSamp) * 2.0L);
}

TPhaseRule PhaseRule(int32_t aModType) {
    switch (aModType) {
    case mt_BPSK:
        return {0, 1};
    case mt_QPSK:
        return {32, 2};
    default:
        return {0, 0};
    }
}

TSlicerThresholds SlicerThresholds(int32_t aSlice, int32_t aModType) {
    // 64-bit intermediates: the level is an operator value and must not overflow.
    const int64_t slice = aSlice;
    int64_t t3 = slice * 128 / 100;
    int64_t t2 = slice * 256 / 100;
    int64_t t1 = slice * 384 / 100;
    if (aModType == mt_QPSK) {
        t3 = t3 * 58 / 82;
        t2 = t2 * 58 / 82;
        // 1/1.414, in extended precision.
        t1 = static_cast<int64_t>(static_cast<long double>(t1) * 0.70721357850070725L);
    }
    return {int32_t(t1), int32_t(t2), int32_t(t3)};
}

} // namespace haldrin
