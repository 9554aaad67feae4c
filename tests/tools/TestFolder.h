// A folder of a tool test's own, below one of the test process, so that runs from other build
// trees (or at the same time) keep out of each other's way.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <system_error>

// <temp>/<aPrefix>-<pid>/<aName>, emptied first. The process's folder goes when the process ends.
inline std::filesystem::path TestFolder(const std::string& aPrefix, const std::string& aName) {
    struct TRoot {
        std::filesystem::path Path;
        ~TRoot() {
            std::error_code ignored;
            std::filesystem::remove_all(Path, ignored);
        }
    };
    static std::map<std::string, TRoot> roots;
    TRoot& root = roots[aPrefix];
    if (root.Path.empty())
        root.Path = std::filesystem::temp_directory_path() / (aPrefix + "-" + std::to_string(getpid()));
    const std::filesystem::path dir = root.Path / aName;
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}
