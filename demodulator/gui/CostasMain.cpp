#include "gui/CostasMain.h"

#include "gui/FftForm.h"
#include "gui/InfoForm.h"
#include "gui/RrcForm.h"

#include <QCloseEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QPainter>
#include <QVBoxLayout>

namespace {

// The static block diagram of the receiver: boxes, signal paths and loop paths.
class TBlockDiagram : public QWidget {
  public:
    explicit TBlockDiagram(QWidget* aParent) : QWidget(aParent) {
        setObjectName("BlockDiagram");
        setFixedSize(1330, 210);
    }

    struct TBox {
        QRect Rect;
        const char* Text;
        QColor Fill;
    };
    static const std::vector<TBox>& Boxes() {
        static const QColor sig(220, 232, 250), loop(250, 236, 210), det(226, 244, 222);
        static const std::vector<TBox> boxes = {
            {{60, 20, 110, 56}, "INTERPOLATOR", sig},
            {{230, 20, 120, 56}, "COMPLEX\nMIXER", sig},
            {{245, 130, 90, 40}, "NCO", sig},
            {{410, 20, 110, 56}, "RESAMPLER", sig},
            {{560, 20, 80, 56}, "GCA", sig},
            {{680, 20, 80, 56}, "LPF", sig},
            {{830, 20, 130, 56}, "CARTESIAN TO\nPOLAR\nCONVERTER", sig},
            {{1010, 20, 120, 56}, "SOFT DECISION\nSLICER", sig},
            {{400, 130, 130, 56}, "SAMPLING ERROR\nDETECTOR", det},
            {{560, 130, 100, 56}, "SYMBOL\nLOOP", loop},
            {{700, 130, 100, 56}, "CARRIER\nLOOP", loop},
            {{830, 130, 100, 56}, "AGC\nLOOP", loop},
            {{1010, 130, 120, 56}, "LOCK\nDETECTOR", det},
        };
        return boxes;
    }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.fillRect(rect(), QColor(245, 245, 245));
        QPen pen(QColor(40, 40, 40), 1.5);
        p.setPen(pen);
        auto arrow = [&](QPoint a, QPoint b) {
            p.drawLine(a, b);
            const QPointF d =
                QPointF(b - a) / std::max(1.0, std::hypot(double(b.x() - a.x()), double(b.y() - a.y())));
            const QPointF n(-d.y(), d.x());
            QPolygonF head;
            head << QPointF(b) << QPointF(b) - 8 * d + 4 * n << QPointF(b) - 8 * d - 4 * n;
            p.setBrush(QColor(40, 40, 40));
            p.drawPolygon(head);
            p.setBrush(Qt::NoBrush);
        };
        // Signal path.
        arrow({20, 48}, {60, 48});
        arrow({170, 48}, {230, 48});
        arrow({350, 48}, {410, 48});
        arrow({520, 48}, {560, 48});
        arrow({640, 48}, {680, 48});
        arrow({760, 48}, {830, 48});
        arrow({960, 48}, {1010, 48});
        arrow({1130, 48}, {1200, 48});
        p.drawText(QRect(1205, 38, 120, 20), Qt::AlignLeft | Qt::AlignVCenter, "to symbol file");
        // NCO into the mixer.
        arrow({290, 130}, {290, 76});
        // Sampling error detector from the resampler, symbol loop back into it.
        arrow({465, 76}, {465, 130});
        arrow({530, 158}, {560, 158});
        p.drawLine(600, 130, 600, 104);
        p.drawLine(600, 104, 500, 104);
        arrow({500, 104}, {500, 76});
        // Carrier loop from the polar converter (phase) back to the NCO.
        p.drawLine(850, 76, 850, 96);
        p.drawLine(850, 96, 750, 96);
        arrow({750, 96}, {750, 130});
        p.drawLine(750, 186, 750, 198);
        p.drawLine(750, 198, 290, 198);
        arrow({290, 198}, {290, 170});
        // AGC loop from the magnitude back to the GCA.
        arrow({900, 76}, {900, 130});
        p.drawLine(860, 130, 860, 112);
        p.drawLine(860, 112, 620, 112);
        arrow({620, 112}, {620, 76});
        // Lock detector from the polar converter.
        p.drawLine(945, 76, 945, 100);
        p.drawLine(945, 100, 1070, 100);
        arrow({1070, 100}, {1070, 130});
        for (const TBox& b : Boxes()) {
            p.setBrush(b.Fill);
            p.drawRect(b.Rect);
            QFont f = p.font();
            f.setPointSizeF(7.5);
            f.setBold(true);
            p.setFont(f);
            p.drawText(b.Rect, Qt::AlignCenter, b.Text);
        }
    }
};

