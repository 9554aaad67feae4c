// The demodulator's windows without a display: control mappings through the real widgets, the
// run loop under Run and Stop, files, and the tool windows.
#include "../app/WavFiles.h"

#include "Synthesizer.h"
#include "gui/CostasMain.h"
#include "gui/FftForm.h"
#include "gui/InfoForm.h"
#include "gui/RrcForm.h"

#include <QApplication>
#include <QGridLayout>
#include <QGroupBox>
#include <QSpinBox>
#include <QTimer>
#include <QToolButton>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>

using namespace wavtest;

namespace {

class HaldrinWindowsTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (!QApplication::instance()) {
            qputenv("QT_QPA_PLATFORM", "offscreen");
            static int argc = 1;
            static char name[] = "haldrin_gui_tests";
            static char* argv[] = {name, nullptr};
            new QApplication(argc, argv);
        }
    }
    void SetUp() override {
        w = std::make_unique<TCostasMain>(QString::fromStdString(TempPath("start.raw")));
    }
    void TearDown() override { w.reset(); }

    QString Text(const char* aEdit) { return w->Edit(aEdit)->text(); }
    void Click(const char* aUpDown, int aDirection) { w->UpDown(aUpDown)->Click(aDirection); }

    std::unique_ptr<TCostasMain> w;
};

TEST_F(HaldrinWindowsTest, StartShowsTheDefaults) {
    EXPECT_EQ(w->windowTitle(), "BPSK/QPSK Mirelune");
    EXPECT_FALSE(w->RunButton->isEnabled());
    EXPECT_EQ(w->RunButton->text(), "Run");
    EXPECT_EQ(Text("ModTypeEdit"), "QPSK");
    EXPECT_EQ(Text("NcoEdit"), "0");
    EXPECT_EQ(Text("SymRateEdit"), "72000");
    EXPECT_EQ(Text("KpExpEdit"), "18");
    EXPECT_EQ(w->UpDown("TimeUpDown")->Position(), 17);
    EXPECT_EQ(w->TimeEdit->text(), "2");
    EXPECT_EQ(w->TimeLabel->text(), "Timebase (mS/div)");
    EXPECT_EQ(w->nsPixEdit->text(), "100000");
    EXPECT_TRUE(w->CheckBox("SwCheckBox")->isChecked());
    EXPECT_FALSE(w->UpDown("SampUpDown")->isEnabled());
    EXPECT_EQ(w->OutFileEdit->text(), "start.raw");
    EXPECT_TRUE(w->Output().IsOpen());
    EXPECT_EQ(QString(TCostasMain::DefaultOutputName), "Meteor_001.raw");
    // Every control named in the tables exists with its name.
    for (const TArrowControl& c : ArrowControls()) {
        ASSERT_NE(w->UpDown(c.UpDown), nullptr) << c.UpDown;
        EXPECT_EQ(w->UpDown(c.UpDown)->objectName(), c.UpDown);
        ASSERT_NE(w->Edit(c.Edit), nullptr) << c.Edit;
    }
    for (const char* probe :
         {"Label3", "Label148", "Label145", "Label146", "Label93", "Label94", "Label18", "Label19"})
        EXPECT_NE(w->findChild<QLabel*>(probe), nullptr) << probe;
}

// The window fits a 1366 x 768 screen, and at that size every control lies whole inside its
// group and the window.
TEST_F(HaldrinWindowsTest, FitsA1366x768ScreenWithEveryControlVisible) {
    const QSize min = w->minimumSizeHint().expandedTo(w->minimumSize());
    EXPECT_LE(min.width(), 1366);
    EXPECT_LE(min.height(), 768 - 30) << "room for a title bar";
    EXPECT_LE(w->sizeHint().width(), 1366);
    EXPECT_LE(w->sizeHint().height(), 768 - 30);
    w->resize(min);
    w->show();
    QApplication::processEvents();
    int controls = 0;
    for (QWidget* c : w->findChildren<QWidget*>()) {
        if (!qobject_cast<QLineEdit*>(c) && !qobject_cast<QAbstractButton*>(c) &&
            !dynamic_cast<TUpDown*>(c) && !dynamic_cast<TTrackBar*>(c) && !dynamic_cast<TClickLabel*>(c))
            continue;
        if (qobject_cast<QToolButton*>(c)) continue; // the halves of an arrow control
        ++controls;
        // Whole inside each of its parents up to the window, so that nothing clips it.
        for (QWidget* p = c->parentWidget(); p; p = p->parentWidget()) {
            EXPECT_TRUE(p->rect().contains(QRect(c->mapTo(p, QPoint(0, 0)), c->size())))
                << c->objectName().toStdString() << " in " << p->objectName().toStdString();
            if (p == w.get()) break;
        }
    }
    EXPECT_GT(controls, 80);
}

