// tarnwick-batch: decodes one LRPT symbol file without a window.
#include "BatchDecoder.h"

#include <exception>
#include <iostream>
#include <stdexcept>
#include <unistd.h>

int main(int argc, char** argv) {
    TBatchOptions options;
    try {
        options = ParseBatchArguments(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::invalid_argument& e) {
        std::cerr << "tarnwick-batch: " << e.what() << " (see --help)\n";
        return 2;
    }
    if (options.Help) {
        std::cout << BatchUsage();
        return 0;
    }
    try {
        const bool terminal = !options.Quiet && isatty(STDERR_FILENO);
        const TBatchResult result = RunBatch(options, terminal ? &std::cerr : nullptr);
        if (!options.Quiet) std::cout << BatchSummary(result);
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "tarnwick-batch: " << e.what() << "\n";
        return 1;
    }
}