QLabel* Caption(QWidget* aParent, const QString& aText) {
    auto* l = new QLabel(aText, aParent);
    l->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return l;
}

} // namespace

TCostasMain::TCostasMain(const QString& aOutputName) : fRx(std::make_unique<TCostasReceiver>()) {
    setObjectName("CostasMain");
    setWindowTitle("BPSK/QPSK Mirelune");
    fRx->SetDisplaySampler(&fSampler);
    fLoop = std::make_unique<TRunLoop>(*fRx, fInput, fOutput);

    auto* central = new QWidget(this);
    setCentralWidget(central);
    auto* top = new QVBoxLayout(central);
    top->setSpacing(4);
    top->addWidget(BuildDiagram());

    auto* middle = new QHBoxLayout;
    top->addLayout(middle);
    middle->addWidget(BuildChart());
    auto* right = new QVBoxLayout;
    middle->addLayout(right);
    right->addWidget(BuildConstellation());

    // Display status.
    auto* status = new QGroupBox("Display Status", central);
    status->setObjectName("DisplayStatusGroup");
    auto* sg = new QGridLayout(status);
    TimeEdit = ReadoutEdit("TimeEdit");
    TimeLabel = Caption(status, "Timebase (mS/div)");
    TimeLabel->setObjectName("TimeLabel");
    TimeUpDown = new TUpDown(status, "TimeUpDown", 1, 21, TimebaseDefaultPosition);
    TimeUpDown->OnClick = [this](int p) { TimeUpDownClick(p); };
    sg->addWidget(TimeLabel, 0, 0);
    sg->addWidget(TimeEdit, 0, 1);
    sg->addWidget(TimeUpDown, 0, 2);
    nsPixEdit = ReadoutEdit("nsPixEdit");
    nsBitEdit = ReadoutEdit("nsBitEdit");
    SPEdit = ReadoutEdit("SPEdit");
    sg->addWidget(Caption(status, "nS/pixel"), 1, 0);
    sg->addWidget(nsPixEdit, 1, 1);
    sg->addWidget(Caption(status, "nS/Bit"), 2, 0);
    sg->addWidget(nsBitEdit, 2, 1);
    sg->addWidget(Caption(status, "Sample Period"), 3, 0);
    sg->addWidget(SPEdit, 3, 1);
    AddArrowRow(status, sg, 4, "SampUpDown", "Sample Freq");
    right->addWidget(status);
    ClockEdit = ReadoutEdit("ClockEdit");

    // Loop groups.
    auto* groups = new QHBoxLayout;
    top->addLayout(groups);
    QGroupBox* agc = BuildArrowGroup("AGC Loop", {{"AgcThreshUpDown", "Threshold"},
                                                  {"AgcUpperUpDown", "Upper Limit"},
                                                  {"AgcLowerUpDown", "Lower Limit"},
                                                  {"ProgGainUpDown", "Prog. Gain"}});
    {
        auto* g = static_cast<QGridLayout*>(agc->layout());
        int r = g->rowCount();
        Label86 = new TClickLabel(agc, "Label86", "AGC acc (dB)");
        Label86->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        Label86->OnClick = [this] { Label86Click(); };
        AgcLoopEdit = ReadoutEdit("AgcLoopEdit");
        AGCEdit = ReadoutEdit("AGCEdit");
        AgcErrorEdit = ReadoutEdit("AgcErrorEdit");
        g->addWidget(Label86, r, 0);
        g->addWidget(AgcLoopEdit, r++, 1);
        g->addWidget(Caption(agc, "Magnitude"), r, 0);
        g->addWidget(AGCEdit, r++, 1);
        g->addWidget(Caption(agc, "Error"), r, 0);
        g->addWidget(AgcErrorEdit, r++, 1);
    }
    QGroupBox* car = BuildArrowGroup("Carrier Loop", {{"NcoUpDown", "NCO (Hz)"},
                                                      {"KpManUpDown", "Kp Man"},
                                                      {"KpExpUpDown", "Kp Exp"},
                                                      {"KiManUpDown", "Ki Man"},
                                                      {"KiExpUpDown", "Ki Exp"},
                                                      {"KpManTrUpDown", "Kp Man Tr"},
                                                      {"KpExpTrUpDown", "Kp Exp Tr"},
                                                      {"KiManTrUpDown", "Ki Man Tr"},
                                                      {"KiExpTrUpDown", "Ki Exp Tr"},
                                                      {"CarUpperUpDown", "Upper (Hz)"},
                                                      {"CarLowerUpDown", "Lower (Hz)"},
                                                      {"SwManUpDown", "Sweep Man"},
                                                      {"SwExpUpDown", "Sweep Exp"}});
    QGroupBox* sym = BuildArrowGroup("Symbol Loop", {{"SymbolUpDown", "Symbol Rate"},
                                                     {"SpManUpDown", "Sp Man"},
                                                     {"SpExpUpDown", "Sp Exp"},
                                                     {"SiManUpDown", "Si Man"},
                                                     {"SiExpUpDown", "Si Exp"},
                                                     {"SpManTrUpDown", "Sp Man Tr"},
                                                     {"SpExpTrUpDown", "Sp Exp Tr"},
                                                     {"SiManTrUpDown", "Si Man Tr"},
                                                     {"SiExpTrUpDown", "Si Exp Tr"},
                                                     {"SymUpperUpDown", "Upper (Hz)"},
                                                     {"SymLowerUpDown", "Lower (Hz)"}});
    QGroupBox* rxc = BuildArrowGroup("Rx Control", {{"ModTypeUpDown", "Modulation"},
                                                    {"SliceUpDown", "Slicer Level"},
                                                    {"LD_PL_aUpDown", "LD Preload a"},
                                                    {"LD_PL_tUpDown", "LD Preload t"}});
    // Check boxes beside their loops, readouts under them.
    auto addChecks = [this](QGroupBox* aGroup, std::initializer_list<const char*> aBoxes) {
        auto* g = static_cast<QGridLayout*>(aGroup->layout());
        int r = g->rowCount();
        for (const char* name : aBoxes)
            for (const TCheckControl& c : CheckControls())
                if (std::string(name) == c.Box) {
                    auto* cb = new QCheckBox(c.Caption, aGroup);
                    cb->setObjectName(c.Box);
                    cb->setChecked(c.Get(fRx->Params()));
                    connect(cb, &QCheckBox::clicked, this, [this, &c](bool on) { c.Set(*fRx, on); });
                    fChecks[c.Box] = cb;
                    g->addWidget(cb, r++, 0, 1, 3);
                }
    };
    addChecks(agc, {"AgcLoopBox"});
    addChecks(car, {"CarLoopBox", "CarZeroBox", "SwCheckBox"});
    addChecks(sym, {"SymLoopBox", "SymZeroBox"});
    addChecks(rxc, {"IQCheckBox", "OqpskBox"});
    {
        auto* g = static_cast<QGridLayout*>(car->layout());
        int r = g->rowCount();
        CarLoopEdit = ReadoutEdit("CarLoopEdit");
        CarOffsetEdit = ReadoutEdit("CarOffsetEdit");
        CarCentreEdit = ReadoutEdit("CarCentreEdit");
        g->addWidget(Caption(car, "CLF acc (Hz)"), r, 0);
        g->addWidget(CarLoopEdit, r++, 1);
        g->addWidget(Caption(car, "Carrier Offset"), r, 0);
        g->addWidget(CarOffsetEdit, r++, 1);
        g->addWidget(Caption(car, "Carrier Freq"), r, 0);
        g->addWidget(CarCentreEdit, r++, 1);
        g = static_cast<QGridLayout*>(sym->layout());
        r = g->rowCount();
        SymLoopEdit = ReadoutEdit("SymLoopEdit");
        SymOffsetEdit = ReadoutEdit("SymOffsetEdit");
        SymCentreEdit = ReadoutEdit("SymCentreEdit");
        g->addWidget(Caption(sym, "SLF acc (Hz)"), r, 0);
        g->addWidget(SymLoopEdit, r++, 1);
        g->addWidget(Caption(sym, "Symbol Offset"), r, 0);
        g->addWidget(SymOffsetEdit, r++, 1);
        g->addWidget(Caption(sym, "Symbol Centre"), r, 0);
        g->addWidget(SymCentreEdit, r++, 1);
        g = static_cast<QGridLayout*>(rxc->layout());
        r = g->rowCount();
        LdIntCntEdit = ReadoutEdit("LdIntCntEdit");
        Label90 = Caption(rxc, "LD_Int cnt");
        Label90->setObjectName("Label90");
        g->addWidget(Label90, r, 0);
        g->addWidget(LdIntCntEdit, r++, 1);
        g->addWidget(Caption(rxc, "File time"), r, 0);
        g->addWidget(ClockEdit, r++, 1);
    }
    for (QGroupBox* b : {agc, car, sym, rxc}) {
        static_cast<QGridLayout*>(b->layout())
            ->setRowStretch(static_cast<QGridLayout*>(b->layout())->rowCount(), 1);
        groups->addWidget(b);
    }

    // Files and run control.
    auto* files = new QGroupBox("Files", central);
    auto* fg = new QGridLayout(files);
    InFileEdit = ReadoutEdit("InFileEdit");
    OutFileEdit = ReadoutEdit("OutFileEdit");
    InfileButton = new QPushButton("Change", files);
    InfileButton->setObjectName("InfileButton");
    OutfileButton = new QPushButton("Change", files);
    OutfileButton->setObjectName("OutfileButton");
    WaveButton = new QPushButton("Info", files);
    WaveButton->setObjectName("WaveButton");
    RunButton = new QPushButton("Run", files);
    RunButton->setObjectName("RunButton");
    RunButton->setEnabled(false);
    RRCButton = new QPushButton("RRC", files);
    RRCButton->setObjectName("RRCButton");
    QuitButton = new QPushButton("Quit", files);
    QuitButton->setObjectName("QuitButton");
    TrackBar1 = new TTrackBar(files, "TrackBar1");
    InFileEdit->setMinimumWidth(200);
    fg->addWidget(Caption(files, "Input File"), 0, 0);
    fg->addWidget(InFileEdit, 0, 1);
    fg->addWidget(InfileButton, 0, 2);
    fg->addWidget(WaveButton, 0, 3);
    fg->addWidget(Caption(files, "Output File"), 1, 0);
    fg->addWidget(OutFileEdit, 1, 1);
    fg->addWidget(OutfileButton, 1, 2);
    fg->addWidget(TrackBar1, 2, 0, 1, 4);
    fg->addWidget(RunButton, 3, 0);
    fg->addWidget(RRCButton, 3, 1);
    fg->addWidget(QuitButton, 3, 3);
    fg->setRowStretch(4, 1);
    groups->addWidget(files);

    connect(InfileButton, &QPushButton::clicked, this, [this] { InfileButtonClick(); });
    connect(OutfileButton, &QPushButton::clicked, this, [this] { OutfileButtonClick(); });
    connect(RunButton, &QPushButton::clicked, this, [this] { RunButtonClick(); });
    connect(QuitButton, &QPushButton::clicked, this, [this] { QuitButtonClick(); });
    connect(WaveButton, &QPushButton::clicked, this, [this] { WaveButtonClick(); });
    connect(RRCButton, &QPushButton::clicked, this, [this] { RRCButtonClick(); });
    connect(TrackBar1, &QSlider::valueChanged, this, [this](int v) { TrackBar1Change(v); });

    Timer1 = new QTimer(this);
    Timer1->setObjectName("Timer1");
    Timer1->setInterval(33);
    connect(Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });

    // Values from the receiver's defaults.
    for (const TArrowControl& c : ArrowControls()) {
        fUpDowns[c.UpDown]->SetPosition(c.Position(fRx->Params()));
        QLineEdit* e = fEdits[c.Edit];
        const QSignalBlocker block(e);
        e->setText(QString::fromStdString(c.Text(fRx->Params())));
    }
    ShowNsPerBit();
    TimeUpDownClick(TimebaseDefaultPosition);
    fPainter.Redraw(fSampler.Points());
    MainImage->Show(fPainter.Main());
    PhaseImage->Show(fPainter.Phase());

    fFft = new TFFTForm(this, fRx->Probe());
    fRrc = new TRRCForm(this);
    fInfo = new TInfoForm(this);

    fOutputName = aOutputName;
    OpenOutputFile(aOutputName);
}

