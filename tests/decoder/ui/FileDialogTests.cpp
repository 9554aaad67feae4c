// The session dialog's filters in the toolkit's file dialog: patterns with blanks, folders kept,
// and the operator's change of entry.
#include "ui/FileDialogs.h"
#include "ui/MainUnit.h"

#include "UiTestSupport.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QSortFilterProxyModel>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

// The names the dialog lists in aFolder, folders marked with a trailing slash; waits for the
// file system model, which loads in the background.
QStringList Listed(QFileDialog& aDialog, const QString& aFolder, int aExpected) {
    auto* files = aDialog.findChild<QFileSystemModel*>();
    auto* proxy = qobject_cast<QSortFilterProxyModel*>(aDialog.proxyModel());
    if (!files || !proxy) return {"no model"};
    QStringList names;
    QElapsedTimer waited;
    waited.start();
    do {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        names.clear();
        const QModelIndex folder = proxy->mapFromSource(files->index(aFolder));
        for (int row = 0; row < proxy->rowCount(folder); ++row) {
            const QModelIndex index = proxy->index(row, 0, folder);
            if (!(proxy->flags(index) & Qt::ItemIsEnabled)) continue; // shown greyed out: not choosable
            const QModelIndex source = proxy->mapToSource(index);
            names << files->fileName(source) + (files->isDir(source) ? "/" : "");
        }
    } while (names.size() != aExpected && waited.elapsed() < 5000);
    names.sort();
    return names;
}

} // namespace

TEST(FileDialog, SessionEntriesFilterByTheirPatternLists) {
    TestApplication();
    const fs::path dir = TestFolder("dialog");
    fs::create_directories(dir / "sub");
    for (const char* name : {"a_LRPT INT_1.s", "b_LRPT_2.hard", "c.raw", "d.txt", "e_LRPT_3.s.vcdu"})
        std::ofstream(dir / name) << "x";
    const QString folder = QString::fromStdString(dir.string());

    QFileDialog dialog;
    dialog.setDirectory(folder);
    SetUpFileFilters(dialog, ParseFilter(TMetM2_LRPT_CORVANE::SessionFilter), 1);
    // The descriptions as written, blanks included, the second one chosen.
    auto* combo = dialog.findChild<QComboBox*>("fileTypeCombo");
    ASSERT_NE(combo, nullptr);
    QStringList shown;
    for (int i = 0; i < combo->count(); ++i)
        shown << combo->itemText(i);
    EXPECT_EQ(shown, QStringList({"80K  (*_LRPT INT_*.*)", "72k  (*_LRPT_*.*)", "all    (*.*)"}));
    EXPECT_EQ(SelectedFileFilter(dialog), 1);
    EXPECT_EQ(Listed(dialog, folder, 2), QStringList({"b_LRPT_2.hard", "sub/"}));

    // The operator picks the first entry, then the last, in the dialog's list.
    for (const auto& [entry, expected] :
         {std::pair{0, QStringList({"a_LRPT INT_1.s", "sub/"})},
          std::pair{2, QStringList({"a_LRPT INT_1.s", "b_LRPT_2.hard", "c.raw", "sub/"})}}) {
        combo->setCurrentIndex(entry);
        emit combo->activated(entry);
        emit combo->textActivated(combo->itemText(entry));
        EXPECT_EQ(Listed(dialog, folder, static_cast<int>(expected.size())), expected) << entry;
        EXPECT_EQ(SelectedFileFilter(dialog), entry);
    }
    fs::remove_all(dir);
}
