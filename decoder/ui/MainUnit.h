// The decoder's main window: mode buttons, the session driver's display (progress bars,
// constellation, six growing channel pictures), Stop, "Convert Soft to Hard" and the RGB
// composite choices. One decoding session per program run.
#pragma once

#include "session/DecodingSession.h"
#include "session/StageChain.h"
#include "ui/ChannelControls.h"
#include "ui/ConstallationUnit.h"
#include "ui/FileDialogs.h"
#include "ui/PaintBox.h"
#include "ui/RGBUnit.h"
#include "ui/StatUnit.h"

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include <array>
#include <functional>
#include <memory>
#include <string>

class TMetM2_LRPT_CORVANE : public QWidget {
  public:
    // idle -> (file chosen) feeding -> draining -> ended; ended lasts until the program ends.
    // A file that cannot be opened or created before feeding starts returns to idle.
    enum TSessionState { ssIdle, ssFeeding, ssDraining, ssEnded };

    static constexpr const char* Caption = "Meteor-M №2 LRPT Corvane";
    static constexpr const char* SessionFilter =
        "80K  (*_LRPT INT_*.*)|*_LRPT INT_*.s;*_LRPT INT_*.hard;*_LRPT INT_*.raw|"
        "72k  (*_LRPT_*.*)|*_LRPT_*.s;*_LRPT_*.hard;*_LRPT_*.raw|"
        "all    (*.*)|*.s;*.hard;*.raw";
    static constexpr const char* SoftFilter = "Soft Disition|*.s";
    static constexpr const char* NoSessionMessage = "No channel pictures yet: decode a file first.";

    explicit TMetM2_LRPT_CORVANE(QWidget* aParent = nullptr);
    ~TMetM2_LRPT_CORVANE() override;

    void FormCreate();
    void Button80KClick();
    void Button72KClick();
    void ButtonSTOPClick();
    void Timer1Timer();
    void Button1Click();
    void Button3Click();

    TSessionState State() const { return fState; }
    TStageChain& Chain() { return *fChain; }
    // The session of this run, null before the first file was chosen.
    const TDecodingSession* Session() const { return fSession.get(); }
    TDemodulatorModes DemMode() const { return fDemMode; }
    bool UserStop() const { return fUserStop; }
    TConstallation& Constallation() { return *fConstallation; }

    // Controls.
    QWidget* Panel2;
    TPaintBox* PaintBox1;
    QProgressBar* ProgressBar1;
    QProgressBar* ProgressBar2;
    QPushButton* Button80K;
    QPushButton* Button72K;
    QPushButton* ButtonSTOP;
    QCheckBox* IgnorRsFatalErrors;
    QCheckBox* Nrzm; // "NRZ-M": the session decodes a differentially encoded stream
    QPushButton* Button1;
    QLabel* Label1;
    QLabel* Label2;
    QLabel* Label3;
    QComboBox* RBox;
    QComboBox* GBox;
    QComboBox* BBox;
    QPushButton* Button3;
    QLabel* Label4;
    QWidget* Panel1;
    std::array<TChannelBox*, 6> GroupBox{};
    std::array<TChannelImage*, 6> Image{};
    TOpenDialog* OpenDialog1;
    TOpenDialog* OpenDialog2;
    QTimer* Timer1;

    // Created with the window, shown on demand.
    TStatForm* StatForm;
    TRGBForm* RGBForm;

    // Shows an error (aError) or a note in a message box; tests replace it.
    std::function<void(const QString& aText, bool aError)> ShowMessage;

  protected:
    void closeEvent(QCloseEvent* aEvent) override;

  private:
    void RunSession(TLrptMode aMode, int aFilterIndex);
    void PrepareSession();
    void BackToIdle();
    // Handles pending window events at most every 15 ms: the driver asks thousands of times per block.
    void ProcessMessages();
    void SetProgress(QProgressBar* aBar, int64_t aPosition, int64_t aMaximum);

    std::unique_ptr<TStageChain> fChain;
    std::unique_ptr<TDecodingSession> fSession;
    bool fUserStop = false;
    TDemodulatorModes fDemMode = dm_8BitSoft;
    std::unique_ptr<TConstallation> fConstallation;
    TSessionState fState = ssIdle;
    QString fFileName;
    QElapsedTimer fSinceEvents;
};
