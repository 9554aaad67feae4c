#include "ui/MainUnit.h"

#include "platform/Exceptions.h"
#include "session/SymbolFileForms.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFileInfo>
#include <QMessageBox>
#include <QVBoxLayout>

namespace {

constexpr int BorderWidth = 10;
constexpr int ClientWidth = 1268;
constexpr int ClientHeight = 658;
constexpr int Panel2Width = 258;
constexpr int ChannelBoxWidth = 168;

const char* const ChannelCaptions[6] = {"0.5-0.7",   "0.7-0.11",    "1.6-1.8",
                                        "3.5 - 4.1", "10.5 - 11.5", "11.5 - 12.5"};
const char* const RGBItems[6] = {"0.5 - 0.7", "0.7 - 1.1",   "1.6 - 1.8",
                                 "3.5 - 4.1", "10.5 - 11.5", "11.5 - 12.5"};

template <class TControl> TControl* Named(TControl* aControl, const char* aName) {
    aControl->setObjectName(aName);
    return aControl;
}

} // namespace

TMetM2_LRPT_CORVANE::TMetM2_LRPT_CORVANE(QWidget* aParent) : QWidget(aParent) {
    setObjectName("MetM2_LRPT_CORVANE");
    setWindowTitle(Caption);
    setFixedSize(ClientWidth + 2 * BorderWidth, ClientHeight + 2 * BorderWidth);

    Panel2 = Named(new QWidget(this), "Panel2");
    Panel2->setGeometry(BorderWidth, BorderWidth, Panel2Width, ClientHeight);
    PaintBox1 = Named(new TPaintBox(256, 256, Panel2), "PaintBox1");
    PaintBox1->move(1, 1);
    ProgressBar1 = Named(new QProgressBar(Panel2), "ProgressBar1");
    ProgressBar1->setGeometry(1, 264, 256, 16);
    ProgressBar1->setToolTip("File read position");
    ProgressBar2 = Named(new QProgressBar(Panel2), "ProgressBar2");
    ProgressBar2->setGeometry(1, 286, 256, 16);
    ProgressBar2->setToolTip("Buffer using");
    for (QProgressBar* bar : {ProgressBar1, ProgressBar2}) {
        bar->setTextVisible(false);
        bar->setRange(0, 100);
        bar->setValue(0);
    }
    Button80K = Named(new QPushButton("80K", Panel2), "Button80K");
    Button80K->setGeometry(8, 312, 75, 25);
    Button72K = Named(new QPushButton("72K", Panel2), "Button72K");
    Button72K->setGeometry(91, 312, 75, 25);
    ButtonSTOP = Named(new QPushButton("Stop", Panel2), "ButtonSTOP");
    ButtonSTOP->setGeometry(174, 312, 75, 25);
    ButtonSTOP->setEnabled(false);
    IgnorRsFatalErrors = Named(new QCheckBox("Ignore RS fatal errors ", Panel2), "IgnorRsFatalErrors");
    IgnorRsFatalErrors->setGeometry(8, 346, 176, 20);
    // Beside it, the differentially encoded streams of today's satellites.
    Nrzm = Named(new QCheckBox("NRZ-M", Panel2), "Nrzm");
    Nrzm->setGeometry(186, 346, 63, 20);
    Button1 = Named(new QPushButton("Convert Soft to Hard", Panel2), "Button1");
    Button1->setGeometry(8, 374, 241, 25);

    QLabel** labels[3] = {&Label1, &Label2, &Label3};
    QComboBox** boxes[3] = {&RBox, &GBox, &BBox};
    const char* labelNames[3] = {"Label1", "Label2", "Label3"};
    const char* labelCaptions[3] = {"R:", "G:", "B:"};
    const char* boxNames[3] = {"RBox", "GBox", "BBox"};
    for (int i = 0; i < 3; ++i) {
        const int top = 414 + 30 * i;
        *labels[i] = Named(new QLabel(labelCaptions[i], Panel2), labelNames[i]);
        (*labels[i])->setGeometry(8, top, 24, 22);
        *boxes[i] = Named(new QComboBox(Panel2), boxNames[i]);
        (*boxes[i])->setGeometry(36, top, 213, 22);
        for (const char* item : RGBItems)
            (*boxes[i])->addItem(item);
        (*boxes[i])->setCurrentIndex(i);
    }
    Button3 = Named(new QPushButton("Generate RGB", Panel2), "Button3");
    Button3->setGeometry(8, 508, 241, 25);
    Label4 = Named(new QLabel("ver. 2014.09.01.0006", Panel2), "Label4");
    Label4->setGeometry(8, ClientHeight - 24, 241, 18);

    Panel1 = Named(new QWidget(this), "Panel1");
    Panel1->setGeometry(BorderWidth + Panel2Width, BorderWidth, ClientWidth - Panel2Width, ClientHeight);
    for (int n = 0; n < 6; ++n) {
        auto* box = new TChannelBox(ChannelCaptions[n], Panel1);
        box->setObjectName(QString("GroupBox%1").arg(n + 1));
        box->setGeometry(n * ChannelBoxWidth, 0, ChannelBoxWidth, ClientHeight);
        auto* image = new TChannelImage(box);
        image->setObjectName(QString("Image%1").arg(n + 1));
        auto* layout = new QVBoxLayout(box);
        layout->setContentsMargins(2, 2, 2, 2);
        layout->addWidget(image);
        // The picture is the drawing stage's while it draws: read it under that stage's lock.
        image->SetGuard([this, n]() -> TCriticalSection* {
            TCanalDrawThread* stage = fChain ? fChain->Channel(n) : nullptr;
            return stage ? &stage->CS() : nullptr;
        });
        GroupBox[static_cast<size_t>(n)] = box;
        Image[static_cast<size_t>(n)] = image;
    }

    OpenDialog1 = new TOpenDialog(this, "OpenDialog1");
    OpenDialog1->Filter = SessionFilter;
    OpenDialog2 = new TOpenDialog(this, "OpenDialog2");
    OpenDialog2->Filter = SoftFilter;
    Timer1 = new QTimer(this);
    Timer1->setObjectName("Timer1");
    Timer1->setInterval(3000);

    StatForm = new TStatForm(this);
    RGBForm = new TRGBForm(StatForm, this);

    ShowMessage = [this](const QString& aText, bool aError) {
        if (aError)
            QMessageBox::critical(this, windowTitle(), aText);
        else
            QMessageBox::information(this, windowTitle(), aText);
    };
    RGBForm->ShowError = [this](const QString& aText) { ShowMessage(aText, true); };

    connect(Button80K, &QPushButton::clicked, this, [this] { Button80KClick(); });
    connect(Button72K, &QPushButton::clicked, this, [this] { Button72KClick(); });
    connect(ButtonSTOP, &QPushButton::clicked, this, [this] { ButtonSTOPClick(); });
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
    connect(Button3, &QPushButton::clicked, this, [this] { Button3Click(); });
    connect(Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });

    FormCreate();
    Timer1->start();
}