TEST_F(HaldrinWindowsTest, CaptionsOfTheReceiversControls) {
    // The caption left of an arrow control's edit box, in the same grid.
    auto caption = [this](const char* aUpDown) -> QString {
        QWidget* ud = w->UpDown(aUpDown);
        auto* grid = qobject_cast<QGridLayout*>(ud->parentWidget()->layout());
        int row, col, rs, cs;
        grid->getItemPosition(grid->indexOf(ud), &row, &col, &rs, &cs);
        auto* label = qobject_cast<QLabel*>(grid->itemAtPosition(row, col - 2)->widget());
        return label ? label->text() : QString();
    };
    const std::pair<const char*, const char*> expected[] = {
        {"KpManUpDown", "Lead man A"},     {"KpExpUpDown", "Lead exp"},       {"KiManUpDown", "Lag man"},
        {"KiExpUpDown", "Lag exp"},        {"KpManTrUpDown", "Lead man T"},   {"KiManTrUpDown", "Lag man T"},
        {"SwManUpDown", "Sweep man"},      {"SwExpUpDown", "Sweep exp"},      {"ProgGainUpDown", "Prog Gain"},
        {"LD_PL_aUpDown", "LD preload A"}, {"LD_PL_tUpDown", "LD preload T"}, {"ModTypeUpDown", "Mod Type"},
        {"SliceUpDown", "Slicer Level"},   {"AgcThreshUpDown", "Threshold"},  {"SampUpDown", "Sample Freq"},
        {"SpManUpDown", "Lead man A"},     {"SiManTrUpDown", "Lag man T"},
    };
    for (const auto& [name, text] : expected)
        EXPECT_EQ(caption(name), text) << name;
    // Every arrow control of the table has a caption.
    for (const TArrowControl& c : ArrowControls())
        EXPECT_FALSE(caption(c.UpDown).isEmpty()) << c.UpDown;
    EXPECT_EQ(w->findChild<QGroupBox*>("CarrierLoopGroup")->title(), "Carrier Loop");
    EXPECT_EQ(w->findChild<QLabel*>("Label86")->text(), "AGC acc (dB)");
    EXPECT_EQ(w->findChild<QLabel*>("Label90")->text(), "LD_Int cnt");
    // The carrier strip's scale is in Hz: the loop's range is +-10 kHz.
    QStringList scale;
    for (const QLabel* l : w->findChildren<QLabel*>())
        if (l->text().endsWith("Hz")) scale << l->text();
    for (const char* text : {"9000 Hz", "4500 Hz", "-4500 Hz", "-9000 Hz", "100 Hz", "-100 Hz"})
        EXPECT_TRUE(scale.contains(text)) << text;
    EXPECT_EQ(scale.count("0 Hz"), 2);
    EXPECT_FALSE(scale.join(" ").contains("kHz"));
}

// Before the first run the chart and constellation are empty: no trace along row 0 and no dot
// in the constellation's corner.
TEST_F(HaldrinWindowsTest, ChartAndConstellationStartEmpty) {
    for (int x = 0; x < 1040; ++x)
        ASSERT_EQ(w->MainImage->Image().pixel(x, 0) & 0xFFFFFF, MainBackground().At(x, 0)) << x;
    EXPECT_EQ(w->PhaseImage->Image().pixel(0, 0) & 0xFFFFFF, PhaseBackground().At(0, 0));
}

