#include "gui/InfoForm.h"

#include "app/WavInput.h"
#include "tools/Waveinfo.h"

#include <QVBoxLayout>

TInfoForm::TInfoForm(QWidget* aParent) : QDialog(aParent) {
    setObjectName("InfoForm");
    setWindowTitle("Wave File Information");
    auto* v = new QVBoxLayout(this);
    Memo1 = new QPlainTextEdit(this);
    Memo1->setObjectName("Memo1");
    Memo1->setReadOnly(true);
    Memo1->setMinimumSize(360, 460);
    v->addWidget(Memo1);
    CloseButton = new QPushButton("OK", this);
    CloseButton->setObjectName("CloseButton");
    v->addWidget(CloseButton);
    Timer1 = new QTimer(this);
    Timer1->setObjectName("Timer1");
    Timer1->setInterval(250);
    connect(Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });
    connect(CloseButton, &QPushButton::clicked, this, [this] { CloseButtonClick(); });
}

void TInfoForm::Timer1Timer() {
    Timer1->stop();
    if (!fInput) return;
    std::vector<std::string> lines;
    if (fInput->Form() == TInputForm::Wav && fInput->Container().rfind("WAV", 0) == 0) {
        TWavInput walk;
        if (walk.Open(fInput->Path())) {
            walk.SeekTo(0);
            lines = WaveInfoListing(walk.Handle(), walk.Format());
        }
    }
    if (lines.empty()) lines = fInput->Summary();
    for (const std::string& line : lines)
        Memo1->appendPlainText(QString::fromStdString(line));
    update();
}

void TInfoForm::CloseButtonClick() {
    Memo1->clear();
    accept();
}

void TInfoForm::hideEvent(QHideEvent* e) {
    Timer1->stop();
    Memo1->clear();
    QDialog::hideEvent(e);
}
