// Renders the decoder's windows to PNG files: the main window halfway through decoding a
// recording and after it, the RGB composite window, the statistics window and, given the pass's
// element sets, the RGB window showing the composite on the map. Meant for the offscreen platform
// (scripts/screenshots-tarnwick).
#include "ui/MainUnit.h"

#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QTimer>

#include <cstdio>

namespace {

bool Save(QWidget& aWidget, const QString& aFileName) {
    QCoreApplication::processEvents();
    // Pictures of the Earth make megabyte screenshots: 256 colours, dithered, when that is much
    // smaller (dithering speckles the plain controls, for which it gains little).
    const QImage full = aWidget.grab().toImage();
    auto encode = [](const QImage& aImage) {
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        aImage.save(&buffer, "PNG", 0);
        return bytes;
    };
    QByteArray best = encode(full);
    const QByteArray few =
        encode(full.convertToFormat(QImage::Format_Indexed8, Qt::DiffuseDither | Qt::PreferDither));
    if (!few.isEmpty() && few.size() < best.size() / 2) best = few;
    QFile file(aFileName);
    if (best.isEmpty() || !file.open(QIODevice::WriteOnly) || file.write(best) != best.size()) {
        std::fprintf(stderr, "tarnwick-screenshots: cannot write %s\n", qPrintable(aFileName));
        return false;
    }
    std::printf("wrote %s\n", qPrintable(aFileName));
    return true;
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    const QStringList args = application.arguments();
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: tarnwick-screenshots RECORDING OUTDIR [R,G,B [TLE]]\n"
                             "  RECORDING  a symbol file; 80k mode when its name contains \"_LRPT INT_\"\n"
                             "  R,G,B      channels 1-6 of the composite (default 1,2,3)\n"
                             "  TLE        element sets of the pass: also the composite on the map\n");
        return 2;
    }
    const QString recording = args[1];
    const QDir out(args[2]);
    int rgb[3] = {1, 2, 3};
    if (args.size() > 3) {
        const QStringList parts = args[3].split(u',');
        for (int i = 0; i < 3 && i < parts.size(); ++i)
            rgb[i] = qBound(1, parts[i].toInt(), 6);
    }

    TMetM2_LRPT_CORVANE window;
    window.ShowMessage = [](const QString& aText, bool) { std::fprintf(stderr, "%s\n", qPrintable(aText)); };
    window.OpenDialog1->ExecuteHook = [&](TOpenDialog& aDialog) {
        aDialog.FileName = recording;
        return true;
    };
    window.show();

    bool ok = true;
    bool halfway = false;
    QTimer watch;
    watch.setInterval(50);
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (halfway || window.State() != TMetM2_LRPT_CORVANE::ssFeeding) return;
        if (window.ProgressBar1->value() * 2 < window.ProgressBar1->maximum()) return;
        halfway = true;
        window.Timer1Timer();
        ok = Save(window, out.filePath("tarnwick-decoding.png")) && ok;
    });
    watch.start();
    if (recording.contains("_LRPT INT_"))
        window.Button80KClick();
    else
        window.Button72KClick();
    watch.stop();
    if (window.State() != TMetM2_LRPT_CORVANE::ssEnded) return 1;

    window.Timer1Timer();
    ok = Save(window, out.filePath("tarnwick-decoded.png")) && ok;
    window.RBox->setCurrentIndex(rgb[0] - 1);
    window.GBox->setCurrentIndex(rgb[1] - 1);
    window.BBox->setCurrentIndex(rgb[2] - 1);
    window.Button3Click();
    window.RGBForm->ImageRGB->Refresh();
    ok = Save(*window.RGBForm, out.filePath("tarnwick-rgb.png")) && ok;
    window.RGBForm->S1Click();
    ok = Save(*window.StatForm, out.filePath("tarnwick-statistic.png")) && ok;
    if (args.size() > 4) {
        TRGBForm& form = *window.RGBForm;
        if (!form.LoadOrbit(args[4].toStdString())) return 1;
        form.SetOnMap(true);
        if (!form.OnMap->isChecked()) return 1;
        form.FitToComposite();
        form.ImageRGB->Refresh();
        ok = Save(form, out.filePath("tarnwick-rgb-map.png")) && ok;
    }
    return ok ? 0 : 1;
}
