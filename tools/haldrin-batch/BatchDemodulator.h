// One demodulation run without a window: the core of haldrin-batch.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

struct THaldrinBatchOptions {
    std::vector<std::pair<std::string, int32_t>> Params; // receiver parameters by name, in order
    std::string Input, Output;
    std::string Receiver = "precise"; // "precise" or "model"
    bool Oqpsk = false;               // offset QPSK, for either receiver (the model's Oqpsk)
    double SymbolRate = 72000;        // precise receiver: symbols/s
    bool Help = false;
    bool Quiet = false;
};

// Throws std::invalid_argument with a one-line message on a usage error (unknown parameter name,
// value out of its range, missing files, --param without --receiver model).
THaldrinBatchOptions ParseHaldrinBatchArguments(const std::vector<std::string>& aArgs);
std::string HaldrinBatchUsage();

struct THaldrinBatchResult {
    int64_t Symbols = 0;      // bytes written to the output file
    int64_t Frames = 0;       // input frames processed
    int64_t LockedFrames = 0; // of which with the receiver locked at the end of their block
    double SignalSeconds = 0;
    double ElapsedSeconds = 0;
    int32_t SampleRate = 0;
    std::string Warning; // not empty when the input was deficient but usable (a cut-short recording)
    std::string Receiver = "model";
    double LockedShare = 0; // of the symbols (precise) or of the frames (model)
    // Precise receiver only:
    bool HasPreciseReadouts = false;
    double LockTimeS = -1; // input seconds until the first lock; -1: never
    double MeanOffsetHz = 0, MaxDriftHzPerS = 0, SnrDb = 0;
};

// Opens the WAV file. The precise receiver runs at the file's rate (PreciseRun.h); the model takes
// the rate, applies the parameters (after the rate, so a Samp given
// here wins), computes the frequency words and runs the receiver flat out to the end of the file,
// writing the symbols to the output file. aProgress, when given, receives a one-line progress
// display now and then. Throws std::runtime_error with a message naming the file on any input or
// output problem.
THaldrinBatchResult RunHaldrinBatch(const THaldrinBatchOptions& aOptions, std::ostream* aProgress);

std::string HaldrinBatchSummary(const THaldrinBatchResult& aResult);
