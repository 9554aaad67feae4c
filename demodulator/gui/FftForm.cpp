#include "gui/FftForm.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

TFFTForm::TFFTForm(QWidget* aParent, ProbeBuffer& aProbe) : QDialog(aParent), fProbe(&aProbe) {
    setObjectName("FFTForm");
    setWindowTitle("Spectrum Analyser");
    fPicture = TSpectrumAnalyser::EmptyImage(fGrid);

    auto* v = new QVBoxLayout(this);
    FFTImage = new TImageBox(this, "FFTImage", TSpectrumAnalyser::Width, TSpectrumAnalyser::Height);
    v->addWidget(FFTImage);
    auto* h = new QHBoxLayout;
    v->addLayout(h);
    TraceButton = new QPushButton("Do Trace", this);
    TraceButton->setObjectName("TraceButton");
    ClearButton = new QPushButton("Clear", this);
    ClearButton->setObjectName("ClearButton");
    AutoCheckBox = new QCheckBox("Auto", this);
    AutoCheckBox->setObjectName("AutoCheckBox");
    Edit1 = new QLineEdit("1", this);
    Edit1->setObjectName("Edit1");
    Edit2 = new QLineEdit("16", this);
    Edit2->setObjectName("Edit2");
    Edit3 = new QLineEdit(this);
    Edit3->setObjectName("Edit3");
    for (QLineEdit* e : {Edit1, Edit2, Edit3}) {
        e->setReadOnly(true);
        e->setFixedWidth(48);
    }
    UpDown1 = new TUpDown(this, "UpDown1", 2, 20, 16);
    Memo1 = new QPlainTextEdit(this);
    Memo1->setObjectName("Memo1");
    Memo1->setFixedHeight(40);
    CloseButton = new QPushButton("Close", this);
    CloseButton->setObjectName("CloseButton");
    h->addWidget(TraceButton);
    h->addWidget(ClearButton);
    h->addWidget(AutoCheckBox);
    h->addWidget(new QLabel("Horizontal scale", this));
    h->addWidget(Edit1);
    h->addWidget(new QLabel("Divisions", this));
    h->addWidget(Edit2);
    h->addWidget(UpDown1);
    h->addWidget(Edit3);
    h->addWidget(Memo1, 1);
    h->addWidget(CloseButton);

    FftTimer = new QTimer(this);
    FftTimer->setObjectName("FftTimer");
    FftTimer->setInterval(500);
    connect(FftTimer, &QTimer::timeout, this, [this] { TraceButtonClick(); });
    connect(TraceButton, &QPushButton::clicked, this, [this] { TraceButtonClick(); });
    connect(ClearButton, &QPushButton::clicked, this, [this] { ClearButtonClick(); });
    connect(AutoCheckBox, &QCheckBox::clicked, this, [this] { AutoCheckBoxClick(); });
    connect(CloseButton, &QPushButton::clicked, this, [this] { CloseButtonClick(); });
    UpDown1->OnClick = [this](int p) { UpDown1Click(p); };
    FFTImage->Show(fPicture);
}

void TFFTForm::TraceButtonClick() {
    std::vector<TSpectrumAnalyser::TPlot> plots;
    if (!fAnalyser.Trace(*fProbe, plots)) return;
    for (const auto& p : plots)
        fPicture.Set(p.X, p.Y, p.Colour);
    if (!plots.empty()) FFTImage->Show(fPicture);
}

void TFFTForm::ClearButtonClick() {
    fPicture = TSpectrumAnalyser::EmptyImage(fGrid);
    FFTImage->Show(fPicture);
}

void TFFTForm::UpDown1Click(int aPosition) {
    fGrid = TSpectrumAnalyser::GridFor(aPosition);
    Edit2->setText(QString::number(aPosition));
}

void TFFTForm::AutoCheckBoxClick() {
    if (AutoCheckBox->isChecked())
        FftTimer->start();
    else
        FftTimer->stop();
}

void TFFTForm::CloseButtonClick() {
    FftTimer->stop();
    close();
}

void TFFTForm::hideEvent(QHideEvent* e) {
    FftTimer->stop();
    QDialog::hideEvent(e);
}