TCostasMain::~TCostasMain() {
    // The receiver outlives the tool windows that borrow its probe buffer.
    delete fFft;
    fFft = nullptr;
}

QLineEdit* TCostasMain::ReadoutEdit(const QString& aName) {
    auto* e = new QLineEdit(this);
    e->setObjectName(aName);
    e->setReadOnly(true);
    e->setMinimumWidth(aName.endsWith("FileEdit") ? 200 : 96);
    e->setMaximumWidth(aName.endsWith("FileEdit") ? 400 : 120);
    fEdits[aName] = e;
    return e;
}

void TCostasMain::AddArrowRow(QWidget* aBox, QGridLayout* aGrid, int aRow, const char* aUpDown,
                              const char* aCaption) {
    const TArrowControl* c = FindArrowControl(aUpDown);
    if (!c) return;
    auto* ud = new TUpDown(aBox, c->UpDown, c->Min, c->Max, c->Position(fRx->Params()));
    ud->setEnabled(c->Enabled);
    ud->OnClick = [this, c](int p) { UpDownClick(*c, p); };
    fUpDowns[c->UpDown] = ud;
    auto* e = new QLineEdit(aBox);
    e->setObjectName(c->Edit);
    e->setMinimumWidth(72);
    e->setMaximumWidth(96);
    fEdits[c->Edit] = e;
    if (const TTypedEdit* t = FindTypedEdit(c->Edit))
        connect(e, &QLineEdit::textChanged, this, [this, t](const QString& s) { TypedEditChange(*t, s); });
    else
        e->setReadOnly(true);
    aGrid->addWidget(Caption(aBox, aCaption), aRow, 0);
    aGrid->addWidget(e, aRow, 1);
    aGrid->addWidget(ud, aRow, 2);
}

