#include "ui/FileDialogs.h"

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

TOpenDialog::TOpenDialog(QWidget* aOwner, const QString& aName) : QObject(aOwner), fOwner(aOwner) {
    setObjectName(aName);
}

bool TOpenDialog::Execute() {
    if (ExecuteHook) return ExecuteHook(*this);

    const std::vector<TFilterEntry> entries = ParseFilter(Filter);
    QFileDialog dialog(fOwner);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    if (!FileName.isEmpty()) dialog.setDirectory(QFileInfo(FileName).absolutePath());
    QStringList descriptions;
    for (const auto& entry : entries)
        descriptions << entry.Description;
    auto* proxy = new TPatternProxy;
    dialog.setProxyModel(proxy);
    dialog.setNameFilters(descriptions);
    auto* files = dialog.findChild<QFileSystemModel*>();
    auto useEntry = [&](int aIndex) {
        // The dialog sets its own name filters when the entry changes, possibly after this runs:
        // clear them now and once more when the change has settled.
        if (files) {
            files->setNameFilters({});
            QTimer::singleShot(0, files, [files] { files->setNameFilters({}); });
        }
        if (aIndex >= 0 && aIndex < static_cast<int>(entries.size()))
            proxy->SetPatterns(entries[static_cast<size_t>(aIndex)].Patterns);
    };
    QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog, [&](const QString& aDescription) {
        useEntry(static_cast<int>(descriptions.indexOf(aDescription)));
    });
    const int selected =
        FilterIndex >= 1 && FilterIndex <= static_cast<int>(entries.size()) ? FilterIndex - 1 : 0;
    if (!descriptions.isEmpty()) dialog.selectNameFilter(descriptions[selected]);
    useEntry(selected);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return false;
    FileName = dialog.selectedFiles().first();
    FilterIndex = static_cast<int>(descriptions.indexOf(dialog.selectedNameFilter())) + 1;
    return true;
}
