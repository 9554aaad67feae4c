// lrpt-passes: prints a ground station's coming passes from an element set file.
#include "LrptVersion.h"
#include "PassesTool.h"

#include <exception>
#include <iostream>
#include <stdexcept>
#include <string>

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "--version") {
        std::cout << "lrpt-passes " << LRPT_VERSION << "\n";
        return 0;
    }
    TPassesOptions options;
    try {
        options = ParsePassesArguments(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::invalid_argument& e) {
        std::cerr << "lrpt-passes: " << e.what() << " (see --help)\n";
        return 2;
    }
    if (options.Help) {
        std::cout << PassesUsage();
        return 0;
    }
    try {
        RunPasses(options, std::cout, std::cerr);
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "lrpt-passes: " << e.what() << "\n";
        return 1;
    }
}
