// The application object of the window tests, made by the test program's main.
#pragma once

#include <QApplication>

inline QApplication& TestApplication() {
    return *qApp;
}
