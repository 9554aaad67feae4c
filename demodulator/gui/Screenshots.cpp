// haldrin-screenshots: runs the main window on a recording without a display and saves the
// windows as PNG pictures for the documentation, the main window with each receiver.
// Usage: haldrin-screenshots IN.wav OUTDIR
#include "gui/CostasMain.h"
#include "gui/FftForm.h"
#include "gui/InfoForm.h"
#include "gui/RrcForm.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QPixmap>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: haldrin-screenshots IN.wav OUTDIR\n");
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QString outDir = QString::fromLocal8Bit(argv[2]);
    QDir().mkpath(outDir);
    auto save = [&](QWidget* aWidget, const char* aName) {
        const QString path = QDir(outDir).filePath(aName);
        if (!aWidget->grab().save(path)) {
            std::fprintf(stderr, "haldrin-screenshots: cannot write %s\n", qPrintable(path));
            std::exit(1);
        }
        std::printf("wrote %s\n", qPrintable(path));
    };

    TCostasMain w(QDir::temp().filePath("haldrin-screenshots.raw"));
    w.show();
    std::printf("main window: minimum %dx%d, natural %dx%d\n", w.minimumSizeHint().width(),
                w.minimumSizeHint().height(), w.sizeHint().width(), w.sizeHint().height());
    w.OpenInputFile(QString::fromLocal8Bit(argv[1]));
    if (!w.RunButton->isEnabled()) {
        std::fprintf(stderr, "haldrin-screenshots: %s: %s\n", argv[1], qPrintable(w.InFileEdit->text()));
        return 1;
    }
    // The spectrum of the mixer output while the receiver runs.
    w.findChild<TClickLabel*>("Label93")->OnClick();
    w.FFTForm()->FftTimer->stop();
    // Run until the receiver has been locked for 40 blocks (about 1.7 s of signal).
    w.RunButtonClick();
    int ticks = 0, lockedTicks = 0;
    while (w.Running() && ticks < 2000 && lockedTicks < 40) {
        w.Timer1Timer();
        w.FFTForm()->TraceButtonClick();
        lockedTicks += w.Receiver().State().Locked;
        ++ticks;
    }
    // Three more ticks so the readouts are those of the last block; the analyser shows only
    // the traces of these.
    w.FFTForm()->ClearButtonClick();
    for (int n = 0; n < 3 && w.Running(); ++n) {
        w.Timer1Timer();
        w.FFTForm()->TraceButtonClick();
    }
    w.RunButtonClick();
    app.processEvents();
    save(&w, "haldrin-main.png");
    save(w.FFTForm(), "haldrin-spectrum.png");

    w.RRCButtonClick();
    w.RRCForm()->RunButtonClick();
    app.processEvents();
    save(w.RRCForm(), "haldrin-rrc.png");

    TInfoForm* info = w.InfoForm();
    info->SetInput(w.Input());
    info->show();
    info->Timer1Timer();
    app.processEvents();
    save(info, "haldrin-info.png");
    info->hide();

    // The precise receiver on the same recording (the generator writes Q first), locked for 40
    // blocks.
    w.CheckBox("IQCheckBox")->click();
    w.ReceiverBox->setCurrentIndex(1);
    w.RunButtonClick();
    ticks = lockedTicks = 0;
    while (w.Running() && w.PreciseRun() && ticks < 2000 && lockedTicks < 40) {
        w.Timer1Timer();
        lockedTicks += w.PreciseRun()->Readouts().Locked;
        ++ticks;
    }
    if (w.Running()) w.RunButtonClick();
    app.processEvents();
    save(&w, "haldrin-precise.png");
    w.Output().Close();
    QFile::remove(QDir::temp().filePath("haldrin-screenshots.raw"));
    return 0;
}
