#include "fec/Randomization.h"

namespace {

constexpr std::array<uint8_t, kRandTableSize> MakeTable() {
    std::array<uint8_t, kRandTableSize> t{};
    unsigned v = 0xFF;
    for (auto& byte : t) {
        unsigned b = 0;
        for (int i = 0; i < 8; ++i) {
            b = (b << 1) | (v & 1);
            const unsigned f = (v ^ (v >> 3) ^ (v >> 5) ^ (v >> 7)) & 1;
            v = (v >> 1) | (f << 7);
        }
        byte = static_cast<uint8_t>(b);
    }
    return t;
}

constexpr std::array<uint8_t, kRandTableSize> kTable = MakeTable();

} // namespace

const std::array<uint8_t, kRandTableSize>& RandomizationTable() {
    return kTable;
}

void Derandomize(uint8_t* aBuffer, bool aWithCheck) {
    const int count = aWithCheck ? kRandTableSize : kRandHeaderSize + kRandDataSize;
    for (int i = 0; i < count; ++i)
        aBuffer[i] ^= kTable[i];
}