TEST_F(HaldrinWindowsTest, ArrowAndEditMappings) {
    const int32_t samp = w->Receiver().Params().Samp;
    // NCO at 1000 is 0 Hz; one click up gives 10 Hz.
    ASSERT_EQ(w->UpDown("NcoUpDown")->Position(), 1000);
    Click("NcoUpDown", +1);
    EXPECT_EQ(w->Receiver().Params().Nco, 10);
    EXPECT_EQ(Text("NcoEdit"), "10");
    EXPECT_EQ(w->Receiver().NcoWord(), int32_t(int64_t(10 * 4294967296.0 / samp)));

    w->UpDown("SymbolUpDown")->SetPosition(7199);
    Click("SymbolUpDown", +1);
    EXPECT_EQ(w->Receiver().Params().SymRate, 72000);
    EXPECT_EQ(w->nsBitEdit->text(), "13888.8888888889");

    // Typed 12345 Hz: the arrow stays at its maximum, the limit is 10000 Hz.
    w->Edit("CarUpperEdit")->setText("12345");
    EXPECT_EQ(w->UpDown("CarUpperUpDown")->Position(), 1000);
    EXPECT_EQ(w->Receiver().Params().CarUpper, 10000);
    // Typed -300: the parameter takes it, the arrow shows 0.
    w->Edit("AgcLowerEdit")->setText("-300");
    EXPECT_EQ(w->Receiver().Params().AgcLower, -300);
    EXPECT_EQ(w->UpDown("AgcLowerUpDown")->Position(), 0);
    // Half-typed text changes nothing.
    w->Edit("AgcLowerEdit")->setText("-");
    EXPECT_EQ(w->Receiver().Params().AgcLower, -300);
    // Arrows stop at their ends.
    w->UpDown("KpManUpDown")->SetPosition(15);
    Click("KpManUpDown", +1);
    EXPECT_EQ(w->Receiver().Params().KpMan, 15);
    Click("CarLowerUpDown", -1);
    EXPECT_EQ(Text("CarLowerEdit"), "-9990");
    EXPECT_EQ(w->Receiver().Params().CarLower, -9990);
    Click("ModTypeUpDown", -1);
    EXPECT_EQ(Text("ModTypeEdit"), "BPSK");
    EXPECT_EQ(w->Receiver().Params().ModType, mt_BPSK);

    // Timebase 100 ns per division: 5 ns per pixel.
    w->UpDown("TimeUpDown")->SetPosition(5);
    Click("TimeUpDown", -1);
    EXPECT_EQ(w->TimeEdit->text(), "100");
    EXPECT_EQ(w->TimeLabel->text(), "Timebase (nS/div)");
    EXPECT_EQ(w->nsPixEdit->text(), "5");

    w->CheckBox("CarZeroBox")->click();
    EXPECT_TRUE(w->Receiver().Params().CarZero);
    w->CheckBox("IQCheckBox")->click();
    EXPECT_TRUE(w->Receiver().Params().IqSwap);
    EXPECT_FALSE(w->CheckBox("OqpskBox")->isChecked());
    auto* rxControl = qobject_cast<QGroupBox*>(w->CheckBox("OqpskBox")->parentWidget());
    ASSERT_NE(rxControl, nullptr);
    EXPECT_EQ(rxControl->title(), "Rx Control");
    w->CheckBox("OqpskBox")->click();
    EXPECT_TRUE(w->Receiver().Params().Oqpsk);

    w->Label86Click();
    EXPECT_EQ(w->Label86->text(), "AGC acc (raw)");
    w->Label86Click();
    EXPECT_EQ(w->Label86->text(), "AGC acc (dB)");
}

TEST_F(HaldrinWindowsTest, RunsAGeneratedPassToTheEndAndStops) {
    lrptsynth::SynthOptions o;
    o.form = lrptsynth::OutputForm::Wav;
    o.scans = 2;
    o.carrierOffsetHz = 2000;
    o.esn0Db = 12;
    o.seed = 3;
    const lrptsynth::Recording rec = lrptsynth::synthesize(o);
    const std::string in = WriteFile("window-pass.wav", rec.bytes);
    const std::string out = TempPath("window-pass.raw");

    w->OutputDialogHook = [&] { return QString::fromStdString(out); };
    w->OutfileButton->click();
    EXPECT_EQ(w->OutFileEdit->text(), "window-pass.raw");
    w->InputDialogHook = [&] { return QString::fromStdString(in); };
    w->InfileButton->click();
    EXPECT_EQ(w->InFileEdit->text(), "window-pass.wav");
    EXPECT_EQ(w->AgcErrorEdit->text(), "44");
    EXPECT_EQ(w->SPEdit->text(), "1275"); // 250000000 / 196078
    EXPECT_EQ(w->Edit("SampEdit")->text(), "784312");
    ASSERT_TRUE(w->RunButton->isEnabled());

    w->RunButton->click();
    EXPECT_EQ(w->RunButton->text(), "Stop");
    EXPECT_TRUE(w->Timer1->isActive());
    int ticks = 0;
    while (w->Running() && ticks < 10000) {
        w->Timer1Timer();
        ++ticks;
    }
    EXPECT_EQ(w->RunButton->text(), "Run");
    EXPECT_FALSE(w->Timer1->isActive());
    const int64_t frames = int64_t(rec.bytes.size() - 44) / 4;
    EXPECT_EQ(ticks, int(frames / 8192 + 1));
    EXPECT_EQ(w->TrackBar1->value(), 100);
    EXPECT_EQ(w->TrackBar1->SelEnd(), 100);
    EXPECT_EQ(w->LockShape->Brush(), colours::Locked);
    EXPECT_EQ(w->Label90->text(), "LD_Acc cnt");
    EXPECT_NEAR(w->CarCentreEdit->text().toInt(), 2000, 150);
    // Everything written, nothing pending, the clock at the end of the file.
    const uint64_t size = std::filesystem::file_size(out);
    EXPECT_EQ(int64_t(size), w->Output().Written());
    EXPECT_NEAR(double(size), double(frames) * 72000 / 196078, 100);
    EXPECT_EQ(w->ClockEdit->text().toStdString(), FrameTimeText(frames, 196078));
    // The chart has its traces: nearly every column shows the AGC and the symbol loop.
    int agcColumns = 0, symColumns = 0;
    for (int x = 0; x < 1040; ++x) {
        bool agc = false, sym = false;
        for (int y = 0; y < 400; ++y) {
            agc |= w->MainImage->Image().pixel(x, y) == (0xFF000000u | colours::Agc);
            sym |= w->MainImage->Image().pixel(x, y) == (0xFF000000u | colours::Symbol);
        }
        agcColumns += agc, symColumns += sym;
    }
    EXPECT_GT(agcColumns, 1000);
    EXPECT_GT(symColumns, 1000);

    // Seeking back with the bar and running again continues the same output file.
    w->TrackBar1->setValue(50);
    EXPECT_EQ(w->Input()->FramesRead(), frames / 2);
    EXPECT_EQ(w->ClockEdit->text().toStdString(), FrameTimeText(frames / 2, 196078));
    w->RunButtonClick();
    w->Timer1Timer();
    EXPECT_EQ(w->Input()->FramesRead(), frames / 2 + 8192);
    EXPECT_EQ(w->TrackBar1->value(), int((frames / 2 + 8192) * 100 / frames));
    w->RunButtonClick();
    EXPECT_FALSE(w->Running());

    // Quit flushes the pending symbols.
    const int pending = w->Output().Pending();
    const int64_t written = w->Output().Written();
    w->QuitButton->click();
    EXPECT_EQ(int64_t(std::filesystem::file_size(out)), written + pending);
}

