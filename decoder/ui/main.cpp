// Tarnwick: the offline LRPT decoder's window.
#include "ui/MainUnit.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    TMetM2_LRPT_CORVANE window;
    window.show();
    return application.exec();
}
