#include "ui/RGBUnit.h"

#include "platform/Exceptions.h"
#include "platform/Streams.h"

#include "orbit/SatelliteChoice.h"
#include "orbit/Tle.h"

#include <QGuiApplication>
#include <QImage>
#include <QInputDialog>
#include <QMessageBox>
#include <QScreen>
#include <QSignalBlocker>
#include <QStandardItemModel>
#include <QStatusBar>
#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {
const TCompositeKind ProductKinds[] = {TCompositeKind::Natural123, TCompositeKind::Day221,
                                       TCompositeKind::InfraRed};

const char* const TleFilter = "element sets (*.txt, *.tle)|*.txt;*.tle;*.2le;*.3le|all (*.*)|*";

// One line on the status bar: where the pass lies and how well it fits the coastlines.
QString MapStatusLine(const TGeolocation& g) {
    const TRegistrationFacts& r = g.Registration;
    char fit[160];
    if (r.Attempted)
        std::snprintf(
            fit, sizeof fit, "registration %s (channel %d): residual %.1f km, time %+.1f s, roll %+.2f deg",
            r.Applied ? "applied" : "not applied", r.Channel, r.ResidualKm, r.TimeOffsetS, r.RollDeg);
    else
        std::snprintf(fit, sizeof fit, "registration %s", r.Why.c_str());
    std::string line = g.Satellite + ", " + lrptgeo::FormatIsoUtc(g.Start) + ", " +
                       (g.Northbound ? "northbound" : "southbound") + "; " + fit;
    if (!g.TleWarning.empty()) line += "; " + g.TleWarning;
    return QString::fromStdString(line);
}

} // namespace

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
    OnMap = new QCheckBox("map", ProductBar);
    OnMap->setObjectName("OnMap");
    ProductBar->addWidget(OnMap);
    Orbit1 = MainMenu1->addAction("Orbit (TLE)…");
    Orbit1->setObjectName("Orbit1");
    OpenDialogTle = new TOpenDialog(this, "OpenDialogTle");
    OpenDialogTle->Filter = TleFilter;
    MapStatus = new QLabel(this);
    MapStatus->setObjectName("MapStatus");
    statusBar()->addWidget(MapStatus, 1);
    statusBar()->hide();
    connect(Orbit1, &QAction::triggered, this, [this] { Orbit1Click(); });
    connect(OnMap, &QCheckBox::toggled, this, [this](bool aOn) { SetOnMap(aOn); });
    ChooseSatellite = [this](const QStringList& aNames) -> std::optional<int> {
        bool ok = false;
        const QString name =
            QInputDialog::getItem(this, "Orbit (TLE)", "Satellite of the pass:", aNames, 0, false, &ok);
        if (!ok) return std::nullopt;
        return static_cast<int>(aNames.indexOf(name));
    };
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
    for (size_t i = 0; i < 6; ++i)
        for (size_t k = 0; k < 3; ++k)
            if (fStages[i] == std::array{&a, &b, &c}[k]) fChoice[k] = static_cast<int>(i) + 1;
    // New pictures: the pass is timed and registered afresh when next put on the map.
    fPassMaps.reset();
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
    // A map is north up by itself: the two are alternatives.
    if (aOn && fOnMap) {
        fOnMap = false;
        const QSignalBlocker block(OnMap);
        OnMap->setChecked(false);
    }
    fRectified = aOn;
    if (Rectified->isChecked() != aOn) {
        const QSignalBlocker block(Rectified);
        Rectified->setChecked(aOn);
    }
    if (fStatistics) UpdateShown();
}

void TRGBForm::SetOnMap(bool aOn) {
    if (aOn && !fMapOptions && !Orbit1Click()) aOn = false;
    if (aOn && fRectified) {
        fRectified = false;
        const QSignalBlocker block(Rectified);
        Rectified->setChecked(false);
    }
    fOnMap = aOn;
    if (fStatistics) {
        UpdateShown();
        if (isVisible()) FitToComposite();
    }
    if (OnMap->isChecked() != fOnMap) {
        const QSignalBlocker block(OnMap);
        OnMap->setChecked(fOnMap);
    }
}

bool TRGBForm::Orbit1Click() {
    if (!OpenDialogTle->Execute()) return false;
    return LoadOrbit(OpenDialogTle->FileName.toStdString());
}

