// The windows as the operator first sees them: every control by name with its caption, hint and
// initial state, the dialogs' filters, and the composite windows.
#include "ui/MainUnit.h"

#include "UiTestSupport.h"

#include <QAbstractButton>
#include <QLabel>

#include <gtest/gtest.h>

#include <filesystem>

namespace {

QString TextOf(QWidget* aWidget) {
    if (auto* button = qobject_cast<QAbstractButton*>(aWidget)) return button->text();
    if (auto* label = qobject_cast<QLabel*>(aWidget)) return label->text();
    if (auto* box = qobject_cast<QGroupBox*>(aWidget)) return box->title();
    return {};
}

} // namespace

TEST(Controls, MainWindowAsCreated) {
    TestApplication();
    TMetM2_LRPT_CORVANE window;
    EXPECT_EQ(window.windowTitle(), QString("Meteor-M №2 LRPT Corvane"));
    EXPECT_EQ(window.State(), TMetM2_LRPT_CORVANE::ssIdle);
    // Client area 1268 x 658 inside a border of 10.
    EXPECT_EQ(window.minimumSize(), QSize(1288, 678));
    EXPECT_EQ(window.maximumSize(), QSize(1288, 678));

    struct TRow {
        const char* Name;
        const char* Text; // caption; null: the control has none
        const char* Hint; // tool tip
        bool Enabled;
        bool Hidden;
    };
    const TRow rows[] = {
        {"Panel2", nullptr, "", true, false},
        {"PaintBox1", nullptr, "", true, false},
        {"ProgressBar1", nullptr, "File read position", true, false},
        {"ProgressBar2", nullptr, "Buffer using", true, false},
        {"Button80K", "80K", "", true, false},
        {"Button72K", "72K", "", true, false},
        {"ButtonSTOP", "Stop", "", false, false},
        {"IgnorRsFatalErrors", "Ignore RS fatal errors ", "", true, false},
        {"Nrzm", "NRZ-M", "", true, false},
        {"Button1", "Convert Soft to Hard", "", true, false},
        {"Label1", "R:", "", true, false},
        {"Label2", "G:", "", true, false},
        {"Label3", "B:", "", true, false},
        {"Button3", "Generate RGB", "", true, false},
        {"Label4", "ver. 2014.09.01.0006", "", true, false},
        {"Panel1", nullptr, "", true, false},
        {"GroupBox1", "0.5-0.7", "", true, false},
        {"GroupBox2", "0.7-0.11", "", true, false},
        {"GroupBox3", "1.6-1.8", "", true, false},
        {"GroupBox4", "3.5 - 4.1", "", true, false},
        {"GroupBox5", "10.5 - 11.5", "", true, false},
        {"GroupBox6", "11.5 - 12.5", "", true, false},
        {"Image1", nullptr, "", true, true},
        {"Image2", nullptr, "", true, true},
        {"Image3", nullptr, "", true, true},
        {"Image4", nullptr, "", true, true},
        {"Image5", nullptr, "", true, true},
        {"Image6", nullptr, "", true, true},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Name);
        auto* control = window.findChild<QWidget*>(row.Name);
        ASSERT_NE(control, nullptr);
        if (row.Text) {
            EXPECT_EQ(TextOf(control), QString(row.Text));
        }
        EXPECT_EQ(control->toolTip(), QString(row.Hint));
        EXPECT_EQ(control->isEnabled(), row.Enabled);
        EXPECT_EQ(control->isHidden(), row.Hidden);
    }
    EXPECT_FALSE(window.IgnorRsFatalErrors->isChecked());
    EXPECT_FALSE(window.Nrzm->isChecked());
    // The two boxes share a row, side by side within the panel.
    EXPECT_EQ(window.Nrzm->y(), window.IgnorRsFatalErrors->y());
    EXPECT_GE(window.Nrzm->x(), window.IgnorRsFatalErrors->geometry().right());
    EXPECT_LE(window.Nrzm->geometry().right(), window.Panel2->width());
    EXPECT_EQ(window.PaintBox1->size(), QSize(256, 256));
    EXPECT_EQ(window.PaintBox1->parentWidget(), window.Panel2);
    EXPECT_EQ(window.Panel2->width(), 258);
    EXPECT_TRUE(window.ProgressBar1->parentWidget() == window.Panel2 &&
                window.Button3->parentWidget() == window.Panel2);
    // Six group boxes side by side over the full height, each with its image inside.
    for (int n = 0; n < 6; ++n) {
        SCOPED_TRACE(n);
        EXPECT_EQ(window.GroupBox[static_cast<size_t>(n)]->parentWidget(), window.Panel1);
        EXPECT_EQ(window.GroupBox[static_cast<size_t>(n)]->geometry(), QRect(168 * n, 0, 168, 658));
        EXPECT_EQ(window.Image[static_cast<size_t>(n)]->parentWidget(),
                  window.GroupBox[static_cast<size_t>(n)]);
    }
    EXPECT_GE(window.Panel1->x(), window.Panel2->x() + window.Panel2->width());

    // The composite choices: same items in the three lists, first, second and third chosen.
    const QStringList items = {"0.5 - 0.7", "0.7 - 1.1",   "1.6 - 1.8",
                               "3.5 - 4.1", "10.5 - 11.5", "11.5 - 12.5"};
    QComboBox* boxes[] = {window.RBox, window.GBox, window.BBox};
    const char* names[] = {"RBox", "GBox", "BBox"};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(names[i]);
        EXPECT_EQ(boxes[i]->objectName(), QString(names[i]));
        EXPECT_FALSE(boxes[i]->isEditable());
        QStringList actual;
        for (int k = 0; k < boxes[i]->count(); ++k)
            actual << boxes[i]->itemText(k);
        EXPECT_EQ(actual, items);
        EXPECT_EQ(boxes[i]->currentIndex(), i);
    }

    EXPECT_EQ(window.OpenDialog1->objectName(), QString("OpenDialog1"));
    EXPECT_EQ(window.OpenDialog1->Filter,
              QString("80K  (*_LRPT INT_*.*)|*_LRPT INT_*.s;*_LRPT INT_*.hard;*_LRPT INT_*.raw|72k  "
                      "(*_LRPT_*.*)|*_LRPT_*.s;*_LRPT_*.hard;*_LRPT_*.raw|all    (*.*)|*.s;*.hard;*.raw"));
    EXPECT_EQ(window.OpenDialog2->Filter, QString("Soft Disition|*.s"));
    EXPECT_EQ(window.Timer1->interval(), 3000);
    EXPECT_TRUE(window.Timer1->isActive());

    // The composite and statistics windows exist from the start and are shown on demand.
    EXPECT_EQ(window.RGBForm->windowTitle(), QString("RGB"));
    EXPECT_FALSE(window.RGBForm->isVisible());
    EXPECT_EQ(window.RGBForm->Save1->text(), QString("Save"));
    EXPECT_EQ(window.RGBForm->S1->text(), QString("Statistic"));
    EXPECT_EQ(window.RGBForm->Composite().Width(), 1568);
    EXPECT_EQ(window.RGBForm->Composite().Height(), 4800);
    EXPECT_TRUE(window.RGBForm->FileName.empty());
    EXPECT_EQ(window.StatForm->windowTitle(), QString("Statistic"));
    EXPECT_EQ(window.StatForm->StatMemo->objectName(), QString("StatMemo"));
    EXPECT_FALSE(window.StatForm->isVisible());
}