// The chain goes first (a member), while the controls its drawing stages use still exist (children).
TMetM2_LRPT_CORVANE::~TMetM2_LRPT_CORVANE() = default;

void TMetM2_LRPT_CORVANE::FormCreate() {
    fConstallation = std::make_unique<TConstallation>(PaintBox1);
    // The expansion tables belong to the session; the streams and the empty APID list to the chain.
    fUserStop = false;
    fChain = std::make_unique<TStageChain>();
}

void TMetM2_LRPT_CORVANE::Button80KClick() {
    RunSession(TLrptMode::lm80k, 1);
}

void TMetM2_LRPT_CORVANE::Button72KClick() {
    RunSession(TLrptMode::lm72k, 2);
}

void TMetM2_LRPT_CORVANE::ButtonSTOPClick() {
    fUserStop = true;
    if (fSession) fSession->Stop();
}

void TMetM2_LRPT_CORVANE::Timer1Timer() {
    fChain->ProgressAll();
    for (TChannelImage* image : Image)
        if (image->Visible()) image->Refresh();
}

void TMetM2_LRPT_CORVANE::Button1Click() {
    if (!OpenDialog2->Execute()) return;
    try {
        ConvertSoftToHard(OpenDialog2->FileName.toStdString());
    } catch (const std::exception& e) {
        ShowMessage(QString::fromStdString(e.what()), true);
    }
}

void TMetM2_LRPT_CORVANE::Button3Click() {
    if (!fChain->Channel(0)) {
        ShowMessage(NoSessionMessage, false);
        return;
    }
    RGBForm->SetChannels({fChain->Channel(0), fChain->Channel(1), fChain->Channel(2), fChain->Channel(3),
                          fChain->Channel(4), fChain->Channel(5)});
    RGBForm->Generate(*fChain->Channel(RBox->currentIndex()), *fChain->Channel(GBox->currentIndex()),
                      *fChain->Channel(BBox->currentIndex()), fFileName.toStdString());
}

void TMetM2_LRPT_CORVANE::PrepareSession() {
    setWindowTitle(QString(Caption) + ": " + fFileName);
    Button72K->setEnabled(false);
    Button80K->setEnabled(false);
    IgnorRsFatalErrors->setEnabled(false);
    Nrzm->setEnabled(false);
    ButtonSTOP->setEnabled(true);
}

