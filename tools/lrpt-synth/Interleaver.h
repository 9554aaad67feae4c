// The interleaved 80 k downlink: convolutional interleaving of the code
// values with 36 branches, branch b delayed by b x 36 x 2,048 values, and
// the unique word 27 hex (4 symbols, 8 values) in front of every 72 values.
#pragma once

#include <cstdint>
#include <vector>

namespace lrptsynth {

class Interleaver {
  public:
    static constexpr int kBranches = 36;
    static constexpr std::int64_t kBranchDelay = 36 * 2048; // values per branch step
    static constexpr int kGroupData = 72;                   // code values per group
    static constexpr int kGroupSize = 80;                   // with the unique word
    static constexpr std::uint8_t kUniqueWord = 0x27;

    // Interleaves `in` (one code value per element) and inserts the unique
    // word. Branch b of data value n is n mod 36, n counted from the first value
    // after the first unique word. Output value n carries input value
    // n - b x kBranchDelay; positions before the start of the input are taken
    // from `prefill(k)` (k counts them from 0). in.size() must be a multiple of
    // 72. `uniqueWordValue` receives, for every output element, whether it is a
    // unique-word value (may be null).
    template <class Prefill>
    static std::vector<std::uint8_t> interleave(const std::vector<std::uint8_t>& in, Prefill prefill,
                                                std::vector<std::uint8_t>* uniqueWordValue) {
        const std::int64_t n = static_cast<std::int64_t>(in.size());
        std::vector<std::uint8_t> out;
        out.reserve(static_cast<std::size_t>(n / kGroupData * kGroupSize));
        if (uniqueWordValue) uniqueWordValue->reserve(out.capacity());
        std::int64_t k = 0;
        for (std::int64_t i = 0; i < n; ++i) {
            if (i % kGroupData == 0) {
                for (int j = 7; j >= 0; --j) {
                    out.push_back((kUniqueWord >> j) & 1u);
                    if (uniqueWordValue) uniqueWordValue->push_back(1);
                }
            }
            const std::int64_t src = i - (i % kBranches) * kBranchDelay;
            out.push_back(src >= 0 ? in[static_cast<std::size_t>(src)]
                                   : static_cast<std::uint8_t>(prefill(k++) & 1u));
            if (uniqueWordValue) uniqueWordValue->push_back(0);
        }
        return out;
    }
};

} // namespace lrptsynth
