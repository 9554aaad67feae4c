// Writes the precise receiver's soft pairs to a symbol file in the form its extension names, with
// the pair order of the model's files, so that files of both receivers are interchangeable:
//   ".raw": one byte per symbol, Q's 3-bit code in bits 6-4 and I's in bits 2-0 (the model's form);
//   anything else (".s"): two signed bytes per symbol, Q then I.
#pragma once

#include "PreciseReceiver.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace precise {

enum class TSymbolForm { Soft8, Soft3 };

// ".raw" (exact, case included, as the decoder compares it) gives Soft3, anything else Soft8.
TSymbolForm SymbolFormOfPath(const std::string& aPath);

// 8-bit soft value of one branch: round(aValue x aScale) limited to +-127.
int8_t Soft8Value(float aValue, double aScale);
// Scale of the 8-bit form for a noise ratio (noise sigma per branch / amplitude): a clean symbol
// sits at +-72, and at low Es/N0 the amplitude shrinks so that three sigma of noise stay inside
// +-127 (never below +-24).
double Soft8Scale(double aNoiseRatio);
// 3-bit code of one branch: with the amplitude at 70 the levels end at 24, 48, 72 (the decoder
// reads the codes back as +-12, +-36, +-60, +-84); code m for positive values, 7 - m for negative.
uint8_t Soft3Code(float aValue);

class TSoftSymbolWriter {
  public:
    TSoftSymbolWriter() = default;
    TSoftSymbolWriter(const TSoftSymbolWriter&) = delete;
    TSoftSymbolWriter& operator=(const TSoftSymbolWriter&) = delete;
    ~TSoftSymbolWriter() { Close(); }

    // Creates (truncates) aPath; false when it cannot be created.
    bool Open(const std::string& aPath);
    // Appends aCount pairs; aNoiseRatio sets the 8-bit scale (Soft8Scale).
    void Write(const TSoftPair* aPairs, size_t aCount, double aNoiseRatio);
    // Hands what was written to the system (a reader of a growing file sees whole symbols).
    void Flush();
    void Close();
    TSymbolForm Form() const { return fForm; }
    int64_t Symbols() const { return fSymbols; }
    // True once a write or the close failed.
    bool Failed() const { return fFailed; }

  private:
    std::FILE* fFile = nullptr;
    TSymbolForm fForm = TSymbolForm::Soft8;
    std::vector<uint8_t> fBytes;
    int64_t fSymbols = 0;
    bool fFailed = false;
};

} // namespace precise
