// The RGB composite window: three channel pictures composed into one, shown scaled with its
// proportions kept; its menu saves the composite and its statistics beside the input file and
// opens the statistics window.
#pragma once

#include "image/Bitmap24.h"
#include "image/CanalDrawThreadUnit.h"
#include "session/Products.h"
#include "session/RGBComposite.h"
#include "ui/FileDialogs.h"
#include "ui/ImageView.h"
#include "ui/StatUnit.h"

#include "MapProducts.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QMainWindow>
#include <QMenuBar>
#include <QToolBar>

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>

// Client size of a window that shows a picture of aPicture pixels whole, scaled down (never up)
// with its proportions kept so that it fits aAvailable, plus aMenuHeight for the menu bar. A
// picture with no rows or columns gets the smallest size, so the menu stays usable.
QSize FitToPicture(QSize aPicture, QSize aAvailable, int aMenuHeight);

class TRGBForm : public QMainWindow {
  public:
    // aStatForm receives the statistics lines and is shown by "Statistic"; borrowed.
    explicit TRGBForm(TStatForm* aStatForm, QWidget* aParent = nullptr);

    // Builds the composite from the stages of the "R:", "G:" and "B:" choices (each picture read
    // under its stage's lock), remembers aFileName as the stem for Save, fills the statistics
    // window and shows this window.
    void Generate(TCanalDrawThread& a, TCanalDrawThread& b, TCanalDrawThread& c,
                  const std::string& aFileName);

    void FormCreate();
    // Resizes the window to the composite within the free area of its screen.
    void FitToComposite();
    // Writes FileName + ".bmp" and FileName + ".bmp.stat"; a file error goes to the message box.
    void Save1Click();
    void S1Click();

    const TBitmap24& Composite() const { return fComposite; }

    // Products beside the "R:", "G:", "B:" composite: ProductBox item 0 is that composite, items
    // 1.. the composites of TCompositeKind in its order (enabled when the channels of the last
    // Generate allow them); Rectified shows the picture resampled to equal ground distance. Each
    // control has one setter; the shown picture is remade at once when a composite exists.
    // Save also writes a shown product or rectified picture as "<file>.<name>[.rect].png"
    // (name "rgb" for the "R:", "G:", "B:" composite), and a shown map as below.
    // The six channel stages the products are made from (borrowed; none before a session).
    void SetChannels(const std::array<TCanalDrawThread*, 6>& aStages) { fStages = aStages; }
    void SetProduct(int aIndex);
    void SetRectified(bool aOn);
    // What the window shows: the composite, a product, or one of them rectified.
    const TBitmap24& Shown() const { return *fShown; }
    // The PNG name for what is shown, or empty when it is the plain composite (saved as BMP only).
    std::string ShownPngName() const;
    const std::optional<TRGBStatistics>& Statistics() const { return fStatistics; }

    // The pass on the map. "Orbit (TLE)..." reads an element set file chosen in OpenDialogTle and
    // picks the satellite as the tools do (the file's only Meteor, else its only entry), asking
    // ChooseSatellite when that leaves several; false when cancelled or refused (the reason shown).
    bool Orbit1Click();
    // The same without the file dialog.
    bool LoadOrbit(const std::string& aFileName);
    // The loaded element set file, empty before one was loaded.
    std::string OrbitFile() const { return fMapOptions ? fMapOptions->TleFile : std::string(); }
    // "map" shows what is chosen (the composite or a product, not rectified) north up on the map
    // with coastlines, borders and a 5-degree grid, registered on the coastlines; without an orbit
    // it asks for one first. Refusals (no orbit, no date in the packets, nothing decoded) are shown
    // and leave the box unchecked. Save then also writes "<file>.<name>.map.png" and ".map.tif".
    void SetOnMap(bool aOn);
    // The pass as the maps place it, once a map was made since the last Generate; else null.
    const TGeolocation* Geolocation() const { return fPassMaps ? &fPassMaps->Facts() : nullptr; }
    // The name part of what the map shows ("rgb123", "64", "ir", ...); empty without a map.
    std::string MapName() const { return fOnMap ? fMapName : std::string(); }
    // Receives the names of the entries; returns the chosen index, or none when cancelled.
    // Tests replace it.
    std::function<std::optional<int>(const QStringList&)> ChooseSatellite;

    TImageView* ImageRGB;
    QMenuBar* MainMenu1;
    QAction* Save1;
    QAction* S1;
    QToolBar* ProductBar;
    QComboBox* ProductBox;
    QCheckBox* Rectified;
    QAction* Orbit1;
    TOpenDialog* OpenDialogTle;
    QCheckBox* OnMap;
    QLabel* MapStatus; // the registration's outcome, in the status bar
    std::string FileName;
    // Shows an error text; tests replace it.
    std::function<void(const QString&)> ShowError;

  private:
    TStatForm* fStatForm;
    TBitmap24 fComposite;
    std::optional<TRGBStatistics> fStatistics;
    void UpdateShown();
    std::array<TCanalDrawThread*, 6> fStages{};
    int fProduct = 0;
    bool fRectified = false;
    TBitmap24 fProductPicture;
    TBitmap24 fRectifiedPicture;
    const TBitmap24* fShown = &fComposite;

    // Makes the map of aSource into fMapPicture; false (the reason shown) when it cannot.
    bool MakeMap(const TBitmap24& aSource);
    std::array<int, 3> fChoice{1, 2, 3}; // channel numbers of the last Generate's a, b, c
    bool fOnMap = false;
    std::optional<TMapOptions> fMapOptions;
    std::unique_ptr<TPassMaps> fPassMaps; // timed and registered for the last Generate's pictures
    std::optional<TPassMaps::TMapProduct> fMapProduct;
    std::string fMapName;
    TBitmap24 fMapPicture;
};
