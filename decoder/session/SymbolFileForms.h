// The three symbol-file forms and their expansion into 8-bit soft pairs, and the conversion of an
// 8-bit soft file into a hard-decision file.
#pragma once

#include <cstdint>
#include <string>

// The form of an input file, told by its extension (".s", ".raw", ".hard", case included).
enum TDemodulatorModes { dm_8BitSoft = 0, dm_3BitSoft = 1, dm_Hard = 2 };

// ".s": two signed bytes per symbol. ".raw": one byte per symbol, codes in bits 6..4 and 2..0
// (0..3 positive weakest to strongest, 4..7 negative strongest to weakest). ".hard": eight
// decisions per byte, most significant bit first, 1 positive.
struct TExpansionTables {
    int8_t fHardToSoft[256][8]; // +70 for a 1 bit, -70 for a 0 bit, bit 7 first
    int8_t f3BitSoftToSoft[256]
                          [2]; // codes of bits 6..4 and 3..0 as +12 +36 +60 +84 -84 -60 -36 -12, 8..15 as 0

    TExpansionTables();
};

// The form for a file name: the text from the last dot on, compared exactly; any other extension
// keeps aCurrent.
TDemodulatorModes DemModeFromFileName(const std::string& aFileName, TDemodulatorModes aCurrent);

// Soft values produced per input byte: 1 (".s"), 2 (".raw"), 8 (".hard").
int SoftValuesPerByte(TDemodulatorModes aMode);

// Expands aCount input bytes into aOut (aCount * SoftValuesPerByte values); returns that count.
int ExpandBlock(const TExpansionTables& aTables, TDemodulatorModes aMode, const uint8_t* aIn, int aCount,
                int8_t* aOut);

// Exchanges the two values of every pair of aCount values (an odd last value stays).
void ExchangePairs(int8_t* aValues, int aCount);

// Writes aSoftFileName + ".hard": bit 7 - j of output byte i is set when soft byte 8i + j is
// greater than 0. Every complete group of eight soft values is converted; fewer than eight left at
// the end are dropped. Throws EFOpenError / EFCreateError naming the file. Returns the bytes
// written.
int64_t ConvertSoftToHard(const std::string& aSoftFileName);
