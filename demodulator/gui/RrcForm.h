// "RRC Filter": root-raised-cosine tap calculator, a design aid.
#pragma once

#include <QDialog>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

class TRRCForm : public QDialog {
  public:
    explicit TRRCForm(QWidget* aParent);
    void RunButtonClick();
    void CloseButtonClick() { close(); }

    QLineEdit *AlphaEdit, *TeeEdit, *ScaleEdit;
    QPlainTextEdit* Memo1;
    QPushButton *RunButton, *CloseButton;
};
