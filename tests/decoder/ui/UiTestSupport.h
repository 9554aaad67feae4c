// The application object the window tests need, on the offscreen platform unless told otherwise.
#pragma once

#include <QApplication>

inline QApplication& TestApplication() {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "tarnwick_ui_tests";
    static char* argv[] = {name, nullptr};
    static QApplication application(argc, argv);
    return application;
}