TEST_F(HaldrinWindowsTest, PreciseReceiverRunsAGeneratedPassToTheEnd) {
    EXPECT_EQ(w->ReceiverBox->currentText(), "Model");
    EXPECT_EQ(w->ReceiverBox->count(), 2);
    lrptsynth::SynthOptions o;
    o.form = lrptsynth::OutputForm::Wav;
    o.durationSeconds = 1.0;
    o.leadInSeconds = 0.1;
    o.carrierOffsetHz = 2000;
    o.driftHzPerS = 40; // as over a pass
    o.esn0Db = 12;
    o.seed = 5;
    const lrptsynth::Recording rec = lrptsynth::synthesize(o);
    const std::string in = WriteFile("window-precise.wav", rec.bytes);
    const std::string out = TempPath("window-precise.s");
    w->OutputDialogHook = [&] { return QString::fromStdString(out); };
    w->OutfileButton->click();
    w->InputDialogHook = [&] { return QString::fromStdString(in); };
    w->InfileButton->click();
    w->CheckBox("IQCheckBox")->click(); // the generator writes Q first
    w->ReceiverBox->setCurrentIndex(1);
    const TPreciseSetup setup = w->PreciseSetup();
    EXPECT_TRUE(setup.Precise && setup.SwapIq && !setup.Oqpsk);

    const std::vector<uint32_t> modelChart(w->MainImage->Image().constBits(),
                                           w->MainImage->Image().constBits() + 1040 * 400);
    w->RunButton->click();
    ASSERT_TRUE(w->Running());
    ASSERT_NE(w->PreciseRun(), nullptr);
    EXPECT_FALSE(w->ReceiverBox->isEnabled());
    int ticks = 0;
    while (w->Running() && ticks < 1000) {
        w->Timer1Timer();
        ++ticks;
    }
    const int64_t frames = int64_t(rec.bytes.size() - 44) / 4;
    EXPECT_EQ(ticks, int(frames / 8192 + 2)); // the last part block, then the end
    EXPECT_TRUE(w->ReceiverBox->isEnabled());
    EXPECT_EQ(w->RunButton->text(), "Run");
    EXPECT_EQ(w->LockShape->Brush(), colours::Locked);
    // The readouts of the end: the offset the drift has reached, the drift, the lock time.
    const double seconds = double(frames) / 196078;
    const QStringList offset = w->PreciseOffsetLabel->text().split(' ');
    ASSERT_EQ(offset.size(), 3);
    EXPECT_NEAR(offset[1].toDouble(), 2000 + 40 * seconds, 30);
    const QStringList snr = w->PreciseSnrLabel->text().split(' ');
    ASSERT_EQ(snr.size(), 3);
    EXPECT_NEAR(snr[1].toDouble(), 12, 1.5);
    const QStringList drift = w->PreciseDriftLabel->text().split(' ');
    ASSERT_EQ(drift.size(), 3) << drift.join(' ').toStdString();
    EXPECT_EQ(drift[2], "Hz/s");
    EXPECT_NEAR(drift[1].toDouble(), 40, 15);
    const QStringList lock = w->PreciseLockLabel->text().split(' ');
    ASSERT_EQ(lock.size(), 4) << lock.join(' ').toStdString();
    EXPECT_NEAR(lock[2].toDouble(), w->PreciseRun()->Readouts().LockTimeS, 0.005);
    EXPECT_GT(lock[2].toDouble(), 0.0);
    EXPECT_LT(lock[2].toDouble(), 0.4); // within the lead-in and the first symbols
    EXPECT_EQ(w->TrackBar1->value(), 100);
    EXPECT_EQ(w->ClockEdit->text().toStdString(), FrameTimeText(frames, 196078));
    // Its symbols in the output (8-bit pairs, by the name), its points on the constellation; the
    // model's chart is left as it was.
    EXPECT_EQ(int64_t(std::filesystem::file_size(out)), 2 * w->PreciseRun()->SymbolsWritten());
    EXPECT_NEAR(double(w->PreciseRun()->SymbolsWritten()), double(frames) * 72000 / 196078, 200);
    int points = 0;
    for (int y = 0; y < 128; ++y)
        for (int x = 0; x < 128; ++x)
            points += w->PhaseImage->Image().pixel(x, y) == (0xFF000000u | colours::Point);
    EXPECT_GT(points, 200);
    EXPECT_TRUE(std::equal(modelChart.begin(), modelChart.end(), w->MainImage->Image().constBits()));

    // The spectrum analyser shows the precise receiver's input.
    w->ProbeLabelClick(pr_Iin);
    EXPECT_TRUE(w->FFTForm()->isVisible());
    for (int k = 0; k < 9; ++k) {
        w->RunButton->click(); // a new run from the start: its input refills the probe
        w->Timer1Timer();
        w->RunButton->click();
        w->FFTForm()->TraceButtonClick();
    }
    int green = 0;
    for (uint32_t p : w->FFTForm()->Picture().Pixels)
        green += p == colours::Point;
    EXPECT_GT(green, 500);

    // The bar moves a stopped precise run's input, not the model's; the clock follows.
    ASSERT_NE(w->PreciseRun(), nullptr);
    ASSERT_FALSE(w->PreciseRun()->Ended());
    const int64_t modelAt = w->Input()->FramesRead();
    w->TrackBar1->setValue(60);
    EXPECT_EQ(w->PreciseRun()->Source().FramesRead(), frames * 60 / 100);
    EXPECT_EQ(w->Input()->FramesRead(), modelAt);
    EXPECT_EQ(w->ClockEdit->text().toStdString(), FrameTimeText(frames * 60 / 100, 196078));
    w->RunButton->click();
    w->Timer1Timer();
    w->RunButton->click();
    EXPECT_EQ(w->PreciseRun()->Source().FramesRead(), frames * 60 / 100 + 8192);
    EXPECT_EQ(w->TrackBar1->value(), int((frames * 60 / 100 + 8192) * 100 / frames));

    // Back to the model: it runs and writes the output afresh in its own form.
    w->ReceiverBox->setCurrentIndex(0);
    w->RunButton->click();
    EXPECT_EQ(w->PreciseRun(), nullptr);
    w->Timer1Timer();
    w->RunButton->click();
    EXPECT_EQ(int64_t(std::filesystem::file_size(out)), w->Output().Written());

    // Another input ends a precise run and its timer: the model does not take over unasked.
    w->ReceiverBox->setCurrentIndex(1);
    w->RunButton->click();
    w->Timer1Timer();
    ASSERT_NE(w->PreciseRun(), nullptr);
    w->InfileButton->click();
    EXPECT_FALSE(w->Running());
    EXPECT_EQ(w->PreciseRun(), nullptr);
}

