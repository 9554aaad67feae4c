// The RGB composite window: three channel pictures composed into one, shown scaled with its
// proportions kept; its menu saves the composite and its statistics beside the input file and
// opens the statistics window.
#pragma once

#include "image/Bitmap24.h"
#include "image/CanalDrawThreadUnit.h"
#include "session/Products.h"
#include "session/RGBComposite.h"
#include "ui/ImageView.h"
#include "ui/StatUnit.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QMainWindow>
#include <QMenuBar>
#include <QToolBar>

#include <array>
#include <functional>
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
    // (name "rgb" for the "R:", "G:", "B:" composite).
    // The six channel stages the products are made from (borrowed; none before a session).
    void SetChannels(const std::array<TCanalDrawThread*, 6>& aStages) { fStages = aStages; }
    void SetProduct(int aIndex);
    void SetRectified(bool aOn);
    // What the window shows: the composite, a product, or one of them rectified.
    const TBitmap24& Shown() const { return *fShown; }
    // The PNG name for what is shown, or empty when it is the plain composite (saved as BMP only).
    std::string ShownPngName() const;
    const std::optional<TRGBStatistics>& Statistics() const { return fStatistics; }

    TImageView* ImageRGB;
    QMenuBar* MainMenu1;
    QAction* Save1;
    QAction* S1;
    QToolBar* ProductBar;
    QComboBox* ProductBox;
    QCheckBox* Rectified;
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
};
