// Tarnwick: the offline LRPT decoder's window.
#include "ui/MainUnit.h"

#include "LrptVersion.h"

#include <QApplication>
#include <QIcon>

#include <cstdio>
#include <cstring>

int main(int argc, char* argv[]) {
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("tarnwick %s\n", LRPT_VERSION);
        return 0;
    }
    QApplication application(argc, argv);
    QApplication::setApplicationVersion(LRPT_VERSION);
    QApplication::setWindowIcon(QIcon::fromTheme("tarnwick"));
    TMetM2_LRPT_CORVANE window;
    window.show();
    return application.exec();
}