void TMetM2_LRPT_CORVANE::BackToIdle() {
    // Drawing stages of the failed attempt were asked to terminate; let them end before a new
    // session gives the pictures to new stages.
    for (int i = 0; i < 6; ++i)
        if (TCanalDrawThread* stage = fChain->Channel(i)) StopStage(*stage);
    setWindowTitle(Caption);
    Button72K->setEnabled(true);
    Button80K->setEnabled(true);
    IgnorRsFatalErrors->setEnabled(true);
    Nrzm->setEnabled(true);
    ButtonSTOP->setEnabled(false);
    fState = ssIdle;
}

void TMetM2_LRPT_CORVANE::RunSession(TLrptMode aMode, int aFilterIndex) {
    if (fState != ssIdle) return;
    OpenDialog1->FilterIndex = aFilterIndex;
    if (!OpenDialog1->Execute()) return;
    fFileName = OpenDialog1->FileName;
    PrepareSession();

    const int64_t threshold = TDecodingSession::Threshold(aMode);
    SetProgress(ProgressBar1, 0, QFileInfo(fFileName).size());
    SetProgress(ProgressBar2, 0, threshold);
    TSessionObserver observer;
    observer.ProcessMessages = [this] { ProcessMessages(); };
    observer.AddConstellationPoint = [this](int aX, int aY) { fConstallation->Add(aX, aY); };
    observer.ShowHardDesigns = [this] { PaintBox1->TextOut(100, 100, "HardDesigns"); };
    observer.ShowFileProgress = [this](int64_t aPosition, int64_t aSize) {
        SetProgress(ProgressBar1, aPosition, aSize);
    };
    observer.ShowBufferProgress = [this](int64_t aWaiting, int64_t aMaximum) {
        SetProgress(ProgressBar2, aWaiting, aMaximum);
    };
    observer.FeedingEnded = [this] { fState = ssDraining; };
    fSession = std::make_unique<TDecodingSession>(*fChain, observer);
    if (fUserStop) fSession->Stop();

    std::array<TProgressControl*, 6> progress{};
    std::array<TImageControl*, 6> images{};
    for (size_t i = 0; i < 6; ++i) {
        progress[i] = GroupBox[i];
        images[i] = Image[i];
    }
    fState = ssFeeding;
    fSinceEvents.invalidate();
    try {
        fSession->Run(aMode, fFileName.toStdString(), IgnorRsFatalErrors->isChecked(), progress, images, {},
                      Nrzm->isChecked());
        fDemMode = fSession->DemMode();
    } catch (const std::exception& e) {
        fDemMode = fSession->DemMode();
        // A file that could not be opened or created before feeding began: nothing was decoded,
        // so the operator may choose another file.
        const bool beforeFeeding =
            fState == ssFeeding && fSession->Totals().FileBytesRead == 0 &&
            (dynamic_cast<const EFOpenError*>(&e) || dynamic_cast<const EFCreateError*>(&e));
        if (beforeFeeding) {
            BackToIdle();
        } else {
            ButtonSTOP->setEnabled(false);
            fState = ssEnded;
        }
        ShowMessage(QString::fromStdString(e.what()), true);
        return;
    }
    ButtonSTOP->setEnabled(false);
    fState = ssEnded;
    // A file read to its end without a single frame is not what the operator meant to decode.
    if (!fSession->UserStop() && fSession->Totals().FramesPassedOn == 0)
        ShowMessage(
            "No transfer frame was found in \"" + fFileName +
                "\". Is it a symbol file of this mode (and the NRZ-M box set as the satellite needs)?",
            false);
}

void TMetM2_LRPT_CORVANE::ProcessMessages() {
    if (fSinceEvents.isValid() && fSinceEvents.elapsed() < 15) return;
    QCoreApplication::processEvents();
    fSinceEvents.start();
}

void TMetM2_LRPT_CORVANE::SetProgress(QProgressBar* aBar, int64_t aPosition, int64_t aMaximum) {
    // A progress bar counts in int: very large files are shown in coarser steps.
    int shift = 0;
    while ((aMaximum >> shift) > 0x7FFFFFFF)
        ++shift;
    aBar->setMaximum(static_cast<int>(aMaximum >> shift));
    aBar->setValue(static_cast<int>(std::min(aPosition, aMaximum) >> shift));
}

void TMetM2_LRPT_CORVANE::closeEvent(QCloseEvent* aEvent) {
    // Closing ends the program: a running session stops at its next cycle instead of decoding on
    // behind a closed window.
    if (fState == ssFeeding || fState == ssDraining) ButtonSTOPClick();
    RGBForm->close();
    StatForm->close();
    aEvent->accept();
}
