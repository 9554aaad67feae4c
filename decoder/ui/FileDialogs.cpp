#include "ui/FileDialogs.h"

#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QRegularExpression>
#include <QSortFilterProxyModel>
#include <QTimer>

std::vector<TFilterEntry> ParseFilter(const QString& aFilter) {
    const QStringList parts = aFilter.split(u'|');
    std::vector<TFilterEntry> entries;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2)
        entries.push_back({parts[i], parts[i + 1].split(u';', Qt::SkipEmptyParts)});
    return entries;
}

bool MatchesPattern(const QString& aFileName, const QString& aPattern) {
    const QRegularExpression re(QRegularExpression::wildcardToRegularExpression(aPattern),
                                QRegularExpression::CaseInsensitiveOption);
    return re.match(aFileName).hasMatch();
}

namespace {

// The toolkit's dialog takes its patterns from the description's parentheses and splits them at
// blanks, which breaks patterns such as "*_LRPT INT_*.s". So the descriptions are shown as they
// are, the dialog's own name filtering is switched off, and this proxy filters by the entry's
// pattern list instead.
class TPatternProxy : public QSortFilterProxyModel {
  public:
    using QSortFilterProxyModel::QSortFilterProxyModel;
    void SetPatterns(const QStringList& aPatterns) {
        fPatterns = aPatterns;
        invalidateFilter();
    }

  protected:
    bool filterAcceptsRow(int aRow, const QModelIndex& aParent) const override {
        const auto* model = qobject_cast<const QFileSystemModel*>(sourceModel());
        if (!model) return true;
        const QModelIndex index = model->index(aRow, 0, aParent);
        if (model->isDir(index)) return true;
        const QString name = model->fileName(index);
        for (const QString& pattern : fPatterns)
            if (MatchesPattern(name, pattern)) return true;
        return false;
    }

  private:
    QStringList fPatterns;
};

} // namespace

void SetUpFileFilters(QFileDialog& aDialog, const std::vector<TFilterEntry>& aEntries, int aIndex) {
    aDialog.setOption(QFileDialog::DontUseNativeDialog);
    QStringList descriptions;
    for (const auto& entry : aEntries)
        descriptions << entry.Description;
    auto* proxy = new TPatternProxy(&aDialog);
    aDialog.setProxyModel(proxy);
    aDialog.setNameFilters(descriptions);
    auto* files = aDialog.findChild<QFileSystemModel*>();
    // The dialog collapses repeated blanks of the descriptions; its list shows them as written.
    auto* list = aDialog.findChild<QComboBox*>("fileTypeCombo");
    if (list)
        for (int i = 0; i < list->count() && i < descriptions.size(); ++i)
            list->setItemText(i, descriptions[i]);
    auto useEntry = [files, proxy, aEntries](int aEntry) {
        // The dialog sets its own name filters when the entry changes, possibly after this runs:
        // clear them now and once more when the change has settled.
        if (files) {
            files->setNameFilters({});
            QTimer::singleShot(0, files, [files] { files->setNameFilters({}); });
        }
        if (aEntry >= 0 && aEntry < static_cast<int>(aEntries.size()))
            proxy->SetPatterns(aEntries[static_cast<size_t>(aEntry)].Patterns);
    };
    QObject::connect(&aDialog, &QFileDialog::filterSelected, &aDialog,
                     [useEntry, list, descriptions](const QString& aText) {
                         useEntry(list ? list->currentIndex()
                                       : static_cast<int>(descriptions.indexOf(aText)));
                     });
    const int selected = aIndex >= 0 && aIndex < static_cast<int>(aEntries.size()) ? aIndex : 0;
    if (list) list->setCurrentIndex(selected);
    useEntry(selected);
}

int SelectedFileFilter(const QFileDialog& aDialog) {
    const auto* list = aDialog.findChild<QComboBox*>("fileTypeCombo");
    return list ? list->currentIndex() : 0;
}

TOpenDialog::TOpenDialog(QWidget* aOwner, const QString& aName) : QObject(aOwner), fOwner(aOwner) {
    setObjectName(aName);
}

bool TOpenDialog::Execute() {
    if (ExecuteHook) return ExecuteHook(*this);

    const std::vector<TFilterEntry> entries = ParseFilter(Filter);
    QFileDialog dialog(fOwner);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    if (!FileName.isEmpty()) dialog.setDirectory(QFileInfo(FileName).absolutePath());
    SetUpFileFilters(dialog, entries, FilterIndex - 1);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return false;
    FileName = dialog.selectedFiles().first();
    FilterIndex = SelectedFileFilter(dialog) + 1;
    return true;
}
