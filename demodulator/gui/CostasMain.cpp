#include "gui/CostasMain.h"

#include "gui/FftForm.h"
#include "gui/InfoForm.h"
#include "gui/RrcForm.h"

#include <QCloseEvent>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QPainter>
#include <QSpinBox>
#include <QVBoxLayout>

#include <cmath>

namespace {

// The static block diagram of the receiver: boxes, signal paths and loop paths. The drawing is
// laid out on a 1330 x 210 sheet and mapped onto a shorter, narrower widget so that the whole
// window fits a 1366 x 768 screen; the texts keep their size.
class TBlockDiagram : public QWidget {
  public:
    static constexpr int Width = 1142, Height = 136;

    explicit TBlockDiagram(QWidget* aParent) : QWidget(aParent) {
        setObjectName("BlockDiagram");
        setFixedSize(Width, Height);
    }

    // Sheet coordinates to widget coordinates.
    static QPointF Map(QPointF aSheet) { return {aSheet.x() * Width / 1330.0, 6 + (aSheet.y() - 20) * 0.7}; }
    static QRectF Map(const QRect& aSheet) {
        return QRectF(Map(QPointF(aSheet.topLeft())),
                      Map(QPointF(aSheet.topLeft() + QPoint(aSheet.width(), aSheet.height()))));
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
        auto line = [&](int x1, int y1, int x2, int y2) {
            p.drawLine(Map(QPointF(x1, y1)), Map(QPointF(x2, y2)));
        };
        auto arrow = [&](QPoint aFrom, QPoint aTo) {
            const QPointF a = Map(QPointF(aFrom)), b = Map(QPointF(aTo));
            p.drawLine(a, b);
            const QPointF d = (b - a) / std::max(1.0, std::hypot(b.x() - a.x(), b.y() - a.y()));
            const QPointF n(-d.y(), d.x());
            QPolygonF head;
            head << b << b - 7 * d + 3.5 * n << b - 7 * d - 3.5 * n;
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
        p.drawText(Map(QRect(1205, 38, 125, 20)), Qt::AlignLeft | Qt::AlignVCenter, "to symbol file");
        // NCO into the mixer.
        arrow({290, 130}, {290, 76});
        // Sampling error detector from the resampler, symbol loop back into it.
        arrow({465, 76}, {465, 130});
        arrow({530, 158}, {560, 158});
        line(600, 130, 600, 104);
        line(600, 104, 500, 104);
        arrow({500, 104}, {500, 76});
        // Carrier loop from the polar converter (phase) back to the NCO.
        line(850, 76, 850, 96);
        line(850, 96, 750, 96);
        arrow({750, 96}, {750, 130});
        line(750, 186, 750, 198);
        line(750, 198, 290, 198);
        arrow({290, 198}, {290, 170});
        // AGC loop from the magnitude back to the GCA.
        arrow({900, 76}, {900, 130});
        line(860, 130, 860, 112);
        line(860, 112, 620, 112);
        arrow({620, 112}, {620, 76});
        // Lock detector from the polar converter.
        line(945, 76, 945, 100);
        line(945, 100, 1070, 100);
        arrow({1070, 100}, {1070, 130});
        QFont f = p.font();
        f.setPointSizeF(7);
        f.setBold(true);
        p.setFont(f);
        for (const TBox& b : Boxes()) {
            p.setBrush(b.Fill);
            p.drawRect(Map(b.Rect));
            p.drawText(Map(b.Rect), Qt::AlignCenter, b.Text);
        }
    }
};

QLabel* Caption(QWidget* aParent, const QString& aText) {
    auto* l = new QLabel(aText, aParent);
    l->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return l;
}

} // namespace

// Where each control sits in its group. An arrow control takes three grid columns from Col
// (caption, edit box, arrows), a readout two (caption, edit box), a check box Span columns.
// Chars is the widest text the edit box shows, in digits.
struct TCell {
    const char* Name; // arrow control, readout edit box or check box
    const char* Caption;
    int Row, Col;
    int Chars = 7;
    int Span = 1;
};
struct TGroupTable {
    const char* Title;
    const char* Object;
    std::vector<TCell> Cells;
};

namespace {

// The carrier and symbol loops show their gains as lead (proportional) and lag (integral)
// mantissa/exponent pairs, A for acquisition and T for tracking, one pair per row.
const TGroupTable AgcTable = {"AGC Loop",
                              "AGCLoopGroup",
                              {{"AgcThreshUpDown", "Threshold", 0, 0, 6},
                               {"AgcUpperUpDown", "Upper Limit", 1, 0, 6},
                               {"AgcLowerUpDown", "Lower Limit", 2, 0, 6},
                               {"ProgGainUpDown", "Prog Gain", 3, 0, 6},
                               {"AgcLoopEdit", "AGC acc (dB)", 4, 0, 6},
                               {"AGCEdit", "Magnitude", 5, 0, 6},
                               {"AgcErrorEdit", "Error", 6, 0, 6},
                               {"AgcLoopBox", nullptr, 7, 0, 0, 3}}};

const TGroupTable CarrierTable = {"Carrier Loop",
                                  "CarrierLoopGroup",
                                  {{"KpManUpDown", "Lead man A", 0, 0, 2},
                                   {"KpExpUpDown", "Lead exp", 0, 3, 2},
                                   {"NcoUpDown", "NCO (Hz)", 0, 6, 6},
                                   {"KiManUpDown", "Lag man", 1, 0, 2},
                                   {"KiExpUpDown", "Lag exp", 1, 3, 2},
                                   {"CarUpperUpDown", "Upper (Hz)", 1, 6, 6},
                                   {"KpManTrUpDown", "Lead man T", 2, 0, 2},
                                   {"KpExpTrUpDown", "Lead exp", 2, 3, 2},
                                   {"CarLowerUpDown", "Lower (Hz)", 2, 6, 6},
                                   {"KiManTrUpDown", "Lag man T", 3, 0, 2},
                                   {"KiExpTrUpDown", "Lag exp", 3, 3, 2},
                                   {"CarLoopEdit", "CLF acc (Hz)", 3, 6, 6},
                                   {"SwManUpDown", "Sweep man", 4, 0, 2},
                                   {"SwExpUpDown", "Sweep exp", 4, 3, 2},
                                   {"CarOffsetEdit", "Carrier Offset", 4, 6, 6},
                                   {"CarLoopBox", nullptr, 5, 0, 0, 2},
                                   {"CarZeroBox", nullptr, 5, 2, 0, 2},
                                   {"SwCheckBox", nullptr, 5, 4, 0, 2},
                                   {"CarCentreEdit", "Carrier Freq", 5, 6, 6}}};

const TGroupTable SymbolTable = {"Symbol Loop",
                                 "SymbolLoopGroup",
                                 {{"SpManUpDown", "Lead man A", 0, 0, 2},
                                  {"SpExpUpDown", "Lead exp", 0, 3, 2},
                                  {"SymbolUpDown", "Symbol Rate", 0, 6, 6},
                                  {"SiManUpDown", "Lag man A", 1, 0, 2},
                                  {"SiExpUpDown", "Lag exp", 1, 3, 2},
                                  {"SymUpperUpDown", "Upper (Hz)", 1, 6, 6},
                                  {"SpManTrUpDown", "Lead man T", 2, 0, 2},
                                  {"SpExpTrUpDown", "Lead exp", 2, 3, 2},
                                  {"SymLowerUpDown", "Lower (Hz)", 2, 6, 6},
                                  {"SiManTrUpDown", "Lag man T", 3, 0, 2},
                                  {"SiExpTrUpDown", "Lag exp", 3, 3, 2},
                                  {"SymLoopEdit", "SLF acc (Hz)", 3, 6, 6},
                                  {"SymLoopBox", nullptr, 4, 0, 0, 3},
                                  {"SymZeroBox", nullptr, 4, 3, 0, 3},
                                  {"SymOffsetEdit", "Symbol Offset", 4, 6, 6},
                                  {"SymCentreEdit", "Symbol Centre", 5, 6, 6}}};

const TGroupTable RxTable = {"Rx Control",
                             "RxControlGroup",
                             {{"ModTypeUpDown", "Mod Type", 0, 0, 6},
                              {"SliceUpDown", "Slicer Level", 1, 0, 6},
                              {"LD_PL_aUpDown", "LD preload A", 2, 0, 6},
                              {"LD_PL_tUpDown", "LD preload T", 3, 0, 6},
                              {"IQCheckBox", nullptr, 4, 0, 0, 1},
                              {"OqpskBox", nullptr, 4, 1, 0, 2},
                              {"LdIntCntEdit", "LD_Int cnt", 5, 0, 6}}};

const TGroupTable DisplayTable = {"Display Status",
                                  "DisplayStatusGroup",
                                  {{"TimeEdit", "Timebase (mS/div)", 0, 0, 15},
                                   {"nsPixEdit", "nS/pixel", 1, 0, 15},
                                   {"nsBitEdit", "nS/Bit", 2, 0, 15},
                                   {"SPEdit", "Sample Period", 3, 0, 15},
                                   {"SampUpDown", "Sample Freq", 4, 0, 15},
                                   {"ClockEdit", "File time", 5, 0, 15}}};

int EditWidth(const QWidget* aWidget, int aChars) {
    return aWidget->fontMetrics().horizontalAdvance(QString(aChars, '8')) + 14;
}

} // namespace

TCostasMain::TCostasMain(const QString& aOutputName) : fRx(std::make_unique<TCostasReceiver>()) {
    setObjectName("CostasMain");
    setWindowTitle("BPSK/QPSK Mirelune");
    fRx->SetDisplaySampler(&fSampler);

    BuildLayout();
    ConnectHandlers();
    LoadDefaults();

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

// Diagram and files on top, chart with constellation and AGC loop beside it, the other groups
// in one row underneath.
void TCostasMain::BuildLayout() {
    auto* central = new QWidget(this);
    setCentralWidget(central);
    auto* grid = new QGridLayout(central);
    grid->setContentsMargins(6, 6, 6, 6);
    grid->setSpacing(4);
    grid->addWidget(BuildDiagram(), 0, 0, Qt::AlignLeft | Qt::AlignTop);
    grid->addWidget(BuildFiles(), 0, 1);
    grid->addWidget(BuildChart(), 1, 0, Qt::AlignLeft | Qt::AlignTop);
    auto* right = new QVBoxLayout;
    right->setSpacing(4);
    right->addWidget(BuildConstellation(), 0, Qt::AlignHCenter);
    right->addWidget(BuildGroup(AgcTable));
    right->addStretch(1);
    grid->addLayout(right, 1, 1);
    auto* groups = new QHBoxLayout;
    groups->setSpacing(4);
    for (const TGroupTable* t : {&CarrierTable, &SymbolTable, &RxTable, &DisplayTable})
        groups->addWidget(BuildGroup(*t));
    groups->addStretch(1);
    grid->addLayout(groups, 2, 0, 1, 2);
    grid->setRowStretch(3, 1);
    grid->setColumnStretch(2, 1);

    // The readouts by name, for the handlers.
    AgcLoopEdit = fEdits["AgcLoopEdit"];
    AGCEdit = fEdits["AGCEdit"];
    AgcErrorEdit = fEdits["AgcErrorEdit"];
    CarLoopEdit = fEdits["CarLoopEdit"];
    CarOffsetEdit = fEdits["CarOffsetEdit"];
    CarCentreEdit = fEdits["CarCentreEdit"];
    SymLoopEdit = fEdits["SymLoopEdit"];
    SymOffsetEdit = fEdits["SymOffsetEdit"];
    SymCentreEdit = fEdits["SymCentreEdit"];
    LdIntCntEdit = fEdits["LdIntCntEdit"];
    TimeEdit = fEdits["TimeEdit"];
    nsPixEdit = fEdits["nsPixEdit"];
    nsBitEdit = fEdits["nsBitEdit"];
    SPEdit = fEdits["SPEdit"];
    ClockEdit = fEdits["ClockEdit"];
}

void TCostasMain::ConnectHandlers() {
    connect(InfileButton, &QPushButton::clicked, this, [this] { InfileButtonClick(); });
    connect(OutfileButton, &QPushButton::clicked, this, [this] { OutfileButtonClick(); });
    connect(RunButton, &QPushButton::clicked, this, [this] { RunButtonClick(); });
    connect(QuitButton, &QPushButton::clicked, this, [this] { QuitButtonClick(); });
    connect(WaveButton, &QPushButton::clicked, this, [this] { WaveButtonClick(); });
    connect(RRCButton, &QPushButton::clicked, this, [this] { RRCButtonClick(); });
    connect(TrackBar1, &QSlider::valueChanged, this, [this](int v) { TrackBar1Change(v); });
    TimeUpDown->OnClick = [this](int p) { TimeUpDownClick(p); };
    Label86->OnClick = [this] { Label86Click(); };

    Timer1 = new QTimer(this);
    Timer1->setObjectName("Timer1");
    Timer1->setInterval(33);
    connect(Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });
}

// Every control starts from the receiver's defaults; the chart and constellation start empty.
void TCostasMain::LoadDefaults() {
    for (const TArrowControl& c : ArrowControls()) {
        fUpDowns[c.UpDown]->SetPosition(c.Position(fRx->Params()));
        QLineEdit* e = fEdits[c.Edit];
        const QSignalBlocker block(e);
        e->setText(QString::fromStdString(c.Text(fRx->Params())));
    }
    ShowNsPerBit();
    TimeUpDownClick(TimebaseDefaultPosition);
    MainImage->Show(fPainter.Main());
    PhaseImage->Show(fPainter.Phase());
}

QLineEdit* TCostasMain::ReadoutEdit(QWidget* aParent, const QString& aName, int aChars) {
    auto* e = new QLineEdit(aParent);
    e->setObjectName(aName);
    e->setReadOnly(true);
    e->setFixedWidth(EditWidth(e, aChars));
    fEdits[aName] = e;
    return e;
}

QLabel* TCostasMain::CellCaption(QWidget* aBox, const char* aEdit, const char* aText) {
    const std::string name = aEdit;
    if (name == "AgcLoopEdit") {
        Label86 = new TClickLabel(aBox, "Label86", aText);
        Label86->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        return Label86;
    }
    QLabel* l = Caption(aBox, aText);
    if (name == "LdIntCntEdit") {
        Label90 = l;
        l->setObjectName("Label90");
    } else if (name == "TimeEdit") {
        TimeLabel = l;
        l->setObjectName("TimeLabel");
    }
    return l;
}

void TCostasMain::AddArrowCell(QWidget* aBox, QGridLayout* aGrid, const TArrowControl& aControl,
                               const char* aCaption, int aRow, int aCol, int aChars) {
    const TArrowControl* c = &aControl;
    auto* ud = new TUpDown(aBox, c->UpDown, c->Min, c->Max, c->Position(fRx->Params()));
    ud->setEnabled(c->Enabled);
    ud->OnClick = [this, c](int p) { UpDownClick(*c, p); };
    fUpDowns[c->UpDown] = ud;
    auto* e = new QLineEdit(aBox);
    e->setObjectName(c->Edit);
    e->setFixedWidth(EditWidth(e, aChars));
    fEdits[c->Edit] = e;
    if (const TTypedEdit* t = FindTypedEdit(c->Edit))
        connect(e, &QLineEdit::textChanged, this, [this, t](const QString& s) { TypedEditChange(*t, s); });
    else
        e->setReadOnly(true);
    aGrid->addWidget(Caption(aBox, aCaption), aRow, aCol);
    aGrid->addWidget(e, aRow, aCol + 1);
    aGrid->addWidget(ud, aRow, aCol + 2);
}

QGroupBox* TCostasMain::BuildGroup(const TGroupTable& aTable) {
    auto* box = new QGroupBox(aTable.Title, centralWidget());
    box->setObjectName(aTable.Object);
    auto* g = new QGridLayout(box);
    g->setContentsMargins(4, 4, 4, 4);
    g->setHorizontalSpacing(4);
    g->setVerticalSpacing(2);
    for (const TCell& cell : aTable.Cells) {
        if (const TArrowControl* c = FindArrowControl(cell.Name)) {
            AddArrowCell(box, g, *c, cell.Caption, cell.Row, cell.Col, cell.Chars);
            continue;
        }
        const TCheckControl* check = nullptr;
        for (const TCheckControl& c : CheckControls())
            if (std::string(cell.Name) == c.Box) check = &c;
        if (check) {
            auto* cb = new QCheckBox(check->Caption, box);
            cb->setObjectName(check->Box);
            cb->setChecked(check->Get(fRx->Params()));
            connect(cb, &QCheckBox::clicked, this, [this, check](bool on) { check->Set(*fRx, on); });
            fChecks[check->Box] = cb;
            g->addWidget(cb, cell.Row, cell.Col, 1, cell.Span);
            continue;
        }
        // A readout: caption and edit box; the timebase also has its arrows.
        g->addWidget(CellCaption(box, cell.Name, cell.Caption), cell.Row, cell.Col);
        g->addWidget(ReadoutEdit(box, cell.Name, cell.Chars), cell.Row, cell.Col + 1);
        if (std::string(cell.Name) == "TimeEdit") {
            TimeUpDown = new TUpDown(box, "TimeUpDown", 1, 21, TimebaseDefaultPosition);
            g->addWidget(TimeUpDown, cell.Row, cell.Col + 2);
        }
    }
    g->setRowStretch(g->rowCount(), 1);
    return box;
}

QGroupBox* TCostasMain::BuildFiles() {
    auto* files = new QGroupBox("Files", centralWidget());
    files->setObjectName("FilesGroup");
    auto* fg = new QGridLayout(files);
    fg->setContentsMargins(4, 4, 4, 4);
    fg->setHorizontalSpacing(4);
    fg->setVerticalSpacing(2);
    auto button = [files](const char* aName, const char* aCaption) {
        auto* b = new QPushButton(aCaption, files);
        b->setObjectName(aName);
        // As narrow as the caption allows: the row has four of them beside the diagram.
        const int text = b->fontMetrics().horizontalAdvance(aCaption);
        b->setMinimumWidth(text + 16);
        b->setMaximumWidth(text + 24);
        return b;
    };
    InFileEdit = ReadoutEdit(files, "InFileEdit", 1);
    OutFileEdit = ReadoutEdit(files, "OutFileEdit", 1);
    // The names take the room the buttons leave; a long text shows in full as a tool tip.
    for (QLineEdit* e : {InFileEdit, OutFileEdit}) {
        e->setMinimumWidth(60);
        e->setMaximumWidth(QWIDGETSIZE_MAX);
        e->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
        connect(e, &QLineEdit::textChanged, e, [e](const QString& aText) {
            e->setToolTip(aText);
            e->setCursorPosition(0);
        });
    }
    InFileEdit->setPlaceholderText("Input File");
    OutFileEdit->setPlaceholderText("Output File");
    InfileButton = button("InfileButton", "Change");
    OutfileButton = button("OutfileButton", "Change");
    WaveButton = button("WaveButton", "Info");
    RunButton = button("RunButton", "Run");
    RunButton->setEnabled(false);
    RRCButton = button("RRCButton", "RRC");
    QuitButton = button("QuitButton", "Quit");
    TrackBar1 = new TTrackBar(files, "TrackBar1");
    fg->addWidget(InFileEdit, 0, 0, 1, 3);
    fg->addWidget(InfileButton, 0, 3);
    fg->addWidget(OutFileEdit, 1, 0, 1, 3);
    fg->addWidget(OutfileButton, 1, 3);
    // Which receiver Run starts: the model (the default) or the precise receiver.
    ReceiverBox = new QComboBox(files);
    ReceiverBox->setObjectName("ReceiverBox");
    ReceiverBox->setToolTip("Receiver");
    for (const char* choice : ReceiverChoices)
        ReceiverBox->addItem(choice);
    fg->addWidget(TrackBar1, 2, 0, 1, 2);
    fg->addWidget(ReceiverBox, 2, 2, 1, 2);
    fg->addWidget(RunButton, 3, 0);
    fg->addWidget(WaveButton, 3, 1);
    fg->addWidget(RRCButton, 3, 2);
    fg->addWidget(QuitButton, 3, 3);
    fg->setRowStretch(4, 1);
    // The column beside the diagram is as wide as the groups under it need, not wider.
    files->setMinimumWidth(files->minimumSizeHint().width());
    files->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    return files;
}

QWidget* TCostasMain::BuildDiagram() {
    auto* d = new TBlockDiagram(centralWidget());
    struct TProbeLabel {
        const char* Name;
        const char* Caption;
        TProbe Probe;
        int X, Y; // on the diagram's sheet
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
        const QPointF at = TBlockDiagram::Map(QPointF(l.X, l.Y));
        // Above or below the signal line at sheet row 48.
        label->move(int(at.x()),
                    l.Y < 48 ? int(TBlockDiagram::Map(QPointF(0, 48)).y()) - label->sizeHint().height()
                             : int(TBlockDiagram::Map(QPointF(0, 48)).y()) + 1);
        const TProbe probe = l.Probe;
        label->OnClick = [this, probe] { ProbeLabelClick(probe); };
    }
    LockShape = new TShape(d, "LockShape");
    LockShape->setGeometry(TBlockDiagram::Map(QRect(1145, 145, 26, 26)).toRect());
    LockShape->SetBrush(colours::Unlocked);
    return d;
}

QWidget* TCostasMain::BuildChart() {
    // Scale labels left of the image; the image starts a little down so that the labels of its
    // first and last rows are whole.
    constexpr int ImageX = 100, ImageY = 7;
    auto* w = new QWidget(centralWidget());
    w->setObjectName("Chart");
    w->setFixedSize(ImageX + 1040 + 2, ImageY + 400 + 1);
    MainImage = new TImageBox(w, "MainImage", 1040, 400);
    MainImage->move(ImageX, ImageY);
    auto label = [w](const QString& text, int x, int row, int width) {
        auto* l = new QLabel(text, w);
        l->setGeometry(x, ImageY + row - 7, width, 14);
        l->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        QFont f = l->font();
        f.setPointSizeF(7);
        l->setFont(f);
        return l;
    };
    for (const auto& [text, row] : std::initializer_list<std::pair<const char*, int>>{{"24 dB", 0},
                                                                                      {"12 dB", 32},
                                                                                      {"0 dB", 64},
                                                                                      {"9000 Hz", 128},
                                                                                      {"4500 Hz", 160},
                                                                                      {"0 Hz", 192},
                                                                                      {"-4500 Hz", 224},
                                                                                      {"-9000 Hz", 256},
                                                                                      {"100 Hz", 320},
                                                                                      {"0 Hz", 352},
                                                                                      {"-100 Hz", 384}})
        label(text, 50, row, ImageX - 52);
    for (const auto& [text, row] : std::initializer_list<std::pair<const char*, int>>{{"AGC LOOP", 32},
                                                                                      {"CARRIER", 178},
                                                                                      {"TRACKING", 192},
                                                                                      {"LOOP", 206},
                                                                                      {"SYMBOL", 336},
                                                                                      {"TRACKING", 350},
                                                                                      {"LOOP", 364}})
        label(text, 0, row, 50);
    return w;
}

QWidget* TCostasMain::BuildConstellation() {
    auto* w = new QWidget(centralWidget());
    w->setFixedSize(190, 184);
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
    // The precise receiver's readouts beside the axis name, empty until it runs.
    PreciseOffsetLabel = new QLabel(w);
    PreciseOffsetLabel->setObjectName("PreciseOffsetLabel");
    PreciseOffsetLabel->setGeometry(0, 150, 84, 16);
    PreciseOffsetLabel->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    PreciseSnrLabel = new QLabel(w);
    PreciseSnrLabel->setObjectName("PreciseSnrLabel");
    PreciseSnrLabel->setGeometry(106, 150, 84, 16);
    PreciseSnrLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    PreciseLockLabel = new QLabel(w);
    PreciseLockLabel->setObjectName("PreciseLockLabel");
    PreciseLockLabel->setGeometry(0, 166, 94, 16);
    PreciseLockLabel->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    PreciseDriftLabel = new QLabel(w);
    PreciseDriftLabel->setObjectName("PreciseDriftLabel");
    PreciseDriftLabel->setGeometry(96, 166, 94, 16);
    PreciseDriftLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    for (QLabel* l : {PreciseOffsetLabel, PreciseSnrLabel, PreciseLockLabel, PreciseDriftLabel}) {
        QFont f = l->font();
        f.setPointSizeF(7);
        l->setFont(f);
    }
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
        path = QFileDialog::getOpenFileName(this, "Input File", QString(),
                                            "Recordings (*.wav *.rf64 *.w64 *.cu8 *.cs8 *.cs16 *.cf32);;"
                                            "Wave files (*.wav);;All files (*)");
    OpenInputFile(path);
}

void TCostasMain::OpenInputFile(const QString& aPath) {
    // A precise run belongs to its input: it ends here, and so does its timer, so that the model
    // does not take over unasked.
    if (fPrecise) {
        if (fRunning) SetRunning(false);
        fPrecise.reset();
    }
    fInputPath = aPath;
    fLoop.reset();
    fSource.reset();
    RunButton->setEnabled(false);
    TSourceOptions in;
    in.Path = aPath.toStdString();
    in.Form = InputFormFromName(in.Path);
    // A name that tells no form (GQRX's ".raw" I/Q, ".iq", ".bin") is asked about like a headerless
    // one, unless the file begins as a WAV, RF64 or W64 does.
    if (in.Form == TInputForm::Auto && !aPath.isEmpty() && QFileInfo(aPath).isFile()) {
        QFile f(aPath);
        const QByteArray magic = f.open(QIODevice::ReadOnly) ? f.read(4) : QByteArray();
        if (magic.size() == 4 && magic != "RIFF" && magic != "RF64" && magic != "riff")
            in.Form = TInputForm::Cf32;
    }
    const bool headerless = in.Form != TInputForm::Auto && in.Form != TInputForm::Wav;
    if (aPath.isEmpty() || (headerless && !AskHeaderless(in))) {
        InFileEdit->setText("Cannot open input file!");
        return;
    }
    try {
        fSource = std::make_unique<TSampleSource>(in);
    } catch (const TInputError& e) {
        InFileEdit->setText("Cannot open input file!");
        Warn("Input file", QString::fromStdString(e.what()));
        return;
    }
    fSourceOptions = in;
    InFileEdit->setText(QFileInfo(aPath).fileName());
    if (fSource->DataOffset() >= 0)
        AgcErrorEdit->setText(QString::number(fSource->DataOffset()));
    else
        AgcErrorEdit->clear();
    TakeInputRate(*fRx, &fSampler, fSource->SampleRate());
    // The input's rate sets Samp and its arrow; the box shows it without recomputing any word.
    {
        const QSignalBlocker block(Edit("SampEdit"));
        Edit("SampEdit")->setText(QString::number(fRx->Params().Samp));
    }
    UpDown("SampUpDown")->SetPosition(fRx->Params().Samp / 200);
    SPEdit->setText(QString::number(fSampler.StepNs()));
    fLoop = std::make_unique<TRunLoop>(*fRx, *fSource, fOutput);
    fLastBar = -1;
    ShowBar(0);
    RunButton->setEnabled(true);
    if (!fSource->Warning().empty()) Warn("Input file", QString::fromStdString(fSource->Warning()));
}

// A headerless recording carries neither its rate nor, beyond its extension, its form: the
// operator gives both.
bool TCostasMain::AskHeaderless(TSourceOptions& aOptions) {
    aOptions.RateHz = fHeaderlessRate;
    if (HeaderlessDialogHook) {
        if (!HeaderlessDialogHook(aOptions.Form, aOptions.RateHz)) return false;
    } else {
        QDialog d(this);
        d.setObjectName("HeaderlessDialog");
        d.setWindowTitle("Headerless I/Q");
        auto* form = new QFormLayout(&d);
        auto* kind = new QComboBox(&d);
        const std::pair<const char*, TInputForm> forms[] = {
            {"cu8 (8-bit unsigned, rtl_sdr)", TInputForm::Cu8},
            {"cs8 (8-bit signed)", TInputForm::Cs8},
            {"cs16 (16-bit signed)", TInputForm::Cs16},
            {"cf32 (32-bit float)", TInputForm::Cf32}};
        for (const auto& [text, f] : forms) {
            kind->addItem(text, int(f));
            if (f == aOptions.Form) kind->setCurrentIndex(kind->count() - 1);
        }
        auto* rate = new QSpinBox(&d);
        rate->setRange(1000, 100000000);
        rate->setSuffix(" Hz");
        rate->setValue(int(std::clamp<int64_t>(aOptions.RateHz, 1000, 100000000)));
        form->addRow("Samples", kind);
        form->addRow("Sample rate", rate);
        auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &d);
        connect(buttons, &QDialogButtonBox::accepted, &d, &QDialog::accept);
        connect(buttons, &QDialogButtonBox::rejected, &d, &QDialog::reject);
        form->addRow(buttons);
        if (d.exec() != QDialog::Accepted) return false;
        aOptions.Form = TInputForm(kind->currentData().toInt());
        aOptions.RateHz = rate->value();
    }
    if (aOptions.RateHz > 0) fHeaderlessRate = aOptions.RateHz;
    return true;
}

