// The QPSK channel and the recorder: turns the chain's value stream into the
// bytes of a symbol file (8-bit soft, 3-bit soft, hard decisions) or of
// complex baseband (a WAV file or headerless samples).
//
// Conventions:
// - Symbol files hold every symbol as (Q, I): the order of the demodulator's
//   3-bit form (Q in bits 6-4, I in bits 2-0). The decoder exchanges the two
//   values of a pair in 72 k mode and keeps them in 80 k mode, so the
//   transmitter puts the first value of the chain's pair on I in 72 k mode
//   and on Q in 80 k mode; then both modes see the pair they expect.
// - Complex baseband (WAV or headerless): frames are (Q, I), as the
//   demodulator's model reads them, in every encoding; 8-bit WAV samples are
//   unsigned with zero at 128, as WAV defines them.
#pragma once

#include "Synthesizer.h"

#include <cstdint>
#include <utility>
#include <vector>

namespace lrptsynth {

class SignalWriter {
  public:
    SignalWriter(const SynthOptions& options, double symbolRate, std::uint64_t seed);

    // chain: one 0/1 per value (1 = positive in the chain's view), pairs in the
    // chain's order. leadValues: noise values in front (even). gaps: value
    // ranges [a, b) of the whole stream (lead-in included) in which the signal
    // is absent and only noise is recorded.
    std::vector<std::uint8_t> write(const std::vector<std::uint8_t>& chain, std::int64_t leadValues,
                                    const std::vector<std::pair<std::int64_t, std::int64_t>>& gaps);

    // Number of whole stream values (lead-in included) that the first `bytes`
    // bytes of the output hold.
    std::int64_t valuesInBytes(std::int64_t bytes) const;

    // 3-bit soft code of an 8-bit soft value (0..3 positive weakest to
    // strongest, 7 - m negative of level m).
    static std::uint8_t softCode3(int v);

    // Baseband samples that lay beyond the encoding's full scale and were clipped (last write).
    std::int64_t clippedSamples() const { return fClipped; }

  private:
    const SynthOptions& fO;
    double fSymbolRate;
    std::uint64_t fSeed;
    std::int64_t fHeaderBytes = 0;
    std::int64_t fClipped = 0;

    std::vector<std::uint8_t> writeSymbols(const std::vector<std::uint8_t>& chain, std::int64_t lead,
                                           const std::vector<std::pair<std::int64_t, std::int64_t>>& gaps);
    std::vector<std::uint8_t> writeWav(const std::vector<std::uint8_t>& chain, std::int64_t lead,
                                       const std::vector<std::pair<std::int64_t, std::int64_t>>& gaps);
};

} // namespace lrptsynth
