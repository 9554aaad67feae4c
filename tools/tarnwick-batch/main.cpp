// tarnwick-batch: decodes one LRPT symbol file without a window.
#include "BatchDecoder.h"
#include "LrptVersion.h"

#include <exception>
#include <iostream>
#include <malloc.h>
#include <stdexcept>
#include <string>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "--version") {
        std::cout << "tarnwick-batch " << LRPT_VERSION << "\n";
        return 0;
    }
    // The streams take and give back 1 MiB pages all the time; keep freed pages in the process
    // instead of letting the allocator unmap them, which costs a page-clearing fault per reuse.
    mallopt(M_MMAP_THRESHOLD, 8 << 20);
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
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
        if (result.Totals.FramesPassedOn == 0) {
            // Not an error of the program, but nothing a user wants: say so and what was left.
            std::cerr << "tarnwick-batch: " << NoFrameInSymbolFile(result, options.Input) << "\n";
            return 3;
        }
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "tarnwick-batch: " << e.what() << "\n";
        return 1;
    }
}
