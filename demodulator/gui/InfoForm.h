// "Wave File Information": the RIFF chunks of the open input file.
#pragma once

#include "app/WavInput.h"

#include <QDialog>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

class TInfoForm : public QDialog {
  public:
    explicit TInfoForm(QWidget* aParent);
    // Set by the main window before the window is shown: the open input file, rewound.
    void SetInput(TWavInput* aInput) { fInput = aInput; }
    void Timer1Timer();
    void CloseButtonClick();

    QPlainTextEdit* Memo1;
    QTimer* Timer1;
    QPushButton* CloseButton;

  protected:
    // Closed any other way than by OK, the window is still shown empty next time.
    void hideEvent(QHideEvent* e) override;

  private:
    TWavInput* fInput = nullptr;
};
