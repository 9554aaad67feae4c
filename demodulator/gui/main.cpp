// Haldrin: the BPSK/QPSK demodulator's window.
#include "gui/CostasMain.h"

#include "LrptVersion.h"

#include <QApplication>
#include <QIcon>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("haldrin %s\n", LRPT_VERSION);
        return 0;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationVersion(LRPT_VERSION);
    QApplication::setWindowIcon(QIcon::fromTheme("haldrin"));
    TCostasMain w;
    w.show();
    return app.exec();
}