// The model's symbols from a fresh window run to the end of aPath (a headerless input at 196078 Hz).
std::vector<uint8_t> ModelSymbols(const std::string& aPath) {
    const std::string out = aPath + ".raw";
    TCostasMain win(QString::fromStdString(out));
    win.HeaderlessDialogHook = [](TInputForm&, int64_t& aRate) { return aRate = 196078, true; };
    win.MessageHook = [](const QString& aText) { ADD_FAILURE() << aText.toStdString(); };
    win.OpenInputFile(QString::fromStdString(aPath));
    EXPECT_TRUE(win.RunButton->isEnabled());
    win.RunButtonClick();
    for (int ticks = 0; win.Running() && ticks < 1000; ++ticks)
        win.Timer1Timer();
    EXPECT_FALSE(win.Running());
    return ReadFile(out);
}

// The forms SDR programs write reach the model as the frames of a 16-bit file of the same signal:
// 8-bit unsigned WAV and rtl_sdr's cu8 as the 16-bit file of their top bytes, a float WAV as the
// 16-bit file itself, symbol for symbol.
TEST_F(HaldrinWindowsTest, TheModelReadsEveryFormAsTheSixteenBitFile) {
    lrptsynth::SynthOptions o;
    o.form = lrptsynth::OutputForm::Wav;
    o.durationSeconds = 1.0;
    o.carrierOffsetHz = -1500;
    o.esn0Db = 12;
    o.seed = 9;
    const std::vector<uint8_t> wav = lrptsynth::synthesize(o).bytes;
    std::vector<int16_t> s((wav.size() - 44) / 2);
    for (size_t k = 0; k < s.size(); ++k)
        s[k] = int16_t(wav[44 + 2 * k] | wav[45 + 2 * k] << 8);
    std::vector<uint8_t> top16, u8, f32;
    for (int16_t v : s) {
        Le(top16, uint16_t(int16_t((v >> 8) * 256)), 2);
        u8.push_back(uint8_t((v >> 8) + 128));
        float f = float(v) / 32768;
        uint32_t bits;
        std::memcpy(&bits, &f, 4);
        Le(f32, bits, 4);
    }
    std::vector<uint8_t> floatWav = Wav(8, f32); // 2 channels of 32 bits
    floatWav[20] = 3;                            // IEEE float
    std::vector<uint8_t> u8Wav = Wav(2, u8);     // 2 channels of 8 bits

    const std::vector<uint8_t> full = ModelSymbols(WriteFile("forms16.wav", wav));
    ASSERT_GT(full.size(), 60000u);
    EXPECT_TRUE(ModelSymbols(WriteFile("formsf32.wav", floatWav)) == full);
    const std::vector<uint8_t> top = ModelSymbols(WriteFile("formstop.wav", Wav(4, top16)));
    ASSERT_GT(top.size(), 60000u);
    EXPECT_TRUE(ModelSymbols(WriteFile("formsu8.wav", u8Wav)) == top);
    EXPECT_TRUE(ModelSymbols(WriteFile("forms.cu8", u8)) == top);
}

