// haldrin-batch with the precise receiver: the input layer gives complex float samples, the
// receiver runs flat out, the symbols go to a file of the form the output's extension names.
#pragma once

#include "BatchDemodulator.h"

#include <ostream>

// Runs the precise receiver over an open input (any rate the receiver takes, 8 kHz .. 20 MHz),
// creating aOptions.Output once the input has shown data and flushing it after every block when
// the input is a stream. Throws std::runtime_error with a message naming the file on an input or
// output problem or a rate the receiver refuses.
THaldrinBatchResult RunPreciseBatch(TSampleSource& aSource, const THaldrinBatchOptions& aOptions,
                                    std::ostream* aProgress);