QGroupBox* TCostasMain::BuildArrowGroup(const QString& aTitle,
                                        const std::vector<std::pair<const char*, const char*>>& aRows) {
    auto* box = new QGroupBox(aTitle, centralWidget());
    box->setObjectName(QString(aTitle).remove(' ') + "Group");
    auto* g = new QGridLayout(box);
    g->setVerticalSpacing(2);
    int r = 0;
    for (const auto& [name, caption] : aRows)
        AddArrowRow(box, g, r++, name, caption);
    return box;
}

QWidget* TCostasMain::BuildDiagram() {
    auto* d = new TBlockDiagram(centralWidget());
    struct TProbeLabel {
        const char* Name;
        const char* Caption;
        TProbe Probe;
        int X, Y;
    };
    static const TProbeLabel labels[] = {
        {"Label3", "Iin", pr_Iin, 22, 22},     {"Label148", "Qin", pr_Qin, 22, 52},
        {"Label145", "Iup", pr_Iup, 180, 22},  {"Label146", "Qup", pr_Qup, 180, 52},
        {"Label93", "Imix", pr_Imix, 360, 22}, {"Label94", "Qmix", pr_Qmix, 360, 52},
        {"Label18", "Iout", pr_Iout, 775, 22}, {"Label19", "Qout", pr_Qout, 775, 52},
    };
    for (const TProbeLabel& l : labels) {
        auto* label = new TClickLabel(d, l.Name, l.Caption);
        label->setStyleSheet("color: #0040c0; text-decoration: underline;");
        label->move(l.X, l.Y);
        const TProbe probe = l.Probe;
        label->OnClick = [this, probe] { ProbeLabelClick(probe); };
    }
    LockShape = new TShape(d, "LockShape");
    LockShape->setGeometry(1145, 145, 26, 26);
    LockShape->SetBrush(colours::Unlocked);
    return d;
}