void TCostasMain::Warn(const QString& aTitle, const QString& aText) {
    if (MessageHook)
        MessageHook(aText);
    else
        QMessageBox::warning(this, aTitle, aText);
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
    fOutputPath = aPath;
    if (fPrecise && !fPrecise->Ended()) {
        // The precise run holds the output: it goes on into the new file.
        if (!fPrecise->SetOutput(aPath.toStdString())) {
            OutFileEdit->setText("Cannot open output file!");
            return;
        }
        OutFileEdit->setText(fOutputName);
        return;
    }
    if (aPath.isEmpty() || !fOutput.Open(aPath.toStdString())) {
        OutFileEdit->setText("Cannot open output file!");
        return;
    }
    OutFileEdit->setText(fOutputName);
}

void TCostasMain::WaveButtonClick() {
    if (!fSource) return;
    const bool wasRunning = Timer1->isActive();
    Timer1->stop();
    // The listing reads the file through its own handle: the run's position is not touched.
    fInfo->SetInput(fSource.get());
    fInfo->Timer1->start();
    fInfo->exec();
    // Only a run that was going resumes; Info alone does not start processing.
    if (wasRunning) Timer1->start();
}

void TCostasMain::QuitButtonClick() {
    close();
}

void TCostasMain::closeEvent(QCloseEvent* e) {
    SetRunning(false);
    fLoop.reset();
    fSource.reset();
    fOutput.Close();
    fPrecise.reset();
    fFft->close();
    fRrc->close();
    QMainWindow::closeEvent(e);
}

