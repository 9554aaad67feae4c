// Sessions on generated recordings driven through the window's handlers, with the file dialogs
// and message boxes replaced by hooks.
#include "ui/MainUnit.h"

#include "stages/StageLog.h"

#include "TestLog.h"

#include "Synthesizer.h"
#include "UiTestSupport.h"

#include <QImage>
#include <QScreen>
#include <QStandardItemModel>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

namespace fs = std::filesystem;

namespace {

std::string ReadFile(const std::string& aPath) {
    std::ifstream in(aPath, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

class WindowSession : public ::testing::Test {
  protected:
    void SetUp() override {
        TestApplication();
        fDir = TestFolder(::testing::UnitTest::GetInstance()->current_test_info()->name());
        fWindow = std::make_unique<TMetM2_LRPT_CORVANE>();
        fWindow->show();
        fWindow->ShowMessage = [this](const QString& aText, bool aError) {
            fMessages.emplace_back(aText, aError);
            fStatesAtMessages.push_back(fWindow->State());
        };
        fWindow->OpenDialog1->ExecuteHook = [this](TOpenDialog& aDialog) {
            fFilterIndices.push_back(aDialog.FilterIndex);
            if (fNextFile.empty()) return false;
            aDialog.FileName = QString::fromStdString(fNextFile);
            return true;
        };
        // Records every state the window passes through, also inside the driver's loops.
        QObject::connect(&fWatch, &QTimer::timeout, [this] { Note(); });
        fWatch.start(1);
        Note();
    }
    void TearDown() override {
        fWatch.stop();
        fWindow.reset();
        fs::remove_all(fDir);
    }

    void Note() {
        if (fStates.empty() || fStates.back() != fWindow->State()) fStates.push_back(fWindow->State());
    }

    lrptsynth::Recording Make(double aSeconds, lrptsynth::OutputForm aForm = lrptsynth::OutputForm::Soft8,
                              lrptsynth::Mode aMode = lrptsynth::Mode::k72) {
        lrptsynth::SynthOptions o;
        o.mode = aMode;
        o.durationSeconds = aSeconds;
        o.channels = {1, 2, 3, 4, 5, 6};
        o.form = aForm;
        return lrptsynth::synthesize(o);
    }
    std::string Save(const lrptsynth::Recording& aRecording, const std::string& aName) {
        const std::string path = (fDir / aName).string();
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(aRecording.bytes.data()),
                  static_cast<std::streamsize>(aRecording.bytes.size()));
        return path;
    }

    // The idle state: mode buttons and check box usable, Stop not, plain caption.
    void ExpectIdle() {
        EXPECT_EQ(fWindow->State(), TMetM2_LRPT_CORVANE::ssIdle);
        EXPECT_TRUE(fWindow->Button72K->isEnabled());
        EXPECT_TRUE(fWindow->Button80K->isEnabled());
        EXPECT_TRUE(fWindow->IgnorRsFatalErrors->isEnabled());
        EXPECT_TRUE(fWindow->Nrzm->isEnabled());
        EXPECT_FALSE(fWindow->ButtonSTOP->isEnabled());
        EXPECT_EQ(fWindow->windowTitle(), QString("Meteor-M №2 LRPT Corvane"));
    }
    // The ended state: all four controls disabled, the caption naming the file.
    void ExpectEnded(const std::string& aPath) {
        EXPECT_EQ(fWindow->State(), TMetM2_LRPT_CORVANE::ssEnded);
        EXPECT_FALSE(fWindow->Button72K->isEnabled());
        EXPECT_FALSE(fWindow->Button80K->isEnabled());
        EXPECT_FALSE(fWindow->IgnorRsFatalErrors->isEnabled());
        EXPECT_FALSE(fWindow->Nrzm->isEnabled());
        EXPECT_FALSE(fWindow->ButtonSTOP->isEnabled());
        EXPECT_EQ(fWindow->windowTitle(), QString::fromStdString("Meteor-M №2 LRPT Corvane: " + aPath));
    }

    fs::path fDir;
    std::unique_ptr<TMetM2_LRPT_CORVANE> fWindow;
    std::vector<std::pair<QString, bool>> fMessages;
    std::vector<TMetM2_LRPT_CORVANE::TSessionState> fStatesAtMessages;
    std::vector<int> fFilterIndices;
    std::string fNextFile;
    std::vector<TMetM2_LRPT_CORVANE::TSessionState> fStates;
    QTimer fWatch;
};

} // namespace

TEST_F(WindowSession, A72kSessionFromChoiceToCompositeAndConversion) {
    const auto r = Make(10);
    const std::string path = Save(r, "pass_LRPT_.s");

    // Cancelling the dialog changes nothing.
    fWindow->Button72KClick();
    EXPECT_EQ(fFilterIndices, std::vector<int>({2}));
    ExpectIdle();
    EXPECT_EQ(fWindow->Session(), nullptr);

    fNextFile = path;
    fWindow->Button72KClick();
    Note();
    ASSERT_TRUE(fMessages.empty()) << fMessages[0].first.toStdString();
    ExpectEnded(path);
    // The states in order; the drain of a short pass may pass between two looks. That it ran
    // shows in the complete pictures below.
    std::vector<TMetM2_LRPT_CORVANE::TSessionState> seen = fStates;
    std::erase(seen, TMetM2_LRPT_CORVANE::ssDraining);
    EXPECT_EQ(seen, std::vector<TMetM2_LRPT_CORVANE::TSessionState>({TMetM2_LRPT_CORVANE::ssIdle,
                                                                     TMetM2_LRPT_CORVANE::ssFeeding,
                                                                     TMetM2_LRPT_CORVANE::ssEnded}));
    EXPECT_LE(std::count(fStates.begin(), fStates.end(), TMetM2_LRPT_CORVANE::ssDraining), 1);
    EXPECT_EQ(fWindow->DemMode(), dm_8BitSoft);
    EXPECT_EQ(fWindow->Session()->Totals().FileBytesRead, static_cast<int64_t>(r.bytes.size()));
    EXPECT_EQ(fWindow->Session()->Totals().FailedWords, 0u);
    EXPECT_EQ(fWindow->ProgressBar1->maximum(), static_cast<int>(r.bytes.size()));
    EXPECT_EQ(fWindow->ProgressBar2->value(), 0);
    // A clean pass of amplitude 70: every 50th pair of each 5,000-pair block went to the ring, and
    // all of them lie on the four corners (+-70 + 128); nothing else is black.
    int64_t points = 0;
    for (int64_t left = static_cast<int64_t>(r.bytes.size()); left > 0; left -= 10000)
        points += std::min<int64_t>(left, 10000) / 2 / 50;
    EXPECT_EQ(fWindow->Constallation().Index(), points % TConstallation::RingSize);
    for (int i = 0; i < TConstallation::RingSize; ++i) {
        const auto& slot = fWindow->Constallation().Slot(i);
        ASSERT_TRUE((slot.X == 58 || slot.X == 198) && (slot.Y == 58 || slot.Y == 198)) << i;
    }
    const QImage& cloud = fWindow->PaintBox1->Surface();
    int blackCorners = 0, blackElsewhere = 0;
    for (int y = 0; y < 256; ++y)
        for (int x = 0; x < 256; ++x)
            if (cloud.pixel(x, y) == qRgb(0, 0, 0))
                ((x == 58 || x == 198) && (y == 58 || y == 198) ? blackCorners : blackElsewhere)++;
    EXPECT_GT(blackCorners, 0);
    EXPECT_EQ(blackElsewhere, 0);

    // The timer's progress call shows every channel and puts the latest scan time in its caption.
    fWindow->Timer1Timer();
    const char* prefixes[] = {"0.5-0.7", "0.7-0.11", "1.6-1.8", "3.5 - 4.1", "10.5 - 11.5", "11.5 - 12.5"};
    for (int n = 1; n <= 6; ++n) {
        SCOPED_TRACE(n);
        uint32_t latest = 0;
        for (const auto& p : r.packets)
            if (p.channel == n) latest = std::max(latest, p.timeMs);
        EXPECT_FALSE(fWindow->Image[static_cast<size_t>(n - 1)]->isHidden());
        // The picture fills its image in one direction with its proportions kept.
        const TChannelImage& image = *fWindow->Image[static_cast<size_t>(n - 1)];
        ASSERT_FALSE(image.Scaled().isNull());
        EXPECT_NEAR(static_cast<double>(image.Scaled().width()) / image.Scaled().height(), 1636.0 / 6000,
                    0.01);
        EXPECT_TRUE(image.Scaled().width() == image.width() || image.Scaled().height() == image.height());
        EXPECT_GT(image.width(), 150);
        EXPECT_EQ(fWindow->GroupBox[static_cast<size_t>(n - 1)]->title().toStdString(),
                  std::string(prefixes[n - 1]) + " (" + FormatTimeOfDay(latest / 86400000.0) + ")");
        // The stage was only asked to terminate: its picture is still read under its lock.
        std::lock_guard<TCriticalSection> lock(fWindow->Chain().Channel(n - 1)->CS());
        const TBitmap24& picture = fWindow->Image[static_cast<size_t>(n - 1)]->Picture();
        const uint8_t grey = r.truth[static_cast<size_t>(n - 1)].at(100, 20);
        EXPECT_EQ(picture.Pixel(100, 20), (TPixel24{grey, grey, grey}));
    }

    // One session per program run.
    fWindow->Button72KClick();
    fWindow->Button80KClick();
    EXPECT_EQ(fFilterIndices.size(), 2u);

    // The composite of the default choices: channel 1 as the first byte, 2 and 3 after it.
    fWindow->Button3Click();
    EXPECT_TRUE(fWindow->RGBForm->isVisible());
    const QImage& shown = fWindow->RGBForm->ImageRGB->Scaled();
    ASSERT_FALSE(shown.isNull());
    EXPECT_NEAR(shown.height(), shown.width() * 8.0 * r.scans / 1568, 1.0);
    // The window is sized to the composite within the screen: the picture fills its width.
    EXPECT_TRUE(fWindow->RGBForm->screen()->availableGeometry().contains(fWindow->RGBForm->geometry()));
    EXPECT_NEAR(shown.width(), fWindow->RGBForm->ImageRGB->width(), 1);
    EXPECT_EQ(fWindow->RGBForm->FileName, path);
    const int rows = 8 * r.scans;
    const TBitmap24& composite = fWindow->RGBForm->Composite();
    ASSERT_EQ(composite.Height(), rows);
    for (const auto& [x, y] : {std::pair{0, 0}, std::pair{777, rows / 2}, std::pair{1567, rows - 1}}) {
        const TPixel24 p = composite.Pixel(x, y);
        EXPECT_EQ(p.Blue, r.truth[0].at(x, y));
        EXPECT_EQ(p.Green, r.truth[1].at(x, y));
        EXPECT_EQ(p.Red, r.truth[2].at(x, y));
    }
    const std::vector<std::string> lines = {"10:00:00.000", FormatTimeOfDay(rows * 1.23114 / 691200),
                                            "0.1538925"};
    EXPECT_EQ(fWindow->StatForm->Lines(), lines);
    fWindow->RGBForm->S1Click();
    EXPECT_TRUE(fWindow->StatForm->isVisible());

    fWindow->RGBForm->Save1Click();
    EXPECT_EQ(ReadFile(path + ".bmp.stat"), lines[0] + "\r\n" + lines[1] + "\r\n" + lines[2] + "\r\n");
    const std::string bmp = ReadFile(path + ".bmp");
    ASSERT_EQ(bmp.size(), 54u + 1568u * 3 * static_cast<size_t>(rows));
    int32_t width = 0, height = 0;
    std::memcpy(&width, bmp.data() + 18, 4);
    std::memcpy(&height, bmp.data() + 22, 4);
    EXPECT_EQ(width, 1568);
    EXPECT_EQ(height, rows);
    // Bottom-up rows: the file's last row is the composite's first.
    const size_t top = 54 + 1568u * 3 * static_cast<size_t>(rows - 1);
    EXPECT_EQ(static_cast<uint8_t>(bmp[top]), composite.Pixel(0, 0).Blue);
    EXPECT_EQ(static_cast<uint8_t>(bmp[top + 2]), composite.Pixel(0, 0).Red);

    // "Convert Soft to Hard" on the same recording: one bit per soft value, positive is 1.
    fWindow->OpenDialog2->ExecuteHook = [&](TOpenDialog& aDialog) {
        aDialog.FileName = QString::fromStdString(path);
        return true;
    };
    fWindow->Button1Click();
    const std::string hard = ReadFile(path + ".hard");
    ASSERT_EQ(hard.size(), r.bytes.size() / 8);
    for (size_t i : {size_t{0}, hard.size() / 2, hard.size() - 1}) {
        uint8_t expected = 0;
        for (size_t j = 0; j < 8; ++j)
            expected = static_cast<uint8_t>(expected << 1 | (static_cast<int8_t>(r.bytes[8 * i + j]) > 0));
        EXPECT_EQ(static_cast<uint8_t>(hard[i]), expected) << i;
    }
    EXPECT_TRUE(fMessages.empty());
}

TEST_F(WindowSession, ProductsAndRectificationInTheRgbWindow) {
    lrptsynth::SynthOptions o;
    o.durationSeconds = 6;
    o.channels = {1, 2, 5};
    const auto r = lrptsynth::synthesize(o);
    fNextFile = Save(r, "pass_LRPT_.s");
    fWindow->Button72KClick();
    fWindow->Button3Click();
    TRGBForm& form = *fWindow->RGBForm;
    EXPECT_EQ(&form.Shown(), &form.Composite());
    EXPECT_TRUE(form.ShownPngName().empty());
    // Without channel 3 there is no natural colour; 221 and the infrared product are offered.
    auto* model = qobject_cast<QStandardItemModel*>(form.ProductBox->model());
    ASSERT_NE(model, nullptr);
    EXPECT_FALSE(model->item(1)->isEnabled());
    EXPECT_TRUE(model->item(2)->isEnabled());
    EXPECT_TRUE(model->item(3)->isEnabled());

    const int rows = 8 * r.scans;
    form.ProductBox->setCurrentIndex(2); // 221
    ASSERT_EQ(form.Shown().Height(), rows);
    for (const auto& [x, y] : {std::pair{5, 3}, std::pair{784, rows / 2}, std::pair{1567, rows - 1}}) {
        const uint8_t one = r.truth[0].at(x, y), two = r.truth[1].at(x, y);
        EXPECT_EQ(form.Shown().Pixel(x, y), (TPixel24{one, two, two}));
    }
    const TBitmap24 day = form.Shown();
    form.Rectified->setChecked(true);
    ASSERT_EQ(form.Shown().Width(), 2844);
    ASSERT_EQ(form.Shown().Height(), rows);
    EXPECT_EQ(form.Shown().Pixel(1422, 9), day.Pixel(784, 9)); // nadir stays
    EXPECT_EQ(form.ShownPngName(), fNextFile + ".rgb221.rect.png");

    form.ProductBox->setCurrentIndex(3); // infrared from channel 5, still rectified
    ASSERT_EQ(form.Shown().Width(), 2844);
    EXPECT_EQ(form.Shown().Pixel(1422, 20), InfraRedColour(r.truth[4].at(784, 20)));
    form.Save1Click();
    EXPECT_TRUE(fMessages.empty());
    const QImage saved(QString::fromStdString(fNextFile + ".ir.rect.png"));
    EXPECT_EQ(saved.width(), 2844);
    EXPECT_EQ(saved.height(), rows);
    EXPECT_TRUE(fs::exists(fNextFile + ".bmp")); // the composite is saved as before

    form.SetRectified(false);
    form.SetProduct(0);
    EXPECT_FALSE(form.Rectified->isChecked());
    EXPECT_EQ(form.ProductBox->currentIndex(), 0);
    EXPECT_EQ(&form.Shown(), &form.Composite());
}

TEST_F(WindowSession, StopDuringFeedingEndsWithoutDraining) {
    const auto r = Make(10);
    fNextFile = Save(r, "pass_LRPT_.s");
    // Runs inside the first pending-event pass of the feeding loop.
    QTimer::singleShot(0, [this] { fWindow->ButtonSTOPClick(); });
    fWindow->Button72KClick();
    ExpectEnded(fNextFile);
    EXPECT_TRUE(fWindow->UserStop());
    EXPECT_EQ(fWindow->Session()->Totals().FileBytesRead, 10000);
    // The drawing stages stay for the composite.
    for (int i = 0; i < 6; ++i)
        EXPECT_NE(fWindow->Chain().Channel(i), nullptr);
    EXPECT_EQ(fWindow->Chain().SYNC, nullptr);
}

TEST_F(WindowSession, FilesThatCannotBeOpenedOrCreatedLeaveTheWindowIdle) {
    const auto r = Make(3, lrptsynth::OutputForm::Hard);
    const std::string path = Save(r, "pass_LRPT_.hard");

    fNextFile = (fDir / "missing_LRPT_.s").string();
    fWindow->Button80KClick();
    ASSERT_EQ(fMessages.size(), 1u);
    EXPECT_TRUE(fMessages[0].second);
    EXPECT_NE(fMessages[0].first.toStdString().find(fNextFile), std::string::npos)
        << fMessages[0].first.toStdString();
    ExpectIdle();
    EXPECT_EQ(fWindow->Chain().Channel(0), nullptr); // nothing was built
    EXPECT_EQ(fFilterIndices, std::vector<int>({1}));

    // A chain file that cannot be created: a folder stands where the ".vcdu" file goes.
    fs::create_directory(path + ".vcdu");
    fNextFile = path;
    fWindow->Button72KClick();
    ASSERT_EQ(fMessages.size(), 2u);
    EXPECT_NE(fMessages[1].first.toStdString().find(path + ".vcdu"), std::string::npos);
    ExpectIdle();
    // The box comes up with the window already back to idle.
    EXPECT_EQ(fStatesAtMessages,
              std::vector<TMetM2_LRPT_CORVANE::TSessionState>(2, TMetM2_LRPT_CORVANE::ssIdle));
    EXPECT_EQ(fWindow->Chain().SYNC, nullptr);

    // The operator can go on with the same file once the way is clear: the hard-decision form
    // draws no cloud but writes its note at each progress display.
    fs::remove(path + ".vcdu");
    fWindow->Button72KClick();
    ASSERT_EQ(fMessages.size(), 2u) << fMessages.back().first.toStdString();
    ExpectEnded(path);
    EXPECT_EQ(fWindow->DemMode(), dm_Hard);
    EXPECT_EQ(fWindow->Constallation().Index(), 0);
    EXPECT_GT(fWindow->Chain().Channel(0)->LineCount(), 0);
    const QImage& box = fWindow->PaintBox1->Surface();
    int ink = 0;
    for (int y = 100; y < 120; ++y)
        for (int x = 100; x < 160; ++x)
            ink += qGray(box.pixel(x, y)) < 128;
    EXPECT_GT(ink, 20);
}

TEST_F(WindowSession, An80kSessionOfTheThreeBitForm) {
    const auto r = Make(5, lrptsynth::OutputForm::Soft3, lrptsynth::Mode::k80);
    fNextFile = Save(r, "pass_LRPT INT_.raw");
    // "Generate RGB" inside the feeding loop, before any strip was drawn: an empty composite.
    bool composedWhileFeeding = false;
    QTimer::singleShot(0, [&] {
        composedWhileFeeding = fWindow->State() == TMetM2_LRPT_CORVANE::ssFeeding;
        fWindow->Button3Click();
    });
    fWindow->Button80KClick();
    EXPECT_TRUE(composedWhileFeeding);
    EXPECT_TRUE(fWindow->RGBForm->isVisible());
    EXPECT_EQ(fWindow->RGBForm->Composite().Height(), 0);
    EXPECT_EQ(fWindow->StatForm->Lines(),
              std::vector<std::string>({"00:00:00.000", "00:00:00.000", "0.1538925"}));
    ASSERT_TRUE(fMessages.empty()) << fMessages[0].first.toStdString();
    EXPECT_EQ(fFilterIndices, std::vector<int>({1}));
    ExpectEnded(fNextFile);
    EXPECT_EQ(fWindow->DemMode(), dm_3BitSoft);
    EXPECT_EQ(fWindow->Session()->Totals().FileBytesRead, static_cast<int64_t>(r.bytes.size()));
    EXPECT_EQ(fWindow->ProgressBar2->maximum(), 10000000);
    EXPECT_GT(fWindow->Constallation().Index(), 0);
    EXPECT_TRUE(fs::exists(fNextFile + ".SyncBeforInt.log"));
    EXPECT_FALSE(fs::exists(fNextFile + ".70"));
}

TEST_F(WindowSession, TheNrzmBoxDecodesADifferentiallyEncodedPass) {
    lrptsynth::SynthOptions o;
    o.durationSeconds = 5;
    o.nrzm = true;
    const auto r = lrptsynth::synthesize(o);
    fNextFile = Save(r, "n23_LRPT_.s");
    fWindow->Nrzm->setChecked(true);
    bool disabledWhileFeeding = false;
    QTimer::singleShot(0, [&] { disabledWhileFeeding = !fWindow->Nrzm->isEnabled(); });
    fWindow->Button72KClick();
    ASSERT_TRUE(fMessages.empty()) << fMessages[0].first.toStdString();
    EXPECT_TRUE(disabledWhileFeeding);
    ExpectEnded(fNextFile);
    EXPECT_EQ(fWindow->Session()->Totals().FailedWords, 0u);
    const auto delivered64 =
        std::count_if(r.packets.begin(), r.packets.end(),
                      [](const lrptsynth::PacketRecord& p) { return p.apid == 64 && p.delivered; });
    EXPECT_GT(delivered64, 0);
    EXPECT_EQ(fWindow->Session()->Totals().Packets[0], static_cast<uint32_t>(delivered64));
    const auto log = LogMessages(fNextFile + ".SyncBeforeViterbi.log");
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log[0], "marker 1ACFFC1D NRZ-M");
}