QWidget* TCostasMain::BuildChart() {
    auto* w = new QWidget(centralWidget());
    w->setFixedSize(1160, 404);
    MainImage = new TImageBox(w, "MainImage", 1040, 400);
    MainImage->move(118, 2);
    auto label = [w](const QString& text, int x, int y, int width = 56) {
        auto* l = new QLabel(text, w);
        l->setGeometry(x, y - 7, width, 14);
        l->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        QFont f = l->font();
        f.setPointSizeF(7);
        l->setFont(f);
        return l;
    };
    label("24 dB", 58, 2);
    label("12 dB", 58, 34);
    label("0 dB", 58, 66);
    label("9000 kHz", 58, 130);
    label("4500 kHz", 58, 162);
    label("0 kHz", 58, 194);
    label("-4500 kHz", 58, 226);
    label("-9000 kHz", 58, 258);
    label("100 Hz", 58, 322);
    label("0 Hz", 58, 354);
    label("-100 Hz", 58, 386);
    label("AGC LOOP", 0, 34, 56);
    label("CARRIER", 0, 180, 56);
    label("TRACKING", 0, 194, 56);
    label("LOOP", 0, 208, 56);
    label("SYMBOL", 0, 338, 56);
    label("TRACKING", 0, 352, 56);
    label("LOOP", 0, 366, 56);
    return w;
}