TEST_F(HaldrinWindowsTest, FileFailures) {
    w->InputDialogHook = [] { return QString(); }; // cancelled
    w->InfileButton->click();
    EXPECT_EQ(w->InFileEdit->text(), "Cannot open input file!");
    EXPECT_FALSE(w->RunButton->isEnabled());
    w->Timer1Timer(); // no file: nothing is read

    // Inputs the input layer refuses: its one line in a message box, no input, no run.
    QStringList messages;
    w->MessageHook = [&](const QString& aText) { messages << aText; };
    w->HeaderlessDialogHook = [](TInputForm&, int64_t&) { return true; };
    const std::string good = WriteFile("good.wav", Wav(4, std::vector<uint8_t>(4000)));
    std::vector<uint8_t> mono = Wav(2, std::vector<uint8_t>(400));
    mono[22] = 1, mono[34] = 16; // one channel of 16 bits
    std::vector<uint8_t> adpcm = Wav(4, std::vector<uint8_t>(400));
    adpcm[20] = 0x11;
    const std::pair<std::string, const char*> refused[] = {
        {WriteFile("bad.wav", std::vector<uint8_t>(60, 'x')), "header code -2"},
        {WriteFile("mono.wav", mono), "1 channel of 16-bit"},
        {WriteFile("adpcm.wav", adpcm), "format tag 0x0011"},
        {WriteFile("empty.cs16", {}), "is empty"},
        {TempPath("folder.wav"), "is a folder"},
    };
    std::filesystem::create_directories(TempPath("folder.wav"));
    for (const auto& [path, says] : refused) {
        SCOPED_TRACE(path);
        w->OpenInputFile(QString::fromStdString(good));
        ASSERT_TRUE(w->RunButton->isEnabled());
        messages.clear();
        w->OpenInputFile(QString::fromStdString(path));
        ASSERT_EQ(messages.size(), 1);
        EXPECT_TRUE(messages[0].startsWith(QString::fromStdString(path))) << messages[0].toStdString();
        EXPECT_TRUE(messages[0].contains(says)) << messages[0].toStdString();
        EXPECT_FALSE(messages[0].contains('\n'));
        EXPECT_EQ(w->InFileEdit->text(), "Cannot open input file!");
        EXPECT_FALSE(w->RunButton->isEnabled());
        EXPECT_EQ(w->Input(), nullptr);
        // Neither receiver starts, and a tick of a timer left running reads nothing.
        for (int receiver : {0, 1}) {
            w->ReceiverBox->setCurrentIndex(receiver);
            w->RunButtonClick();
            w->Timer1Timer();
            EXPECT_EQ(w->PreciseRun(), nullptr);
            if (w->Running()) w->RunButtonClick();
        }
        w->ReceiverBox->setCurrentIndex(0);
    }
    // A headerless input asks for its form and rate; a cancel opens nothing.
    const std::string raw = WriteFile("asked.cu8", std::vector<uint8_t>(4000, 128));
    messages.clear();
    w->HeaderlessDialogHook = [](TInputForm&, int64_t&) { return false; };
    w->OpenInputFile(QString::fromStdString(raw));
    EXPECT_EQ(w->InFileEdit->text(), "Cannot open input file!");
    EXPECT_FALSE(w->RunButton->isEnabled());
    TInputForm asked = TInputForm::Auto;
    w->HeaderlessDialogHook = [&](TInputForm& aForm, int64_t& aRate) {
        asked = aForm;
        aForm = TInputForm::Cs16;
        aRate = 250000;
        return true;
    };
    w->OpenInputFile(QString::fromStdString(raw));
    EXPECT_EQ(asked, TInputForm::Cu8);
    ASSERT_NE(w->Input(), nullptr);
    EXPECT_EQ(w->Input()->Form(), TInputForm::Cs16);
    EXPECT_EQ(w->Input()->TotalFrames(), 1000);
    // A name that tells no form is asked about too (as float I/Q, GQRX's ".raw"), unless the file
    // is a WAV by its first bytes.
    w->OpenInputFile(QString::fromStdString(WriteFile("gqrx.raw", std::vector<uint8_t>(4000, 1))));
    EXPECT_EQ(asked, TInputForm::Cf32);
    ASSERT_NE(w->Input(), nullptr);
    asked = TInputForm::Auto;
    w->OpenInputFile(QString::fromStdString(WriteFile("named.dat", Wav(4, std::vector<uint8_t>(400)))));
    EXPECT_EQ(asked, TInputForm::Auto);
    ASSERT_NE(w->Input(), nullptr);
    EXPECT_EQ(w->Input()->Form(), TInputForm::Wav);
    w->OpenInputFile(QString::fromStdString(raw));
    EXPECT_EQ(w->Edit("SampEdit")->text(), "1000000");
    EXPECT_EQ(w->AgcErrorEdit->text(), "0"); // the first frame's offset
    EXPECT_TRUE(w->RunButton->isEnabled());
    EXPECT_TRUE(messages.empty());
    // The window's own dialog: the form from the extension, the last rate given, both changeable.
    w->HeaderlessDialogHook = nullptr;
    QString shownForm;
    int shownRate = 0;
    QTimer::singleShot(100, w.get(), [&] {
        auto* d = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->objectName(), "HeaderlessDialog");
        auto* form = d->findChild<QComboBox*>();
        auto* rate = d->findChild<QSpinBox*>();
        ASSERT_TRUE(form && rate);
        shownForm = form->currentText();
        shownRate = rate->value();
        form->setCurrentIndex(3);
        rate->setValue(2048000);
        d->accept();
    });
    w->OpenInputFile(QString::fromStdString(WriteFile("dialog.cs8", std::vector<uint8_t>(8000))));
    EXPECT_TRUE(shownForm.startsWith("cs8")) << shownForm.toStdString();
    EXPECT_EQ(shownRate, 250000);
    ASSERT_NE(w->Input(), nullptr);
    EXPECT_EQ(w->Input()->Form(), TInputForm::Cf32);
    EXPECT_EQ(w->Input()->SampleRate(), 2048000);

    // Cancelling the output dialog closes the file (after writing what it had) and says so.
    for (int n = 0; n < 100; ++n)
        w->Output().Put(0x42);
    w->OutputDialogHook = [] { return QString(); };
    w->OutfileButton->click();
    EXPECT_EQ(w->OutFileEdit->text(), "Cannot open output file!");
    EXPECT_FALSE(w->Output().IsOpen());
    EXPECT_EQ(ReadFile(TempPath("start.raw")), std::vector<uint8_t>(100, 0x42));

    // Too wide for the model: Run with it says so and runs nothing; the precise receiver runs.
    messages.clear();
    w->RunButtonClick();
    EXPECT_FALSE(w->Running());
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].contains("2048000 Hz is above the receiver model's 500000 Hz"));
    EXPECT_EQ(w->Input()->FramesRead(), 0);
    w->ReceiverBox->setCurrentIndex(1);
    w->RunButtonClick();
    EXPECT_TRUE(w->Running());
    w->RunButtonClick();
    w->ReceiverBox->setCurrentIndex(0);
}