TEST(Controls, SessionFilterKeepsBlanksInsidePatterns) {
    const auto entries = ParseFilter(TMetM2_LRPT_CORVANE::SessionFilter);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].Description, QString("80K  (*_LRPT INT_*.*)"));
    EXPECT_EQ(entries[0].Patterns, QStringList({"*_LRPT INT_*.s", "*_LRPT INT_*.hard", "*_LRPT INT_*.raw"}));
    EXPECT_EQ(entries[1].Description, QString("72k  (*_LRPT_*.*)"));
    EXPECT_EQ(entries[2].Description, QString("all    (*.*)"));
    EXPECT_EQ(entries[2].Patterns, QStringList({"*.s", "*.hard", "*.raw"}));
    EXPECT_TRUE(MatchesPattern("2014_LRPT INT_1.raw", entries[0].Patterns[2]));
    EXPECT_FALSE(MatchesPattern("2014_LRPT_1.raw", entries[0].Patterns[2]));
    EXPECT_TRUE(MatchesPattern("2014_LRPT_1.S", entries[1].Patterns[0]));
    EXPECT_FALSE(MatchesPattern("2014_LRPT_1.s.vcdu", entries[1].Patterns[0]));
    EXPECT_EQ(ParseFilter("Soft Disition|*.s|dangling").size(), 1u);
}