bool TRGBForm::LoadOrbit(const std::string& aFileName) {
    TMapOptions options;
    options.TleFile = aFileName;
    try {
        const std::vector<lrptgeo::TTle> entries = lrptgeo::ReadTleFile(aFileName);
        try {
            lrptgeo::ChooseSatellite(entries, {});
        } catch (const lrptgeo::ESatelliteChoiceError&) {
            // Several entries and none of them the obvious one: the operator says which.
            if (entries.size() < 2) throw;
            QStringList names;
            for (const lrptgeo::TTle& tle : entries)
                names << QString::fromStdString(tle.DisplayName() + " (NORAD " + std::to_string(tle.NoradId) +
                                                ")");
            const std::optional<int> chosen = ChooseSatellite(names);
            if (!chosen || *chosen < 0 || *chosen >= static_cast<int>(entries.size())) return false;
            options.Satellite = std::to_string(entries[static_cast<size_t>(*chosen)].NoradId);
        }
        // Refuses what the tools would refuse, before any map is asked for.
        const TPassMaps check(options);
    } catch (const std::exception& e) {
        ShowError(QString::fromStdString(e.what()));
        return false;
    }
    fMapOptions = options;
    fPassMaps.reset();
    MapStatus->setText(QString::fromStdString("orbit from " + aFileName));
    statusBar()->show();
    if (fOnMap && fStatistics) UpdateShown();
    return true;
}

bool TRGBForm::MakeMap(const TBitmap24& aSource) {
    if (!fMapOptions) return false;
    if (!fStages[0]) {
        ShowError("No channel pictures yet: decode a file first.");
        return false;
    }
    std::array<bool, 6> present{};
    for (size_t i = 0; i < 6; ++i)
        present[i] = fStages[i]->FirstScanTime() >= 0 && fStages[i]->LineCount() > 0;
    std::array<int, 3> channels = fChoice;
    std::string name = ChoiceName(fChoice);
    bool grey = fChoice[0] == fChoice[1] && fChoice[1] == fChoice[2];
    if (fProduct > 0) {
        const TCompositeKind kind = ProductKinds[fProduct - 1];
        channels = CompositeChannels(kind, present);
        name = CompositeName(kind);
        grey = false;
    }
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    try {
        if (!fPassMaps) {
            const TSessionChannels pass = SnapshotChannels(fStages);
            if (std::none_of(pass.Timing.begin(), pass.Timing.end(),
                             [](const TChannelTiming& t) { return t.Present; }))
                throw EMapError("Nothing was decoded to put on the map.");
            if (!pass.Dated())
                throw EMapError("The packets of this pass carry no date: it cannot be put on the map.");
            auto maps = std::make_unique<TPassMaps>(*fMapOptions);
            if (!maps->SetTiming(pass.Timing)) throw EMapError("Nothing was decoded to put on the map.");
            maps->RegisterPictures(pass.Views());
            fPassMaps = std::move(maps);
        }
        fMapProduct = fPassMaps->MakeMapProduct({name, channels, &aSource}, grey);
        fMapPicture = MapPicture(*fMapProduct);
    } catch (const std::exception& e) {
        QGuiApplication::restoreOverrideCursor();
        fMapProduct.reset();
        ShowError(QString::fromStdString(e.what()));
        return false;
    }
    QGuiApplication::restoreOverrideCursor();
    fMapName = name;
    MapStatus->setText(MapStatusLine(fPassMaps->Facts()));
    MapStatus->setToolTip(QString::fromStdString(GeolocationSummary(fPassMaps->Facts())));
    statusBar()->show();
    return true;
}

std::string TRGBForm::ShownPngName() const {
    if (fShown == &fMapPicture) return FileName + "." + fMapName + ".map.png";
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
    if (fOnMap) {
        if (MakeMap(*source)) {
            source = &fMapPicture;
        } else {
            fOnMap = false;
            const QSignalBlocker block(OnMap);
            OnMap->setChecked(false);
        }
    } else if (fRectified) {
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
    // The menu and the product bar sit above the picture, the status bar (when shown) below.
    const int bars = MainMenu1->sizeHint().height() + ProductBar->sizeHint().height() +
                     (!statusBar()->isHidden() ? statusBar()->sizeHint().height() : 0);
    resize(FitToPicture(QSize(fShown->Width(), fShown->Height()), free.size() - frame, bars));
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
        if (fShown == &fMapPicture && fMapProduct) {
            WriteMapProduct(*fMapProduct, FileName + "." + fMapName);
        } else if (!png.empty()) {
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