QWidget* TCostasMain::BuildConstellation() {
    auto* w = new QWidget(centralWidget());
    w->setFixedSize(190, 170);
    PhaseImage = new TImageBox(w, "PhaseImage", 128, 128);
    PhaseImage->move(40, 4);
    auto label = [w](const QString& text, int x, int y) {
        auto* l = new QLabel(text, w);
        l->setGeometry(x, y, 34, 14);
        l->setAlignment(Qt::AlignCenter);
        QFont f = l->font();
        f.setPointSizeF(7);
        l->setFont(f);
    };
    label("-128", 23, 134);
    label("0", 86, 134);
    label("127", 151, 134);
    label("I", 86, 150);
    label("-128", 4, 2);
    label("0", 4, 61);
    label("127", 4, 120);
    label("Q", 170, 61);
    return w;
}

TUpDown* TCostasMain::UpDown(const QString& aName) const {
    if (aName == "TimeUpDown") return TimeUpDown;
    auto it = fUpDowns.find(aName);
    return it == fUpDowns.end() ? nullptr : it->second;
}

QLineEdit* TCostasMain::Edit(const QString& aName) const {
    auto it = fEdits.find(aName);
    return it == fEdits.end() ? nullptr : it->second;
}

QCheckBox* TCostasMain::CheckBox(const QString& aName) const {
    auto it = fChecks.find(aName);
    return it == fChecks.end() ? nullptr : it->second;
}