TEST_F(HaldrinWindowsTest, ToolWindows) {
    // A probe label selects the signal and opens the analyser with its timer.
    w->findChild<TClickLabel*>("Label93")->OnClick();
    EXPECT_EQ(w->Receiver().SelectedProbe(), pr_Imix);
    EXPECT_TRUE(w->FFTForm()->isVisible());
    EXPECT_TRUE(w->FFTForm()->FftTimer->isActive());
    EXPECT_EQ(w->FFTForm()->windowTitle(), "Spectrum Analyser");
    // Below 1024 values "Do Trace" changes nothing.
    w->FFTForm()->TraceButton->click();
    EXPECT_EQ(w->FFTForm()->Analyser().TraceCount(), 0);
    w->FFTForm()->UpDown1->SetPosition(3);
    w->FFTForm()->UpDown1->Click(-1);
    EXPECT_EQ(w->FFTForm()->Edit2->text(), "2");
    w->FFTForm()->ClearButton->click();
    EXPECT_EQ(w->FFTForm()->Picture().At(255, 4), colours::Grid);
    w->FFTForm()->CloseButton->click();
    EXPECT_FALSE(w->FFTForm()->FftTimer->isActive());
    // Closed by the window's own means, the timer stops too.
    w->findChild<TClickLabel*>("Label19")->OnClick();
    EXPECT_TRUE(w->FFTForm()->FftTimer->isActive());
    w->FFTForm()->reject();
    EXPECT_FALSE(w->FFTForm()->FftTimer->isActive());

    w->RRCButton->click();
    TRRCForm* rrc = w->RRCForm();
    EXPECT_TRUE(rrc->isVisible());
    EXPECT_EQ(rrc->windowTitle(), "RRC Filter");
    EXPECT_EQ(rrc->Memo1->toPlainText(), "Press the RUN button");
    rrc->RunButton->click();
    rrc->RunButton->click();
    const QString text = rrc->Memo1->toPlainText();
    EXPECT_EQ(text.count("h(7) = 0.7843909"), 2);
    EXPECT_EQ(text.count("sum = 512.0"), 2);

    // "Info" pauses, lists the open file from its start in the modal window (its timer fills it),
    // and OK clears it; the file position comes back and a stopped run stays stopped.
    const std::string in = WriteFile("info.wav", Wav(4, std::vector<uint8_t>(400)));
    w->OpenInputFile(QString::fromStdString(in));
    w->TrackBar1->setValue(25);
    ASSERT_EQ(w->Input()->FramesRead(), 25);
    TInfoForm* info = w->InfoForm();
    EXPECT_EQ(info->windowTitle(), "Wave File Information");
    QString listed;
    QTimer::singleShot(400, info, [&] {
        listed = info->Memo1->toPlainText();
        info->CloseButton->click();
    });
    w->WaveButton->click();
    EXPECT_TRUE(listed.startsWith("HEADER CHUNK\n   Chunk ID = RIFF")) << listed.toStdString();
    EXPECT_TRUE(listed.contains("   SampleRate = 196078Hz"));
    EXPECT_TRUE(listed.endsWith("   Chunk Size = 400"));
    EXPECT_TRUE(info->Memo1->toPlainText().isEmpty());
    EXPECT_EQ(w->Input()->FramesRead(), 25);
    EXPECT_FALSE(w->Timer1->isActive());
    // During a run the block timer resumes.
    w->RunButtonClick();
    QTimer::singleShot(400, info, [&] { info->CloseButton->click(); });
    w->WaveButton->click();
    EXPECT_TRUE(w->Timer1->isActive());
    EXPECT_EQ(w->Input()->FramesRead(), 25);
    w->RunButtonClick();

    // An input without RIFF chunks lists what it holds.
    w->HeaderlessDialogHook = [](TInputForm&, int64_t& aRate) { return aRate = 1024000, true; };
    w->OpenInputFile(QString::fromStdString(WriteFile("info.cf32", std::vector<uint8_t>(8000))));
    QTimer::singleShot(400, info, [&] {
        listed = info->Memo1->toPlainText();
        info->CloseButton->click();
    });
    w->WaveButton->click();
    EXPECT_TRUE(listed.startsWith("HEADERLESS I/Q\n   Form = headerless cf32")) << listed.toStdString();
    EXPECT_TRUE(listed.contains("   SampleRate = 1024000Hz\n"));
    EXPECT_TRUE(listed.contains("   Frames = 1000\n"));
}

} // namespace
