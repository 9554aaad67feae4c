#include "ui/RGBUnit.h"

#include "platform/Exceptions.h"
#include "platform/Streams.h"

#include <QMessageBox>
#include <QScreen>

#include <algorithm>
#include <cmath>

QSize FitToPicture(QSize aPicture, QSize aAvailable, int aMenuHeight) {
    constexpr int MinWidth = 240, MinHeight = 160;
    const int width = std::max(MinWidth, aAvailable.width());
    const int height = std::max(MinHeight, aAvailable.height() - aMenuHeight);
    if (aPicture.width() <= 0 || aPicture.height() <= 0) return {MinWidth, MinHeight + aMenuHeight};
    const double scale =
        std::min({1.0, double(width) / aPicture.width(), double(height) / aPicture.height()});
    return {std::max(MinWidth, int(std::lround(aPicture.width() * scale))),
            std::max(MinHeight, int(std::lround(aPicture.height() * scale))) + aMenuHeight};
}

TRGBForm::TRGBForm(TStatForm* aStatForm, QWidget* aParent) : QMainWindow(aParent), fStatForm(aStatForm) {
    setObjectName("RGBForm");
    setWindowTitle("RGB");
    ImageRGB = new TImageView(this);
    ImageRGB->setObjectName("ImageRGB");
    ImageRGB->SetBitmap(&fComposite);
    setCentralWidget(ImageRGB);
    MainMenu1 = menuBar();
    MainMenu1->setObjectName("MainMenu1");
    Save1 = MainMenu1->addAction("Save");
    Save1->setObjectName("Save1");
    S1 = MainMenu1->addAction("Statistic");
    S1->setObjectName("S1");
    connect(Save1, &QAction::triggered, this, [this] { Save1Click(); });
    connect(S1, &QAction::triggered, this, [this] { S1Click(); });
    ShowError = [this](const QString& aText) { QMessageBox::critical(this, windowTitle(), aText); };
    resize(420, 700);
    FormCreate();
}

void TRGBForm::FormCreate() {
    fComposite.SetSize(CompositeWidth, 4800);
}

void TRGBForm::Generate(TCanalDrawThread& a, TCanalDrawThread& b, TCanalDrawThread& c,
                        const std::string& aFileName) {
    FileName = aFileName;
    fStatistics = GenerateRGB(a, b, c, fComposite);
    fStatForm->SetLines({fStatistics->begin(), fStatistics->end()});
    FitToComposite();
    show();
    raise();
    ImageRGB->Refresh();
}

void TRGBForm::FitToComposite() {
    const QScreen* s = screen();
    const QRect free = s ? s->availableGeometry() : QRect(0, 0, 1024, 768);
    // The frame is known once the window has been shown; before that, a usual title bar.
    const QSize frame = isVisible() ? frameGeometry().size() - geometry().size() : QSize(8, 36);
    resize(FitToPicture(QSize(fComposite.Width(), fComposite.Height()), free.size() - frame,
                        MainMenu1->sizeHint().height()));
}

void TRGBForm::Save1Click() {
    try {
        if (fStatistics) {
            SaveComposite(fComposite, *fStatistics, FileName);
        } else {
            // Nothing composed yet: the blank composite and an empty statistics file.
            fComposite.SaveToFile(FileName + ".bmp");
            TFileStream stat(FileName + ".bmp.stat", TFileMode::fmCreate);
        }
    } catch (const std::exception& e) {
        ShowError(QString::fromStdString(e.what()));
    }
}

void TRGBForm::S1Click() {
    fStatForm->show();
    fStatForm->raise();
}