// ---- Controls ----

void TCostasMain::ShowNsPerBit() {
    nsBitEdit->setText(QString::fromStdString(DecimalText(NsPerBit(fRx->Params().SymRate))));
    nsBitEdit->setCursorPosition(0); // the leading digits matter, not the last decimals
}

void TCostasMain::UpDownClick(const TArrowControl& aControl, int aPosition) {
    aControl.Apply(*fRx, aPosition);
    // Writing the box runs its own handler where it takes typed values; both give the same result.
    fEdits[aControl.Edit]->setText(QString::fromStdString(aControl.Text(fRx->Params())));
    if (std::string(aControl.UpDown) == "SymbolUpDown") ShowNsPerBit();
}

void TCostasMain::TypedEditChange(const TTypedEdit& aEdit, const QString& aText) {
    bool ok = false;
    const qlonglong v = aText.trimmed().toLongLong(&ok);
    // Half-typed text ("", "-") is not a value yet.
    if (!ok) return;
    const int pos = aEdit.Apply(*fRx, v);
    fUpDowns[aEdit.UpDown]->SetPosition(pos);
    if (std::string(aEdit.Edit) == "SymRateEdit") ShowNsPerBit();
}

void TCostasMain::TimeUpDownClick(int aPosition) {
    const TTimebaseText t = TimebaseText(aPosition);
    TimeEdit->setText(QString::number(t.Value));
    TimeLabel->setText(t.Label);
    const double pixelNs = PixelNs(TimebaseNs(aPosition));
    fSampler.SetPixelNs(pixelNs);
    nsPixEdit->setText(QString::fromStdString(DecimalText(pixelNs)));
}

void TCostasMain::Label86Click() {
    fAgcDb = !fAgcDb;
    Label86->setText(fAgcDb ? "AGC acc (dB)" : "AGC acc (raw)");
}

void TCostasMain::ProbeLabelClick(TProbe aProbe) {
    fRx->SelectProbe(aProbe);
    fFft->FftTimer->start();
    fFft->show();
}

void TCostasMain::RRCButtonClick() {
    fRrc->show();
}

// ---- Files ----

void TCostasMain::InfileButtonClick() {
    QString path;
    if (InputDialogHook)
        path = InputDialogHook();
    else
        path =
            QFileDialog::getOpenFileName(this, "Input File", QString(), "Wave files (*.wav);;All files (*)");
    OpenInputFile(path);
}

void TCostasMain::OpenInputFile(const QString& aPath) {
    if (fInput.IsOpen()) {
        fInput.Close();
        RunButton->setEnabled(false);
    }
    if (aPath.isEmpty() || !fInput.Open(aPath.toStdString())) {
        InFileEdit->setText("Cannot open input file!");
        RunButton->setEnabled(false);
        return;
    }
    InFileEdit->setText(QFileInfo(aPath).fileName());
    AgcErrorEdit->setText(QString::number(fInput.DataOffset()));
    if (!fInput.Readable()) {
        // The header code stays in the error box; the reason goes where the operator looks.
        InFileEdit->setText(QFileInfo(aPath).fileName() + ": " + QString::fromStdString(fInput.Problem()));
        return;
    }
    TakeInputRate(*fRx, &fSampler, fInput.Format());
    // The header sets Samp and its arrow; the box shows it without recomputing any word.
    {
        const QSignalBlocker block(Edit("SampEdit"));
        Edit("SampEdit")->setText(QString::number(fRx->Params().Samp));
    }
    UpDown("SampUpDown")->SetPosition(fRx->Params().Samp / 200);
    SPEdit->setText(QString::number(fSampler.StepNs()));
    fLastBar = -1;
    RunButton->setEnabled(true);
}

void TCostasMain::OutfileButtonClick() {
    QString path;
    if (OutputDialogHook)
        path = OutputDialogHook();
    else
        path = QFileDialog::getSaveFileName(this, "Output File", "*.raw",
                                            "Raw symbol files (*.raw);;All files (*)");
    OpenOutputFile(path);
}