// ---- Run loop ----

void TCostasMain::SetRunning(bool aRunning) {
    fRunning = aRunning;
    RunButton->setText(aRunning ? "Stop" : "Run");
    // The receiver is chosen between runs, not during one.
    ReceiverBox->setEnabled(!aRunning);
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
    // Without an input (the last one was refused) neither receiver has anything to run on.
    if (!fSource) return;
    const TPreciseSetup setup = PreciseSetup();
    if (setup.Precise) {
        if (StartPrecise(setup)) SetRunning(true);
        return;
    }
    // The model's Samp (4 x the input rate unless the operator set it) has an upper limit; a
    // wideband input is for the precise receiver, or for a resampled recording.
    const int64_t maxSamp = FindReceiverParam("Samp")->Max;
    if (fRx->Params().Samp > maxSamp) {
        Warn("Receiver model",
             QString::fromStdString(fSource->Name() + ": " + std::to_string(fSource->SampleRate()) +
                                    " Hz is above the receiver model's " + std::to_string(maxSamp / 4) +
                                    " Hz (Samp, 4 x the input rate, stops at " + std::to_string(maxSamp) +
                                    "); choose the precise receiver or resample"));
        return;
    }
    if (fPreciseHadOutput) {
        // Back to the model: it writes the output file afresh, as after "Change".
        fPreciseHadOutput = false;
        fPrecise.reset();
        fOutput.Close();
        if (fOutputPath.isEmpty() || !fOutput.Open(fOutputPath.toStdString()))
            OutFileEdit->setText("Cannot open output file!");
    }
    fFft->SetProbe(fRx->Probe());
    fRx->ComputeWords();
    SetRunning(true);
}

