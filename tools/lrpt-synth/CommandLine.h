// lrpt-synth's command line: one table of options (names, argument, help text, setter), the
// parser that walks it and the help text made from it.
#pragma once

#include "Synthesizer.h"

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace lrptsynth {

// A usage error: the message names the option; the program exits with 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Everything the command line sets: the synthesizer's options and the program's own.
struct CommandLine {
    SynthOptions options;
    std::string output, manifest, truthPrefix, formName;
    bool noTruth = false, quiet = false, help = false;
    bool wavFormatGiven = false;
};

// One option: its names ("-o, --output"; the first long name is what the user types besides any
// short one), the argument it takes (empty: a switch), its help lines (joined by '\n') and what it
// sets. A setter throws UsageError for a bad value (readers of files named by a value may throw
// other exceptions, which are failures, not usage errors).
struct OptionEntry {
    std::string names;
    std::string argument;
    std::string help;
    std::function<void(CommandLine&, const std::string&)> set;
};

// The options in the order of the help text, in titled groups.
struct OptionGroup {
    std::string title; // empty: no heading
    std::vector<OptionEntry> entries;
};
const std::vector<OptionGroup>& optionTable();

// Walks aArgs through the table. Stops at -h/--help (help set). Afterwards checks the output and
// the rotation and resolves the form from --form or the output's extension. Throws UsageError.
CommandLine parseCommandLine(const std::vector<std::string>& aArgs);

// The --help text, made from the table.
std::string helpText();

} // namespace lrptsynth