void TCostasMain::OpenOutputFile(const QString& aPath) {
    // The pending symbols go to the file they were made for before it is closed.
    fOutput.Close();
    if (!aPath.isEmpty()) fOutputName = QFileInfo(aPath).fileName();
    if (aPath.isEmpty() || !fOutput.Open(aPath.toStdString())) {
        OutFileEdit->setText("Cannot open output file!");
        return;
    }
    OutFileEdit->setText(fOutputName);
}

void TCostasMain::WaveButtonClick() {
    if (!fInput.IsOpen()) return;
    const bool wasRunning = Timer1->isActive();
    Timer1->stop();
    const int64_t position = fInput.Position();
    fInput.SeekTo(0);
    fInfo->SetInput(&fInput);
    fInfo->Timer1->start();
    fInfo->exec();
    fInput.SeekTo(position);
    // Only a run that was going resumes; Info alone does not start processing.
    if (wasRunning) Timer1->start();
}

void TCostasMain::QuitButtonClick() {
    close();
}

void TCostasMain::closeEvent(QCloseEvent* e) {
    SetRunning(false);
    fInput.Close();
    fOutput.Close();
    fFft->close();
    fRrc->close();
    QMainWindow::closeEvent(e);
}

// ---- Run loop ----

void TCostasMain::SetRunning(bool aRunning) {
    fRunning = aRunning;
    RunButton->setText(aRunning ? "Stop" : "Run");
    if (aRunning)
        Timer1->start();
    else
        Timer1->stop();
}

void TCostasMain::RunButtonClick() {
    if (fRunning) {
        SetRunning(false);
        return;
    }
    fRx->ComputeWords();
    SetRunning(true);
}

void TCostasMain::TrackBar1Change(int aPosition) {
    TrackBar1->SetSelEnd(aPosition);
    if (fOwnBarChange) {
        fOwnBarChange = false;
        return;
    }
    fInput.SeekToBar(aPosition);
}

void TCostasMain::Timer1Timer() {
    const TRunLoop::TTick tick = fLoop->Tick();
    if (tick == TRunLoop::tk_Idle) return;
    const int bar = fInput.BarPosition();
    if (bar != fLastBar) {
        fLastBar = bar;
        fOwnBarChange = true;
        TrackBar1->setValue(bar);
        fOwnBarChange = false;
    }
    fPainter.Redraw(fSampler.Points());
    MainImage->Show(fPainter.Main());
    PhaseImage->Show(fPainter.Phase());
    if (fReadoutDivider == 0) ShowReadouts();
    fReadoutDivider = (fReadoutDivider + 1) % 3;
    if (tick == TRunLoop::tk_End) {
        ShowReadouts();
        SetRunning(false);
    }
}

void TCostasMain::ShowReadouts() {
    const TReadoutTexts t = Readouts(*fRx, fAgcDb);
    AgcLoopEdit->setText(QString::fromStdString(t.AgcLoop));
    AGCEdit->setText(QString::fromStdString(t.Magnitude));
    AgcErrorEdit->setText(QString::fromStdString(t.AgcError));
    CarLoopEdit->setText(QString::fromStdString(t.CarLoop));
    CarOffsetEdit->setText(QString::fromStdString(t.CarOffset));
    CarCentreEdit->setText(QString::fromStdString(t.CarCentre));
    SymLoopEdit->setText(QString::fromStdString(t.SymLoop));
    SymOffsetEdit->setText(QString::fromStdString(t.SymOffset));
    SymCentreEdit->setText(QString::fromStdString(t.SymCentre));
    LockShape->SetBrush(t.Locked ? colours::Locked : colours::Unlocked);
    LdIntCntEdit->setText(QString::fromStdString(t.LdIntCnt));
    Label90->setText(QString::fromStdString(t.LdIntCaption));
    ClockEdit->setText(QString::fromStdString(fInput.FileTime()));
}
