// The demodulator's main window: block diagram with probe labels, strip chart, constellation,
// readouts and every operator control. Owns the receiver, the input and the output file;
// everything runs on the window's thread, one block per tick of Timer1.
#pragma once

#include "app/Displays.h"
#include "app/PreciseRun.h"
#include "app/ReceiverControls.h"
#include "app/RunLoop.h"
#include "app/SampleSource.h"
#include "app/SymbolWriter.h"
#include "core/CostasReceiver.h"
#include "gui/Widgets.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPushButton>
#include <QTimer>

#include <functional>
#include <map>
#include <memory>

class TFFTForm;
class TRRCForm;
class TInfoForm;
struct TGroupTable;

class TCostasMain : public QMainWindow {
  public:
    static constexpr const char* DefaultOutputName = "Meteor_001.raw";

    // aOutputName: the output file created at start (the default name in the working folder).
    explicit TCostasMain(const QString& aOutputName = DefaultOutputName);
    ~TCostasMain() override;

    // ---- Handlers ----
    void InfileButtonClick();
    void OutfileButtonClick();
    void RunButtonClick();
    void QuitButtonClick();
    void WaveButtonClick();
    void RRCButtonClick();
    void Timer1Timer();
    void TrackBar1Change(int aPosition);
    void Label86Click();
    void TimeUpDownClick(int aPosition);
    void UpDownClick(const TArrowControl& aControl, int aPosition);
    void TypedEditChange(const TTypedEdit& aEdit, const QString& aText);
    void ProbeLabelClick(TProbe aProbe);

    // What the file dialogs would do once a name is chosen; an empty name is a cancelled dialog.
    void OpenInputFile(const QString& aPath);
    void OpenOutputFile(const QString& aPath);
    // Replace the modal file dialogs (tests, scripted runs): return the chosen full name or an
    // empty string for a cancel.
    std::function<QString()> InputDialogHook, OutputDialogHook;
    // Replaces the dialog that asks for the form and rate of a headerless input, or of a file
    // whose name tells no form and that does not begin as a WAV does (opened with the extension's
    // form, else cf32, and the last rate given): false for a cancel.
    std::function<bool(TInputForm& aForm, int64_t& aRateHz)> HeaderlessDialogHook;
    // Replaces the message boxes of refused or failed inputs (one line each).
    std::function<void(const QString&)> MessageHook;

    // ---- Controls by name ----
    TUpDown* UpDown(const QString& aName) const;
    QLineEdit* Edit(const QString& aName) const;
    QCheckBox* CheckBox(const QString& aName) const;

    TCostasReceiver& Receiver() { return *fRx; }
    // The model's input, or nullptr while none is open.
    const TSampleSource* Input() const { return fSource.get(); }
    TSymbolWriter& Output() { return fOutput; }
    bool Running() const { return fRunning; }
    // The precise receiver's run, while one exists (from Run with "Precise" until its input ends,
    // another input or receiver is chosen, or the window closes).
    const TPreciseRun* PreciseRun() const { return fPrecise.get(); }
    // The receiver choice and its options as the controls show them (PreciseControls).
    TPreciseSetup PreciseSetup() const;
    TFFTForm* FFTForm() const { return fFft; }
    TRRCForm* RRCForm() const { return fRrc; }
    TInfoForm* InfoForm() const { return fInfo; }

    QPushButton *RunButton, *InfileButton, *OutfileButton, *WaveButton, *RRCButton, *QuitButton;
    QLineEdit *InFileEdit, *OutFileEdit;
    QLineEdit *AgcLoopEdit, *AGCEdit, *AgcErrorEdit;
    QLineEdit *CarLoopEdit, *CarOffsetEdit, *CarCentreEdit;
    QLineEdit *SymLoopEdit, *SymOffsetEdit, *SymCentreEdit;
    QLineEdit *LdIntCntEdit, *ClockEdit;
    QLineEdit *TimeEdit, *nsPixEdit, *nsBitEdit, *SPEdit;
    QLabel *TimeLabel, *Label90;
    TClickLabel* Label86;
    TUpDown* TimeUpDown;
    TShape* LockShape;
    TTrackBar* TrackBar1;
    TImageBox *MainImage, *PhaseImage;
    QTimer* Timer1;
    QComboBox* ReceiverBox;
    QLabel *PreciseOffsetLabel, *PreciseSnrLabel, *PreciseLockLabel, *PreciseDriftLabel;

  protected:
    void closeEvent(QCloseEvent* e) override;

  private:
    // Construction, by what it does: the panels from their layout tables, the handlers, the
    // receiver's defaults into the controls.
    void BuildLayout();
    void ConnectHandlers();
    void LoadDefaults();
    QWidget* BuildDiagram();
    QWidget* BuildChart();
    QWidget* BuildConstellation();
    QGroupBox* BuildFiles();
    QGroupBox* BuildGroup(const TGroupTable& aTable);
    void AddArrowCell(QWidget* aBox, QGridLayout* aGrid, const TArrowControl& aControl, const char* aCaption,
                      int aRow, int aCol, int aChars);
    QLabel* CellCaption(QWidget* aBox, const char* aEdit, const char* aText);
    // A read-only box aChars digits wide, registered by name.
    QLineEdit* ReadoutEdit(QWidget* aParent, const QString& aName, int aChars);
    void ShowReadouts();
    void ShowNsPerBit();
    void SetRunning(bool aRunning);
    bool StartPrecise(const TPreciseSetup& aSetup);
    void PreciseTick();
    void ShowPreciseReadouts();
    void ShowBar(int aPosition);
    bool AskHeaderless(TSourceOptions& aOptions);
    void Warn(const QString& aTitle, const QString& aText);

    std::unique_ptr<TCostasReceiver> fRx;
    std::unique_ptr<TSampleSource> fSource; // the model's input
    TSourceOptions fSourceOptions;          // how it was opened; a precise run opens the same
    int64_t fHeaderlessRate = 1024000;      // the last rate given for a headerless input
    TSymbolWriter fOutput;
    TDisplaySampler fSampler;
    TDisplayPainter fPainter;
    std::unique_ptr<TRunLoop> fLoop;
    std::unique_ptr<TPreciseRun> fPrecise;
    bool fPreciseHadOutput = false; // the model's writer handed the output file over
    ProbeBuffer fPreciseProbe;
    QString fInputPath, fOutputPath;

    bool fRunning = false;
    bool fAgcDb = true;
    int fReadoutDivider = 0;
    int fLastBar = -1;
    bool fOwnBarChange = false;
    QString fOutputName;

    std::map<QString, TUpDown*> fUpDowns;
    std::map<QString, QLineEdit*> fEdits;
    std::map<QString, QCheckBox*> fChecks;
    TFFTForm* fFft;
    TRRCForm* fRrc;
    TInfoForm* fInfo;
};
