// haldrin-batch with the precise receiver: the WAV's frames become complex float samples once
// here, the receiver runs flat out, the symbols go to a file of the form the output's extension
// names.
#pragma once

#include "BatchDemodulator.h"

#include <chrono>
#include <ostream>
#include <string>

class TWavInput;

// aInput is open, readable and positioned at its first sample byte. Throws std::runtime_error
// with a message naming the file on an input or output problem.
THaldrinBatchResult RunPreciseBatch(const THaldrinBatchOptions& aOptions, TWavInput& aInput,
                                    std::chrono::steady_clock::time_point aStart, std::ostream* aProgress);
