// Lookup tables of the receiver, built once: NCO sine/cosine and the polar converter.
#pragma once

#include <array>
#include <cstdint>

// NCO entry k (0..2047) of the phase's top 11 bits; S and C are at most 2047, -2048 occurs.
struct TNcoEntry {
    int32_t S;
    int32_t C;
};

struct TReceiverTables {
    TReceiverTables();

    static constexpr int NcoSize = 2048;
    static constexpr int PolarSize = 65536;

    // Index of the polar tables for an 8-bit signed pair: (Qbyte << 8) | Ibyte.
    static int PolarIndex(int32_t aI, int32_t aQ) {
        return int((uint32_t(aQ) & 0xFF) << 8 | (uint32_t(aI) & 0xFF));
    }

    std::array<TNcoEntry, NcoSize> Nco;
    std::array<uint8_t, PolarSize> Magnitude; // 0..255, 182 -> 256
    std::array<int8_t, PolarSize> Phase;      // 1/256 turn, +180 degrees clamped to 127
};
