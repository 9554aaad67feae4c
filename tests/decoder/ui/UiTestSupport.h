// The application object of the window tests, made by the test program's main.
#pragma once

#include <QApplication>

#include <filesystem>
#include <string>

inline QApplication& TestApplication() {
    return *qApp;
}

// A fresh folder for one test's files, named after it and this process, since other test runs
// (other build trees) may run the same test at the same time.
inline std::filesystem::path TestFolder(const std::string& aName) {
    const auto dir = std::filesystem::temp_directory_path() /
                     ("tarnwick_ui_" + aName + "_" + std::to_string(QCoreApplication::applicationPid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}
