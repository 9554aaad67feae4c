// Receiver of the soft-decision bytes, one per symbol.
#pragma once

#include <cstdint>

// The model calls Put once per on-time strobe with the symbol's byte in the 3-bit soft form:
// Q code in bits 6..4, I code in bits 2..0, bits 7 and 3 zero. Codes 0..3 are increasingly
// confident decisions for bit 1 (positive samples), 7..4 their complements for bit 0.
class SymbolSink {
  public:
    virtual ~SymbolSink() = default;
    virtual void Put(uint8_t aByte) = 0;
};
