// One run of lrpt-decode: a recording (or a symbol file) to pictures, products and pass.json.
#pragma once

#include "DecodeOptions.h"
#include "PassSummary.h"

#include <ostream>
#include <string>

struct TDecodeOutcome {
    TPassSummary Summary;
    std::string OutDir;      // the output folder
    std::string Stem;        // the stem of every output, folder included
    std::string NotFound;    // not empty: no transfer frame found (exit 3); the line for the user
    std::string Warning;     // not empty: done, but something was deficient (a cut-short recording, a
                             // live picture that could not be written)
    std::string NothingCame; // not empty: interrupted before standard input brought anything;
                             // nothing was written (the line for the user; exit 0)
};

// Runs the whole pipeline. aProgress, when given, receives a one-line progress display now and
// then. Throws std::invalid_argument or std::runtime_error with a one-line message naming the file
// on a refused input (nothing is written then: the input is checked before the output folder is
// made) and on an output that cannot be written.
TDecodeOutcome RunDecode(const TDecodeOptions& aOptions, std::ostream* aProgress);

// Ends the input of a running RunDecode at its next block, as if the recording ended there: the
// rest of the run (the drain, the final pictures, pass.json) goes on. Safe in a signal handler.
void RequestEndOfInput();

// The summary printed at the end.
std::string DecodeSummaryText(const TDecodeOutcome& aOutcome);
