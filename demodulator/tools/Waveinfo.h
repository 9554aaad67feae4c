// Wave file information: the RIFF structure of the open input file, one line per item.
#pragma once

#include "app/WavInput.h"

#include <cstdio>
#include <string>
#include <vector>

// Lists from the current position of aFile (expected at its start): the RIFF header, the "fmt "
// chunk with the six fields of aFormat (the values parsed at opening, not read again), then
// sub-chunks 2 to 5 up to "data", decoding a 72-byte "auxi" chunk. Without "data" among them, or
// when the file ends first, the last line is "DATA CHUNK MISSING!!! 6". Moves the file position;
// the caller restores it.
std::vector<std::string> WaveInfoListing(std::FILE* aFile, const TWavFormat& aFormat);
