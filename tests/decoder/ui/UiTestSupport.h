// The application object the window tests need, on the offscreen platform unless told otherwise.
// It is never destroyed: destroying it from the exit handlers runs after parts of the toolkit
// have already gone.
#pragma once

#include <QApplication>

inline QApplication& TestApplication() {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "tarnwick_ui_tests";
    static char* argv[] = {name, nullptr};
    static QApplication* application = new QApplication(argc, argv);
    return *application;
}
