// haldrin-batch: demodulates one WAV recording into a 3-bit soft symbol file without a window.
#include "BatchDemodulator.h"
#include "LrptVersion.h"
#include "app/EndOfInputSignals.h"

#include <exception>
#include <iostream>
#include <stdexcept>
#include <string>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "--version") {
        std::cout << "haldrin-batch " << LRPT_VERSION << "\n";
        return 0;
    }
    THaldrinBatchOptions options;
    try {
        options = ParseHaldrinBatchArguments(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::invalid_argument& e) {
        std::cerr << "haldrin-batch: " << e.what() << " (see --help)\n";
        return 2;
    }
    if (options.Help) {
        std::cout << HaldrinBatchUsage();
        return 0;
    }
    InstallEndOfInputSignals(RequestEndOfInput);
    try {
        const bool terminal = !options.Quiet && isatty(STDERR_FILENO);
        const THaldrinBatchResult result = RunHaldrinBatch(options, terminal ? &std::cerr : nullptr);
        if (!result.NothingCame.empty()) {
            std::cerr << "haldrin-batch: " << result.NothingCame << "\n";
            return 0;
        }
        if (!options.Quiet) std::cout << HaldrinBatchSummary(result);
        if (!result.Warning.empty()) {
            std::cerr << "haldrin-batch: " << result.Warning << "\n";
            return 3;
        }
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "haldrin-batch: " << e.what() << "\n";
        return 1;
    }
}
