#include "gui/RrcForm.h"

#include "tools/Rrcmain.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QVBoxLayout>

TRRCForm::TRRCForm(QWidget* aParent) : QDialog(aParent) {
    setObjectName("RRCForm");
    setWindowTitle("RRC Filter");
    auto* v = new QVBoxLayout(this);
    auto* f = new QFormLayout;
    v->addLayout(f);
    AlphaEdit = new QLineEdit("0.4", this);
    AlphaEdit->setObjectName("AlphaEdit");
    TeeEdit = new QLineEdit("2", this);
    TeeEdit->setObjectName("TeeEdit");
    ScaleEdit = new QLineEdit("512", this);
    ScaleEdit->setObjectName("ScaleEdit");
    f->addRow("Alpha", AlphaEdit);
    f->addRow("T", TeeEdit);
    f->addRow("Int. Scale", ScaleEdit);
    Memo1 = new QPlainTextEdit("Press the RUN button", this);
    Memo1->setObjectName("Memo1");
    Memo1->setReadOnly(true);
    Memo1->setMinimumSize(300, 420);
    v->addWidget(Memo1);
    auto* h = new QHBoxLayout;
    v->addLayout(h);
    RunButton = new QPushButton("Run", this);
    RunButton->setObjectName("RunButton");
    CloseButton = new QPushButton("Close", this);
    CloseButton->setObjectName("CloseButton");
    h->addWidget(RunButton);
    h->addWidget(CloseButton);
    connect(RunButton, &QPushButton::clicked, this, [this] { RunButtonClick(); });
    connect(CloseButton, &QPushButton::clicked, this, [this] { CloseButtonClick(); });
}

void TRRCForm::RunButtonClick() {
    // Text that does not read as a number is taken as 0, which the listing reports as undefined.
    const double alpha = AlphaEdit->text().trimmed().toDouble();
    const double tee = TeeEdit->text().trimmed().toDouble();
    const int scale = ScaleEdit->text().trimmed().toInt();
    for (const std::string& line : RrcListing(alpha, tee, scale))
        Memo1->appendPlainText(QString::fromStdString(line));
}
