// Reading stage logs in tests.
#pragma once

#include <fstream>
#include <string>
#include <vector>

// The messages of a stage log: each line without its time stamp (the text up to " - ") and
// without its line end. A missing file gives no lines.
inline std::vector<std::string> LogMessages(const std::string& aPath) {
    std::ifstream in(aPath, std::ios::binary);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const auto dash = line.find(" - ");
        lines.push_back(dash == std::string::npos ? line : line.substr(dash + 3));
    }
    return lines;
}
