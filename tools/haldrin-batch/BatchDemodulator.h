// One demodulation run without a window: the core of haldrin-batch.
#pragma once

#include "app/SampleSource.h"

#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

struct THaldrinBatchOptions {
    std::vector<std::pair<std::string, int32_t>> Params; // receiver parameters by name, in order
    std::string Input, Output;                           // Input "-": standard input
    TInputForm InputForm = TInputForm::Auto;             // --input-format
    int64_t RateHz = 0;                                  // --rate (required for headerless input)
    bool SwapIq = false;                                 // --swap-iq: the first channel of a frame is Q
    std::string Receiver = "precise";                    // "precise" or "model"
    bool Oqpsk = false;        // offset QPSK, for either receiver (the model's Oqpsk)
    double SymbolRate = 72000; // precise receiver: symbols/s
    bool Help = false;
    bool Quiet = false;
};

// Throws std::invalid_argument with a one-line message on a usage error (unknown parameter name,
// value out of its range, missing files, --param without --receiver model).
THaldrinBatchOptions ParseHaldrinBatchArguments(const std::vector<std::string>& aArgs);
std::string HaldrinBatchUsage();

struct THaldrinBatchResult {
    int64_t Symbols = 0;       // bytes written to the output file
    int64_t Frames = 0;        // input frames processed
    int64_t LockedFrames = 0;  // of which with the receiver locked at the end of their block
    int64_t ClippedFrames = 0; // of which beyond the model's input range (clamped)
    double SignalSeconds = 0;
    double ElapsedSeconds = 0;
    int64_t SampleRate = 0;
    std::string Input;        // what the input holds (its name and description)
    std::string Warning;      // not empty when the input was deficient but usable (a cut-short recording)
    std::string NothingCame;  // not empty: interrupted before standard input brought anything;
                              // nothing was written (the line for the user; exit 0)
    bool Interrupted = false; // the input was ended by an interrupt (the first Ctrl-C)
    uint64_t NonFiniteSamples = 0; // NaN or infinite sample values read as 0
    std::string Receiver = "model";
    double LockedShare = 0; // of the symbols (precise) or of the frames (model)
    // Precise receiver only:
    bool HasPreciseReadouts = false;
    double LockTimeS = -1; // input seconds until the first lock; -1: never
    double MeanOffsetHz = 0, MaxDriftHzPerS = 0, SnrDb = 0;
};

// Opens the input through the input layer and runs the chosen receiver over it (RunModel, or
// RunPreciseBatch of PreciseRun.h). aProgress, when given, receives a one-line progress display
// now and then. Throws std::runtime_error with a message naming the file on any input or output
// problem; a refused input leaves no output file.
THaldrinBatchResult RunHaldrinBatch(const THaldrinBatchOptions& aOptions, std::ostream* aProgress);

// Ends the input of a running RunHaldrinBatch at its next block, as if the recording ended there
// (a read waiting for an idle pipe included): what came is demodulated and written. Safe in a
// signal handler.
void RequestEndOfInput();

// The fixed-point model over an open input: takes the input's rate (Samp = 4 x rate; refused
// above 500,000 Hz, where Samp would leave its range, unless Samp is given), applies the
// parameters (after the rate, so a Samp given here wins), computes the frequency words and runs
// the receiver flat out to the end of the input, writing the symbols to aOptions.Output (created
// once the input has shown data; flushed after every block when the input is a stream, so the
// file grows as the symbols come).
THaldrinBatchResult RunModel(TSampleSource& aSource, const THaldrinBatchOptions& aOptions,
                             std::ostream* aProgress);

std::string HaldrinBatchSummary(const THaldrinBatchResult& aResult);

// Where the progress display stands: a 30-column bar and the percentage when the input's length is
// known, else the seconds of signal read so far (a pipe).
std::string ProgressPosition(const TSampleSource& aSource);