TEST_F(WindowSession, ClosingTheWindowStopsTheSessionAndConversionErrorsAreShown) {
    const auto r = Make(10);
    fNextFile = Save(r, "pass_LRPT_.s");
    QTimer::singleShot(0, [this] { fWindow->close(); });
    fWindow->Button72KClick();
    ExpectEnded(fNextFile);
    EXPECT_TRUE(fWindow->UserStop());
    EXPECT_LT(fWindow->Session()->Totals().FileBytesRead, static_cast<int64_t>(r.bytes.size()));

    const std::string missing = (fDir / "missing.s").string();
    fWindow->OpenDialog2->ExecuteHook = [&](TOpenDialog& aDialog) {
        aDialog.FileName = QString::fromStdString(missing);
        return true;
    };
    fWindow->Button1Click();
    ASSERT_EQ(fMessages.size(), 1u);
    EXPECT_TRUE(fMessages[0].second);
    EXPECT_NE(fMessages[0].first.toStdString().find(missing), std::string::npos);
    EXPECT_FALSE(fs::exists(missing + ".hard"));
}

TEST_F(WindowSession, AFileWithoutFramesIsToldToTheOperator) {
    fNextFile = (fDir / "notes_LRPT_.s").string();
    std::ofstream(fNextFile) << std::string(120000, 'x');
    fWindow->Button72KClick();
    ExpectEnded(fNextFile);
    ASSERT_EQ(fMessages.size(), 1u);
    EXPECT_FALSE(fMessages[0].second);
    EXPECT_NE(fMessages[0].first.toStdString().find("No transfer frame was found"), std::string::npos)
        << fMessages[0].first.toStdString();
}

TEST_F(WindowSession, AFolderIsRefusedByName) {
    fNextFile = (fDir / "a folder_LRPT_.s").string();
    fs::create_directories(fNextFile);
    fWindow->Button72KClick();
    ASSERT_EQ(fMessages.size(), 1u);
    EXPECT_TRUE(fMessages[0].second);
    EXPECT_NE(fMessages[0].first.toStdString().find("folder"), std::string::npos)
        << fMessages[0].first.toStdString();
    ExpectIdle();
}