TEST(Controls, GenerateRGBBeforeAnySessionOnlySaysSo) {
    TestApplication();
    TMetM2_LRPT_CORVANE window;
    std::vector<std::pair<QString, bool>> messages;
    window.ShowMessage = [&](const QString& aText, bool aError) { messages.emplace_back(aText, aError); };
    window.Button3Click();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].first, QString(TMetM2_LRPT_CORVANE::NoSessionMessage));
    EXPECT_FALSE(messages[0].second);
    EXPECT_FALSE(window.RGBForm->isVisible());
    EXPECT_FALSE(window.RGBForm->Statistics().has_value());
    EXPECT_EQ(window.RGBForm->Composite().Height(), 4800);
    EXPECT_TRUE(window.StatForm->Lines().empty());
    EXPECT_EQ(window.State(), TMetM2_LRPT_CORVANE::ssIdle);
}

TEST(Controls, SaveBeforeAnyCompositeWritesTheBlankOneUnderAnEmptyName) {
    TestApplication();
    namespace fs = std::filesystem;
    const fs::path dir = TestFolder("blank_save");
    const fs::path before = fs::current_path();
    fs::current_path(dir);
    {
        TMetM2_LRPT_CORVANE window;
        std::vector<QString> errors;
        window.ShowMessage = [&](const QString& aText, bool) { errors.push_back(aText); };
        window.RGBForm->Save1Click();
        EXPECT_TRUE(errors.empty());
        // A file that cannot be created goes to the message box.
        window.RGBForm->FileName = (dir / "no such folder" / "x.s").string();
        window.RGBForm->Save1Click();
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_NE(errors[0].toStdString().find(window.RGBForm->FileName + ".bmp"), std::string::npos);
    }
    fs::current_path(before);
    EXPECT_EQ(fs::file_size(dir / ".bmp"), 54u + 1568u * 3 * 4800);
    EXPECT_EQ(fs::file_size(dir / ".bmp.stat"), 0u);
    fs::remove_all(dir);
}

// The RGB window takes the composite's proportions within the screen: a short pass is not shown
// in a tall empty window, a long one is scaled down to the screen's height, and nothing is scaled
// up.
TEST(Controls, RGBWindowFitsTheComposite) {
    const QSize screen(1358, 732);
    const int menu = 20;
    EXPECT_EQ(FitToPicture({1568, 400}, screen, menu), QSize(1358, 346 + menu));
    EXPECT_EQ(FitToPicture({1568, 6000}, screen, menu), QSize(240, 712 + menu)); // menu stays usable
    EXPECT_EQ(FitToPicture({1568, 1568}, screen, menu), QSize(712, 712 + menu));
    EXPECT_EQ(FitToPicture({1568, 300}, {1920, 1080}, menu), QSize(1568, 300 + menu));
    EXPECT_EQ(FitToPicture({1568, 0}, screen, menu), QSize(240, 160 + menu));
    EXPECT_EQ(FitToPicture({1568, 40}, {100, 100}, menu), QSize(240, 160 + menu));
}
