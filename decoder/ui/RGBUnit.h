// The RGB composite window: three channel pictures composed into one, shown scaled with its
// proportions kept; its menu saves the composite and its statistics beside the input file and
// opens the statistics window.
#pragma once

#include "image/Bitmap24.h"
#include "image/CanalDrawThreadUnit.h"
#include "session/RGBComposite.h"
#include "ui/ImageView.h"
#include "ui/StatUnit.h"

#include <QAction>
#include <QMainWindow>
#include <QMenuBar>

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
    const std::optional<TRGBStatistics>& Statistics() const { return fStatistics; }

    TImageView* ImageRGB;
    QMenuBar* MainMenu1;
    QAction* Save1;
    QAction* S1;
    std::string FileName;
    // Shows an error text; tests replace it.
    std::function<void(const QString&)> ShowError;

  private:
    TStatForm* fStatForm;
    TBitmap24 fComposite;
    std::optional<TRGBStatistics> fStatistics;
};
