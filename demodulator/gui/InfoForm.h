// "Wave File Information": the RIFF chunks of the open input file, or for an input without them
// (RF64, W64, headerless I/Q) what it holds.
#pragma once

#include "app/SampleSource.h"

#include <QDialog>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

class TInfoForm : public QDialog {
  public:
    explicit TInfoForm(QWidget* aParent);
    // Set by the main window before the window is shown: the open input (borrowed). The listing
    // reads the file through a handle of its own.
    void SetInput(const TSampleSource* aInput) { fInput = aInput; }
    void Timer1Timer();
    void CloseButtonClick();

    QPlainTextEdit* Memo1;
    QTimer* Timer1;
    QPushButton* CloseButton;

  protected:
    // Closed any other way than by OK, the window is still shown empty next time.
    void hideEvent(QHideEvent* e) override;

  private:
    const TSampleSource* fInput = nullptr;
};
