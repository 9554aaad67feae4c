#include "ui/RGBUnit.h"

#include "platform/Exceptions.h"
#include "platform/Streams.h"

#include <QImage>
#include <QMessageBox>
#include <QScreen>
#include <QSignalBlocker>
#include <QStandardItemModel>
#include <algorithm>
#include <cmath>

namespace {
const TCompositeKind ProductKinds[] = {TCompositeKind::Natural123, TCompositeKind::Day221,
                                       TCompositeKind::InfraRed};
}

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
    ProductBar = addToolBar("Products");
    ProductBar->setObjectName("ProductBar");
    ProductBar->setMovable(false);
    ProductBox = new QComboBox(ProductBar);
    ProductBox->setObjectName("ProductBox");
    ProductBox->addItem("R:G:B choice");
    for (const TCompositeKind kind : ProductKinds)
        ProductBox->addItem(QString::fromStdString(CompositeTitle(kind)));
    ProductBar->addWidget(ProductBox);
    Rectified = new QCheckBox("rectified", ProductBar);
    Rectified->setObjectName("Rectified");
    ProductBar->addWidget(Rectified);
    connect(ProductBox, &QComboBox::currentIndexChanged, this, [this](int aIndex) { SetProduct(aIndex); });
    connect(Rectified, &QCheckBox::toggled, this, [this](bool aOn) { SetRectified(aOn); });
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
    // The products the channels allow are offered; the others are greyed out.
    std::array<bool, 6> present{};
    for (size_t i = 0; i < 6; ++i)
        present[i] = fStages[i] && fStages[i]->FirstScanTime() >= 0 && fStages[i]->LineCount() > 0;
    const auto allowed = ChooseComposites(present);
    if (auto* model = qobject_cast<QStandardItemModel*>(ProductBox->model()))
        for (int i = 0; i < 3; ++i)
            model->item(i + 1)->setEnabled(std::find(allowed.begin(), allowed.end(), ProductKinds[i]) !=
                                           allowed.end());
    UpdateShown();
    FitToComposite();
    show();
    raise();
}

void TRGBForm::SetProduct(int aIndex) {
    fProduct = std::clamp(aIndex, 0, 3);
    if (ProductBox->currentIndex() != fProduct) {
        const QSignalBlocker block(ProductBox);
        ProductBox->setCurrentIndex(fProduct);
    }
    if (fStatistics) UpdateShown();
}

void TRGBForm::SetRectified(bool aOn) {
    fRectified = aOn;
    if (Rectified->isChecked() != aOn) {
        const QSignalBlocker block(Rectified);
        Rectified->setChecked(aOn);
    }
    if (fStatistics) UpdateShown();
}

std::string TRGBForm::ShownPngName() const {
    if (fShown == &fComposite) return {};
    const std::string name = fProduct == 0 ? "rgb" : CompositeName(ProductKinds[fProduct - 1]);
    return FileName + "." + name + (fRectified ? ".rect" : "") + ".png";
}

void TRGBForm::UpdateShown() {
    const TBitmap24* source = &fComposite;
    // A product needs the six stages; without them (no session) the composite stays.
    if (fProduct > 0 && fStages[0]) {
        fProductPicture = GenerateProduct(ProductKinds[fProduct - 1], fStages);
        source = &fProductPicture;
    }
    if (fRectified) {
        fRectifiedPicture = RectifyProduct(*source);
        source = &fRectifiedPicture;
    }
    fShown = source;
    ImageRGB->SetBitmap(fShown);
    ImageRGB->Refresh();
}

void TRGBForm::FitToComposite() {
    const QScreen* s = screen();
    const QRect free = s ? s->availableGeometry() : QRect(0, 0, 1024, 768);
    // The frame is known once the window has been shown; before that, a usual title bar.
    const QSize frame = isVisible() ? frameGeometry().size() - geometry().size() : QSize(8, 36);
    // The menu and the product bar sit above the picture.
    resize(FitToPicture(QSize(fShown->Width(), fShown->Height()), free.size() - frame,
                        MainMenu1->sizeHint().height() + ProductBar->sizeHint().height()));
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
        const std::string png = ShownPngName();
        if (!png.empty()) {
            const QImage image(fShown->Bits(), fShown->Width(), fShown->Height(), fShown->BytesPerLine(),
                               QImage::Format_BGR888);
            if (!image.save(QString::fromStdString(png), "PNG"))
                throw EFCreateError("Cannot create file \"" + png + "\"");
        }
    } catch (const std::exception& e) {
        ShowError(QString::fromStdString(e.what()));
    }
}

void TRGBForm::S1Click() {
    fStatForm->show();
    fStatForm->raise();
}
