// "Spectrum Analyser": averaged spectrum of the selected probe signal.
#pragma once

#include "gui/Widgets.h"
#include "tools/Fft.h"

#include <QCheckBox>
#include <QDialog>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

class TFFTForm : public QDialog {
  public:
    // Borrows the receiver's probe buffer for the life of the window.
    TFFTForm(QWidget* aParent, ProbeBuffer& aProbe);

    void TraceButtonClick(); // also each FftTimer tick
    void ClearButtonClick();
    void UpDown1Click(int aPosition);
    void AutoCheckBoxClick();
    void CloseButtonClick();

    TImageBox* FFTImage;
    QPushButton *TraceButton, *ClearButton, *CloseButton;
    QCheckBox* AutoCheckBox;
    TUpDown* UpDown1;
    QLineEdit *Edit1, *Edit2, *Edit3;
    QPlainTextEdit* Memo1;
    QTimer* FftTimer;

    // The signal to show from now on (the model's probe, or the precise receiver's input).
    void SetProbe(ProbeBuffer& aProbe) { fProbe = &aProbe; }

    const TSpectrumAnalyser& Analyser() const { return fAnalyser; }
    const TPixelMap& Picture() const { return fPicture; }

  protected:
    // However the window goes away (Close, the window's own close, Escape), its timer stops.
    void hideEvent(QHideEvent* e) override;

  private:
    ProbeBuffer* fProbe;
    TSpectrumAnalyser fAnalyser;
    TSpectrumAnalyser::TGrid fGrid;
    TPixelMap fPicture;
};