TPreciseSetup TCostasMain::PreciseSetup() const {
    TPreciseSetup setup;
    for (const TPreciseControl& c : PreciseControls()) {
        const std::string name = c.Control;
        if (name == "ReceiverBox")
            c.Set(setup, ReceiverBox->currentIndex());
        else if (const QCheckBox* box = CheckBox(c.Control))
            c.Set(setup, box->isChecked() ? 1 : 0);
    }
    return setup;
}

// A stopped precise run resumes where it stopped; one whose input ended starts again from the
// beginning of the input, writing the output file afresh.
bool TCostasMain::StartPrecise(const TPreciseSetup& aSetup) {
    if (!fPrecise || fPrecise->Ended()) {
        fPrecise.reset();
        // The model's writer hands over the file: its pending symbols go out first.
        fOutput.Close();
        try {
            fPrecise = std::make_unique<TPreciseRun>(fSourceOptions, aSetup, fOutputPath.toStdString(),
                                                     &fPreciseProbe);
        } catch (const std::exception& e) {
            Warn("Precise receiver", QString::fromStdString(e.what()));
            return false;
        }
        fPreciseHadOutput = true;
        if (!fPrecise->OutputOpen()) OutFileEdit->setText("Cannot open output file!");
        for (QLabel* l : {PreciseOffsetLabel, PreciseSnrLabel, PreciseLockLabel, PreciseDriftLabel})
            l->clear();
    }
    fPreciseProbe.Restart();
    fFft->SetProbe(fPreciseProbe);
    return true;
}

