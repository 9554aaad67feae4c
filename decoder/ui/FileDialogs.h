// A file-open dialog described the way the windows describe theirs: a filter of alternating
// descriptions and pattern lists separated by vertical bars ("desc|*.a;*.b|desc|*.c"), a
// one-based preselected filter and the chosen file name.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

struct TFilterEntry {
    QString Description;
    QStringList Patterns; // wildcards; a blank inside a pattern is part of it
};

// Splits a filter; a description without a pattern list is dropped.
std::vector<TFilterEntry> ParseFilter(const QString& aFilter);
// Wildcard match of a file name (no folder) against a pattern, ignoring case as the systems
// these recordings come from do.
bool MatchesPattern(const QString& aFileName, const QString& aPattern);

class QFileDialog;

// Shows the entries' descriptions as they are in aDialog and filters its files by the entries'
// pattern lists (folders always shown), preselecting entry aIndex (zero-based).
void SetUpFileFilters(QFileDialog& aDialog, const std::vector<TFilterEntry>& aEntries, int aIndex);
// The entry chosen in a dialog set up so (zero-based).
int SelectedFileFilter(const QFileDialog& aDialog);

class TOpenDialog : public QObject {
  public:
    // aOwner is the window the dialog is modal to; the object name is the dialog's name.
    TOpenDialog(QWidget* aOwner, const QString& aName);

    QString Filter;
    int FilterIndex = 1; // one-based, as the filter's entries are counted
    QString FileName;

    // Runs the dialog modally; true and FileName set when a file was chosen, false when cancelled.
    bool Execute();
    // Replaces the modal dialog (tests, scripted runs): gets the dialog, may set FileName, returns
    // whether a file was chosen.
    std::function<bool(TOpenDialog&)> ExecuteHook;

  private:
    QWidget* fOwner;
};
