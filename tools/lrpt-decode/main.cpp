// lrpt-decode: a recording of an LRPT pass to pictures in one run, how it was sent found by itself.
#include "LrptDecode.h"
#include "LrptVersion.h"
#include "app/EndOfInputSignals.h"

#include <exception>
#include <iostream>
#include <malloc.h>
#include <stdexcept>
#include <string>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "--version") {
        std::cout << "lrpt-decode " << LRPT_VERSION << "\n";
        return 0;
    }
    // The decoder's streams take and give back 1 MiB pages all the time: keep them in the process.
    mallopt(M_MMAP_THRESHOLD, 8 << 20);
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
    TDecodeOptions options;
    try {
        options = ParseDecodeArguments(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::invalid_argument& e) {
        std::cerr << "lrpt-decode: " << e.what() << " (see --help)\n";
        return 2;
    }
    if (options.Help) {
        std::cout << DecodeUsage();
        return 0;
    }
    InstallEndOfInputSignals(RequestEndOfInput);
    try {
        const bool terminal = !options.Quiet && isatty(STDERR_FILENO);
        const TDecodeOutcome outcome = RunDecode(options, terminal ? &std::cerr : nullptr);
        if (!outcome.NothingCame.empty()) {
            std::cerr << "lrpt-decode: " << outcome.NothingCame << "\n";
            return 0;
        }
        if (!options.Quiet) std::cout << DecodeSummaryText(outcome);
        if (!outcome.Warning.empty()) std::cerr << "lrpt-decode: " << outcome.Warning << "\n";
        if (!outcome.NotFound.empty()) {
            std::cerr << "lrpt-decode: " << outcome.NotFound << "\n";
            return 3;
        }
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "lrpt-decode: " << e.what() << "\n";
        return 1;
    }
}