void TCostasMain::TrackBar1Change(int aPosition) {
    TrackBar1->SetSelEnd(aPosition);
    if (fOwnBarChange) {
        fOwnBarChange = false;
        return;
    }
    // The operator's change: the running precise receiver's input, else the model's, moves to
    // that fraction of its frames.
    const bool precise = fPrecise && !fPrecise->Ended();
    const TSampleSource* in = precise ? &fPrecise->Source() : fSource.get();
    if (!in || in->TotalFrames() <= 0) return;
    const int64_t frame = in->TotalFrames() * aPosition / 100;
    try {
        if (precise)
            fPrecise->SeekFrame(frame);
        else
            fSource->SeekFrame(frame);
    } catch (const TInputError& e) {
        Warn("Input file", QString::fromStdString(e.what()));
        return;
    }
    ClockEdit->setText(QString::fromStdString(FrameTimeText(in->FramesRead(), in->SampleRate())));
}

namespace {
int BarOf(const TSampleSource& aIn) {
    return aIn.TotalFrames() > 0
               ? int(std::clamp<int64_t>(aIn.FramesRead() * 100 / aIn.TotalFrames(), 0, 100))
               : 0;
}
} // namespace

void TCostasMain::ShowBar(int aPosition) {
    if (aPosition == fLastBar) return;
    fLastBar = aPosition;
    fOwnBarChange = true;
    TrackBar1->setValue(aPosition);
    fOwnBarChange = false;
}

