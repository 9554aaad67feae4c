// The convolutional code written in the tests from its definition, independent of the generator.
#pragma once

#include <cstdint>
#include <vector>

// Rate 1/2, k = 7, generators 171 and 133 octal (171 first), from an all-zero register: one code
// bit (0 or 1) per byte, two per input bit, input bytes most significant bit first.
inline std::vector<std::uint8_t> convEncode(const std::vector<std::uint8_t>& bytes) {
    std::vector<std::uint8_t> out;
    unsigned r = 0;
    for (std::uint8_t by : bytes)
        for (int j = 7; j >= 0; --j) {
            r = (r >> 1) | (((by >> j) & 1u) << 6);
            out.push_back(static_cast<std::uint8_t>(__builtin_popcount(r & 0171) & 1));
            out.push_back(static_cast<std::uint8_t>(__builtin_popcount(r & 0133) & 1));
        }
    return out;
}
