// Haldrin: the BPSK/QPSK demodulator's window.
#include "gui/CostasMain.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    TCostasMain w;
    w.show();
    return app.exec();
}