void TCostasMain::Timer1Timer() {
    if (fPrecise) {
        PreciseTick();
        return;
    }
    // No input (another file was tried during a run and refused): nothing is read.
    if (!fLoop) return;
    TRunLoop::TTick tick;
    try {
        tick = fLoop->Tick();
    } catch (const TInputError& e) {
        SetRunning(false);
        Warn("Input file", QString::fromStdString(e.what()));
        return;
    }
    ShowBar(BarOf(*fSource));
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
    if (fSource)
        ClockEdit->setText(
            QString::fromStdString(FrameTimeText(fSource->FramesRead(), fSource->SampleRate())));
}

// ---- The precise receiver ----

void TCostasMain::PreciseTick() {
    TPreciseRun::TStep step;
    try {
        step = fPrecise->Step();
    } catch (const TInputError& e) {
        SetRunning(false);
        fPrecise.reset();
        Warn("Precise receiver", QString::fromStdString(e.what()));
        return;
    }
    ShowBar(BarOf(fPrecise->Source()));
    const TPixelMap points = PreciseConstellation(fPrecise->Recent());
    PhaseImage->Show(points);
    if (fReadoutDivider == 0) ShowPreciseReadouts();
    fReadoutDivider = (fReadoutDivider + 1) % 3;
    if (step == TPreciseRun::st_End) {
        ShowPreciseReadouts();
        SetRunning(false);
    }
}

void TCostasMain::ShowPreciseReadouts() {
    const precise::TPreciseReadouts r = fPrecise->Readouts();
    LockShape->SetBrush(r.Locked ? colours::Locked : colours::Unlocked);
    PreciseOffsetLabel->setText(QString::asprintf("Offset %+.0f Hz", r.CarrierOffsetHz));
    PreciseSnrLabel->setText(QString::asprintf("Es/N0 %.1f dB", r.SnrDb));
    PreciseLockLabel->setText(r.LockTimeS < 0 ? QString("No lock yet")
                                              : QString::asprintf("Lock at %.2f s", r.LockTimeS));
    // Rounded first, so that a drift of zero does not show as "-0.0".
    const double drift = std::round(r.DriftHzPerS * 10) / 10 + 0.0;
    PreciseDriftLabel->setText(QString::asprintf("Drift %+.1f Hz/s", drift));
    const TSampleSource& in = fPrecise->Source();
    ClockEdit->setText(QString::fromStdString(FrameTimeText(in.FramesRead(), in.SampleRate())));
}
