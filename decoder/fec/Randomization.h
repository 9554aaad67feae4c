// The pseudo-random sequence added to every channel-access frame behind the sync marker, and its
// removal.
//
// Generator: 8-bit register v seeded with FF; a step outputs bit 0 of v, then
// v = (v >> 1) | ((bit0 ^ bit3 ^ bit5 ^ bit7) << 7). Eight outputs make a byte, the first in the
// most significant bit. The byte sequence repeats every 255 bytes and begins FF 48 0E C0 9A 0D.
#pragma once

#include <array>
#include <cstdint>

constexpr int kRandHeaderSize = 6;  // transfer frame primary header, frame bytes 0..5
constexpr int kRandDataSize = 886;  // rest of the transfer frame, frame bytes 6..891
constexpr int kRandCheckSize = 128; // Reed-Solomon check bytes, frame bytes 892..1019
constexpr int kRandTableSize = kRandHeaderSize + kRandDataSize + kRandCheckSize; // 1,020

// The first 1,020 sequence bytes: header piece at 0..5, data piece at 6..891, check piece at
// 892..1019. Computed at compile time, so it is complete before any stage runs.
const std::array<uint8_t, kRandTableSize>& RandomizationTable();

// XORs the 1,020 frame bytes that follow the sync marker with the sequence: bytes 0..891 always,
// the check bytes 892..1019 only when aWithCheck. aBuffer must hold 1,020 bytes. Applying it twice
// restores the buffer.
void Derandomize(uint8_t* aBuffer, bool aWithCheck);
