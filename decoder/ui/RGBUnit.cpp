#include "ui/RGBUnit.h"

#include "platform/Exceptions.h"
#include "platform/Streams.h"

#include <QMessageBox>

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
    show();
    raise();
    ImageRGB->Refresh();
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
