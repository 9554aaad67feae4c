// The command line of lrpt-decode.
#pragma once

#include "MapProducts.h"
#include "app/SampleSource.h"
#include "session/StageChain.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct TDecodeOptions {
    std::string Input;  // a recording, "-" (standard input) or a symbol file (.s, .raw, .hard)
    std::string OutDir; // empty: DefaultOutDir
    // What the user forced; empty members are found from the input.
    std::optional<bool> Oqpsk;
    std::optional<TLrptMode> Mode;
    std::optional<bool> Nrzm;
    bool SwapIq = false; // --swap-iq: the first channel of a frame is Q
    TInputForm InputForm = TInputForm::Auto;
    int64_t RateHz = 0;
    std::string KeepSymbols; // --keep-symbols FILE: also write the symbols there
    double LiveSeconds = 5;  // --live-every: standard input's pictures rewritten this often
    bool Quiet = false;
    bool Help = false;
    TMapOptions Maps; // --tle and its companions
};

// Throws std::invalid_argument with a one-line message on a usage error (unknown option, missing
// value, contradicting options, options of a recording given for a symbol file).
TDecodeOptions ParseDecodeArguments(const std::vector<std::string>& aArgs);
std::string DecodeUsage();

// True for a symbol file by its extension (".s", ".raw", ".hard", compared exactly as the decoder
// compares them); standard input is always a recording.
bool IsSymbolFile(const std::string& aPath);

// The output folder when --out is not given: beside the input, its name without the extension and
// "-decoded" ("pass.wav" -> "pass-decoded"); for standard input "lrpt-live-YYYYMMDD-HHMMSS" (UTC)
// in the current folder.
std::string DefaultOutDir(const std::string& aInput);
// The stem of every output in the folder: the input's name without the extension; "live" for
// standard input.
std::string OutputStemName(const std::string& aInput);
